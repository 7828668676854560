// Frames given as pixels to animation bytes, and the placement fields of an
// existing file patched in place. Part of the codec (kiv_codec.h): bytes in,
// bytes out, no files.
//
// A frame given as pixels is two planes of width x height bytes, rows top to
// bottom: which pixels are painted (non-zero: painted), and with which
// palette index (absent for a shadow frame, whose runs store no indices).
// The encoder finds the runs of each row, carries gaps and runs longer than
// a byte can count into extra runs, and refuses what the format cannot hold
// with std::invalid_argument naming the frame and the cause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pykiv::kiv_codec {

// The limits of the fields a frame given as pixels fills.
inline constexpr std::int64_t max_speed = 0xFFFFFFFF;
inline constexpr std::int64_t min_offset = -0x8000;
inline constexpr std::int64_t max_offset = 0x7FFF;
inline constexpr std::int64_t max_width = 0xFFFF;
// Before the first shadow frame of a file: bit 15 would mark a shadow frame.
inline constexpr std::int64_t max_plain_height = 0x7FFF;
// The first shadow frame and every frame after it keep 8 bits of height.
inline constexpr std::int64_t max_height_from_shadow = 0xFF;
inline constexpr std::int64_t max_runs_per_row = 0xFF;
// Readers count frames, the background frame included, as a signed 32-bit
// number.
inline constexpr std::int64_t max_frames = 0x7FFFFFFF;

// The fields of a frame that the limits look at before its pixels exist.
// Wide types, so that a value out of range is refused, not cut.
struct FrameShape {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t x_offset = 0;
    std::int64_t y_offset = 0;
    bool shadow = false;
};

struct FramePlanes {
    FrameShape shape;
    const std::uint8_t* painted = nullptr;  // width x height, non-zero: painted
    const std::uint8_t* indices = nullptr;  // width x height; unused (may be null) in a shadow frame
};

struct AnimationPlanes {
    std::vector<FramePlanes> frames;  // with has_background, the last is the background frame
    std::vector<std::string> names;   // name each frame in refusals; "frame <i>" where missing
    std::int64_t speed = 0;
    std::string location;  // the palette's location text, stored with a closing zero byte
    bool has_background = false;
};

// Refuses more frames than readers count.
void check_frame_count(std::size_t count);

// Refuses frames a file cannot hold: their number, widths, heights at their
// place in the file, offsets. Runs per row are checked while encoding.
void check_frame_shapes(const std::vector<FrameShape>& frames, const std::vector<std::string>& names);

// The animation file. Every frame record stores its own length as its
// frame_size, and unk1 0 and unk2 1. A speed whose bytes spell the prefix's
// magic is stored behind the prefix (flag clear) so that it reads back as a
// speed. Refuses what check_frame_shapes refuses, and rows of more runs than
// a row holds, before any byte is written.
std::vector<std::uint8_t> encode_planes(const AnimationPlanes& animation);

// A copy of the animation file `bytes` with only its speed and the x and y
// offsets of each frame (the background frame included, last) changed.
// Refuses, with std::invalid_argument, bytes that are not a whole animation
// file (one ending inside a frame record), a number of offsets other than
// the number of frame records, and values the fields cannot hold.
std::vector<std::uint8_t> patch_placement(const std::uint8_t* bytes, std::size_t size, std::int64_t speed,
                                          const std::vector<std::pair<std::int64_t, std::int64_t>>& offsets);

}  // namespace pykiv::kiv_codec
