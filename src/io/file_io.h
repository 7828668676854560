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
#include <future>
#include <limits>
#include <optional>
#include <string>
#include <utility>
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

// Why a file cannot be read or written, for a person: "is read-only", "is a
// folder" and the like, with the system's error number closest to it.
struct WriteFailure {
    int error_number;
    std::string reason;
};

// A regular file read whole, or why not.
struct FileRead {
    std::optional<FileBytes> bytes;  // nothing when the file was not read
    int error_number = 0;
    std::string reason;  // "does not exist", "is not a regular file (a FIFO)", ...
};

// Reads a regular file whole, and nothing else: what is opened (without
// blocking, so that a FIFO cannot hold the reader) is checked to be a regular
// file before a byte is read, and a file of more than `limit` bytes is
// refused without being read. With a `root` folder, `path` is relative to it
// and resolved beneath it as FileReplacement resolves a target under a root.
FileRead read_regular_file(const std::filesystem::path& path, const std::filesystem::path& root = {},
                           std::size_t limit = std::numeric_limits<std::size_t>::max());

// How much a replacement waits for the disk. `synced`: the new contents and
// the rename reach the disk before commit() returns, so that a power cut
// leaves the old file or the new one. `deferred`, for files that can be made
// again (exports): nothing is synced, the rename still makes the file whole
// or absent after a kill, and the caller syncs everything it wrote once, at
// the end, with sync_written_files.
enum class Durability { synced, deferred };

enum class WriteResult {
    written,
    open_failed,   // the target cannot be written, or nothing can be created for it
    write_failed,  // no room for the new contents, or a write, sync or the final rename failed
};

// A new version of one file, made in two steps so that several files can be
// replaced together: prepare() writes every new version beside its target
// (or makes room for it in the target), and only when all of them are ready
// does commit() put each in place. Whatever was prepared and not committed
// is undone when the object goes.
//
// The rules of replacing:
// - a symbolic link is followed: the file it names is replaced, the link
//   stays;
// - the new file keeps the permission bits, the owner and the group of the
//   file it replaces (a new file gets the default the umask gives);
// - a file the caller may not write (read-only) is refused, as opening it
//   for writing would be;
// - the new contents reach the disk before they replace anything: the
//   temporary file is synced before it is renamed over the target, and the
//   directory after, so that a power cut leaves the old file or the new one
//   (under Durability::deferred none of these syncs is made);
// - the target itself is written ("in place") where renaming a new file
//   over it would lose something or is impossible: no temporary file can be
//   made beside it (a directory the caller may not write, a name at the
//   length limit), the caller may not give the new file the old one's owner
//   and group, the file has other hard links (a rename would split it from
//   them), or a sticky directory forbids the rename. An existing file is
//   then never cut before the new contents have room: prepare() checks the
//   file-size limit and reserves the new size on the disk, and refuses
//   (`write_failed`, the file unchanged) where that fails or the platform
//   cannot reserve. A write in place is not atomic: a kill or power cut
//   during commit() can leave the file partly written;
// - a target that exists and is not a regular file once links are followed
//   (a FIFO, a device, a socket, a folder) cannot be written: nothing
//   replaces it, and nothing opens it in a way that could block;
// - temporary files are named after the target and one of a few slots
//   (each save holds one, locked), so a save finds those of its own target
//   without listing the folder; temporary files left by saves of the same
//   target that were killed are removed by the next one, except those a
//   running save still holds.
//
// Under a root policy (a `root` folder given) the target is a path relative
// to that folder, and nothing is written outside it:
// - the root is opened once and the target's folder opened beneath it
//   without following a link that leaves it (openat2 with RESOLVE_BENEATH
//   where the system has it; elsewhere one component at a time with
//   O_NOFOLLOW, which refuses any symbolic link on the way); the temporary
//   file, its sync and the rename are made relative to that folder's handle,
//   so a folder swapped for a link later changes nothing;
// - a target that is itself a symbolic link is followed only while it names
//   a path relative to its folder without "..";
// - a target with other hard links is refused (one of them may be outside
//   the root), and nothing is ever written in place.
// On Windows the same rules are checked on the canonical path (reparse
// points refused) before the files are opened by path: a link swapped in
// between is not caught there.
class FileReplacement {
public:
    explicit FileReplacement(std::filesystem::path target, std::filesystem::path root = {},
                             Durability durability = Durability::synced);
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;
    ~FileReplacement();

