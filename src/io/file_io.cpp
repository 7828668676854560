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
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
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
#ifdef _WIN32

int open_new_file(const fs::path& path) {
    int fd = -1;
    ::_wsopen_s(&fd, path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                _S_IREAD | _S_IWRITE);
    return fd;
}

int open_existing_file(const fs::path& path) {
    int fd = -1;
    ::_wsopen_s(&fd, path.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0);
    return fd;
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
// a temporary file needs no lock of its own.
bool lock_temporary(int) { return true; }

bool is_stale_temporary(const fs::path&) { return true; }

// The rename is written through to the disk by MoveFileExW itself.
void sync_directory(const fs::path&) {}

// ReplaceFileW keeps the replaced file's security descriptor (owner and
// access list), attributes and streams; a new file is moved into place.
bool put_in_place(const fs::path& temporary, const fs::path& target, bool exists) {
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

bool keep_owner_and_mode(int, const fs::path&) { return true; }

bool has_other_links(const fs::path& file) {
    std::error_code ec;
    const std::uintmax_t links = fs::hard_link_count(file, ec);
    return !ec && links > 1;
}

#else

int open_new_file(const fs::path& path) {
    int fd;
    do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// The target is opened only after its links were followed, so a link found
// here was swapped in since: refused. A FIFO swapped in would block an open
// for writing until a reader came; without waiting, it is seen for what it
// is (or the open fails) and refused by is_regular.
int open_existing_file(const fs::path& path) {
    int fd;
    do fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    while (fd < 0 && errno == EINTR);
    return fd;
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

// Whether no running save holds the temporary file at `path`: its lock can
// be taken, and the name still names the file locked.
bool is_stale_temporary(const fs::path& path) {
    // Any access will do for the lock; a temporary file keeps the permission
    // bits of its target, which may allow writing only.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    bool stale = false;
    struct stat locked{};
    struct stat named{};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &locked) == 0 && ::lstat(path.c_str(), &named) == 0) {
        stale = S_ISREG(locked.st_mode) && locked.st_dev == named.st_dev && locked.st_ino == named.st_ino;
    }
    ::close(fd);
    return stale;
}

// A rename is a change of the directory, which is synced on its own.
void sync_directory(const fs::path& directory) {
    const fs::path path = directory.empty() ? fs::path(".") : directory;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // Some file systems cannot sync a directory; the rename is then as
    // durable as they make it.
    (void)::fsync(fd);
    ::close(fd);
}

bool put_in_place(const fs::path& temporary, const fs::path& target, bool) {
    return ::rename(temporary.c_str(), target.c_str()) == 0;
}

// Gives the new file the owner, group and permission bits of the file it
// replaces. False when the caller may not: a user can give a file away
// only to a group of its own, and never to another user.
bool keep_owner_and_mode(int fd, const fs::path& replaced) {
    struct stat old_status{};
    struct stat new_status{};
    if (::stat(replaced.c_str(), &old_status) != 0 || ::fstat(fd, &new_status) != 0) return false;
    if ((new_status.st_uid != old_status.st_uid || new_status.st_gid != old_status.st_gid) &&
        ::fchown(fd, old_status.st_uid, old_status.st_gid) != 0) {
        return false;
    }
    // After the owner: changing it clears the set-user-ID and set-group-ID
    // bits. Set before anything is written, so that the contents of a
    // private file are never readable by others.
    return ::fchmod(fd, old_status.st_mode & 07777) == 0;
}

bool has_other_links(const fs::path& file) {
    struct stat status{};
    return ::stat(file.c_str(), &status) == 0 && status.st_nlink > 1;
}

#endif

// Temporary files are named after a hash of their target's name, so that a
// save finds those of its own target: hidden, with a random part, and
// short, so that the name fits wherever the target's name fits.
constexpr std::string_view temporary_prefix = ".pykiv-";
constexpr std::string_view temporary_suffix = ".tmp";

std::string hex(std::uint64_t n, int digits) {
    static const char hex_digits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < digits; ++i, n >>= 4) text += hex_digits[n & 0xF];
    return text;
}

// The start of the names of `target`'s temporary files.
std::string temporary_stem(const fs::path& target) {
    // FNV-1a over the name's bytes.
    std::uint32_t hash = 2166136261u;
    const fs::path::string_type name = target.filename().native();
    for (const auto unit : name) hash = (hash ^ static_cast<std::uint32_t>(unit)) * 16777619u;
    return std::string(temporary_prefix) + hex(hash, 8) + "-";
}

fs::path temporary_sibling(const fs::path& target) {
    static std::atomic<std::uint64_t> counter{0};
    static const std::uint64_t seed = [] {
        std::random_device device;
        return (std::uint64_t(device()) << 32) ^ device() ^
               std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    }();
    std::uint64_t n = seed + 0x9E3779B97F4A7C15ull * ++counter;
    n ^= n >> 31;
    return target.parent_path() / fs::u8path(temporary_stem(target) + hex(n, 12) + std::string(temporary_suffix));
}

// Removes the temporary files of saves of `target` that were killed before
// they could remove their own. Those of a save still running are kept.
void remove_stale_temporaries(const fs::path& target) {
    // The folder of a game may hold thousands of files: names are compared
    // as the system lists them, without a path made for each.
    const fs::path::string_type stem = fs::u8path(temporary_stem(target)).native();
    const fs::path::string_type suffix = fs::u8path(std::string(temporary_suffix)).native();
    const std::size_t name_size = stem.size() + 12 + suffix.size();
    const fs::path directory = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    const auto remove_if_stale = [&](const fs::path::string_type& name) {
        if (name.size() != name_size || name.compare(0, stem.size(), stem) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            return;
        }
        const fs::path path = directory / name;
        std::error_code ec;
        if (is_stale_temporary(path)) fs::remove(path, ec);
    };
#ifdef _WIN32
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        remove_if_stale(it->path().filename().native());
    }
#else
    DIR* const listing = ::opendir(directory.c_str());
    if (listing == nullptr) return;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strncmp(entry->d_name, stem.c_str(), stem.size()) == 0) names.emplace_back(entry->d_name);
    }
    ::closedir(listing);
    for (const std::string& name : names) remove_if_stale(name);
