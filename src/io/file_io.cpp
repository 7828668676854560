#include "io/file_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "io/error_line.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cwctype>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif
#endif

namespace fs = std::filesystem;

namespace pykiv::io {

fs::path path_from_utf8(const std::string& text) {
    // The system reads a path up to its first NUL: "a.pal\0.kiv" would
    // open or replace a.pal. Python's open() refuses such text the same way.
    if (text.find('\0') != std::string::npos) throw std::invalid_argument("embedded null character");
    // u8path decodes UTF-8 to the wide form on Windows; on POSIX systems the
    // bytes are the path, unchanged, whatever they are.
    return fs::u8path(text);
}

std::optional<fs::path> try_path_from_utf8(const std::string& text) {
    try {
        return path_from_utf8(text);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
}

std::string path_to_utf8(const fs::path& path) { return path.u8string(); }

std::optional<FileBytes> read_file(const fs::path& path, std::size_t limit) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    // Some systems open a directory for reading and only fail at the first
    // read; treat it as a file that cannot be opened everywhere.
    if (fs::is_directory(status)) return std::nullopt;
    // Devices and pipes have no size and may never end (/dev/zero): of those,
    // at most this much is read, far more than any of the formats needs.
    constexpr std::size_t max_unsized_file_bytes = std::size_t{64} << 20;
    const bool regular = fs::is_regular_file(status);
    if (!regular) limit = std::min(limit, max_unsized_file_bytes);

    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return std::nullopt;

    FileBytes bytes;
    if (regular) {
        // A file of known size is read in one piece, straight into place.
        const std::uintmax_t size = fs::file_size(path, ec);
        if (!ec) {
            bytes.resize(static_cast<std::size_t>(std::min<std::uintmax_t>(size, limit)));
            in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            bytes.resize(static_cast<std::size_t>(in.gcount()));
            if (bytes.size() < size || !in) return bytes;  // the file ended early, or holds no more than the limit
        }
    }
    // Then, or for a file without a size, chunk by chunk up to the limit.
    char chunk[1 << 16];
    while (bytes.size() < limit) {
        const std::size_t wanted = std::min<std::size_t>(sizeof chunk, limit - bytes.size());
        in.read(chunk, static_cast<std::streamsize>(wanted));
        const auto got = static_cast<std::size_t>(in.gcount());
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < wanted) break;
    }
    return bytes;
}

