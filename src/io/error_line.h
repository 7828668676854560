// Error lines: problems found in files and data are reported as one line
// "ERROR: <message>", and the operation goes on.
#pragma once

#include <string>

namespace pykiv::io {

// Receives each error line, "ERROR: " included and without its line end, and
// delivers it whole, at once (flushed).
using ErrorSink = void (*)(const std::string& line);

// Sends every later error line to `sink`; nullptr restores the default,
// write_to_standard_error. A host that has a standard error stream of its own
// (the Python module) installs one that writes there.
void set_error_sink(ErrorSink sink) noexcept;

// The default sink: the line and a line end on the process's standard error
// stream (std::cerr), flushed at once.
void write_to_standard_error(const std::string& line);

// One line "ERROR: <message>" to the installed sink.
void report_error(const std::string& message);

}  // namespace pykiv::io
