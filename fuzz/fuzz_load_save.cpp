// libFuzzer target for the native core: every input is read as an animation
// file, rendered, written back, and read again.
//
// Per input:
//   1. the bytes are loaded with a fixed, valid 256-colour palette named
//      explicitly, so no palette is searched for on the real filesystem;
//   2. every rendered frame must hold the pixels its records describe,
//      painted again here one pixel at a time;
//   3. the records are saved; a refusal (std::invalid_argument) ends the
//      input, since those records have no file that reads back as them;
//   4. the saved file is loaded again and must give the same records (with
//      the unk1 = 0, unk2 = 1 the writer stores) and the same rendered frames.
// A size the file cannot back (std::bad_alloc from the first load) ends the
// input too. Any other exception, and any difference, aborts with a message.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "animation/kiv_file.h"
#include "system/physical_memory.h"

namespace fs = std::filesystem;

// The renderer refuses renders whose pixels would not fit in physical memory.
// Defining the function here means the linker never takes the library's
// definition (its object file holds nothing else), so the refusal happens at
// 16 MiB instead. A few bytes of input can describe frames of 65535 x 32767
// pixels; the fuzzer must reach that refusal rather than allocate gigabytes.
// The limit is low because every rendered frame is held about four times
// here (two renders and their copies) and the fuzzer favours large frames,
// whose painting loops look like new coverage: at 256 MiB a single input
// takes seconds under the sanitizers. Frames up to 2048 x 2048 still render.
namespace pykiv::system {
std::uint64_t physical_memory_bytes() { return std::uint64_t{16} << 20; }
}  // namespace pykiv::system

namespace {

struct Paths {
    fs::path directory;
    std::string input;        // the fuzzer's bytes
    std::string palette;      // the palette every load uses; never written again
    std::string output;       // the saved animation
    std::string out_palette;  // the palette the save writes
};

Paths paths;
std::vector<std::uint8_t> palette_bytes;  // the palette file's contents

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "\nfuzz_load_save: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void write_bytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) fail("cannot create " + path);
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) fail("cannot write " + path);
}

// A palette file of 256 different colours (red is the index, the other
// channels vary too), so that painting with a wrong index shows.
std::vector<std::uint8_t> palette_file() {
    std::vector<std::uint8_t> bytes = {0x00, 0x01, 0x00, 0x00};  // count 256, model 0
    for (unsigned i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(i));
        bytes.push_back(static_cast<std::uint8_t>(255 - i));
        bytes.push_back(static_cast<std::uint8_t>(i * 7 + 3));
        bytes.push_back(static_cast<std::uint8_t>(i ^ 0x5A));
    }
    return bytes;
}

void remove_directory() {
    std::error_code ignored;
    fs::remove_all(paths.directory, ignored);
}

// A place in the records, for messages: a frame, row and block index as far
// as they apply, or a name. The text is only made when a check fails.
constexpr std::size_t none = static_cast<std::size_t>(-1);

struct Where {
    const char* name = nullptr;
    std::size_t frame = none, row = none, block = none;

    std::string text() const {
        if (name != nullptr) return name;
        std::string out = "frame " + std::to_string(frame);
        if (row != none) out += " row " + std::to_string(row);
        if (block != none) out += " block " + std::to_string(block);
        return out;
    }
};

Where frame_at(std::size_t f) { return {nullptr, f}; }
Where row_at(std::size_t f, std::size_t y) { return {nullptr, f, y}; }
Where block_at(std::size_t f, std::size_t y, std::size_t k) { return {nullptr, f, y, k}; }

constexpr const char* reread_records = "the reread records differ from the saved ones";
constexpr const char* rendered_record = "a rendered frame does not match its record";
constexpr const char* reread_render = "the reread renders differently";

template <typename T>
void expect_equal(const char* check, const Where& where, const char* field, const T& expected, const T& found) {
    if (expected == found) return;
    fail(std::string(check) + " at " + where.text() + ": " + field + " " + std::to_string(expected) +
         " expected, " + std::to_string(found) + " found");
}

