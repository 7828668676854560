// Paths, whole-file reads, atomic file replacement and error lines, shared by
// the palette and the animation file objects.
//
// Every path crosses the Python boundary as UTF-8 bytes. Windows would read a
// plain std::string as text in the ANSI code page, so paths are converted
// here, explicitly, in both directions and on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace pykiv::io {

// UTF-8 text to a platform path. Throws std::system_error (a
// filesystem_error on Windows) when the text cannot be converted.
std::filesystem::path path_from_utf8(const std::string& text);

// The same, or nothing when the text has no platform form (text that is not
// UTF-8, on Windows): such text names no file.
std::optional<std::filesystem::path> try_path_from_utf8(const std::string& text);

// A platform path to UTF-8 text.
std::string path_to_utf8(const std::filesystem::path& path);

// Reads a file, at most `limit` bytes of it, and at most 64 MiB of a file
// without a size (a device or pipe). Returns nothing when the file cannot be
// opened for reading; a directory counts as such a file on every platform.
std::optional<std::vector<std::uint8_t>> read_file(
    const std::filesystem::path& path,
    std::size_t limit = std::numeric_limits<std::size_t>::max());

enum class WriteResult {
    written,
    open_failed,   // the temporary file could not be created
    write_failed,  // a write, flush, close or the final rename failed
};

// Writes a file so that it is either replaced whole or not at all: the
// contents go to a new temporary file in the target's directory, which is
// renamed over the target only once everything was written and closed. On
// failure, or when `write_contents` throws, the temporary file is removed and
// an existing target is left as it was.
WriteResult write_file_atomically(const std::filesystem::path& target,
                                  const std::function<void(std::ostream&)>& write_contents);

// One line "ERROR: <message>" on the standard error stream, flushed at once.
void report_error(const std::string& message);

}  // namespace pykiv::io
