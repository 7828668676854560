// PNG files as the tool reads and writes them: an eight-byte signature, then
// chunks, each its data's length (4 bytes, big-endian), a type of four ASCII
// letters, the data, and the CRC-32 of type and data. The pixels are in the
// IDAT chunks, one zlib stream split among them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pykiv::image {

inline constexpr std::uint8_t png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// A chunk's length field may not exceed 2^31 - 1.
inline constexpr std::uint32_t png_max_chunk_length = 0x7FFFFFFFu;

// The CRC-32 of a chunk: of its type's four bytes, then its data.
std::uint32_t png_chunk_crc(const std::uint8_t type[4], const std::uint8_t* data, std::size_t size);

inline std::uint32_t read_be32(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
           std::uint32_t{bytes[3]};
}

inline void write_be32(std::uint8_t* bytes, std::uint32_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 24);
    bytes[1] = static_cast<std::uint8_t>(value >> 16);
    bytes[2] = static_cast<std::uint8_t>(value >> 8);
    bytes[3] = static_cast<std::uint8_t>(value);
}

}  // namespace pykiv::image
