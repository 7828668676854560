#include "io/error_line.h"

#include <atomic>
#include <iostream>

namespace pykiv::io {

namespace {

std::atomic<ErrorSink> installed_sink{nullptr};

}  // namespace

void set_error_sink(ErrorSink sink) noexcept { installed_sink.store(sink); }

void write_to_standard_error(const std::string& line) {
    std::cerr << line << '\n';
    std::cerr.flush();
}

void report_error(const std::string& message) {
    const std::string line = "ERROR: " + message;
    const ErrorSink sink = installed_sink.load();
    if (sink != nullptr) {
        sink(line);
    } else {
        write_to_standard_error(line);
    }
}

}  // namespace pykiv::io
