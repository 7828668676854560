// The animation file layout, and its constants shared by the decoder and the
// encoder. Integers are little-endian; there is no padding, no checksum and
// no trailer, and bytes after the last frame record are ignored.
//
//   optional prefix   "KVIF", 4 reserved bytes (written as zeros, never
//                     read), 1 byte has_background (non-zero: true)
//   speed             u32, kept as stored
//   location size L   u32
//   location          L bytes: the palette's path relative to a project
//                     root, ended by a zero byte that L counts
//   frame count N     u32, not counting the background frame
//   N frame records, and one more when has_background is set
//
// Frame record:
//   frame_size u32 (kept as stored, not the record's real size)
//   height word u16: bit 15 marks a shadow frame
//   width u16, y_offset i16, x_offset i16, unk1 u8, unk2 u8
//   then one row per line of height:
//     block_count u8, then per block: offset u8, color_count u8 and, in
//     frames that are not shadow frames, color_count palette indices.
//
// From the first shadow frame of a file on, every frame's height is the low
// 8 bits of its height word, shadow frame or not.
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

// Where the fields of a frame record's header lie, from the record's start:
// frame_size, height word, width, y_offset before x_offset, unk1, unk2; the
// rows follow.
inline constexpr std::size_t frame_size_at = 0;
inline constexpr std::size_t height_word_at = 4;
inline constexpr std::size_t width_at = 6;
inline constexpr std::size_t y_offset_at = 8;
inline constexpr std::size_t x_offset_at = 10;
inline constexpr std::size_t unk1_at = 12;
inline constexpr std::size_t unk2_at = 13;
inline constexpr std::size_t rows_at = 14;
// A record of no rows: its header alone.
inline constexpr std::size_t min_frame_record_size = rows_at;

}  // namespace pykiv::kiv_format
