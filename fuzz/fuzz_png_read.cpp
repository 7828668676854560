// libFuzzer target for the PNG reader of the tool's core (image/png_read.h).
// Each input is used twice:
//  1. as a PNG file: its chunks walked and checked, and, when the reader
//     decodes its kind and it holds at most max_pixels, decoded into a buffer
//     of exactly width x height x 4 bytes (the sanitizer sees any write
//     beyond it) and mapped through a palette lookup as it is decoded, which
//     must agree with mapping the decoded image;
//  2. as a picture to write: bytes 0-3 give the width (1-16), height (1-16),
//     colour type and zlib level, the next height bytes each row's filter
//     type, the rest the samples (zeros past the end). The PNG made from
//     them here, rows filtered as a PNG encoder filters them, must decode
//     to exactly those pixels.
#include <libdeflate.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/png_chunks.h"
#include "image/png_read.h"
#include "palette/palette_lookup.h"

namespace {

namespace img = pykiv::image;

// Images larger than this are checked but not decoded: a fuzzer's inputs
// that declare megapixels would spend the time on memset, not on the reader.
constexpr std::uint64_t max_pixels = 1u << 16;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "\nfuzz_png_read: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

const PaletteLookup& lookup() {
    static const PaletteLookup kept(std::vector<PalF::Color>{
        {0, 0, 0, 255}, {255, 255, 255, 255}, {0, 0, 0, 0}, {1, 2, 3, 255}, {17, 17, 17, 255}, {0, 0, 0, 255}});
    return kept;
}

void read_as_file(const std::uint8_t* data, std::size_t size) {
    img::PngLayout layout;
    try {
        layout = img::read_png_layout(data, size);
    } catch (const img::PngError&) {
        return;
    }
    if (layout.width == 0 || layout.height == 0) fail("a layout of no pixels was accepted");
    if (!layout.decodable() || layout.pixels() > max_pixels) return;
    const auto count = static_cast<std::size_t>(layout.pixels());
    std::vector<std::uint8_t> rgba(count * 4);
    try {
        img::decode_png(data, size, layout, rgba.data());
    } catch (const img::PngError&) {
        return;
    }
    std::vector<std::uint8_t> indices(count), painted(count), want_indices(count), want_painted(count);
    std::vector<std::uint32_t> kept(count), want_kept(count);
    const std::size_t missing = img::map_png(data, size, layout, lookup(), indices.data(), painted.data(), kept.data());
    const std::size_t want_missing =
        lookup().map(rgba.data(), count, want_indices.data(), want_painted.data(), want_kept.data());
    if (missing != want_missing || indices != want_indices || painted != want_painted || kept != want_kept) {
        fail("mapping while decoding differs from mapping the decoded image");
    }
}

std::uint8_t paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

void append_chunk(std::vector<std::uint8_t>& out, const char* type, const std::vector<std::uint8_t>& body) {
    std::uint8_t field[4];
    img::write_be32(field, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), field, field + 4);
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), body.begin(), body.end());
    img::write_be32(field, img::png_chunk_crc(reinterpret_cast<const std::uint8_t*>(type), body.data(), body.size()));
    out.insert(out.end(), field, field + 4);
}

void round_trip(const std::uint8_t* data, std::size_t size) {
    auto byte = [&](std::size_t i) { return i < size ? data[i] : std::uint8_t{0}; };
    const std::uint32_t width = 1 + byte(0) % 16, height = 1 + byte(1) % 16;
    static constexpr std::uint8_t types[4] = {img::png_grey, img::png_rgb, img::png_grey_alpha, img::png_rgba};
    const std::uint8_t color_type = types[byte(2) % 4];
    const int level = byte(3) % 13;
    const unsigned bpp = color_type == img::png_grey         ? 1
                         : color_type == img::png_grey_alpha ? 2
                         : color_type == img::png_rgb        ? 3
                                                             : 4;
    const std::size_t stride = std::size_t{width} * bpp;
    std::vector<std::uint8_t> samples(stride * height);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = byte(4 + height + i);

    std::vector<std::uint8_t> rows;
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t filter = byte(4 + y) % 5;
        rows.push_back(filter);
        const std::uint8_t* row = samples.data() + y * stride;
        const std::uint8_t* above = y > 0 ? row - stride : nullptr;
        for (std::size_t i = 0; i < stride; ++i) {
            const int a = i >= bpp ? row[i - bpp] : 0;
            const int b = above != nullptr ? above[i] : 0;
            const int c = above != nullptr && i >= bpp ? above[i - bpp] : 0;
            const int predictor = filter == 0   ? 0
                                  : filter == 1 ? a
                                  : filter == 2 ? b
                                  : filter == 3 ? (a + b) / 2
                                                : paeth(a, b, c);
            rows.push_back(static_cast<std::uint8_t>(row[i] - predictor));
        }
    }
    // One compressor a level, made once: making one costs more than a run.
    static libdeflate_compressor* compressors[13] = {};
    if (compressors[level] == nullptr) compressors[level] = libdeflate_alloc_compressor(level);
    libdeflate_compressor* compressor = compressors[level];
    if (compressor == nullptr) fail("no compressor");
    std::vector<std::uint8_t> stream(libdeflate_zlib_compress_bound(compressor, rows.size()));
    stream.resize(libdeflate_zlib_compress(compressor, rows.data(), rows.size(), stream.data(), stream.size()));

    std::vector<std::uint8_t> file(img::png_signature, img::png_signature + 8);
    std::vector<std::uint8_t> header(13, 0);
    img::write_be32(header.data(), width);
    img::write_be32(header.data() + 4, height);
    header[8] = 8;
    header[9] = color_type;
    append_chunk(file, "IHDR", header);
    // The stream split in two IDAT chunks where byte 3 says.
    const std::size_t cut = stream.size() * (byte(3) % 4) / 4;
    append_chunk(file, "IDAT", std::vector<std::uint8_t>(stream.begin(), stream.begin() + cut));
    append_chunk(file, "IDAT", std::vector<std::uint8_t>(stream.begin() + cut, stream.end()));
    append_chunk(file, "IEND", {});

    std::vector<std::uint8_t> rgba(std::size_t{width} * height * 4);
    try {
        const img::PngLayout layout = img::read_png_layout(file.data(), file.size());
        img::decode_png(file.data(), file.size(), layout, rgba.data());
    } catch (const img::PngError& error) {
        fail(std::string("a PNG written here does not read: ") + error.what());
    }
    for (std::size_t p = 0; p < std::size_t{width} * height; ++p) {
        const std::uint8_t* s = samples.data() + p * bpp;
        std::uint8_t want[4];
        switch (color_type) {
            case img::png_grey:
                want[0] = want[1] = want[2] = s[0], want[3] = 255;
                break;
            case img::png_grey_alpha:
                want[0] = want[1] = want[2] = s[0], want[3] = s[1];
                break;
            case img::png_rgb:
                want[0] = s[0], want[1] = s[1], want[2] = s[2], want[3] = 255;
                break;
            default:
                std::memcpy(want, s, 4);
                break;
        }
        if (std::memcmp(want, rgba.data() + 4 * p, 4) != 0) fail("a PNG written here decodes to other pixels");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    read_as_file(data, size);
    round_trip(data, size);
    return 0;
}
