// Error lines: problems found in files and data are reported as a message,
// printed as one line "ERROR: <message>", and the operation goes on. The core
// hands on messages; the prefix is added where a line is printed
// (error_line()).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pykiv::io {

// The line that prints `message`: "ERROR: <message>", without a line end.
std::string error_line(const std::string& message);

// Receives each error message, and delivers it whole, at once (flushed), as
// printed by error_line().
using ErrorSink = void (*)(const std::string& message);

// Sends every later error line that no CollectedErrors scope takes to
// `sink`; nullptr restores the default, write_to_standard_error.
void set_error_sink(ErrorSink sink) noexcept;

// The default sink: the message's line and a line end on the process's
// standard error stream (std::cerr), flushed at once.
void write_to_standard_error(const std::string& message);

// One error message: to the innermost CollectedErrors scope of
// this thread, else to the installed sink.
void report_error(const std::string& message);

// Holds back the error messages of this thread, in order, from construction
// until finish() or destruction. A host whose error stream runs code of its
// own (an interpreter, where writing a line may run any Python code, other
// threads included) collects the lines of one native operation and writes
// them once that operation has let go of every record it was working on:
// the code a line runs may change or free those records.
//
// Edited records can make a render report a line for every row of every
// frame, billions of them, so what is held is bounded: past `max_bytes` of
// text, lines are counted instead of kept.
class CollectedErrors {
public:
    static constexpr std::size_t default_max_bytes = std::size_t{16} << 20;

    explicit CollectedErrors(std::size_t max_bytes = default_max_bytes) noexcept;
    CollectedErrors(const CollectedErrors&) = delete;
    CollectedErrors& operator=(const CollectedErrors&) = delete;
    ~CollectedErrors();

    // The messages held back so far.
    const std::vector<std::string>& lines() const noexcept { return lines_; }

    // Stops holding messages back and hands over those held, followed by
    // one message "<n> more error lines left out" when messages past the
    // bound were dropped. Later lines go where they went before this scope began.
    std::vector<std::string> finish();

private:
    friend void report_error(const std::string& message);

    void stop_collecting() noexcept;

    std::vector<std::string> lines_;
    std::size_t bytes_ = 0;
    std::size_t max_bytes_;
    std::size_t left_out_ = 0;
    CollectedErrors* outer_;
    bool collecting_ = true;
};

}  // namespace pykiv::io
