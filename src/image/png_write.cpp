#include "image/png_write.h"

#include <libdeflate.h>

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "image/png_chunks.h"

namespace pykiv::image {

namespace {

// PNG caps width and height at 2^31 - 1.
constexpr std::uint32_t max_side = 0x7FFFFFFFu;

struct CompressorFree {
    void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

// libdeflate's level for each of the tool's. 0 stores. Measured on rendered
// frames (runs of random palette colours at random gaps, and a drawn
// sprite): 1 to 3 are libdeflate's fastest, larger on drawn sprites. Its
// 4, the deepest of its greedy searches, writes sprite frames as small as
// its lazy 5 to 7 (on random runs 7% smaller, on drawn sprites 2% larger)
// in two thirds of their time, and about as small as zlib's 6 in half of
// zlib's time: it serves 4 to 6, the default among them. 7 and 8 take the
// lazy searches, 9, "the smallest", libdeflate's best (12), smaller than
// zlib's 9 for about 1.6 times its time.
constexpr std::array<int, png_level_max + 1> deflate_level = {0, 1, 2, 3, 4, 4, 4, 6, 9, 12};

// A compressor is a few hundred kilobytes of tables set up for its level:
// each thread keeps one per level it has used, for the next image.
libdeflate_compressor& compressor_for(int level) {
    thread_local std::array<Compressor, png_level_max + 1> compressors;
    Compressor& compressor = compressors[static_cast<std::size_t>(level)];
    if (!compressor) {
        compressor.reset(libdeflate_alloc_compressor(deflate_level[static_cast<std::size_t>(level)]));
        if (!compressor) throw std::bad_alloc();
    }
    return *compressor;
}

// Appends a chunk with its length, type and CRC; `fill` writes its data into
// the `size` bytes of room it is given and says how many it wrote.
template <typename Fill>
void append_chunk(std::vector<std::uint8_t>& out, const char (&type)[5], std::size_t size, Fill&& fill) {
    const std::size_t start = out.size();
    out.resize(start + 8 + size + 4);
    std::uint8_t* chunk = out.data() + start;
    write_be32(chunk, static_cast<std::uint32_t>(size));
    std::memcpy(chunk + 4, type, 4);
    size = fill(chunk + 8, size);
    if (size > png_max_chunk_length) throw std::invalid_argument("a PNG chunk holds at most 2^31 - 1 bytes");
    out.resize(start + 8 + size + 4);
    chunk = out.data() + start;
    write_be32(chunk, static_cast<std::uint32_t>(size));
    write_be32(chunk + 8 + size, png_chunk_crc(chunk + 4, chunk + 8, size));
}

void append_chunk(std::vector<std::uint8_t>& out, const char (&type)[5], const std::uint8_t* data, std::size_t size) {
    append_chunk(out, type, size, [&](std::uint8_t* to, std::size_t) {
        if (size != 0) std::memcpy(to, data, size);
        return size;
    });
}

}  // namespace

PngRows png_rows(const std::uint8_t* pixels, std::size_t size, std::uint32_t width, std::uint32_t height,
                 bool indexed) {
    if (width == 0 || height == 0 || width > max_side || height > max_side) {
        throw std::invalid_argument("a PNG image is 1 to 2^31 - 1 pixels a side");
    }
    const std::size_t stride = static_cast<std::size_t>(width) * (indexed ? 1 : 4);
    if (size / stride != height || size % stride != 0) {
        throw std::invalid_argument("the pixels are not as many as width x height");
    }
    PngRows rows;
    rows.width = width;
    rows.height = height;
    rows.indexed = indexed;
    rows.bytes.resize((stride + 1) * height);
    std::uint8_t* to = rows.bytes.data();
    for (std::uint32_t y = 0; y < height; ++y) {
        *to++ = 0;
        std::memcpy(to, pixels + stride * y, stride);
        to += stride;
    }
    return rows;
}

std::vector<std::uint8_t> png_file(const PngRows& rows, int level, const PngPalette& palette,
                                   const std::vector<std::pair<std::string, std::string>>& text) {
    if (level < 0 || level > png_level_max) throw std::invalid_argument("a PNG compression level is 0 to 9");
    if (rows.indexed != !palette.rgb.empty()) {
        throw std::invalid_argument("a palette image needs a palette, and an RGBA image none");
    }
    if (rows.indexed && (palette.rgb.size() > 3 * 256 || palette.rgb.size() % 3 != 0 ||
                         palette.alpha.size() > palette.rgb.size() / 3)) {
        throw std::invalid_argument("a PNG palette holds 1 to 256 R, G, B entries and at most one alpha for each");
    }
    libdeflate_compressor& compressor = compressor_for(level);
    const std::size_t bound = libdeflate_zlib_compress_bound(&compressor, rows.bytes.size());

    std::vector<std::uint8_t> out(sizeof png_signature);
    out.reserve(8 + 25 + 12 + palette.rgb.size() + 12 + palette.alpha.size() + 12 + bound + 12);
    std::memcpy(out.data(), png_signature, sizeof png_signature);

    std::uint8_t header[13];
    write_be32(header, rows.width);
    write_be32(header + 4, rows.height);
    header[8] = 8;                             // bits a sample
    header[9] = rows.indexed ? 3 : 6;          // colour type: palette, or RGBA
    header[10] = header[11] = header[12] = 0;  // deflate, filters of method 0, no interlacing
    append_chunk(out, "IHDR", header, sizeof header);

    for (const auto& entry : text) {
        const std::string& keyword = entry.first;
        const std::string& words = entry.second;
        append_chunk(out, "tEXt", keyword.size() + 1 + words.size(), [&](std::uint8_t* to, std::size_t size) {
            std::memcpy(to, keyword.data(), keyword.size());
            to[keyword.size()] = 0;
            if (!words.empty()) std::memcpy(to + keyword.size() + 1, words.data(), words.size());
            return size;
        });
    }
    if (rows.indexed) {
        append_chunk(out, "PLTE", palette.rgb.data(), palette.rgb.size());
        if (!palette.alpha.empty()) append_chunk(out, "tRNS", palette.alpha.data(), palette.alpha.size());
    }
    append_chunk(out, "IDAT", bound, [&](std::uint8_t* to, std::size_t room) {
        const std::size_t written =
            libdeflate_zlib_compress(&compressor, rows.bytes.data(), rows.bytes.size(), to, room);
        // The bound is what the worst input needs: compression never fails
        // within it.
        if (written == 0) throw std::logic_error("deflate overran its bound");
        return written;
    });
    append_chunk(out, "IEND", nullptr, 0);
    return out;
}

}  // namespace pykiv::image
