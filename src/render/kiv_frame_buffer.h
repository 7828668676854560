// Renders every frame of an animation into its own RGBA image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "animation/kiv_records.h"
#include "system/page_memory.h"

// Pixel bytes. New bytes are left uninitialised rather than cleared, and
// come from memory whose pages are already present where the system allows:
// the renderer writes every byte of an image itself, so clearing first, or
// faulting the pages in one by one, would only touch the memory twice.
template <typename T>
struct PixelAllocator {
    using value_type = T;

    PixelAllocator() = default;
    template <typename U>
    PixelAllocator(const PixelAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(pykiv::system::allocate_pages(count * sizeof(T)));
    }
    void deallocate(T* memory, std::size_t count) noexcept { pykiv::system::free_pages(memory, count * sizeof(T)); }

    template <typename U>
    void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(place)) U;
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }

    template <typename U>
    bool operator==(const PixelAllocator<U>&) const noexcept { return true; }
    template <typename U>
    bool operator!=(const PixelAllocator<U>&) const noexcept { return false; }
};
using PixelBytes = std::vector<std::uint8_t, PixelAllocator<std::uint8_t>>;

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
    // rendering goes on; only a failed pixel allocation throws.
    explicit KivFrameBuffer(const KivData& data);

    const std::vector<KivFrameBufferObject>& get_buffer() const { return frames_; }

    // Hands the rendered frames over without copying them.
    std::vector<KivFrameBufferObject> release_frames() { return std::move(frames_); }

private:
    std::vector<KivFrameBufferObject> frames_;
};
