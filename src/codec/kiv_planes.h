// Frames given as pixels to animation bytes, and the placement fields of an
// existing file patched in place. Part of the codec (kiv_codec.h): bytes in,
// bytes out, no files.
//
// A frame given as pixels is two planes of width x height bytes, rows top to
// bottom: which pixels are painted (non-zero: painted), and with which
// palette index (absent for a shadow frame, whose runs store no indices).
// The encoder finds the runs of each row, carries gaps and runs longer than
// a byte can count into extra runs, and refuses what the format cannot hold
// with std::invalid_argument naming the frame and the cause (the limits are
// kiv_limits.h's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "codec/kiv_limits.h"

namespace pykiv::kiv_codec {

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