    // Writes `contents` beside the target and syncs them, or makes room for
    // them in the target. A temporary file is synced on a thread of its own
    // while the caller reads it back; commit() waits for that sync before
    // the rename, so the new contents still reach the disk before they
    // replace anything, and the verification of a written file costs no
    // time of its own.
    WriteResult prepare(std::vector<std::uint8_t> contents);

    // Puts the prepared contents in place. Call only after prepare()
    // returned `written`.
    WriteResult commit();

    // Where the prepared contents can be read before commit: the temporary
    // file, or the target when it was created in place; empty when the
    // target is to be rewritten in place at commit and nothing is written yet.
    std::filesystem::path prepared_file() const;

    // Why the last prepare() or commit() failed, where it knows better than
    // describe_write_failure can tell from the path afterwards (a target
    // under a root, a target that changed between the two steps).
    std::optional<WriteFailure> failure() const;

private:
    enum class Mode { unprepared, temporary, created_in_place, rewrite_in_place, committed };

    WriteResult resolve();
    WriteResult refuse(int error_number, const std::string& reason);
    WriteResult prepare_temporary(bool exists);
    WriteResult prepare_in_place(bool exists);
    void close_file() noexcept;   // after the sync of the file, if one is running
    bool synced(int fd) const;    // syncs `fd` unless the durability defers it
    void start_sync();            // syncs file_ in the background, unless the durability defers it
    bool finish_sync() noexcept;  // waits for that sync; whether it succeeded (true when none ran)

    std::filesystem::path target_;       // as given
    std::filesystem::path root_;         // the root policy's folder; empty: links followed
    std::filesystem::path folder_path_;  // the target's folder, with the target's links followed
    int folder_fd_ = -1;                 // a handle of that folder, under a root policy (POSIX)
    std::filesystem::path name_;         // the target's name in its folder
    std::filesystem::path temporary_;    // the name of the file to remove if not committed
    std::optional<WriteFailure> failure_;
    std::vector<std::uint8_t> contents_;
    int file_ = -1;               // the open temporary file, or the target written in place
    std::future<bool> sync_;      // the background sync of the temporary file, while it runs
    std::uint64_t old_size_ = 0;  // of a target written in place, to give back a reservation
    Mode mode_ = Mode::unprepared;
    Durability durability_ = Durability::synced;
};

// Writes one file through a FileReplacement: prepared and committed at once.
WriteResult write_file_atomically(const std::filesystem::path& target, std::vector<std::uint8_t> contents);

// Brings files written under Durability::deferred, and the renames that put
// them in place, to the disk: on Linux one syncfs for each file system they
// are on; elsewhere each file and each of their folders is synced once.
// Files that are gone are passed over. Returns the first that could not be
// synced and why, or nothing.
std::optional<std::pair<std::filesystem::path, WriteFailure>> sync_written_files(
    const std::vector<std::filesystem::path>& files);

// Whether two paths name one file: the same file on disk (symbolic and hard
// links included), or, for files that do not exist yet, the same path once
// links are followed and the spelling made canonical.
bool name_the_same_file(const std::filesystem::path& a, const std::filesystem::path& b);

// Why writing `target` failed, for a person, found from the path afterwards.
WriteFailure describe_write_failure(const std::filesystem::path& target, WriteResult result);

// The line for a failed write of a `kind` ("palette", "animation") file.
void report_write_failure(WriteResult result, const std::string& kind, const std::string& path);

}  // namespace pykiv::io
