// Reading PNG files whose bytes are already in memory: the chunks walked and
// checked (every CRC, ancillary chunks too; lengths; IHDR's fields; the
// order IHDR first, PLTE before the image data, IDAT chunks one after
// another, IEND last), then the image data inflated and its rows unfiltered.
//
// Pixels are decoded here for 8-bit samples without a palette and without
// interlacing (grey, grey and alpha, RGB, RGBA, with a tRNS colour key for
// grey and RGB): what export and nearly every editor writes. Other PNGs are
// still walked and checked, and their header reported, for a caller that
// decodes them another way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "palette/palette_lookup.h"

namespace pykiv::image {

// A PNG file that cannot be read; what() is the cause, as a user reads it.
class PngError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum PngColorType : std::uint8_t { png_grey = 0, png_rgb = 2, png_palette = 3, png_grey_alpha = 4, png_rgba = 6 };

// What the chunks say about the image, and where its data is.
struct PngLayout {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint8_t bit_depth = 0;
    std::uint8_t color_type = 0;
    std::uint8_t interlace = 0;
    std::uint32_t frames = 1;  // an APNG's acTL frame count (before the image data); 1 for a still image
    // A tRNS colour key (grey, or R, G, B) seen before the image data, as
    // stored: 16-bit values.
    bool has_key = false;
    std::uint16_t key[3] = {0, 0, 0};
    bool odd_key = false;  // a tRNS chunk of another length than the colour type's key
    // The IDAT chunks: the first one's data, and how many bytes of data all
    // of them hold together (the chunks lie one after another; each after
    // the first starts 12 bytes after the end of the previous one's data).
    std::size_t first_idat = 0;
    std::size_t idat_chunks = 0;
    std::uint64_t idat_bytes = 0;

    // True when decode_png can decode the pixels.
    bool decodable() const;
    std::uint64_t pixels() const { return std::uint64_t{width} * height; }
};

// Walks and checks the chunks of the PNG file `data`; PngError for a file
// that is not a PNG or is damaged.
PngLayout read_png_layout(const std::uint8_t* data, std::size_t size);

// Decodes the pixels of a decodable PNG (`layout` from read_png_layout of the
// same bytes) into `rgba`, width x height x 4 bytes R, G, B, A, rows top to
// bottom, calling nothing else. PngError for image data that is damaged,
// inflates to more or fewer bytes than its rows, or has an unknown filter
// type. The inflated rows are held in memory of this thread, kept for the
// next image when it is small.
void decode_png(const std::uint8_t* data, std::size_t size, const PngLayout& layout, std::uint8_t* rgba);

// A row sink for decode_png_rows: called with each row in turn as RGBA
// (width x 4 bytes), valid during the call only.
class PngRowSink {
public:
    virtual void row(std::uint32_t y, const std::uint8_t* rgba) = 0;

protected:
    ~PngRowSink() = default;
};

// As decode_png, but handing each decoded row to `sink` instead of writing a
// whole image.
void decode_png_rows(const std::uint8_t* data, std::size_t size, const PngLayout& layout, PngRowSink& sink);

// Decodes a decodable PNG and maps its pixels through `lookup` row by row,
// as PaletteLookup::map maps a whole image (width x height entries in
// `indices`, `painted` and `kept`), without the image's RGBA ever being
// whole in memory. Returns what map returns: how many pixels with an alpha
// above 0 have a colour the palette does not hold.
std::size_t map_png(const std::uint8_t* data, std::size_t size, const PngLayout& layout, const PaletteLookup& lookup,
                    std::uint8_t* indices, std::uint8_t* painted, std::uint32_t* kept);

}  // namespace pykiv::image
