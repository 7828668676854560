// How the runs of a row paint pixels, for every picture drawn from the
// records: the colour renderer (kiv_frame_buffer.h) and the index planes
// (kiv_index_planes.h) paint through the same rules, so that a pixel is
// painted in one exactly when it is painted in the other.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "palette/pal_file.h"
#include "records/kiv_records.h"

// What a shadow frame's runs paint: they store no indices.
inline constexpr PalF::Color shadow_color{0, 0, 0, 255};

// The most colours an 8-bit index can name: a palette of this many holds
// every index.
inline constexpr std::size_t indexable_colors = 256;

// Paints the runs of one row `width` pixels wide through `painter`:
//   painter.shadow(x, count)           `count` pixels of a shadow frame's run;
//   painter.colors(x, indices, count)  `count` pixels of the colours of
//                                      `indices`, all held by the palette;
//   painter.not_held(index)            a run stopped at an index the palette
//                                      of `palette_size` colours does not hold.
// Each run starts after its skip from where the previous one stopped. A run
// is cut at the right edge, and x then stays at the first pixel not painted,
// so every later run of the row paints nothing. A run of length 0 paints
// nothing whatever its colour list holds; otherwise the colour list, not
// color_count, sets the length of a painted run. The painter's calls come
// left to right and never overlap: each starts at or after where the one
// before it stopped.
template <typename Painter>
inline void paint_row(const KivPixelSet& row, bool shadow, std::size_t width, std::size_t palette_size,
                      Painter& painter) {
    std::size_t x = 0;
    for (const KivPixelBlock& block : row.blocks) {
        x += block.offset;
        if (block.color_count == 0 || x >= width) continue;
        if (shadow) {
            const std::size_t run = std::min<std::size_t>(block.color_count, width - x);
            painter.shadow(x, run);
            x += run;
            continue;
        }
        const std::size_t run = std::min(block.colors.size(), width - x);
        const std::uint8_t* index = block.colors.data();
        // The run stops at the first index the palette does not hold; with
        // every index held nothing needs checking.
        const std::size_t painted =
            palette_size >= indexable_colors
                ? run
                : static_cast<std::size_t>(
                      std::find_if(index, index + run, [&](std::uint8_t c) { return c >= palette_size; }) - index);
        painter.colors(x, index, painted);
        if (painted < run) painter.not_held(index[painted]);
        x += painted;
    }
}
