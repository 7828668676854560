// Paths, whole-file reads, safe file replacement and the lines that report a
// failed write, shared by the palette and the animation file objects.
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

#include "memory/page_memory.h"

namespace pykiv::io {

// UTF-8 text to a platform path. Throws std::invalid_argument for text
// holding a NUL character: the system would take the path as ending there
// and open another file than the one named. Throws std::system_error (a
// filesystem_error on Windows) when the text cannot be converted.
std::filesystem::path path_from_utf8(const std::string& text);

// The same, or nothing when the text has no platform form (text that is not
// UTF-8, on Windows): such text names no file. A NUL is refused as above.
std::optional<std::filesystem::path> try_path_from_utf8(const std::string& text);

// A platform path to UTF-8 text.
std::string path_to_utf8(const std::filesystem::path& path);

// A file's bytes, in memory that is not cleared before they are read into it.
using FileBytes = pykiv::memory::PageBytes;

// Reads a file, at most `limit` bytes of it, and at most 64 MiB of a file
// without a size (a device or pipe). Returns nothing when the file cannot be
// opened for reading; a directory counts as such a file on every platform.
std::optional<FileBytes> read_file(const std::filesystem::path& path,
                                   std::size_t limit = std::numeric_limits<std::size_t>::max());

enum class WriteResult {
    written,
    open_failed,   // the target cannot be written, or nothing can be created for it
    write_failed,  // a write, flush, close or the final rename failed
};

// A new version of one file, made in two steps so that several files can be
// replaced together: prepare() writes every new version beside its target,
// and only when all of them are complete does commit() put each in place.
// Whatever was prepared and not committed is removed when the object goes.
//
// The rules of replacing:
// - a symbolic link is followed: the file it names is replaced, the link
//   stays;
// - the new file keeps the permission bits of the file it replaces (a new
//   file gets the default the umask gives);
// - a file the caller may not write (read-only) is refused, as opening it
//   for writing would be;
// - where no temporary file can be made beside the target (a directory the
//   caller may not write, a name that would be too long), the target itself
//   is written: created and written at once when it did not exist, else
//   truncated and rewritten at commit.
class FileReplacement {
public:
    explicit FileReplacement(std::filesystem::path target);
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;
    ~FileReplacement();

    // Writes the new contents, flushed and closed. `write_contents` may be
    // called again at commit (when the target is written in place); if it
    // throws, the exception propagates and nothing stays behind.
    WriteResult prepare(std::function<void(std::ostream&)> write_contents);

    // Puts the prepared contents in place. Call only after prepare()
    // returned `written`.
    WriteResult commit();

    // Where the prepared contents can be read before commit: the temporary
    // file, or the target when it was created in place; empty when the
    // target is to be rewritten in place at commit and nothing is written yet.
    std::filesystem::path prepared_file() const;

private:
    enum class Mode { unprepared, temporary, created_in_place, rewrite_in_place, committed };

    std::filesystem::path target_;     // as given
    std::filesystem::path resolved_;   // with symbolic links followed
    std::filesystem::path temporary_;  // the file to remove if not committed
    std::function<void(std::ostream&)> write_contents_;
    Mode mode_ = Mode::unprepared;
};

// Writes one file through a FileReplacement: prepared and committed at once.
WriteResult write_file_atomically(const std::filesystem::path& target,
                                  const std::function<void(std::ostream&)>& write_contents);

// Whether two paths name one file: the same file on disk (symbolic and hard
// links included), or, for files that do not exist yet, the same path once
// links are followed and the spelling made canonical.
bool name_the_same_file(const std::filesystem::path& a, const std::filesystem::path& b);

// Why writing `target` failed, for a person: "is read-only", "is a folder"
// and the like, with the system's error number closest to it.
struct WriteFailure {
    int error_number;
    std::string reason;
};
WriteFailure describe_write_failure(const std::filesystem::path& target, WriteResult result);

// The line for a failed write of a `kind` ("palette", "animation") file.
void report_write_failure(WriteResult result, const std::string& kind, const std::string& path);

}  // namespace pykiv::io
