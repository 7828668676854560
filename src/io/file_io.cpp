#include "io/file_io.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace pykiv::io {

fs::path path_from_utf8(const std::string& text) {
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

std::string path_to_utf8(const fs::path& path) {
    return path.u8string();
}

std::optional<std::vector<std::uint8_t>> read_file(const fs::path& path, std::size_t limit) {
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

    std::vector<std::uint8_t> bytes;
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

// Removes the temporary file unless it was renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(fs::path path) : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!path_.empty()) {
            std::error_code ec;
            fs::remove(path_, ec);
        }
    }
    const fs::path& path() const { return path_; }
    void keep() { path_.clear(); }

private:
    fs::path path_;
};

}  // namespace

WriteResult write_file_atomically(const fs::path& target,
                                  const std::function<void(std::ostream&)>& write_contents) {
    // A path that names no file, or names a directory, cannot be written.
    std::error_code ec;
    if (!target.has_filename() || fs::is_directory(target, ec)) return WriteResult::open_failed;

    std::ofstream out;
    fs::path temporary_path;
    for (int attempt = 0; attempt < 8 && !out.is_open(); ++attempt) {
        temporary_path = temporary_sibling(target);
        if (fs::exists(temporary_path, ec) || ec) continue;
        out.open(temporary_path, std::ios::binary | std::ios::trunc);
    }
    if (!out.is_open()) return WriteResult::open_failed;

    TemporaryFile temporary(temporary_path);
    try {
        write_contents(out);
    } catch (...) {
        // Windows does not remove a file that is still open.
        out.close();
        throw;
    }
    out.flush();
    bool good = out.good();
    out.close();
    good = good && !out.fail();
    if (!good) return WriteResult::write_failed;

    fs::rename(temporary.path(), target, ec);
    if (ec) return WriteResult::write_failed;
    temporary.keep();
    return WriteResult::written;
}

void report_error(const std::string& message) {
    std::cerr << "ERROR: " << message << '\n';
    std::cerr.flush();
}

}  // namespace pykiv::io
