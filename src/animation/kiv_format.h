// Constants of the animation file layout, shared by its reader and writer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pykiv::kiv_format {

// The optional prefix: magic, 4 reserved bytes, then the has_background byte.
inline constexpr char prefix_magic[4] = {'K', 'V', 'I', 'F'};
inline constexpr std::size_t prefix_flag_offset = 8;
// The magic read as a little-endian u32: a speed with this value, stored
// first in a file without the prefix, reads as the prefix.
inline constexpr std::uint32_t prefix_magic_as_u32 = 0x4649564B;

// Bit 15 of a frame's height word marks a shadow frame.
inline constexpr std::uint16_t shadow_flag = 0x8000;
// From the first shadow frame of a file on, heights keep only these bits.
inline constexpr std::uint16_t shadow_mode_height_mask = 0xFF;

// frame_size, height word, width, two offsets, unk1, unk2.
inline constexpr std::size_t min_frame_record_size = 14;

}  // namespace pykiv::kiv_format