void same_records(const KivInfo& info, bool has_background, const std::vector<KivFrame>& saved,
                  const KivData& reread) {
    const char* check = reread_records;
    const Where header{"header"};
    expect_equal(check, header, "speed", info.speed, reread.info.speed);
    expect_equal(check, header, "frame_count", info.frame_count, reread.info.frame_count);
    expect_equal(check, header, "has_background", has_background, reread.has_background);
    expect_equal(check, header, "frame list size", saved.size(), reread.frames.size());
    for (std::size_t f = 0; f < saved.size(); ++f) {
        if (!reread.frames[f]) fail(std::string(check) + " at " + frame_at(f).text() + ": the frame is missing");
        const KivFrame& s = saved[f];
        const KivFrame& r = *reread.frames[f];
        expect_equal(check, frame_at(f), "frame_size", s.frame_size, r.frame_size);
        expect_equal(check, frame_at(f), "height", s.height, r.height);
        expect_equal(check, frame_at(f), "is_shadow", s.is_shadow, r.is_shadow);
        expect_equal(check, frame_at(f), "width", s.width, r.width);
        expect_equal(check, frame_at(f), "y_offset", s.y_offset, r.y_offset);
        expect_equal(check, frame_at(f), "x_offset", s.x_offset, r.x_offset);
        expect_equal(check, frame_at(f), "unk1", s.unk1, r.unk1);
        expect_equal(check, frame_at(f), "unk2", s.unk2, r.unk2);
        expect_equal(check, frame_at(f), "row count", s.pixel_sets.size(), r.pixel_sets.size());
        for (std::size_t y = 0; y < s.pixel_sets.size(); ++y) {
            const KivPixelSet& srow = s.pixel_sets[y];
            const KivPixelSet& rrow = r.pixel_sets[y];
            expect_equal(check, row_at(f, y), "block_count", srow.block_count, rrow.block_count);
            expect_equal(check, row_at(f, y), "block list size", srow.blocks.size(), rrow.blocks.size());
            for (std::size_t k = 0; k < srow.blocks.size(); ++k) {
                const KivPixelBlock& sblock = srow.blocks[k];
                const KivPixelBlock& rblock = rrow.blocks[k];
                expect_equal(check, block_at(f, y, k), "offset", sblock.offset, rblock.offset);
                expect_equal(check, block_at(f, y, k), "color_count", sblock.color_count, rblock.color_count);
                expect_equal(check, block_at(f, y, k), "colour list size", sblock.colors.size(), rblock.colors.size());
                if (sblock.colors != rblock.colors) {
                    fail(std::string(check) + " at " + block_at(f, y, k).text() + ": colour indices");
                }
            }
        }
    }
}

// The pixels a frame's records describe, painted one pixel at a time: the
// image starts transparent black; in each row a run skips `offset` pixels,
// then paints its colour indices (a shadow run: color_count opaque black
// pixels), cut at the right edge. Every index names one of the palette's
// 256 colours.
std::vector<std::uint8_t> expected_pixels(const KivFrame& frame) {
    constexpr std::size_t palette_header = 4;
    const std::size_t width = frame.width;
    std::vector<std::uint8_t> pixels(width * frame.height * 4, 0);
    for (std::size_t y = 0; y < frame.height && y < frame.pixel_sets.size(); ++y) {
        std::size_t x = 0;
        for (const KivPixelBlock& block : frame.pixel_sets[y].blocks) {
            x += block.offset;
            if (block.color_count == 0) continue;
            const std::size_t length = frame.is_shadow != 0 ? block.color_count : block.colors.size();
            for (std::size_t i = 0; i < length && x < width; ++i, ++x) {
                std::uint8_t* pixel = &pixels[(y * width + x) * 4];
                if (frame.is_shadow != 0) {
                    pixel[3] = 255;
                } else {
                    std::memcpy(pixel, &palette_bytes[palette_header + 4 * std::size_t{block.colors[i]}], 4);
                }
            }
        }
    }
    return pixels;
}

// With a valid palette every frame is rendered, into an image of its own
// size holding the pixels its records describe.
void check_rendered(const std::vector<KivFrameBufferObject>& images, const KivData& data) {
    const char* check = rendered_record;
    expect_equal(check, Where{"animation"}, "image count", data.frames.size(), images.size());
    for (std::size_t f = 0; f < images.size(); ++f) {
        const KivFrameBufferObject& image = images[f];
        const KivFrame& frame = *data.frames[f];
        expect_equal(check, frame_at(f), "width", std::int32_t{frame.width}, image.width);
        expect_equal(check, frame_at(f), "height", std::int32_t{frame.height}, image.height);
        expect_equal(check, frame_at(f), "offset_x", std::int32_t{frame.x_offset}, image.offset_x);
        expect_equal(check, frame_at(f), "offset_y", std::int32_t{frame.y_offset}, image.offset_y);
        expect_equal(check, frame_at(f), "channels", std::int32_t{4}, image.channels);
        const std::vector<std::uint8_t> expected = expected_pixels(frame);
        expect_equal(check, frame_at(f), "pixel bytes", expected.size(), image.pixels.size());
        const auto differs = std::mismatch(expected.begin(), expected.end(), image.pixels.begin());
        if (differs.first != expected.end()) {
            const std::size_t byte = static_cast<std::size_t>(differs.first - expected.begin());
            const std::size_t pixel = byte / 4;
            fail(std::string(check) + " at " + frame_at(f).text() + ": pixel (" +
                 std::to_string(pixel % std::size_t{frame.width}) + ", " +
                 std::to_string(pixel / std::size_t{frame.width}) + ") byte " + std::to_string(byte % 4) + " is " +
                 std::to_string(*differs.second) + ", " + std::to_string(*differs.first) + " expected");
        }
    }
}

