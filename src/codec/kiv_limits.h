// What an animation file can hold: the ranges of the fields a writer fills,
// and the one check of frames, speed and offsets against them that every
// writer of the format uses (the encoder of frames given as pixels, the
// frame checks made before any pixel is read, and the placement patch).
// Refusals are std::invalid_argument naming the frame and the cause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/kiv_format.h"

namespace pykiv::kiv_codec {

// speed: u32.
inline constexpr std::int64_t max_speed = 0xFFFFFFFF;
// x_offset, y_offset: i16.
inline constexpr std::int64_t min_offset = -0x8000;
inline constexpr std::int64_t max_offset = 0x7FFF;
// width: u16.
inline constexpr std::int64_t max_width = 0xFFFF;
// Before the first shadow frame of a file: bit 15 would mark a shadow frame.
inline constexpr std::int64_t max_plain_height = kiv_format::shadow_flag - 1;
// The first shadow frame and every frame after it keep 8 bits of height.
inline constexpr std::int64_t max_height_from_shadow = kiv_format::shadow_mode_height_mask;
// A row's block_count, and a run's skip and color_count, are one byte each.
inline constexpr std::int64_t max_runs_per_row = 0xFF;
inline constexpr std::int64_t max_run_skip = 0xFF;
inline constexpr std::int64_t max_run_colors = 0xFF;
// Readers count frames, the background frame included, as a signed 32-bit
// number.
inline constexpr std::int64_t max_frames = 0x7FFFFFFF;

// The most rows a frame can store: `shadow_mode` from the first shadow frame
// of a file on, that frame included.
constexpr std::int64_t max_height(bool shadow_mode) { return shadow_mode ? max_height_from_shadow : max_plain_height; }

// The fields of a frame that the limits look at before its pixels exist.
// Wide types, so that a value out of range is refused, not cut.
struct FrameShape {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t x_offset = 0;
    std::int64_t y_offset = 0;
    bool shadow = false;
};

// Refuses more frames than readers count.
void check_frame_count(std::size_t count);

// Refuses a speed the field cannot hold.
void check_speed(std::int64_t speed);

// Refuses an offset the field cannot hold; `frame` names the frame and
// `axis` ("x" or "y") the field.
void check_offset(const std::string& frame, const char* axis, std::int64_t value);

// Refuses frames a file cannot hold: their number, widths, heights at their
// place in the file, offsets. `names` name each frame in refusals; "frame
// <i>" where missing. Runs per row are checked while encoding.
void check_frame_shapes(const std::vector<FrameShape>& frames, const std::vector<std::string>& names);

// The name a refusal gives frame `i`.
std::string frame_name(const std::vector<std::string>& names, std::size_t i);

}  // namespace pykiv::kiv_codec