namespace {

// Descriptors rather than streams: a file must be synced, reserved, locked
// and given an owner, which a stream cannot do. Windows' C runtime has
// descriptors too.
//
// Every file of a replacement is reached through its folder and its name in
// that folder (a Folder): by the folder's path, or, where a root policy
// holds, through a handle of the folder opened beneath the root, so that a
// folder swapped for a link after the path was resolved changes nothing.
#ifdef _WIN32

// Windows opens by path only; a root is checked on the path (see
// resolve_beneath below).
struct Folder {
    fs::path path;
};

fs::path in(const Folder& folder, const fs::path& name) { return folder.path / name; }

int open_new_in(const Folder& folder, const fs::path& name) {
    int fd = -1;
    ::_wsopen_s(&fd, in(folder, name).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                _S_IREAD | _S_IWRITE);
    return fd;
}

int open_existing_in(const Folder& folder, const fs::path& name) {
    int fd = -1;
    ::_wsopen_s(&fd, in(folder, name).c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0);
    return fd;
}

bool remove_in(const Folder& folder, const fs::path& name) {
    std::error_code ec;
    return fs::remove(in(folder, name), ec);
}

bool is_regular(int fd) {
    struct _stat64 status{};
    return ::_fstat64(fd, &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
    if (::_lseeki64(fd, 0, SEEK_SET) != 0) return false;
    while (size > 0) {
        const auto chunk = static_cast<unsigned>(std::min<std::size_t>(size, std::size_t{1} << 30));
        const int written = ::_write(fd, data, chunk);
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// FlushFileBuffers underneath.
bool sync_file(int fd) { return ::_commit(fd) == 0; }

void close_descriptor(int fd) { ::_close(fd); }

std::optional<std::uint64_t> size_of(int fd) {
    struct _stat64 status{};
    if (::_fstat64(fd, &status) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

bool set_size(int fd, std::uint64_t size) { return ::_chsize_s(fd, static_cast<__int64>(size)) == 0; }

// Extending a file allocates its new clusters; the old ones are
// overwritten where they are.
bool reserve(int fd, std::uint64_t size, std::uint64_t old_size) { return size <= old_size || set_size(fd, size); }

bool within_file_size_limit(std::uint64_t) { return true; }

// A file open without delete sharing cannot be removed by another save, so
// a temporary file needs no lock of its own, and one whose removal succeeds
// was held by nobody.
bool lock_temporary(int) { return true; }

bool remove_if_stale(const Folder& folder, const fs::path& name) { return remove_in(folder, name); }

// The rename is written through to the disk by MoveFileExW itself.
void sync_folder(const Folder&) {}

// ReplaceFileW keeps the replaced file's security descriptor (owner and
// access list), attributes and streams; a new file is moved into place.
bool put_in_place(const Folder& folder, const fs::path& temporary_name, const fs::path& name, bool exists) {
    const fs::path temporary = in(folder, temporary_name);
    const fs::path target = in(folder, name);
    if (exists) {
        // A file that another handle holds open without delete sharing
        // cannot be replaced. Asked first, since a replace call that fails
        // may leave files of its own beside the target.
        const HANDLE held =
            ::CreateFileW(target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (held == INVALID_HANDLE_VALUE) return false;
        ::CloseHandle(held);
        if (::ReplaceFileW(target.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                           nullptr)) {
            return true;
        }
    }
    return ::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool keep_owner_and_mode(int, const Folder&, const fs::path&) { return true; }

// What the name holds, links not followed.
struct Entry {
    fs::file_type type = fs::file_type::not_found;
    std::uintmax_t links = 0;
    bool failed = false;  // it could not be examined
};

Entry entry_in(const Folder& folder, const fs::path& name) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(in(folder, name), ec);
    Entry entry;
    entry.type = status.type();
    entry.failed = ec && status.type() != fs::file_type::not_found;
    if (entry.type == fs::file_type::regular) entry.links = fs::hard_link_count(in(folder, name), ec);
    return entry;
}

bool may_write_in(const Folder& folder, const fs::path& name) { return ::_waccess(in(folder, name).c_str(), 2) == 0; }

bool rename_over_refused(const Folder&, const fs::path&) { return false; }

#else

struct Folder {
    fs::path path;  // for messages, and the way to the folder when there is no handle
    int fd = -1;    // a handle of the folder opened beneath a root, or none
};

fs::path in(const Folder& folder, const fs::path& name) { return folder.path / name; }

// Opens `name` in `folder`: through its handle when it has one.
int open_in(const Folder& folder, const fs::path& name, int flags, mode_t mode = 0) {
    int fd;
    do
        fd = folder.fd >= 0 ? ::openat(folder.fd, name.c_str(), flags, mode)
                            : ::open(in(folder, name).c_str(), flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int open_new_in(const Folder& folder, const fs::path& name) {
    return open_in(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

// The target is opened only after its links were followed, so a link found
// here was swapped in since: refused. A FIFO swapped in would block an open
// for writing until a reader came; without waiting, it is seen for what it
// is (or the open fails) and refused by is_regular.
int open_existing_in(const Folder& folder, const fs::path& name) {
    return open_in(folder, name, O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
}

bool remove_in(const Folder& folder, const fs::path& name) {
    return (folder.fd >= 0 ? ::unlinkat(folder.fd, name.c_str(), 0) : ::unlink(in(folder, name).c_str())) == 0;
}

bool stat_in(const Folder& folder, const fs::path& name, struct stat& status) {
    return (folder.fd >= 0 ? ::fstatat(folder.fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW)
                           : ::lstat(in(folder, name).c_str(), &status)) == 0;
}

bool is_regular(int fd) {
    struct stat status{};
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
    if (::lseek(fd, 0, SEEK_SET) != 0) return false;
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool sync_file(int fd) {
    int result;
    do result = ::fsync(fd);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

void close_descriptor(int fd) { ::close(fd); }

std::optional<std::uint64_t> size_of(int fd) {
    struct stat status{};
    if (::fstat(fd, &status) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

bool set_size(int fd, std::uint64_t size) {
    int result;
    do result = ::ftruncate(fd, static_cast<off_t>(size));
    while (result != 0 && errno == EINTR);
    return result == 0;
}

// Allocates the blocks of the first `size` bytes, holes included, without
// changing a byte of the file; it may grow the file to `size`, with zeros.
// Where the file system or the platform cannot do so, writing in place is
// refused: a write that runs out of room half-way would leave the file cut.
bool reserve(int fd, std::uint64_t size, std::uint64_t) {
    if (size == 0) return true;
#ifdef __APPLE__
    (void)fd;
    return false;
#else
    int result;
    do result = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    while (result == EINTR);
    return result == 0;
#endif
}

// The process's file-size limit: writing beyond it fails half-way, and the
// signal it raises kills a process that does not ignore it.
bool within_file_size_limit(std::uint64_t size) {
    struct rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    return size <= static_cast<std::uint64_t>(limit.rlim_cur);
}

// A save holds a lock on its temporary file until the file is in place or
// removed. The lock is taken just after the file is made; a cleaner that
// removed the file in between (it was not locked yet) leaves it with no
// name, and another name is tried. Where the file system has no locks, the
// file goes unlocked.
bool lock_temporary(int fd) {
    (void)::flock(fd, LOCK_EX | LOCK_NB);
    struct stat status{};
    return ::fstat(fd, &status) == 0 && status.st_nlink > 0;
}

// Removes the temporary file `name` when no running save holds it: its lock
// can be taken, and the name still names the file locked. It is removed
// with the lock held, so that no save can take it in between.
bool remove_if_stale(const Folder& folder, const fs::path& name) {
    // Any access will do for the lock; a temporary file keeps the permission
    // bits of its target, which may allow writing only.
    int fd = open_in(folder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == EACCES) fd = open_in(folder, name, O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    bool removed = false;
    struct stat locked{};
    struct stat named{};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &locked) == 0 && stat_in(folder, name, named) &&
        S_ISREG(locked.st_mode) && locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
        removed = remove_in(folder, name);
    }
    ::close(fd);
    return removed;
}

// A rename is a change of the folder, which is synced on its own. Some file
// systems cannot sync a folder; the rename is then as durable as they make
// it.
void sync_folder(const Folder& folder) {
    const int fd = folder.fd >= 0 ? ::openat(folder.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                  : ::open((folder.path.empty() ? fs::path(".") : folder.path).c_str(),
                                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

bool put_in_place(const Folder& folder, const fs::path& temporary_name, const fs::path& name, bool) {
    if (folder.fd >= 0) return ::renameat(folder.fd, temporary_name.c_str(), folder.fd, name.c_str()) == 0;
    return ::rename(in(folder, temporary_name).c_str(), in(folder, name).c_str()) == 0;
}

// Gives the new file the owner, group and permission bits of the file it
// replaces. False when the caller may not: a user can give a file away
// only to a group of its own, and never to another user.
bool keep_owner_and_mode(int fd, const Folder& folder, const fs::path& replaced) {
    struct stat old_status{};
    struct stat new_status{};
    if (!stat_in(folder, replaced, old_status) || ::fstat(fd, &new_status) != 0) return false;
    if ((new_status.st_uid != old_status.st_uid || new_status.st_gid != old_status.st_gid) &&
        ::fchown(fd, old_status.st_uid, old_status.st_gid) != 0) {
        return false;
    }
    // After the owner: changing it clears the set-user-ID and set-group-ID
    // bits. Set before anything is written, so that the contents of a
    // private file are never readable by others.
    return ::fchmod(fd, old_status.st_mode & 07777) == 0;
}

fs::file_type type_of(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return fs::file_type::regular;
        case S_IFDIR:
            return fs::file_type::directory;
        case S_IFLNK:
            return fs::file_type::symlink;
        case S_IFIFO:
            return fs::file_type::fifo;
        case S_IFCHR:
            return fs::file_type::character;
        case S_IFBLK:
            return fs::file_type::block;
        case S_IFSOCK:
            return fs::file_type::socket;
        default:
            return fs::file_type::unknown;
    }
}

// What the name holds, links not followed.
struct Entry {
    fs::file_type type = fs::file_type::not_found;
    std::uintmax_t links = 0;
    bool failed = false;  // it could not be examined
};

Entry entry_in(const Folder& folder, const fs::path& name) {
    Entry entry;
    struct stat status{};
    if (!stat_in(folder, name, status)) {
        entry.failed = errno != ENOENT;
        return entry;
    }
    entry.links = status.st_nlink;
    entry.type = type_of(status.st_mode);
    return entry;
}

// Whether this process may open an existing file for writing: false for a
// read-only file, as Python's own open() would find.
bool may_write_in(const Folder& folder, const fs::path& name) {
    return (folder.fd >= 0 ? ::faccessat(folder.fd, name.c_str(), W_OK, 0)
                           : ::access(in(folder, name).c_str(), W_OK)) == 0;
}

// In a folder with the sticky bit (such as /tmp) only the owner of a file
// or of the folder may rename over the file, though others may write it.
bool rename_over_refused(const Folder& folder, const fs::path& name) {
    const uid_t user = ::geteuid();
    if (user == 0) return false;
    struct stat folder_status{};
    struct stat file_status{};
    const bool examined =
        folder.fd >= 0 ? ::fstat(folder.fd, &folder_status) == 0
                       : ::stat((folder.path.empty() ? fs::path(".") : folder.path).c_str(), &folder_status) == 0;
    if (!examined || (folder_status.st_mode & S_ISVTX) == 0) return false;
    if (!stat_in(folder, name, file_status)) return false;
    return file_status.st_uid != user && folder_status.st_uid != user;
}

#endif

// Temporary files are named after a hash of their target's name and one of
// a few slots, so that a save finds those of its own target by their names
// alone, without listing a folder that may hold thousands of files: hidden,
// and short, so that the name fits wherever the target's name fits.
constexpr std::string_view temporary_prefix = ".pykiv-";
constexpr std::string_view temporary_suffix = ".tmp";
// As many saves of one target as may run at once; each holds one slot.
constexpr int temporary_slots = 8;

std::string hex(std::uint64_t n, int digits) {
    static const char hex_digits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < digits; ++i, n >>= 4) text += hex_digits[n & 0xF];
    return text;
}

// The name of slot `slot` of the temporary files of the file named `name`.
fs::path temporary_name(const fs::path& name, int slot) {
    // FNV-1a over the name's bytes.
    std::uint32_t hash = 2166136261u;
    for (const auto unit : name.native()) hash = (hash ^ static_cast<std::uint32_t>(unit)) * 16777619u;
    return fs::u8path(std::string(temporary_prefix) + hex(hash, 8) + "-" + std::to_string(slot) +
                      std::string(temporary_suffix));
}

// As many links in a row as the systems themselves follow before giving up.
constexpr int max_links_followed = 40;

// The path a file is written at when `path` is opened: every symbolic link
// at its end followed (the directories on the way are the system's to
// follow). Nothing for a loop of links, which names no file.
std::optional<fs::path> follow_links(fs::path path) {
    for (int followed = 0; followed < max_links_followed; ++followed) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(path, ec))) return path;
        const fs::path link = fs::read_symlink(path, ec);
        if (ec) return std::nullopt;
        // A relative link is relative to the link's directory; an absolute
        // one replaces the path.
        path = path.parent_path() / link;
    }
    return std::nullopt;
}

// What a file that exists and is neither a regular file nor a folder is, for
// a person; null for those two and for a file that does not exist.
const char* kind_of_special_file(fs::file_type type) {
    switch (type) {
        case fs::file_type::fifo:
            return "a FIFO";
        case fs::file_type::character:
        case fs::file_type::block:
            return "a device";
        case fs::file_type::socket:
            return "a socket";
        case fs::file_type::regular:
        case fs::file_type::directory:
        case fs::file_type::not_found:
        case fs::file_type::none:
            return nullptr;
        default:
            return "something else";
    }
}

// Why a file of `type` cannot be written, when it exists and is not a
// regular file.
std::optional<WriteFailure> refusal_of_kind(fs::file_type type) {
    if (type == fs::file_type::directory) return WriteFailure{EISDIR, "is a folder"};
    if (const char* kind = kind_of_special_file(type)) {
        return WriteFailure{EINVAL, std::string("is not a regular file (") + kind + ")"};
    }
    return std::nullopt;
}

// --------------------------------------------------------------------------
// Paths beneath a root folder

#ifdef _WIN32

bool is_reparse_point(const fs::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Windows has no handle-relative opening in its C runtime: the path is
// checked instead. Its canonical form must lie under the root's, and no
// component from the root down may be a reparse point (a link or a
// junction), which could be swapped in after the check. What is swapped in
// between this check and the write is not caught here, as it is on POSIX
// systems.
std::optional<WriteFailure> resolve_beneath(const fs::path& root, const fs::path& relative, Folder& folder,
                                            fs::path& name) {
    if (relative.is_absolute() || relative.has_root_name() ||
        (!relative.empty() && *relative.lexically_normal().begin() == "..")) {
        return WriteFailure{EXDEV, "leads outside the root folder"};
    }
    if (!relative.has_filename()) return WriteFailure{EISDIR, "names a folder, not a file"};
    std::error_code ec;
    const fs::path base = fs::canonical(root, ec);
    if (ec) return WriteFailure{ENOENT, "the root folder cannot be opened"};
    fs::path walked = base;
    for (const fs::path& part : relative.lexically_normal()) {
        if (part == "..") return WriteFailure{EXDEV, "leads outside the root folder"};
        walked /= part;
        if (is_reparse_point(walked)) return WriteFailure{ELOOP, "has a link on its way"};
    }
    const fs::path full = fs::weakly_canonical(walked, ec);
    const auto [end, unused] = std::mismatch(base.begin(), base.end(), full.begin(), full.end());
    (void)unused;
    if (ec || end != base.end()) return WriteFailure{EXDEV, "leads outside the root folder"};
    folder.path = walked.parent_path();
    name = walked.filename();
    return std::nullopt;
}

#else

#ifdef __linux__
#ifndef SYS_openat2
#define SYS_openat2 437  // the same number on every architecture
#endif
// The kernel's struct open_how and its flags, declared here: older headers
// lack them.
struct OpenHow {
    std::uint64_t flags;
    std::uint64_t mode;
    std::uint64_t resolve;
};
constexpr std::uint64_t resolve_flag_no_magiclinks = 0x02;  // RESOLVE_NO_MAGICLINKS
constexpr std::uint64_t resolve_flag_beneath = 0x08;        // RESOLVE_BENEATH
#endif

#ifdef O_PATH
constexpr int folder_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;  // needs no read permission
#else
constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Opens `relative` beneath the folder `root` with `flags`: the kernel keeps
// the resolution beneath it where it can (openat2 with RESOLVE_BENEATH,
// Linux 5.6 and later), links that stay beneath included. Elsewhere the
// path is walked one component at a time with O_NOFOLLOW, and a symbolic
// link on the way, or as the file itself, is refused outright (ELOOP or
// ENOTDIR): its target could not be kept beneath the root without the
// kernel's help. ".." that leaves the root is refused with EXDEV.
int open_beneath(int root, const fs::path& relative, int flags, mode_t mode = 0) {
    if (relative.empty()) return ::openat(root, ".", flags, mode);
#ifdef __linux__
    static std::atomic<bool> has_openat2{true};
    if (has_openat2.load(std::memory_order_relaxed)) {
        OpenHow how{static_cast<std::uint64_t>(flags), (flags & O_CREAT) != 0 ? mode : 0u,
                    resolve_flag_beneath | resolve_flag_no_magiclinks};
        // The root itself is "." to openat2: an empty path names nothing.
        const char* name = relative.empty() ? "." : relative.c_str();
        long fd;
        do fd = ::syscall(SYS_openat2, root, name, &how, sizeof how);
        while (fd < 0 && errno == EINTR);
        // ENOSYS before Linux 5.6; EPERM where a container's system-call
        // filter predates openat2 (an open with these flags is never
        // refused with EPERM otherwise).
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
        has_openat2.store(false, std::memory_order_relaxed);
    }
#endif
    const fs::path normal = relative.lexically_normal();
    std::vector<fs::path> parts(normal.begin(), normal.end());
    while (!parts.empty() && (parts.back().empty() || parts.back() == ".")) parts.pop_back();
    if (parts.empty()) return ::openat(root, ".", flags, mode);
    int folder = ::openat(root, ".", folder_flags);
    for (std::size_t i = 0; folder >= 0 && i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        if (parts[i] == "..") {
            ::close(folder);
            errno = EXDEV;
            return -1;
        }
        int next;
        do
            next = last ? ::openat(folder, parts[i].c_str(), flags | O_NOFOLLOW, mode)
                        : ::openat(folder, parts[i].c_str(), folder_flags | O_NOFOLLOW);
        while (next < 0 && errno == EINTR);
        const int saved = errno;
        ::close(folder);
        errno = saved;
        folder = next;
    }
    return folder;
}

std::optional<WriteFailure> failure_beneath(int error_number) {
    switch (error_number) {
        case EXDEV:
            return WriteFailure{EXDEV, "leads outside the root folder"};
        case ELOOP:
        case ENOTDIR:
            return WriteFailure{ELOOP, "has a symbolic link on its way that cannot be followed safely"};
        case ENOENT:
            return WriteFailure{ENOENT, "its folder does not exist"};
        default:
            return WriteFailure{error_number, std::strerror(error_number)};
    }
}

// The folder of `relative` beneath `root`, opened, and the file's name in it.
// A file that is itself a symbolic link is followed while it names a path
// relative to its folder without "..", which stays beneath the root; any
// other link is refused.
std::optional<WriteFailure> resolve_beneath(int root, const fs::path& root_path, fs::path relative, Folder& folder,
                                            fs::path& name) {
    for (int followed = 0; followed <= max_links_followed; ++followed) {
        relative = relative.lexically_normal();
        if (relative.is_absolute() || (!relative.empty() && *relative.begin() == "..")) {
            return WriteFailure{EXDEV, "leads outside the root folder"};
        }
        if (!relative.has_filename() || relative.filename() == "." || relative.filename() == "..") {
            return WriteFailure{EISDIR, "names a folder, not a file"};
        }
        const int fd = open_beneath(root, relative.parent_path(), folder_flags);
        if (fd < 0) return failure_beneath(errno);
        if (folder.fd >= 0) ::close(folder.fd);
        folder.fd = fd;
        folder.path = root_path / relative.parent_path();
        name = relative.filename();
        struct stat status{};
        if (!stat_in(folder, name, status) || !S_ISLNK(status.st_mode)) return std::nullopt;
        char link[4096];
        const ssize_t size = ::readlinkat(folder.fd, name.c_str(), link, sizeof link);
        if (size <= 0 || static_cast<std::size_t>(size) >= sizeof link) return failure_beneath(ELOOP);
        const fs::path target(std::string(link, static_cast<std::size_t>(size)));
        for (const fs::path& part : target) {
            if (part == "..") return WriteFailure{EXDEV, "is a symbolic link that may lead outside the root folder"};
        }
        if (target.is_absolute())
            return WriteFailure{EXDEV, "is a symbolic link that may lead outside the root folder"};
        relative = relative.parent_path() / target;
    }
    return WriteFailure{ELOOP, "too many symbolic links in a row"};
}

std::optional<int> open_root(const fs::path& root) {
    int fd;
    do fd = ::open(root.c_str(), folder_flags);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;
    return fd;
}

#endif

#ifdef _WIN32
Folder folder_of(const fs::path& path, int) { return Folder{path}; }
#else
Folder folder_of(const fs::path& path, int fd) { return Folder{path, fd}; }
#endif

}  // namespace

FileReplacement::FileReplacement(fs::path target, fs::path root, Durability durability)
    : target_(std::move(target)), root_(std::move(root)), durability_(durability) {}

FileReplacement::~FileReplacement() {
    if (mode_ == Mode::rewrite_in_place && file_ >= 0) {
        // The reservation may have grown the file; it gets its old size back.
        const std::optional<std::uint64_t> size = size_of(file_);
        if (size && *size != old_size_) set_size(file_, old_size_);
    }
    const bool made = mode_ == Mode::temporary || mode_ == Mode::created_in_place;
#ifdef _WIN32
    close_file();  // Windows removes no file that is open
    if (made) remove_in(folder_of(folder_path_, folder_fd_), temporary_);
#else
    // Removed while still held: no other save takes its slot in between.
    if (made) remove_in(folder_of(folder_path_, folder_fd_), temporary_);
    close_file();
    if (folder_fd_ >= 0) ::close(folder_fd_);
#endif
}

void FileReplacement::close_file() noexcept {
    // The descriptor stays open while a sync of it runs.
    finish_sync();
    if (file_ >= 0) close_descriptor(file_);
    file_ = -1;
}

void FileReplacement::start_sync() {
    if (durability_ == Durability::deferred) return;
    const int fd = file_;
    try {
        sync_ = std::async(std::launch::async, [fd] { return sync_file(fd); });
    } catch (const std::system_error&) {
        // No thread to be had: synced here instead, as the result commit() reads.
        std::promise<bool> done;
        done.set_value(sync_file(fd));
        sync_ = done.get_future();
    }
}

bool FileReplacement::finish_sync() noexcept {
    if (!sync_.valid()) return true;
    return sync_.get();
}

std::optional<WriteFailure> FileReplacement::failure() const { return failure_; }

bool FileReplacement::synced(int fd) const { return durability_ == Durability::deferred || sync_file(fd); }

WriteResult FileReplacement::refuse(int error_number, const std::string& reason) {
    failure_ = WriteFailure{error_number, reason};
    return WriteResult::open_failed;
}

// Finds the target's folder and its name there: under the root policy
// beneath the root, else at the path with the target's links followed.
WriteResult FileReplacement::resolve() {
    Folder where;
    if (root_.empty()) {
        // A path that names no file, or names a directory, cannot be written.
        if (!target_.has_filename()) return WriteResult::open_failed;
        const std::optional<fs::path> resolved = follow_links(target_);
        if (!resolved || !resolved->has_filename()) return WriteResult::open_failed;
        where.path = resolved->parent_path();
        name_ = resolved->filename();
    } else {
#ifdef _WIN32
        if (const std::optional<WriteFailure> refused = resolve_beneath(root_, target_, where, name_)) {
            return refuse(refused->error_number, refused->reason);
        }
#else
        const std::optional<int> root = open_root(root_);
        if (!root) return refuse(errno, "the root folder cannot be opened");
        const std::optional<WriteFailure> refused = resolve_beneath(*root, root_, target_, where, name_);
        ::close(*root);
        folder_fd_ = where.fd;
        if (refused) return refuse(refused->error_number, refused->reason);
#endif
    }
    folder_path_ = where.path;
    return WriteResult::written;
}

WriteResult FileReplacement::prepare(std::vector<std::uint8_t> contents) {
    contents_ = std::move(contents);
    const WriteResult resolved = resolve();
    if (resolved != WriteResult::written) return resolved;
    const Folder folder = folder_of(folder_path_, folder_fd_);

    const Entry entry = entry_in(folder, name_);
    const bool exists = entry.type != fs::file_type::not_found;
    // A file that cannot even be examined (a name too long, a directory on
    // the way without search permission) cannot be written either.
    if (entry.failed) return WriteResult::open_failed;
    // Nor can what is not a regular file: a FIFO, a device or a socket named
    // like an output would become a plain file, or a write to it block. (A
    // link here was swapped in since its links were followed.)
    if (exists && entry.type != fs::file_type::regular) {
        if (entry.type == fs::file_type::symlink) return WriteResult::open_failed;
        const std::optional<WriteFailure> kind = refusal_of_kind(entry.type);
        return refuse(kind->error_number, kind->reason);
    }
    // Under a root, a file with other names may have one outside the root:
    // writing it in place would change that one, and renaming over it split
    // them. It is refused.
    if (!root_.empty() && exists && entry.links > 1) return refuse(EMLINK, "has other hard links");
    if (exists && !may_write_in(folder, name_)) return WriteResult::open_failed;
    // Checked before a byte is written: the write would fail half-way.
    if (!within_file_size_limit(contents_.size())) return WriteResult::write_failed;

    if (!root_.empty()) {
        // Nothing in place under a root: a file written in place is written
        // wherever its name leads at that moment.
        const WriteResult result = prepare_temporary(exists);
        if (result == WriteResult::open_failed && !failure_) {
            return refuse(EACCES, "cannot be written: its folder takes no new file");
        }
        return result;
    }
    if (!exists || !(rename_over_refused(folder, name_) || entry.links > 1)) {
        const WriteResult result = prepare_temporary(exists);
        if (result != WriteResult::open_failed) return result;
    }
    return prepare_in_place(exists);
}

// `open_failed` when no temporary file can be made, or given the owner of
// the file it would replace: the target is then written in place.
WriteResult FileReplacement::prepare_temporary(bool exists) {
    const Folder folder = folder_of(folder_path_, folder_fd_);
    // The first slot no running save holds is taken; a slot left by a killed
    // save is removed and taken, and so is every other such slot after it.
    bool all_held = true;
    for (int slot = 0; slot < temporary_slots; ++slot) {
        const fs::path name = temporary_name(name_, slot);
        if (file_ >= 0) {
            remove_if_stale(folder, name);
            continue;
        }
        int fd = open_new_in(folder, name);
        int error = fd < 0 ? errno : 0;
        if (error == EEXIST && remove_if_stale(folder, name)) {
            fd = open_new_in(folder, name);
            error = fd < 0 ? errno : 0;
        }
        if (error == EEXIST) continue;
        if (fd < 0) {
            // The folder takes no new file (read-only, a name too long):
            // no slot would do.
            all_held = false;
            break;
        }
        file_ = fd;
        temporary_ = name;
        mode_ = Mode::temporary;
        if (!lock_temporary(fd)) {
            close_file();  // removed by another save's cleaning already
            mode_ = Mode::unprepared;
        }
    }
    if (file_ < 0) {
        // Every slot held by a save still running: this one cannot start.
        if (all_held) return WriteResult::write_failed;
        return WriteResult::open_failed;
    }
    if (exists && !keep_owner_and_mode(file_, folder, name_)) {
        remove_in(folder, temporary_);
        close_file();
        mode_ = Mode::unprepared;
        return WriteResult::open_failed;
    }
    if (!write_all(file_, contents_.data(), contents_.size())) return WriteResult::write_failed;
    start_sync();
    return WriteResult::written;
}

WriteResult FileReplacement::prepare_in_place(bool exists) {
    const Folder folder = folder_of(folder_path_, folder_fd_);
    if (!exists) {
        // A new file has no old contents to keep: it is written now, and
        // removed again unless committed.
        file_ = open_new_in(folder, name_);
        if (file_ < 0) return WriteResult::open_failed;
        temporary_ = name_;
        mode_ = Mode::created_in_place;
        const bool written = write_all(file_, contents_.data(), contents_.size()) && synced(file_);
        return written ? WriteResult::written : WriteResult::write_failed;
    }
    // Its old contents stay until commit, when it is rewritten; the room
    // for the new ones is taken now.
    file_ = open_existing_in(folder, name_);
    if (file_ < 0) return WriteResult::open_failed;
    // What was opened is what is written: a file that is not a regular one
    // (swapped in since it was examined) is left alone.
    if (!is_regular(file_)) {
        close_file();
        return WriteResult::open_failed;
    }
    mode_ = Mode::rewrite_in_place;
    const std::optional<std::uint64_t> size = size_of(file_);
    if (!size) return WriteResult::write_failed;
    old_size_ = *size;
    return reserve(file_, contents_.size(), old_size_) ? WriteResult::written : WriteResult::write_failed;
}

WriteResult FileReplacement::commit() {
    const Folder folder = folder_of(folder_path_, folder_fd_);
    switch (mode_) {
        case Mode::temporary: {
            // The new contents are on the disk before they replace anything.
            if (!finish_sync()) return WriteResult::write_failed;
#ifdef _WIN32
            close_file();  // Windows replaces no file that is open
#endif
            // Whatever took the target's name since prepare() and is not a
            // regular file is not renamed over; nor, under a root, a file
            // given another name since.
            const Entry entry = entry_in(folder, name_);
            const bool exists = entry.type != fs::file_type::not_found;
            if (exists && entry.type != fs::file_type::regular) {
                const std::optional<WriteFailure> kind = refusal_of_kind(entry.type);
                if (kind) return refuse(kind->error_number, kind->reason);
                return WriteResult::open_failed;
            }
            if (!root_.empty() && exists && entry.links > 1) return refuse(EMLINK, "has other hard links");
            if (!put_in_place(folder, temporary_, name_, exists)) return WriteResult::write_failed;
            mode_ = Mode::committed;
            if (durability_ == Durability::synced) sync_folder(folder);
            close_file();  // the lock goes with the name
            break;
        }
        case Mode::created_in_place:
            mode_ = Mode::committed;
            close_file();
            if (durability_ == Durability::synced) sync_folder(folder);
            break;
        case Mode::rewrite_in_place: {
            const std::size_t size = contents_.size();
            const bool written = write_all(file_, contents_.data(), size) &&
                                 (size >= old_size_ || set_size(file_, size)) && synced(file_);
            mode_ = Mode::committed;
            close_file();
            if (!written) return WriteResult::write_failed;
            break;
        }
        case Mode::unprepared:
        case Mode::committed:
            return WriteResult::open_failed;
    }
    return WriteResult::written;
}

fs::path FileReplacement::prepared_file() const {
    return mode_ == Mode::temporary || mode_ == Mode::created_in_place ? folder_path_ / temporary_ : fs::path();
}

namespace {

// The bytes of the regular file open at `fd`, `size` of them by its status,
// and whatever it grew by since; more than `limit` is refused.
FileRead read_open_file(int fd, std::uint64_t size, std::size_t limit) {
    FileRead result;
    const auto too_large = [&] {
        result.bytes.reset();
        result.error_number = EFBIG;
        result.reason = "is larger than " + std::to_string(limit) + " bytes";
        return result;
    };
    if (size > limit) return too_large();
    FileBytes bytes(static_cast<std::size_t>(size));
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            // Read to the end: a file that grew since its status was taken
            // is read on, up to the limit.
            if (bytes.size() > limit) return too_large();
            // One byte past the limit tells a file above it.
            const std::size_t cap = limit < std::numeric_limits<std::size_t>::max() ? limit + 1 : limit;
            bytes.resize(std::min<std::size_t>(bytes.size() + (std::size_t{1} << 16), cap));
        }
#ifdef _WIN32
        const int got =
            ::_read(fd, bytes.data() + done,
                    static_cast<unsigned>(std::min<std::size_t>(bytes.size() - done, std::size_t{1} << 30)));
#else
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
#endif
        if (got < 0) {
            result.error_number = errno;
            result.reason = std::strerror(errno);
            return result;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    if (done > limit) return too_large();
    bytes.resize(done);
    result.bytes = std::move(bytes);
    return result;
}

FileRead read_failure(int error_number, const std::string& reason) {
    FileRead result;
    result.error_number = error_number;
    result.reason = reason;
    return result;
}

FileRead opened_failure(int error_number) {
    if (error_number == ENOENT) return read_failure(ENOENT, "does not exist");
    if (error_number == EISDIR) return read_failure(EISDIR, "is a folder");
    if (error_number == EACCES) return read_failure(EACCES, "cannot be read: permission denied");
    return read_failure(error_number, std::strerror(error_number));
}

}  // namespace

FileRead read_regular_file(const fs::path& path, const fs::path& root, std::size_t limit) {
    int fd = -1;
#ifdef _WIN32
    fs::path file = path;
    if (!root.empty()) {
        Folder folder;
        fs::path name;
        if (const std::optional<WriteFailure> refused = resolve_beneath(root, path, folder, name)) {
            return read_failure(refused->error_number, refused->reason);
        }
        file = in(folder, name);
    }
    if (fs::is_directory(file)) return read_failure(EISDIR, "is a folder");
    ::_wsopen_s(&fd, file.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0);
    if (fd < 0) return opened_failure(errno);
    struct _stat64 status{};
    const bool examined = ::_fstat64(fd, &status) == 0;
    const fs::file_type type = !examined                                ? fs::file_type::unknown
                               : (status.st_mode & _S_IFMT) == _S_IFREG ? fs::file_type::regular
                               : (status.st_mode & _S_IFMT) == _S_IFDIR ? fs::file_type::directory
                               : (status.st_mode & _S_IFMT) == _S_IFCHR ? fs::file_type::character
                                                                        : fs::file_type::unknown;
#else
    if (root.empty()) {
        // Not blocking: a FIFO opened for reading would wait for a writer.
        do fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
        if (fd < 0) return opened_failure(errno);
    } else {
        const fs::path relative = path.lexically_normal();
        if (relative.is_absolute() || (!relative.empty() && *relative.begin() == "..")) {
            return read_failure(EXDEV, "leads outside the root folder");
        }
        const std::optional<int> root_fd = open_root(root);
        if (!root_fd) return read_failure(errno, "the root folder cannot be opened");
        fd = open_beneath(*root_fd, relative, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const int error = errno;
        ::close(*root_fd);
        if (fd < 0) {
            if (error == ENOENT || error == EACCES || error == EISDIR) return opened_failure(error);
            if (error == ELOOP) return read_failure(ELOOP, "is a symbolic link that cannot be followed safely");
            const std::optional<WriteFailure> refused = failure_beneath(error);
            return read_failure(refused->error_number, refused->reason);
        }
    }
    struct stat status{};
    const bool examined = ::fstat(fd, &status) == 0;
    const fs::file_type type = examined ? type_of(status.st_mode) : fs::file_type::unknown;
#endif
    FileRead result;
    if (!examined) {
        result = read_failure(errno, std::strerror(errno));
    } else if (type != fs::file_type::regular) {
        const std::optional<WriteFailure> kind = refusal_of_kind(type);
        result = read_failure(kind ? kind->error_number : EINVAL, kind ? kind->reason : "is not a regular file");
    } else {
        result = read_open_file(fd, static_cast<std::uint64_t>(status.st_size), limit);
    }
    close_descriptor(fd);
    return result;
}

WriteFailure describe_write_failure(const fs::path& target, WriteResult result) {
    if (result == WriteResult::write_failed) return {EIO, "could not be written in full"};
    if (!target.has_filename()) return {EISDIR, "names a folder, not a file"};
    const std::optional<fs::path> file = follow_links(target);
    if (!file) return {ELOOP, "too many symbolic links in a row"};
    std::error_code ec;
    const fs::file_status status = fs::status(*file, ec);
    if (ec == std::errc::filename_too_long) return {ENAMETOOLONG, "has a name too long"};
    if (fs::is_directory(status)) return {EISDIR, "is a folder"};
    if (const char* kind = kind_of_special_file(status.type())) {
        return {EINVAL, std::string("is not a regular file (") + kind + ")"};
    }
    if (status.type() != fs::file_type::not_found && !ec &&
        !may_write_in(folder_of(file->parent_path(), -1), file->filename())) {
        return {EACCES, "is read-only"};
    }
    const fs::path folder = file->has_parent_path() ? file->parent_path() : fs::path(".");
    if (!fs::is_directory(fs::status(folder, ec))) return {ENOENT, "its folder does not exist"};
    return {EACCES, "cannot be created: its folder cannot be written"};
}

WriteResult write_file_atomically(const fs::path& target, std::vector<std::uint8_t> contents) {
    FileReplacement file(target);
    const WriteResult prepared = file.prepare(std::move(contents));
    return prepared == WriteResult::written ? file.commit() : prepared;
}

std::optional<std::pair<fs::path, WriteFailure>> sync_written_files(const std::vector<fs::path>& files) {
    const auto failed = [](const fs::path& path, int error_number) {
        return std::make_optional(std::make_pair(
            path,
            WriteFailure{error_number, std::string("cannot be synced to the disk: ") + std::strerror(error_number)}));
    };
    // Each folder once: several thousand frames go to a few folders.
    std::vector<fs::path> folders;
    for (const fs::path& file : files) {
        fs::path folder = file.parent_path();
        if (folder.empty()) folder = ".";
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
    }
#ifdef _WIN32
    // FlushFileBuffers (under _commit) on each file; a rename is written
    // through by MoveFileExW itself.
    for (const fs::path& file : files) {
        int fd = -1;
        ::_wsopen_s(&fd, file.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0);
        if (fd < 0) continue;  // gone since, or never made
        const bool done = !is_regular(fd) || sync_file(fd);
        const int error_number = errno;
        ::_close(fd);
        if (!done) return failed(file, error_number);
    }
    return std::nullopt;
#else
#ifdef __linux__
    // One syncfs per file system writes out the files, their folders and
    // the renames, in a single call each.
    std::vector<dev_t> devices;
    for (const fs::path& folder : folders) {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat status{};
        bool done = true;
        int error_number = 0;
        if (::fstat(fd, &status) == 0 && std::find(devices.begin(), devices.end(), status.st_dev) == devices.end()) {
            devices.push_back(status.st_dev);
            done = ::syncfs(fd) == 0;
            error_number = errno;
        }
        ::close(fd);
        if (!done) return failed(folder, error_number);
    }
    return std::nullopt;
#else
    for (const fs::path& file : files) {
        // Without blocking, and only a regular file: the name may have been
        // given to a FIFO since.
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        if (fd < 0) continue;
        struct stat status{};
        const bool done = ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || sync_file(fd);
        const int error_number = errno;
        ::close(fd);
        if (!done) return failed(file, error_number);
    }
    for (const fs::path& folder : folders) sync_folder(Folder{folder, -1});
    return std::nullopt;
#endif
#endif
}

bool name_the_same_file(const fs::path& a, const fs::path& b) {
    const std::optional<fs::path> file_a = follow_links(a);
    const std::optional<fs::path> file_b = follow_links(b);
    if (!file_a || !file_b) return false;
    std::error_code ec;
    if (fs::equivalent(*file_a, *file_b, ec)) return true;
    // Made absolute first: a relative path whose first component does not
    // exist would stay relative.
    const auto spelled = [](const fs::path& file) -> std::optional<fs::path> {
        std::error_code ec;
        const fs::path absolute = fs::absolute(file, ec);
        if (ec) return std::nullopt;
        fs::path canonical = fs::weakly_canonical(absolute, ec);
        if (ec) return std::nullopt;
        return canonical;
    };
    const std::optional<fs::path> spelled_a = spelled(*file_a);
    const std::optional<fs::path> spelled_b = spelled(*file_b);
    if (!spelled_a || !spelled_b) return false;
#ifdef _WIN32
    // Windows finds a file by its name in any case.
    std::wstring text_a = spelled_a->native();
    std::wstring text_b = spelled_b->native();
    for (std::wstring* text : {&text_a, &text_b}) {
        for (wchar_t& c : *text) c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
    }
    return fs::path(text_a) == fs::path(text_b);
#else
    return *spelled_a == *spelled_b;
#endif
}

void report_write_failure(WriteResult result, const std::string& kind, const std::string& path) {
    if (result == WriteResult::open_failed) {
        report_error("Could not open " + kind + " file for writing: " + path);
    } else if (result == WriteResult::write_failed) {
        report_error("Could not write " + kind + " file: " + path);
    }
}

}  // namespace pykiv::io
