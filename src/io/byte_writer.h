// Little-endian field writers, into a binary output stream or a byte buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <type_traits>
#include <vector>

namespace pykiv::io {

template <typename T>
void write_le(std::ostream& out, T value) {
    static_assert(std::is_integral_v<T>, "fields are integers");
    const auto raw = static_cast<std::make_unsigned_t<T>>(value);
    char bytes[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        bytes[i] = static_cast<char>((raw >> (8 * i)) & 0xFFu);
    }
    out.write(bytes, sizeof(T));
}

template <typename T>
void write_le(std::vector<std::uint8_t>& out, T value) {
    static_assert(std::is_integral_v<T>, "fields are integers");
    const auto raw = static_cast<std::make_unsigned_t<T>>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<std::uint8_t>((raw >> (8 * i)) & 0xFFu));
    }
}

}  // namespace pykiv::io