void same_images(const std::vector<KivFrameBufferObject>& saved, const std::vector<KivFrameBufferObject>& reread) {
    const char* check = reread_render;
    expect_equal(check, Where{"animation"}, "image count", saved.size(), reread.size());
    for (std::size_t f = 0; f < saved.size(); ++f) {
        const KivFrameBufferObject& s = saved[f];
        const KivFrameBufferObject& r = reread[f];
        expect_equal(check, frame_at(f), "width", s.width, r.width);
        expect_equal(check, frame_at(f), "height", s.height, r.height);
        expect_equal(check, frame_at(f), "offset_x", s.offset_x, r.offset_x);
        expect_equal(check, frame_at(f), "offset_y", s.offset_y, r.offset_y);
        expect_equal(check, frame_at(f), "channels", s.channels, r.channels);
        if (s.pixels != r.pixels) fail(std::string(check) + " at " + frame_at(f).text() + ": pixels");
    }
}

void run(const std::uint8_t* data, std::size_t size) {
    write_bytes(paths.input, data, size);

    // What the first load gave and the save wrote, kept once the first
    // object (and its own copy of the pixels) is gone.
    std::vector<KivFrameBufferObject> images;
    KivInfo info;
    bool has_background = false;
    std::vector<KivFrame> saved;
    {
        KivF a;
        try {
            a.load(paths.input, 0, paths.palette);
        } catch (const std::bad_alloc&) {
            return;  // sizes the file cannot back, refused before allocating
        }
        images = a.get_frame_buffer();
        check_rendered(images, *a.data());

        std::error_code ignored;
        fs::remove(paths.output, ignored);
        try {
            a.save(paths.output, paths.directory.string(), paths.out_palette);
        } catch (const std::invalid_argument&) {
            return;  // records that would not read back as themselves
        }
        if (!fs::exists(paths.output)) fail("save wrote no animation file");

        // Copied after the save: the writer stores unk1 = 0 and unk2 = 1 in
        // the records it writes, and the reread must match those.
        const KivData& held = *a.data();
        info = held.info;
        has_background = held.has_background;
        saved.reserve(held.frames.size());
        for (const auto& frame : held.frames) {
            if (!frame) fail("a loaded frame is missing");
            saved.push_back(*frame);
        }
    }

    KivF b;
    try {
        b.load(paths.output, 0, paths.palette);
    } catch (const std::bad_alloc& e) {
        fail(std::string("the saved file cannot be loaded again: ") + e.what());
    }
    same_records(info, has_background, saved, *b.data());
    same_images(images, b.get_frame_buffer());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The core reports problems in the data as "ERROR: ..." lines on
    // std::cerr; with a fuzzer feeding it broken files, they would bury the
    // fuzzer's own output. Without a buffer the stream drops them.
    std::cerr.rdbuf(nullptr);

    // Files live in memory where possible: every input is written and read
    // several times.
    std::error_code error;
    fs::path base = "/dev/shm";
    if (!fs::is_directory(base, error)) base = fs::temp_directory_path();
    std::string pattern = (base / "pykiv-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) fail("cannot create a directory under " + base.string());
    paths.directory = fs::path(pattern);
    paths.input = (paths.directory / "input.kiv").string();
    paths.palette = (paths.directory / "palette.pal").string();
    paths.output = (paths.directory / "saved.kiv").string();
    paths.out_palette = (paths.directory / "saved.pal").string();
    std::atexit(remove_directory);

    palette_bytes = palette_file();
    write_bytes(paths.palette, palette_bytes.data(), palette_bytes.size());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        run(data, size);
    } catch (const std::exception& e) {
        fail(std::string("unexpected exception: ") + e.what());
    }
    return 0;
}
