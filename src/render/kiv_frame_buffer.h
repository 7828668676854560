// Renders every frame of an animation into its own RGBA image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "memory/page_memory.h"
#include "memory/physical_memory.h"
#include "records/kiv_records.h"

// The pixel bytes of one rendered frame. The frames of one render are parts
// of one region of memory, allocated at once for all of them (fresh memory
// is cheapest to fault in by the huge page), which goes when the last of
// them does. A copy has memory of its own. Never cleared on allocation: the
// renderer writes every byte of an image itself.
class PixelBytes {
public:
    PixelBytes() = default;
    // A part of `size` bytes of a shared region, starting at `part`.
    PixelBytes(std::shared_ptr<std::uint8_t> part, std::size_t size) : memory_(std::move(part)), size_(size) {}
    PixelBytes(const PixelBytes& other);
    PixelBytes& operator=(const PixelBytes& other);
    PixelBytes(PixelBytes&&) noexcept = default;
    PixelBytes& operator=(PixelBytes&&) noexcept = default;
    ~PixelBytes() = default;

    std::uint8_t* data() { return memory_.get(); }
    const std::uint8_t* data() const { return memory_.get(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const std::uint8_t* begin() const { return data(); }
    const std::uint8_t* end() const { return data() + size_; }
    std::uint8_t operator[](std::size_t i) const { return memory_.get()[i]; }

    friend bool operator==(const PixelBytes& a, const PixelBytes& b) {
        return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data(), b.data(), a.size_) == 0);
    }
    friend bool operator!=(const PixelBytes& a, const PixelBytes& b) { return !(a == b); }

private:
    std::shared_ptr<std::uint8_t> memory_;
    std::size_t size_ = 0;
};

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
