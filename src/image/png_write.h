// PNG files as the tool writes them: 8 bits a sample, RGBA (colour type 6)
// or palette indices (colour type 3), no interlacing, every row unfiltered
// (filter byte 0). Rendered frames are sprites, runs of palette colours in
// random order beside transparent gaps, which the row filters' predictions
// defeat: unfiltered rows compress as small, at a fraction of the time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pykiv::image {

// The compression levels the tool offers: 0 stores the rows as they are,
// 9 makes the smallest files.
inline constexpr int png_level_max = 9;

// The colours of a palette image: 1 to 256 entries of R, G, B, and the
// alpha of the first `alpha.size()` of them (a tRNS chunk; the others are
// opaque). `rgb` empty makes an RGBA image.
struct PngPalette {
    std::vector<std::uint8_t> rgb;
    std::vector<std::uint8_t> alpha;
};

// An image's rows with their filter bytes, as the IDAT data holds them
// before compression: height rows of 1 + width * channels bytes each.
struct PngRows {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool indexed = false;  // one palette index a pixel, else four bytes R, G, B, A
    std::vector<std::uint8_t> bytes;
};

// The rows of a `width` x `height` image from its pixels, top row first,
// each with filter byte 0. std::invalid_argument when the sizes do not fit
// a PNG or `size` bytes are not that many pixels.
PngRows png_rows(const std::uint8_t* pixels, std::size_t size, std::uint32_t width, std::uint32_t height, bool indexed);

// A whole PNG file: signature, IHDR, a tEXt chunk for each (keyword, text)
// pair (Latin-1 bytes, as given), PLTE and tRNS for a palette image, one
// IDAT of the rows compressed at `level` (0-9), IEND. std::invalid_argument
// for a level out of range or a palette that does not fit `rows`. Holds
// no state of its caller's: safe to run while other threads run.
std::vector<std::uint8_t> png_file(const PngRows& rows, int level, const PngPalette& palette,
                                   const std::vector<std::pair<std::string, std::string>>& text);

}  // namespace pykiv::image
