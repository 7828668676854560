#include "render/kiv_frame_buffer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "io/error_line.h"
#include "memory/allocation_refused.h"
#include "memory/physical_memory.h"
#include "render/kiv_paint_runs.h"

PixelBytes::PixelBytes(const PixelBytes& other)
    : memory_(pykiv::memory::shared_pages(other.size_)), size_(other.size_) {
    if (size_ != 0) std::memcpy(memory_.get(), other.data(), size_);
}

PixelBytes& PixelBytes::operator=(const PixelBytes& other) {
    if (this != &other) *this = PixelBytes(other);
    return *this;
}

namespace {

constexpr std::size_t channels = 4;

// One pixel's four output bytes R, G, B, A, held as one word in memory order,
// so that painting a pixel is a single 4-byte copy.
using PackedPixel = std::uint32_t;
static_assert(sizeof(PackedPixel) == channels, "a pixel is four bytes");

PackedPixel pack(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
    const std::uint8_t bytes[channels] = {r, g, b, a};
    PackedPixel pixel;
    std::memcpy(&pixel, bytes, channels);
    return pixel;
}

// Palette colours packed once per render, for every index an 8-bit index can
// name; the first `size` of them exist in the palette.
struct ColorTable {
    std::array<PackedPixel, 256> pixels{};
    std::size_t size = 0;
};

ColorTable pack_colors(const std::vector<PalF::Color>& colors) {
    ColorTable table;
    table.size = std::min(colors.size(), table.pixels.size());
    for (std::size_t i = 0; i < table.size; ++i) {
        table.pixels[i] = pack(colors[i].r, colors[i].g, colors[i].b, colors[i].a);
    }
    return table;
}

// Copies the colours of `count` indices. Runs are a few dozen pixels long,
// too short for a vector loop to get past its scalar tail, so the loop takes
// four pixels a step and writes them as two 8-byte stores of two pixels
// each: fewer stores than pixels, and nothing a compiler turns into a
// shuffle of vector lanes.
inline void paint_run(std::uint8_t* out, const std::uint8_t* index, std::size_t count, const PackedPixel* table) {
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const PackedPixel first[2] = {table[index[i]], table[index[i + 1]]};
        const PackedPixel second[2] = {table[index[i + 2]], table[index[i + 3]]};
        std::memcpy(out + i * channels, first, sizeof first);
        std::memcpy(out + (i + 2) * channels, second, sizeof second);
    }
    for (; i < count; ++i) std::memcpy(out + i * channels, &table[index[i]], channels);
}

// Paints a row of RGBA pixels, from the packed colour table. A row the
// caller has not cleared (clear_gaps) is cleared as it is painted: runs come
// left to right, so only what lies between them is cleared to transparent
// black, just before the run after it is painted, and the rest of the row
// once the row is done (finish), and each byte of the row is written once.
class RgbaPainter {
public:
    RgbaPainter(std::uint8_t* out, const PackedPixel* table, bool clear_gaps)
        : out_(out), table_(table), clear_gaps_(clear_gaps) {}

    void shadow(std::size_t x, std::size_t count) {
        clear_to(x);
        std::uint8_t* pixel = out_ + x * channels;
        for (std::size_t i = 0; i < count; ++i, pixel += channels) std::memcpy(pixel, &shadow_pixel, channels);
        cleared_ = x + count;
    }
    void colors(std::size_t x, const std::uint8_t* indices, std::size_t count) {
        clear_to(x);
        paint_run(out_ + x * channels, indices, count, table_);
        cleared_ = x + count;
    }
    void not_held(std::uint8_t index) {
        pykiv::io::report_error("Out-of-bounds color index! (" + std::to_string(index) + ")");
    }
    // Clears the pixels after the last run, up to the row's `width`.
    void finish(std::size_t width) { clear_to(width); }

private:
    void clear_to(std::size_t x) {
        if (clear_gaps_ && x > cleared_) std::memset(out_ + cleared_ * channels, 0, (x - cleared_) * channels);
    }

    const PackedPixel shadow_pixel = pack(shadow_color.r, shadow_color.g, shadow_color.b, shadow_color.a);
    std::uint8_t* out_;
    const PackedPixel* table_;
    bool clear_gaps_;
    std::size_t cleared_ = 0;  // pixels of the row written so far, from its left edge
};

