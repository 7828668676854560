#include "render/kiv_index_planes.h"

#include <algorithm>
#include <cstring>

void paint_indices(const KivFrame& frame, std::size_t palette_size, std::uint8_t* indices, std::uint8_t* painted) {
    const std::size_t width = frame.width;
    const std::size_t height = frame.height;
    if (width == 0 || height == 0) return;
    std::memset(indices, 0, width * height);
    std::memset(painted, 0, width * height);
    // A palette of 256 colours holds every index there is.
    palette_size = std::min<std::size_t>(palette_size, 256);
    const bool shadow = frame.is_shadow != 0;
    const std::size_t rows = std::min(height, frame.pixel_sets.size());
    for (std::size_t y = 0; y < rows; ++y) {
        std::uint8_t* index_row = indices + y * width;
        std::uint8_t* painted_row = painted + y * width;
        std::size_t x = 0;
        for (const KivPixelBlock& block : frame.pixel_sets[y].blocks) {
            x += block.offset;
            if (block.color_count == 0 || x >= width) continue;
            if (shadow) {
                const std::size_t run = std::min<std::size_t>(block.color_count, width - x);
                std::memset(painted_row + x, 1, run);
                x += run;
                continue;
            }
            // The colour list, not color_count, sets the length of a run.
            const std::size_t run = std::min(block.colors.size(), width - x);
            const std::uint8_t* index = block.colors.data();
            const std::size_t held = static_cast<std::size_t>(
                std::find_if(index, index + run, [&](std::uint8_t c) { return c >= palette_size; }) - index);
            if (held != 0) {
                std::memcpy(index_row + x, index, held);
                std::memset(painted_row + x, 1, held);
            }
            x += held;
        }
    }
}

int highest_painted_index(const KivFrame& frame) {
    if (frame.is_shadow != 0) return -1;
    const std::size_t width = frame.width;
    const std::size_t rows = std::min<std::size_t>(frame.height, frame.pixel_sets.size());
    int highest = -1;
    for (std::size_t y = 0; y < rows; ++y) {
        std::size_t x = 0;
        for (const KivPixelBlock& block : frame.pixel_sets[y].blocks) {
            x += block.offset;
            if (block.color_count == 0 || x >= width) continue;
            const std::size_t run = std::min(block.colors.size(), width - x);
            const std::uint8_t* index = block.colors.data();
            if (run != 0) highest = std::max<int>(highest, *std::max_element(index, index + run));
            x += run;
        }
    }
    return highest;
}
