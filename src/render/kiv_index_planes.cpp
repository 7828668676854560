#include "render/kiv_index_planes.h"

#include <algorithm>
#include <cstring>

#include "render/kiv_paint_runs.h"

namespace {

// Paints a row of the index planes.
class IndexPainter {
public:
    IndexPainter(std::uint8_t* indices, std::uint8_t* painted) : indices_(indices), painted_(painted) {}

    void shadow(std::size_t x, std::size_t count) { std::memset(painted_ + x, 1, count); }
    void colors(std::size_t x, const std::uint8_t* indices, std::size_t count) {
        if (count == 0) return;
        std::memcpy(indices_ + x, indices, count);
        std::memset(painted_ + x, 1, count);
    }
    void not_held(std::uint8_t) {}

private:
    std::uint8_t* indices_;
    std::uint8_t* painted_;
};

// Finds the highest index the runs of a row paint.
struct HighestIndex {
    int highest = -1;

    void shadow(std::size_t, std::size_t) {}
    void colors(std::size_t, const std::uint8_t* indices, std::size_t count) {
        if (count != 0) highest = std::max<int>(highest, *std::max_element(indices, indices + count));
    }
    void not_held(std::uint8_t) {}
};

}  // namespace

void paint_indices(const KivFrame& frame, std::size_t palette_size, std::uint8_t* indices, std::uint8_t* painted) {
    const std::size_t width = frame.width;
    const std::size_t height = frame.height;
    if (width == 0 || height == 0) return;
    std::memset(indices, 0, width * height);
    std::memset(painted, 0, width * height);
    const bool shadow = frame.is_shadow != 0;
    const std::size_t rows = std::min(height, frame.pixel_sets.size());
    for (std::size_t y = 0; y < rows; ++y) {
        IndexPainter painter(indices + y * width, painted + y * width);
        paint_row(frame.pixel_sets[y], shadow, width, palette_size, painter);
    }
}

int highest_painted_index(const KivFrame& frame) {
    if (frame.is_shadow != 0) return -1;
    const std::size_t rows = std::min<std::size_t>(frame.height, frame.pixel_sets.size());
    HighestIndex highest;
    for (std::size_t y = 0; y < rows; ++y)
        paint_row(frame.pixel_sets[y], false, frame.width, indexable_colors, highest);
    return highest.highest;
}
