// libFuzzer target for the palette lookup that turns RGBA pixels back into
// palette indices. An input is a palette and pixels:
//   bytes 0-1: the number of colours, taken modulo 257 (0 to 256; none in a
//   shorter input);
//   then 4 bytes (R, G, B, A) for each colour, zeros where the input ends;
//   the rest: pixels of 4 bytes each (a last partial pixel is dropped).
// Each pixel must come out as a search of the palette finds it: painted, with
// the lowest index that holds its colour and that colour kept, when the
// palette holds it and it is not (0, 0, 0, 0); else unpainted, index 0 and
// nothing kept, counted as missing when its alpha is above 0. The output
// buffers are exactly one entry a pixel, so that the sanitizer sees any write
// beyond them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "palette/palette_lookup.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "\nfuzz_palette_lookup: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::uint32_t word_of(const std::uint8_t* bytes) {
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

void check(const std::uint8_t* data, std::size_t size) {
    // An input too short for its count has no colours and no pixels.
    std::size_t count = 0;
    if (size >= 2) {
        count = ((std::size_t{data[0]} << 8) | data[1]) % 257;
        data += 2;
        size -= 2;
    } else {
        size = 0;
    }
    std::vector<PalF::Color> colors(count, PalF::Color{0, 0, 0, 0});
    std::vector<std::uint8_t> color_bytes(count * 4, 0);
    const std::size_t used = std::min(size, color_bytes.size());
    if (used != 0) std::memcpy(color_bytes.data(), data, used);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* c = &color_bytes[i * 4];
        colors[i] = PalF::Color{c[0], c[1], c[2], c[3]};
    }
    const std::uint8_t* rgba = data + used;
    const std::size_t pixels = (size - used) / 4;

    const PaletteLookup lookup(colors);
    const auto indices = std::make_unique<std::uint8_t[]>(pixels);
    const auto painted = std::make_unique<std::uint8_t[]>(pixels);
    const auto kept = std::make_unique<std::uint32_t[]>(pixels);
    const std::size_t missing = lookup.map(rgba, pixels, indices.get(), painted.get(), kept.get());

    std::size_t expected_missing = 0;
    for (std::size_t p = 0; p < pixels; ++p) {
        const std::uint32_t word = word_of(rgba + 4 * p);
        std::size_t index = count;
        if (word != 0) {
            for (std::size_t i = 0; i < count; ++i) {
                if (word_of(&color_bytes[i * 4]) == word) {
                    index = i;
                    break;
                }
            }
        }
        const bool found = index < count;
        if (!found && rgba[4 * p + 3] != 0) ++expected_missing;
        const std::string at = "pixel " + std::to_string(p) + " of " + std::to_string(pixels) + " with " +
                               std::to_string(count) + " colours: ";
        if (painted[p] != (found ? 1 : 0)) fail(at + "painted is " + std::to_string(painted[p]));
        if (indices[p] != (found ? index : 0)) {
            fail(at + "index " + std::to_string(indices[p]) + ", " + std::to_string(found ? index : 0) + " expected");
        }
        if (kept[p] != (found ? word : 0)) fail(at + "kept colour " + std::to_string(kept[p]));
    }
    if (missing != expected_missing) {
        fail("missing colours: " + std::to_string(missing) + ", " + std::to_string(expected_missing) + " expected");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        check(data, size);
    } catch (const std::exception& e) {
        fail(e.what());
    }
    return 0;
}
