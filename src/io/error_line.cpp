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

std::string error_line(const std::string& message) { return "ERROR: " + message; }

void write_to_standard_error(const std::string& message) {
    std::cerr << error_line(message) << '\n';
    std::cerr.flush();
}

void report_error(const std::string& message) {
    if (CollectedErrors* const scope = innermost_scope) {
        if (scope->bytes_ + message.size() > scope->max_bytes_) {
            ++scope->left_out_;
            return;
        }
        scope->bytes_ += message.size();
        scope->lines_.push_back(message);
        return;
    }
    const ErrorSink sink = installed_sink.load();
    if (sink != nullptr) {
        sink(message);
    } else {
        write_to_standard_error(message);
    }
}

CollectedErrors::CollectedErrors(std::size_t max_bytes) noexcept : max_bytes_(max_bytes), outer_(innermost_scope) {
    innermost_scope = this;
}

CollectedErrors::~CollectedErrors() { stop_collecting(); }

void CollectedErrors::stop_collecting() noexcept {
    if (!collecting_) return;
    collecting_ = false;
    // Taken out of this thread's chain of scopes wherever it is in it, so
    // that no scope is left pointing at one that has ended.
    CollectedErrors** link = &innermost_scope;
    while (*link != nullptr && *link != this) link = &(*link)->outer_;
    if (*link == this) *link = outer_;
}

std::vector<std::string> CollectedErrors::finish() {
    stop_collecting();
    if (left_out_ != 0) {
        lines_.push_back(std::to_string(left_out_) + " more error lines left out");
        left_out_ = 0;
    }
    bytes_ = 0;
    return std::move(lines_);
}

}  // namespace pykiv::io
