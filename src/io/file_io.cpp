#include "io/file_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "io/error_line.h"

#ifdef _WIN32
#include <io.h>

#include <cwctype>
#else
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

// A name for the temporary file that is unlikely to exist already: hidden,
// with a random part, and short, so that it fits wherever the target's name
// fits.
fs::path temporary_sibling(const fs::path& target) {
    static std::atomic<std::uint64_t> counter{0};
    static const std::uint64_t seed = [] {
        std::random_device device;
        return (std::uint64_t(device()) << 32) ^ device() ^
               std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    }();
    std::uint64_t n = seed + 0x9E3779B97F4A7C15ull * ++counter;
    n ^= n >> 31;
    static const char digits[] = "0123456789abcdef";
    std::string name = ".pykiv-";
    for (int i = 0; i < 12; ++i, n >>= 4) name += digits[n & 0xF];
    name += ".tmp";
    return target.parent_path() / fs::u8path(name);
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

// Runs `write_contents` on an open stream and closes it. False when a write,
// the flush or the close failed.
bool write_and_close(std::ofstream& out, const std::function<void(std::ostream&)>& write_contents) {
    try {
        write_contents(out);
    } catch (...) {
        // Windows does not remove a file that is still open.
        out.close();
        throw;
    }
    out.flush();
    const bool good = out.good();
    out.close();
    return good && !out.fail();
}

}  // namespace

FileReplacement::FileReplacement(fs::path target) : target_(std::move(target)) {}

FileReplacement::~FileReplacement() {
    if (mode_ == Mode::temporary || mode_ == Mode::created_in_place) {
        std::error_code ec;
        fs::remove(temporary_, ec);
    }
}

WriteResult FileReplacement::prepare(std::function<void(std::ostream&)> write_contents) {
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
    if (fs::is_directory(status)) return WriteResult::open_failed;
    if (exists && !may_write(resolved_)) return WriteResult::open_failed;

    std::ofstream out;
    if (!exists || !rename_over_refused(resolved_)) {
        fs::path temporary_path;
        for (int attempt = 0; attempt < 8 && !out.is_open(); ++attempt) {
            temporary_path = temporary_sibling(resolved_);
            if (fs::exists(temporary_path, ec) || ec) continue;
            out.open(temporary_path, std::ios::binary | std::ios::trunc);
        }
        if (out.is_open()) {
            temporary_ = temporary_path;
            mode_ = Mode::temporary;
            // Set before anything is written, so that the contents of a
            // private file are never readable by others.
            if (exists) fs::permissions(temporary_, status.permissions() & fs::perms::mask, ec);
            return write_and_close(out, write_contents) ? WriteResult::written : WriteResult::write_failed;
        }
    }

    // Nothing can be made beside the target: the target is written itself.
    if (exists) {
        // Its old contents stay until commit, when it is rewritten.
        write_contents_ = std::move(write_contents);
        mode_ = Mode::rewrite_in_place;
        return WriteResult::written;
    }
    // A new file has no old contents to keep: it is written now, and
    // removed again unless committed.
    out.open(resolved_, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return WriteResult::open_failed;
    temporary_ = resolved_;
    mode_ = Mode::created_in_place;
    return write_and_close(out, write_contents) ? WriteResult::written : WriteResult::write_failed;
}

WriteResult FileReplacement::commit() {
    switch (mode_) {
        case Mode::temporary: {
            std::error_code ec;
            fs::rename(temporary_, resolved_, ec);
            if (ec) return WriteResult::write_failed;
            break;
        }
        case Mode::created_in_place:
            break;
        case Mode::rewrite_in_place: {
            std::ofstream out(resolved_, std::ios::binary | std::ios::trunc);
            if (!out.is_open()) return WriteResult::open_failed;
            if (!write_and_close(out, write_contents_)) return WriteResult::write_failed;
            break;
        }
        case Mode::unprepared:
        case Mode::committed:
            return WriteResult::open_failed;
    }
    mode_ = Mode::committed;
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
    if (status.type() != fs::file_type::not_found && !ec && !may_write(*file)) return {EACCES, "is read-only"};
    const fs::path folder = file->has_parent_path() ? file->parent_path() : fs::path(".");
    if (!fs::is_directory(fs::status(folder, ec))) return {ENOENT, "its folder does not exist"};
    return {EACCES, "cannot be created: its folder cannot be written"};
}

WriteResult write_file_atomically(const fs::path& target, const std::function<void(std::ostream&)>& write_contents) {
    FileReplacement file(target);
    const WriteResult prepared = file.prepare(write_contents);
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