// Rows up to this long are cleared in one call before they are painted: one
// call costs less than one for each gap. A longer row is cleared only in its
// gaps, so that each of its bytes is written once: clearing a long row
// whole and then painting it took about a fifth longer on large frames.
constexpr std::size_t whole_row_clear_bytes = std::size_t{2} << 10;

KivFrameBufferObject render_frame(const KivFrame& frame, const ColorTable& table, PixelBytes pixels) {
    KivFrameBufferObject image;
    image.width = frame.width;
    image.height = frame.height;
    image.offset_x = frame.x_offset;
    image.offset_y = frame.y_offset;
    image.channels = static_cast<std::int32_t>(channels);

    // The buffer is never cleared as a whole: each row is, or what its runs
    // leave of it, while it is still in the cache.
    const std::size_t width = frame.width;
    const std::size_t row_bytes = width * channels;
    image.pixels = std::move(pixels);

    for (std::size_t y = 0; y < frame.height; ++y) {
        const bool has_row = y < frame.pixel_sets.size();
        if (!has_row) pykiv::io::report_error("Row " + std::to_string(y) + " exceeds KivPixelSet count!");
        if (row_bytes == 0) continue;  // an empty image has no bytes to point at
        std::uint8_t* out = image.pixels.data() + y * row_bytes;
        const bool whole = row_bytes <= whole_row_clear_bytes;
        if (whole) std::memset(out, 0, row_bytes);
        RgbaPainter painter(out, table.pixels.data(), !whole);
        if (has_row) paint_row(frame.pixel_sets[y], frame.is_shadow != 0, width, table.size, painter);
        painter.finish(width);
    }
    return image;
}

// A frame's records may describe up to 65535 x 65535 pixels in a few bytes
// of file, so what all frames need together is checked against the limit
// before any pixel is allocated: where memory is overcommitted, an
// allocation beyond the machine's memory would seem to succeed and the
// process would be killed while painting. Returns what they need together.
std::uint64_t check_pixel_memory(const std::vector<std::shared_ptr<KivFrame>>& frames, std::uint64_t limit) {
    std::uint64_t needed = 0;
    for (const auto& slot : frames) {
        const KivFrame& frame = frame_or_default(slot);
        needed += std::uint64_t{frame.width} * frame.height * channels;
        // Stops before the sum could wrap, however many frames there are.
        if (needed > limit) {
            const bool physical = limit == pykiv::memory::physical_memory_bytes();
            throw pykiv::memory::AllocationRefused("rendering needs at least " + std::to_string(needed) +
                                                   " bytes of pixel memory, more than the " + std::to_string(limit) +
                                                   (physical ? " bytes of physical memory" : " bytes allowed"));
        }
    }
    return needed;
}

// 64-bit sizes: the largest frame takes 65535 x 65535 x 4 bytes.
std::size_t pixel_bytes(const KivFrame& frame) { return std::size_t{frame.width} * frame.height * channels; }

}  // namespace

KivFrameBuffer::KivFrameBuffer(const KivData& data, std::uint64_t pixel_memory_limit) {
    if (data.frames.empty()) return;
    const std::vector<PalF::Color> colors = data.palette ? data.palette->colors() : std::vector<PalF::Color>{};
    if (colors.empty()) {
        pykiv::io::report_error("No palette data available!");
        return;
    }
    // One region for all frames, each frame a part of it.
    const auto region =
        pykiv::memory::shared_pages(static_cast<std::size_t>(check_pixel_memory(data.frames, pixel_memory_limit)));
    const ColorTable table = pack_colors(colors);
    frames_.reserve(data.frames.size());
    std::size_t used = 0;
    for (const auto& slot : data.frames) {
        const KivFrame& frame = frame_or_default(slot);
        const std::size_t bytes = pixel_bytes(frame);
        PixelBytes pixels(std::shared_ptr<std::uint8_t>(region, region.get() + used), bytes);
        frames_.push_back(render_frame(frame, table, std::move(pixels)));
        used += bytes;
    }
}
