// Little-endian field reader over bytes held in memory.
//
// Both file formats are read field by field with the semantics of a plain
// binary stream: a read that finds too few bytes fails, and once failed the
// reader stays failed until it is cleared, so every later read finds nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace pykiv::io {

// Reads bytes it does not own: they must outlive the reader.
class ByteReader {
public:
    ByteReader(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

    bool failed() const { return failed_; }
    void clear() { failed_ = false; }
    void set_failed() { failed_ = true; }

    // Bytes between the read position and the end; 0 once failed.
    std::size_t remaining() const { return failed_ || pos_ >= size_ ? 0 : size_ - pos_; }

    // The offset of the read position from the start of the bytes; the end
    // once failed.
    std::size_t offset() const { return failed_ || pos_ >= size_ ? size_ : pos_; }

    // The next `count` bytes where they are, read past; null, with nothing
    // read, when fewer remain.
    const std::uint8_t* take(std::size_t count) {
        if (remaining() < count) return nullptr;
        const std::uint8_t* at = bytes_ + pos_;
        pos_ += count;
        return at;
    }

    // Where the read position is in the bytes (their end once failed), for
    // a caller that reads many small fields from remaining() bytes itself
    // and then skip()s past them.
    const std::uint8_t* here() const { return bytes_ + offset(); }

    // Moves to an absolute offset. Offsets past the end are allowed, as on a
    // stream; the next read then fails.
    void seek(std::size_t offset) {
        if (!failed_) pos_ = offset;
    }

    void skip(std::size_t count) {
        if (!failed_) pos_ += count;
    }

    // Reads one little-endian integer. All or nothing: a short read leaves
    // `value` as it was and fails the reader.
    template <typename T>
    bool read(T& value) {
        static_assert(std::is_integral_v<T>, "fields are integers");
        if (remaining() < sizeof(T)) {
            fail_at_end();
            return false;
        }
        std::make_unsigned_t<T> raw = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            raw = static_cast<std::make_unsigned_t<T>>(raw | (std::make_unsigned_t<T>(bytes_[pos_ + i]) << (8 * i)));
        }
        pos_ += sizeof(T);
        value = static_cast<T>(raw);
        return true;
    }

    // Copies up to `count` bytes into `out`, as a stream's unformatted read
    // does: the bytes that are there arrive, the rest of `out` is left as it
    // was, and a short read fails the reader. Returns the number copied.
    std::size_t read_some(void* out, std::size_t count) {
        const std::size_t available = remaining();
        const std::size_t copied = count < available ? count : available;
        if (copied != 0) std::memcpy(out, bytes_ + pos_, copied);
        pos_ += copied;
        if (copied < count) fail_at_end();
        return copied;
    }

    // The next `count` bytes where they are, read past, or as many of them
    // as remain (`held` says how many; null when none): fewer than `count`
    // fail the reader.
    const std::uint8_t* take_some(std::size_t count, std::size_t& held) {
        const std::size_t available = remaining();
        held = count < available ? count : available;
        const std::uint8_t* at = held != 0 ? bytes_ + pos_ : nullptr;
        if (held < count) {
            fail_at_end();
        } else {
            pos_ += held;
        }
        return at;
    }

private:
    void fail_at_end() {
        failed_ = true;
        pos_ = size_;
    }

    const std::uint8_t* bytes_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

}  // namespace pykiv::io
