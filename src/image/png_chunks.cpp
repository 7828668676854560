#include "image/png_chunks.h"

#include <libdeflate.h>

namespace pykiv::image {

std::uint32_t png_chunk_crc(const std::uint8_t type[4], const std::uint8_t* data, std::size_t size) {
    const std::uint32_t crc = libdeflate_crc32(0, type, 4);
    return size == 0 ? crc : libdeflate_crc32(crc, data, size);
}

}  // namespace pykiv::image
