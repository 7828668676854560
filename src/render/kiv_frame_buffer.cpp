#include "render/kiv_frame_buffer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "io/file_io.h"
#include "system/allocation_refused.h"
#include "system/physical_memory.h"

namespace {

constexpr std::size_t channels = 4;
constexpr std::array<std::uint8_t, channels> shadow_pixel{0, 0, 0, 255};

// Palette colours packed as the four output bytes, for every index an 8-bit
// index can name; `size` of them exist in the palette.
struct ColorTable {
    std::array<std::array<std::uint8_t, channels>, 256> rgba{};
    std::size_t size = 0;
};

ColorTable pack_colors(const std::vector<PalF::Color>& colors) {
    ColorTable table;
    table.size = std::min(colors.size(), table.rgba.size());
    for (std::size_t i = 0; i < table.size; ++i) {
        table.rgba[i] = {colors[i].r, colors[i].g, colors[i].b, colors[i].a};
    }
    return table;
}

// Paints one row. `x` is where the next run starts after its skip; a run is
// cut at the right edge, and x then stays at the first pixel not painted, so
// every later run of the row paints nothing.
void render_row(const KivPixelSet& row, bool shadow, const ColorTable& table, std::uint8_t* out, std::size_t width) {
    std::size_t x = 0;
    for (const KivPixelBlock& block : row.blocks) {
        x += block.offset;
        // A run of length 0 is skipped whatever its colour list holds.
        if (block.color_count == 0 || x >= width) continue;
        if (shadow) {
            const std::size_t run = std::min<std::size_t>(block.color_count, width - x);
            for (std::size_t i = 0; i < run; ++i, ++x) std::memcpy(out + x * channels, shadow_pixel.data(), channels);
            continue;
        }
        // The colour list, not color_count, sets the length of a painted run.
        const std::size_t run = std::min(block.colors.size(), width - x);
        for (std::size_t i = 0; i < run; ++i, ++x) {
            const std::uint8_t index = block.colors[i];
            if (index >= table.size) {
                pykiv::io::report_error("Out-of-bounds color index! (" + std::to_string(index) + ")");
                break;
            }
            std::memcpy(out + x * channels, table.rgba[index].data(), channels);
        }
    }
}

KivFrameBufferObject render_frame(const KivFrame& frame, const ColorTable& table) {
    KivFrameBufferObject image;
    image.width = frame.width;
    image.height = frame.height;
    image.offset_x = frame.x_offset;
    image.offset_y = frame.y_offset;
    image.channels = static_cast<std::int32_t>(channels);

    // 64-bit sizes: the largest frame takes 65535 x 65535 x 4 bytes.
    const std::size_t width = frame.width;
    const std::size_t row_bytes = width * channels;
    image.pixels.assign(row_bytes * frame.height, 0);

    for (std::size_t y = 0; y < frame.height; ++y) {
        if (y >= frame.pixel_sets.size()) {
            pykiv::io::report_error("Row " + std::to_string(y) + " exceeds KivPixelSet count!");
            continue;
        }
        if (width != 0) {
            render_row(frame.pixel_sets[y], frame.is_shadow != 0, table, image.pixels.data() + y * row_bytes, width);
        }
    }
    return image;
}

// A frame's records may describe up to 65535 x 65535 pixels in a few bytes
// of file, so what all frames need together is checked against the
// machine's physical memory before any pixel is allocated: where memory is
// overcommitted, an allocation beyond it would seem to succeed and the
// process would be killed while painting.
void check_pixel_memory(const std::vector<std::shared_ptr<KivFrame>>& frames) {
    const std::uint64_t available = pykiv::system::physical_memory_bytes();
    std::uint64_t needed = 0;
    for (const auto& frame : frames) {
        if (!frame) continue;
        needed += std::uint64_t{frame->width} * frame->height * channels;
        // Stops before the sum could wrap, however many frames there are.
        if (needed > available) {
            throw pykiv::system::AllocationRefused(
                "rendering needs at least " + std::to_string(needed) + " bytes of pixel memory, more than the " +
                std::to_string(available) + " bytes of physical memory");
        }
    }
}

}  // namespace

KivFrameBuffer::KivFrameBuffer(const KivData& data) {
    if (data.frames.empty()) return;
    const std::vector<PalF::Color> colors = data.palette ? data.palette->colors() : std::vector<PalF::Color>{};
    if (colors.empty()) {
        pykiv::io::report_error("No palette data available!");
        return;
    }
    check_pixel_memory(data.frames);
    const ColorTable table = pack_colors(colors);
    frames_.reserve(data.frames.size());
    for (const auto& frame : data.frames) {
        frames_.push_back(frame ? render_frame(*frame, table) : KivFrameBufferObject{});
    }
}
