// Renders every frame of an animation into its own RGBA image.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "animation/kiv_records.h"
#include "memory/page_memory.h"
#include "memory/physical_memory.h"

// Pixel bytes: never cleared on allocation, since the renderer writes every
// byte of an image itself.
using PixelBytes = pykiv::memory::PageBytes;

// One rendered frame: `width` x `height` pixels of four bytes R, G, B, A,
// rows top to bottom without padding. Pixels no run paints stay (0, 0, 0, 0).
struct KivFrameBufferObject {
    PixelBytes pixels;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t offset_x = 0;  // the frame's placement offsets, not applied
    std::int32_t offset_y = 0;
    std::int32_t channels = 4;
};

class KivFrameBuffer {
public:
    // Renders all frames of `data` at once. The data is only read while the
    // constructor runs. Problems in the data are reported as error lines and
    // rendering goes on; only a failed pixel allocation throws, and so does
    // a render whose pixels would take more than `pixel_memory_limit` bytes
    // (pykiv::memory::AllocationRefused, before any pixel is allocated).
    explicit KivFrameBuffer(const KivData& data,
                            std::uint64_t pixel_memory_limit = pykiv::memory::physical_memory_bytes());

    const std::vector<KivFrameBufferObject>& get_buffer() const { return frames_; }

    // Hands the rendered frames over without copying them.
    std::vector<KivFrameBufferObject> release_frames() { return std::move(frames_); }

private:
    std::vector<KivFrameBufferObject> frames_;
};
