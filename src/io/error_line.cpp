#include "io/error_line.h"

#include <atomic>
#include <iostream>
#include <utility>

namespace pykiv::io {

namespace {

std::atomic<ErrorSink> installed_sink{nullptr};

// The scope that takes this thread's lines, if any.
thread_local CollectedErrors* innermost_scope = nullptr;

}  // namespace

void set_error_sink(ErrorSink sink) noexcept { installed_sink.store(sink); }

void write_to_standard_error(const std::string& line) {
    std::cerr << line << '\n';
    std::cerr.flush();
}

void report_error(const std::string& message) {
    std::string line = "ERROR: " + message;
    if (innermost_scope != nullptr) {
        innermost_scope->lines_.push_back(std::move(line));
        return;
    }
    const ErrorSink sink = installed_sink.load();
    if (sink != nullptr) {
        sink(line);
    } else {
        write_to_standard_error(line);
    }
}

CollectedErrors::CollectedErrors() noexcept : outer_(innermost_scope) { innermost_scope = this; }

CollectedErrors::~CollectedErrors() { finish(); }

std::vector<std::string> CollectedErrors::finish() noexcept {
    if (collecting_) {
        collecting_ = false;
        // Taken out of this thread's chain of scopes wherever it is in it,
        // so that no scope is left pointing at one that has ended.
        CollectedErrors** link = &innermost_scope;
        while (*link != nullptr && *link != this) link = &(*link)->outer_;
        if (*link == this) *link = outer_;
    }
    return std::move(lines_);
}

}  // namespace pykiv::io