#endif
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
const char* kind_of_special_file(const fs::file_status& status) {
    switch (status.type()) {
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

// Whether this process may open an existing file for writing: false for a
// read-only file, as Python's own open() would find.
bool may_write(const fs::path& file) {
#ifdef _WIN32
    return ::_waccess(file.c_str(), 2) == 0;
#else
    return ::access(file.c_str(), W_OK) == 0;
#endif
}

// In a directory with the sticky bit (such as /tmp) only the owner of a file
// or of the directory may rename over the file, though others may write it.
bool rename_over_refused(const fs::path& file) {
#ifdef _WIN32
    (void)file;
    return false;
#else
    const uid_t user = ::geteuid();
    if (user == 0) return false;
    const fs::path parent = file.has_parent_path() ? file.parent_path() : fs::path(".");
    struct stat directory_status{};
    struct stat file_status{};
    if (::stat(parent.c_str(), &directory_status) != 0 || (directory_status.st_mode & S_ISVTX) == 0) return false;
    if (::stat(file.c_str(), &file_status) != 0) return false;
    return file_status.st_uid != user && directory_status.st_uid != user;
#endif
}

}  // namespace

FileReplacement::FileReplacement(fs::path target) : target_(std::move(target)) {}

FileReplacement::~FileReplacement() {
    if (mode_ == Mode::rewrite_in_place && file_ >= 0) {
        // The reservation may have grown the file; it gets its old size back.
        const std::optional<std::uint64_t> size = size_of(file_);
        if (size && *size != old_size_) set_size(file_, old_size_);
    }
    close_file();
    if (mode_ == Mode::temporary || mode_ == Mode::created_in_place) {
        std::error_code ec;
        fs::remove(temporary_, ec);
    }
}

void FileReplacement::close_file() noexcept {
    if (file_ >= 0) close_descriptor(file_);
    file_ = -1;
}

WriteResult FileReplacement::prepare(std::vector<std::uint8_t> contents) {
    contents_ = std::move(contents);
    // A path that names no file, or names a directory, cannot be written.
    if (!target_.has_filename()) return WriteResult::open_failed;
    const std::optional<fs::path> resolved = follow_links(target_);
    if (!resolved || !resolved->has_filename()) return WriteResult::open_failed;
    resolved_ = *resolved;

    std::error_code ec;
    const fs::file_status status = fs::status(resolved_, ec);
    const bool exists = status.type() != fs::file_type::not_found;
    // A file that cannot even be examined (a name too long, a directory on
    // the way without search permission) cannot be written either.
    if (exists && ec) return WriteResult::open_failed;
    // Nor can what is not a regular file: a FIFO, a device or a socket named
    // like an output would become a plain file, or a write to it block.
    if (exists && !fs::is_regular_file(status)) return WriteResult::open_failed;
    if (exists && !may_write(resolved_)) return WriteResult::open_failed;
    // Checked before a byte is written: the write would fail half-way.
    if (!within_file_size_limit(contents_.size())) return WriteResult::write_failed;

    if (!exists || !(rename_over_refused(resolved_) || has_other_links(resolved_))) {
        const WriteResult result = prepare_temporary(exists);
        if (result != WriteResult::open_failed) return result;
    }
    return prepare_in_place(exists);
}

// `open_failed` when no temporary file can be made, or given the owner of
// the file it would replace: the target is then written in place.
WriteResult FileReplacement::prepare_temporary(bool exists) {
    remove_stale_temporaries(resolved_);
    for (int attempt = 0; attempt < 8 && file_ < 0; ++attempt) {
        const fs::path path = temporary_sibling(resolved_);
        const int fd = open_new_file(path);
        if (fd < 0) continue;
        file_ = fd;
        temporary_ = path;
        mode_ = Mode::temporary;
        if (!lock_temporary(fd)) {
            close_file();  // removed by another save's cleaning already
            mode_ = Mode::unprepared;
        }
    }
    if (file_ < 0) return WriteResult::open_failed;
    if (exists && !keep_owner_and_mode(file_, resolved_)) {
        close_file();
        std::error_code ec;
        fs::remove(temporary_, ec);
        mode_ = Mode::unprepared;
        return WriteResult::open_failed;
    }
    const bool written = write_all(file_, contents_.data(), contents_.size()) && sync_file(file_);
    return written ? WriteResult::written : WriteResult::write_failed;
}

WriteResult FileReplacement::prepare_in_place(bool exists) {
    if (!exists) {
        // A new file has no old contents to keep: it is written now, and
        // removed again unless committed.
        file_ = open_new_file(resolved_);
        if (file_ < 0) return WriteResult::open_failed;
        temporary_ = resolved_;
        mode_ = Mode::created_in_place;
        const bool written = write_all(file_, contents_.data(), contents_.size()) && sync_file(file_);
        return written ? WriteResult::written : WriteResult::write_failed;
    }
    // Its old contents stay until commit, when it is rewritten; the room
    // for the new ones is taken now.
    file_ = open_existing_file(resolved_);
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
    switch (mode_) {
        case Mode::temporary: {
#ifdef _WIN32
            close_file();  // Windows replaces no file that is open
#endif
            std::error_code ec;
            const fs::file_status status = fs::symlink_status(resolved_, ec);
            const bool exists = status.type() != fs::file_type::not_found;
            // Whatever took the target's name since prepare() and is not a
            // regular file is not renamed over.
            if (exists && !fs::is_regular_file(status)) return WriteResult::open_failed;
            if (!put_in_place(temporary_, resolved_, exists)) return WriteResult::write_failed;
            mode_ = Mode::committed;
            sync_directory(resolved_.parent_path());
            close_file();  // the lock goes with the name
            break;
        }
        case Mode::created_in_place:
            mode_ = Mode::committed;
            close_file();
            sync_directory(resolved_.parent_path());
            break;
        case Mode::rewrite_in_place: {
            const std::size_t size = contents_.size();
            const bool written = write_all(file_, contents_.data(), size) &&
                                 (size >= old_size_ || set_size(file_, size)) && sync_file(file_);
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
    return mode_ == Mode::temporary || mode_ == Mode::created_in_place ? temporary_ : fs::path();
}

WriteFailure describe_write_failure(const fs::path& target, WriteResult result) {
    if (result == WriteResult::write_failed) return {EIO, "could not be written in full"};
    if (!target.has_filename()) return {EISDIR, "names a folder, not a file"};
    const std::optional<fs::path> file = follow_links(target);
    if (!file) return {ELOOP, "too many symbolic links in a row"};
    std::error_code ec;
    const fs::file_status status = fs::status(*file, ec);
    if (fs::is_directory(status)) return {EISDIR, "is a folder"};
    if (const char* kind = kind_of_special_file(status)) {
        return {EINVAL, std::string("is not a regular file (") + kind + ")"};
    }
    if (status.type() != fs::file_type::not_found && !ec && !may_write(*file)) return {EACCES, "is read-only"};
    const fs::path folder = file->has_parent_path() ? file->parent_path() : fs::path(".");
    if (!fs::is_directory(fs::status(folder, ec))) return {ENOENT, "its folder does not exist"};
    return {EACCES, "cannot be created: its folder cannot be written"};
}

WriteResult write_file_atomically(const fs::path& target, std::vector<std::uint8_t> contents) {
    FileReplacement file(target);
    const WriteResult prepared = file.prepare(std::move(contents));
    return prepared == WriteResult::written ? file.commit() : prepared;
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
