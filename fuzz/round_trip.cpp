#include "round_trip.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "codec/kiv_codec.h"
#include "codec/kiv_planes.h"
#include "io/file_io.h"
#include "render/kiv_index_planes.h"

namespace fs = std::filesystem;

namespace pykiv::fuzz {

namespace {

using Bytes = std::vector<std::uint8_t>;
using pykiv::kiv_codec::PaletteReference;

[[noreturn]] void fail(const std::string& what) { throw RoundTripFailure(what); }

void write_bytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(pykiv::io::path_from_utf8(path), std::ios::binary | std::ios::trunc);
    if (size != 0) out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes read_bytes(const std::string& path) {
    std::ifstream in(pykiv::io::path_from_utf8(path), std::ios::binary);
    if (!in) fail("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// 256 different colours (red is the index, the other channels vary too), so
// that painting with a wrong index shows.
std::vector<PalF::Color> palette_colors() {
    std::vector<PalF::Color> colors;
    for (unsigned i = 0; i < 256; ++i) {
        colors.push_back({static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                          static_cast<std::uint8_t>(i * 7 + 3), static_cast<std::uint8_t>(i ^ 0x5A)});
    }
    return colors;
}

Bytes palette_file(const std::vector<PalF::Color>& colors) {
    Bytes bytes = {0x00, 0x01, 0x00, 0x00};  // count 256, model 0
    for (const PalF::Color& c : colors) bytes.insert(bytes.end(), {c.r, c.g, c.b, c.a});
    return bytes;
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

constexpr const char* reread_records = "the reread records differ from the encoded ones";
constexpr const char* file_records = "the file object reads other records than the decoder";
constexpr const char* rendered_record = "a rendered frame does not match its record";
constexpr const char* reread_render = "the reread renders differently";
constexpr const char* file_render = "the file object renders differently";
constexpr const char* tool_records = "the tool's animation reads another frame table than the decoder";

template <typename T>
void expect_equal(const char* check, const Where& where, const char* field, const T& expected, const T& found) {
    if (expected == found) return;
    fail(std::string(check) + " at " + where.text() + ": " + field + " " + std::to_string(expected) + " expected, " +
         std::to_string(found) + " found");
}

void expect_text(const char* check, const char* field, const std::string& expected, const std::string& found) {
    if (expected != found)
        fail(std::string(check) + ": " + field + " \"" + expected + "\" expected, \"" + found + "\" found");
}

// Edited records may hold what the file cannot: `written` compares them with
// what they read back as once written. The file stores whether a frame is a
// shadow frame, not the value of is_shadow; 8 bits of a shadow frame's
// height; no colour indices in a shadow frame, and color_count of them in
// other frames.
void same_records(const char* check, const KivData& expected, const KivData& found, bool written = false) {
    const Where header{"header"};
    expect_equal(check, header, "speed", expected.info.speed, found.info.speed);
    expect_equal(check, header, "frame_count", expected.info.frame_count, found.info.frame_count);
    expect_equal(check, header, "has_background", expected.has_background, found.has_background);
    expect_equal(check, header, "frame list size", expected.frames.size(), found.frames.size());
    for (std::size_t f = 0; f < expected.frames.size(); ++f) {
        if (!expected.frames[f] || !found.frames[f])
            fail(std::string(check) + " at " + frame_at(f).text() + ": the frame is missing");
        const KivFrame& s = *expected.frames[f];
        const KivFrame& r = *found.frames[f];
        expect_equal(check, frame_at(f), "frame_size", s.frame_size, r.frame_size);
        const auto stored_height = static_cast<std::uint16_t>(written && s.is_shadow != 0 ? s.height & 0xFF : s.height);
        expect_equal(check, frame_at(f), "height", stored_height, r.height);
        if (written) {
            expect_equal(check, frame_at(f), "is_shadow != 0", s.is_shadow != 0, r.is_shadow != 0);
        } else {
            expect_equal(check, frame_at(f), "is_shadow", s.is_shadow, r.is_shadow);
        }
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
                std::size_t stored_colors = sblock.colors.size();
                if (written)
                    stored_colors = s.is_shadow != 0 ? 0 : std::min<std::size_t>(stored_colors, sblock.color_count);
                expect_equal(check, block_at(f, y, k), "colour list size", stored_colors, rblock.colors.size());
                if (!std::equal(rblock.colors.begin(), rblock.colors.end(), sblock.colors.begin())) {
                    fail(std::string(check) + " at " + block_at(f, y, k).text() + ": colour indices");
                }
            }
        }
    }
}

// Which pixels a frame's records paint, and with which palette index, found
// one pixel at a time: nothing is painted at first; rows without a pixel set
// stay so; in each row a run skips `offset` pixels, then, unless its
// color_count is 0, paints its colour indices (a shadow run: color_count
// pixels, index 0), cut at the right edge and at the first index the
// palette does not hold.
struct Planes {
    Bytes indices;
    Bytes painted;  // 1 where painted
};

Planes expected_planes(const KivFrame& frame, std::size_t palette_size) {
    const std::size_t width = frame.width;
    const bool shadow = frame.is_shadow != 0;
    Planes planes{Bytes(width * frame.height, 0), Bytes(width * frame.height, 0)};
    for (std::size_t y = 0; y < frame.height && y < frame.pixel_sets.size(); ++y) {
        std::size_t x = 0;
        for (const KivPixelBlock& block : frame.pixel_sets[y].blocks) {
            x += block.offset;
            if (block.color_count == 0) continue;
            const std::size_t length = shadow ? block.color_count : block.colors.size();
            for (std::size_t i = 0; i < length && x < width; ++i, ++x) {
                if (!shadow && block.colors[i] >= palette_size) break;
                planes.painted[y * width + x] = 1;
                planes.indices[y * width + x] = shadow ? 0 : block.colors[i];
            }
        }
    }
    return planes;
}

// The pixels a frame's records describe: transparent black where nothing is
// painted, opaque black in a shadow frame, else the colour of the index.
Bytes expected_pixels(const KivFrame& frame, const std::vector<PalF::Color>& colors) {
    const Planes planes = expected_planes(frame, colors.size());
    Bytes pixels(planes.painted.size() * 4, 0);
    for (std::size_t p = 0; p < planes.painted.size(); ++p) {
        if (planes.painted[p] == 0) continue;
        std::uint8_t* pixel = &pixels[p * 4];
        if (frame.is_shadow != 0) {
            pixel[3] = 255;
        } else {
            const PalF::Color& c = colors[planes.indices[p]];
            pixel[0] = c.r;
            pixel[1] = c.g;
            pixel[2] = c.b;
            pixel[3] = c.a;
        }
    }
    return pixels;
}

// With a palette that has colours every frame is rendered, into an image of
// its own size holding the pixels its records describe.
void check_rendered(const std::vector<KivFrameBufferObject>& images, const KivData& data,
                    const std::vector<PalF::Color>& colors) {
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
        const Bytes expected = expected_pixels(frame, colors);
        expect_equal(check, frame_at(f), "pixel bytes", expected.size(), image.pixels.size());
        if (expected.empty() || std::memcmp(expected.data(), image.pixels.data(), expected.size()) == 0) continue;
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

void same_images(const char* check, const std::vector<KivFrameBufferObject>& expected,
                 const std::vector<KivFrameBufferObject>& found) {
    expect_equal(check, Where{"animation"}, "image count", expected.size(), found.size());
    for (std::size_t f = 0; f < expected.size(); ++f) {
        const KivFrameBufferObject& s = expected[f];
        const KivFrameBufferObject& r = found[f];
        expect_equal(check, frame_at(f), "width", s.width, r.width);
        expect_equal(check, frame_at(f), "height", s.height, r.height);
        expect_equal(check, frame_at(f), "offset_x", s.offset_x, r.offset_x);
        expect_equal(check, frame_at(f), "offset_y", s.offset_y, r.offset_y);
        expect_equal(check, frame_at(f), "channels", s.channels, r.channels);
        if (s.pixels.size() != r.pixels.size() ||
            (!s.pixels.empty() && std::memcmp(s.pixels.data(), r.pixels.data(), s.pixels.size()) != 0))
            fail(std::string(check) + " at " + frame_at(f).text() + ": pixels");
    }
}

std::uint32_t hash_of(const std::uint8_t* data, std::size_t size) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

// Edits that Python code can make to loaded records, which then disagree
// with their counts: a frame loses its last row, or turns into a shadow
// frame or back, a row claims one block more, a block claims another run
// length. `choice` picks the frame and the edit.
void edit_records(KivData& data, std::uint32_t choice) {
    if (data.frames.empty()) return;
    KivFrame& frame = *data.frames[choice % data.frames.size()];
    choice /= static_cast<std::uint32_t>(data.frames.size());
    KivPixelSet* row = frame.pixel_sets.empty() ? nullptr : &frame.pixel_sets[choice % frame.pixel_sets.size()];
    KivPixelBlock* block = row == nullptr || row->blocks.empty() ? nullptr : &row->blocks.front();
    switch ((choice >> 8) % 4) {
        case 0:
            if (!frame.pixel_sets.empty()) frame.pixel_sets.pop_back();
            break;
        case 1:
            frame.is_shadow = frame.is_shadow != 0 ? 0 : 2;
            break;
        case 2:
            if (row != nullptr) row->block_count = static_cast<std::uint8_t>(row->block_count + 1);
            break;
        default:
            if (block != nullptr)
                block->color_count = static_cast<std::uint8_t>((choice >> 10) % 3 == 0 ? 0 : block->color_count + 1);
            break;
    }
}

bool encodable(const KivData& data) {
    try {
        pykiv::kiv_codec::check_encodable(data);
        return true;
    } catch (const std::invalid_argument&) {
        return false;
    }
}

// A copy of the records whose frames are frames of its own.
KivData deep_copy(const KivData& data) {
    KivData copy = data;
    for (auto& frame : copy.frames) frame = std::make_shared<KivFrame>(frame_or_default(frame));
    return copy;
}

void fail_at_pixel(const char* check, std::size_t f, std::size_t width, std::size_t p, const char* plane,
                   unsigned found, unsigned expected) {
    fail(std::string(check) + " at " + frame_at(f).text() + ": pixel (" + std::to_string(p % width) + ", " +
         std::to_string(p / width) + ") " + plane + " is " + std::to_string(found) + ", " + std::to_string(expected) +
         " expected");
}

// paint_indices against the model, each frame into planes of exactly width
// x height bytes, so that the sanitizer sees any write beyond them.
void check_index_planes(const KivData& data, std::size_t palette_size) {
    const char* check = "paint_indices differs from the records";
    for (std::size_t f = 0; f < data.frames.size(); ++f) {
        const KivFrame& frame = frame_or_default(data.frames[f]);
        const Planes expected = expected_planes(frame, palette_size);
        const std::size_t pixels = expected.painted.size();
        const auto indices = std::make_unique<std::uint8_t[]>(pixels);
        const auto painted = std::make_unique<std::uint8_t[]>(pixels);
        std::memset(indices.get(), 0xEE, pixels);
        std::memset(painted.get(), 0xEE, pixels);
        paint_indices(frame, palette_size, indices.get(), painted.get());
        for (std::size_t p = 0; p < pixels; ++p) {
            if (painted[p] != expected.painted[p])
                fail_at_pixel(check, f, frame.width, p, "painted", painted[p], expected.painted[p]);
            if (indices[p] != expected.indices[p])
                fail_at_pixel(check, f, frame.width, p, "index", indices[p], expected.indices[p]);
        }
    }
}

// The frames, drawn as planes, through encode_planes: the shapes a file holds
// are taken, unless a row needs more runs than a row can hold, and the bytes
// decode to frames of the same shapes that paint the same planes, with the
// header given.
void check_planes_round_trip(const KivData& data, const std::string& location, std::size_t palette_size,
                             const pykiv::kiv_codec::DecodeLimits& limits) {
    using namespace pykiv::kiv_codec;
    const char* check = "the planes read back differently";
    std::vector<Planes> planes;
    planes.reserve(data.frames.size());
    AnimationPlanes animation;
    std::vector<FrameShape> shapes;
    for (const auto& slot : data.frames) {
        const KivFrame& frame = frame_or_default(slot);
        planes.push_back(expected_planes(frame, palette_size));
        shapes.push_back({frame.width, frame.height, frame.x_offset, frame.y_offset, frame.is_shadow != 0});
        animation.frames.push_back({shapes.back(), planes.back().painted.data(), planes.back().indices.data()});
    }
    animation.speed = data.info.speed;
    animation.location = location;
    animation.has_background = data.has_background;

    bool shapes_taken = true;
    try {
        check_frame_shapes(shapes, {});
    } catch (const std::invalid_argument&) {
        shapes_taken = false;
    }
    Bytes encoded;
    try {
        encoded = encode_planes(animation);
    } catch (const std::invalid_argument& e) {
        const std::string why = e.what();
        if (shapes_taken && why.find(" runs") == std::string::npos)
            fail("encode_planes refuses planes whose shapes it takes: " + why);
        return;
    }
    if (!shapes_taken) fail("encode_planes takes shapes that check_frame_shapes refuses");

    KivData reread;
    PaletteReference stored;
    try {
        stored = decode_animation(encoded.data(), encoded.size(), reread, limits);
    } catch (const std::bad_alloc& e) {
        fail(std::string("the bytes of encode_planes cannot be decoded: ") + e.what());
    }
    const Where header{"header"};
    expect_equal(check, header, "speed", data.info.speed, reread.info.speed);
    expect_equal(check, header, "has_background", data.has_background, reread.has_background);
    expect_equal(check, header, "frame list size", data.frames.size(), reread.frames.size());
    expect_text(check, "palette location", location, stored.location());
    for (std::size_t f = 0; f < shapes.size(); ++f) {
        const FrameShape& shape = shapes[f];
        const KivFrame& frame = *reread.frames[f];
        expect_equal(check, frame_at(f), "width", shape.width, std::int64_t{frame.width});
        expect_equal(check, frame_at(f), "height", shape.height, std::int64_t{frame.height});
        expect_equal(check, frame_at(f), "x_offset", shape.x_offset, std::int64_t{frame.x_offset});
        expect_equal(check, frame_at(f), "y_offset", shape.y_offset, std::int64_t{frame.y_offset});
        expect_equal(check, frame_at(f), "shadow", shape.shadow, frame.is_shadow != 0);
        expect_equal(check, frame_at(f), "frame_size", std::uint32_t(frame_record_size(frame)), frame.frame_size);
        const Planes& given = planes[f];
        const Planes found = expected_planes(frame, 256);
        for (std::size_t p = 0; p < given.painted.size(); ++p) {
            if (found.painted[p] != given.painted[p])
                fail_at_pixel(check, f, frame.width, p, "painted", found.painted[p], given.painted[p]);
            if (found.indices[p] != given.indices[p])
                fail_at_pixel(check, f, frame.width, p, "index", found.indices[p], given.indices[p]);
        }
    }
}

// patch_placement on the input with a speed and offsets picked by `choice`:
// some of them wrong in a way it must refuse (one offset too many, an
// offset or a speed out of range, a speed spelling the prefix's magic in a
// file without the prefix). Bytes that are not a whole file (the header and
// every frame record the decoder read, in full) are refused too. What it
// takes has the input's size, decodes to the input's records with the new
// values, and patched back with the input's values gives the input again.
void check_patch(const std::uint8_t* data, std::size_t size, const KivData& decoded,
                 const pykiv::kiv_codec::PaletteReference& stored, std::uint32_t choice) {
    using namespace pykiv::kiv_codec;
    const bool prefixed = size >= 4 && std::memcmp(data, "KVIF", 4) == 0;
    std::uint64_t whole_size = (prefixed ? 9 : 0) + 12 + std::uint64_t{stored.location_size};
    for (const auto& slot : decoded.frames) whole_size += frame_record_size(frame_or_default(slot));
    bool refusal = whole_size > size;

    std::uint32_t state = choice;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state;
    };
    std::int64_t speed = next();
    std::vector<std::pair<std::int64_t, std::int64_t>> offsets, original;
    for (const auto& slot : decoded.frames) {
        offsets.emplace_back(static_cast<std::int16_t>(next() >> 16), static_cast<std::int16_t>(next() >> 16));
        original.emplace_back(frame_or_default(slot).x_offset, frame_or_default(slot).y_offset);
    }
    switch ((choice >> 13) % 8) {
        case 0:
            offsets.emplace_back(0, 0);
            refusal = true;
            break;
        case 1:
            if (offsets.empty()) break;
            (next() % 2 == 0 ? offsets[next() % offsets.size()].first : offsets[next() % offsets.size()].second) =
                next() % 2 == 0 ? -32769 : 32768;
            refusal = true;
            break;
        case 2:
            speed = 0x4649564B;  // "KVIF"
            refusal = refusal || !prefixed;
            break;
        case 3:
            speed = next() % 2 == 0 ? -1 : std::int64_t{1} << 32;
            refusal = true;
            break;
        default:
            break;
    }

    Bytes patched;
    try {
        patched = patch_placement(data, size, speed, offsets);
    } catch (const std::invalid_argument& e) {
        if (!refusal) fail(std::string("patch_placement refuses a whole file and values it can hold: ") + e.what());
        return;
    }
    if (refusal) fail("patch_placement takes what it must refuse");
    expect_equal("patch_placement", Where{"file"}, "size", size, patched.size());

    KivData expected = deep_copy(decoded);
    expected.info.speed = static_cast<std::uint32_t>(speed);
    for (std::size_t f = 0; f < expected.frames.size(); ++f) {
        expected.frames[f]->x_offset = static_cast<std::int16_t>(offsets[f].first);
        expected.frames[f]->y_offset = static_cast<std::int16_t>(offsets[f].second);
    }
    KivData reread;
    try {
        decode_animation(patched.data(), patched.size(), reread);
    } catch (const std::bad_alloc& e) {
        fail(std::string("a patched file cannot be decoded: ") + e.what());
    }
    same_records("a patched file reads back differently", expected, reread);
    if (patch_placement(patched.data(), patched.size(), decoded.info.speed, original) != Bytes(data, data + size))
        fail("patched back with its own values, a file does not give its bytes again");
}

}  // namespace

RoundTrip::RoundTrip(fs::path directory, KivLimits limits)
    : directory_(fs::canonical(directory)), limits_(limits), palette_colors_(palette_colors()) {
    input_path_ = pykiv::io::path_to_utf8(directory_ / "input.kiv");
    palette_path_ = pykiv::io::path_to_utf8(directory_ / "palette.pal");
    output_path_ = pykiv::io::path_to_utf8(directory_ / "saved.kiv");
    saved_palette_path_ = pykiv::io::path_to_utf8(directory_ / "saved.pal");
    palette_bytes_ = palette_file(palette_colors_);
    write_bytes(palette_path_, palette_bytes_.data(), palette_bytes_.size());
}

void RoundTrip::check(const std::uint8_t* data, std::size_t size, bool through_files) {
    using namespace pykiv::kiv_codec;

    if (through_files) check_files(data, size);

    // Inputs are varied by their hash: one in eight renders with a palette
    // of fewer colours, one in eight has its records edited before anything
    // else.
    const std::uint32_t hash = hash_of(data, size);
    const std::uint32_t variant = hash % 8;
    std::vector<PalF::Color> colors = palette_colors_;
    if (variant == 1) colors.resize(1 + (hash >> 3) % 255);

    KivData decoded;
    PaletteReference stored;
    std::vector<KivFrameBufferObject> images;
    bool refused = false;
    try {
        stored = decode_animation(data, size, decoded, limits_.decode);
    } catch (const std::bad_alloc&) {
        refused = true;  // sizes the input cannot back, refused before allocating
    }
    if (!refused) {
        // Before any edit: the placement patch works on the input's bytes.
        check_patch(data, size, decoded, stored, hash);
        try {
            if (variant == 2) edit_records(decoded, hash >> 3);
            decoded.palette->colors(colors);
            images = KivFrameBuffer(decoded, limits_.pixel_memory).release_frames();
        } catch (const std::bad_alloc&) {
            refused = true;  // more pixels than the limit
        }
    }
    if (!refused) {
        check_rendered(images, decoded, colors);
        // Rendered frames are within the pixel limit, and so are their planes.
        check_index_planes(decoded, colors.size());
        check_planes_round_trip(decoded, stored.location(), colors.size(), limits_.decode);
    }
    if (refused || !encodable(decoded)) return;

    const Bytes encoded = encode_animation(decoded, stored.location());
    mark_frames_written(decoded);

    KivData reread;
    PaletteReference reread_stored;
    std::vector<KivFrameBufferObject> reread_images;
    try {
        reread_stored = decode_animation(encoded.data(), encoded.size(), reread, limits_.decode);
        reread.palette->colors(colors);
        reread_images = KivFrameBuffer(reread, limits_.pixel_memory).release_frames();
    } catch (const std::bad_alloc& e) {
        fail(std::string("the encoded bytes cannot be decoded again: ") + e.what());
    }
    const bool edited = variant == 2;
    same_records(reread_records, decoded, reread, edited);
    expect_text(reread_records, "palette location", stored.location(), reread_stored.location());
    expect_equal(reread_records, Where{"header"}, "location size", std::uint32_t(stored.location().size() + 1),
                 reread_stored.location_size);
    if (edited) {
        check_rendered(reread_images, reread, colors);
    } else {
        same_images(reread_render, images, reread_images);
    }
    if (encode_animation(reread, stored.location()) != encoded) fail("the reread records encode to other bytes");
}

void RoundTrip::check_tool_animation(const std::uint8_t* data, std::size_t size, const KivData& decoded,
                                     const std::vector<KivFrameBufferObject>& images) {
    // The tool's animation of the same bytes, with the same palette: the
    // same frame table, the same frames rendered, and its own bytes back
    // when patched with their own placement.
    pykiv::io::FileBytes bytes(size);
    if (size != 0) std::memcpy(bytes.data(), data, size);
    pykiv::file::Animation animation(input_path_, std::move(bytes), palette_path_, limits_);
    if (animation.frames().size() != decoded.frames.size()) fail("the tool's animation has another frame count");
    std::uint64_t pixels = 0;
    std::vector<std::pair<std::int64_t, std::int64_t>> placement;
    for (std::size_t f = 0; f < decoded.frames.size(); ++f) {
        const KivFrame& frame = frame_or_default(decoded.frames[f]);
        const pykiv::file::FrameFacts& facts = animation.frames()[f];
        expect_equal(tool_records, frame_at(f), "width", int{frame.width}, facts.width);
        expect_equal(tool_records, frame_at(f), "height", int{frame.height}, facts.height);
        expect_equal(tool_records, frame_at(f), "x_offset", int{frame.x_offset}, facts.x_offset);
        expect_equal(tool_records, frame_at(f), "y_offset", int{frame.y_offset}, facts.y_offset);
        expect_equal(tool_records, frame_at(f), "shadow", frame.is_shadow != 0, facts.is_shadow);
        pixels += std::uint64_t{4} * frame.width * frame.height;
        placement.emplace_back(frame.x_offset, frame.y_offset);
    }
    expect_equal(tool_records, Where{"file"}, "render bytes", pixels, animation.render_bytes());
    // The file object rendered these bytes within the same limits.
    try {
        animation.render();
    } catch (const std::bad_alloc& e) {
        fail(std::string("the tool's animation refuses a render the file object made: ") + e.what());
    }
    if (animation.outcome() != (images.empty() ? KivLoadStatus::no_colors : KivLoadStatus::loaded) &&
        !decoded.frames.empty()) {
        fail("the tool's animation ends its load otherwise than the file object");
    }
    for (std::size_t f = 0; f < images.size(); ++f) {
        if (animation.rgba(f).pixels != images[f].pixels) fail("the tool's animation renders another frame");
    }
    try {
        if (animation.patched(decoded.info.speed, placement) != Bytes(data, data + size)) {
            fail("the tool's animation patched with its own placement gives other bytes");
        }
    } catch (const std::invalid_argument&) {
        // Not a whole file, or a speed it cannot write back: check_patch
        // tells which refusals are right.
    }
}

void RoundTrip::check_files(const std::uint8_t* data, std::size_t size) {
    // What the decoder and the renderer make of the input.
    KivData decoded;
    std::uint32_t location_size = 0;
    std::vector<KivFrameBufferObject> images;
    bool refused = false;
    try {
        location_size = pykiv::kiv_codec::decode_animation(data, size, decoded, limits_.decode).location_size;
        decoded.palette->colors(palette_colors_);
        images = KivFrameBuffer(decoded, limits_.pixel_memory).release_frames();
    } catch (const std::bad_alloc&) {
        refused = true;
    }

    write_bytes(input_path_, data, size);
    KivF loaded(limits_);
    std::shared_ptr<KivData> result;
    try {
        result = loaded.load(input_path_, 0, palette_path_);
        if (refused) fail("the file object loads what the decoder refuses");
    } catch (const std::bad_alloc& e) {
        if (!refused) fail(std::string("the file object refuses what the decoder reads: ") + e.what());
        return;
    }
    same_records(file_records, decoded, *loaded.data());
    expect_text(file_records, "palette location", palette_path_, loaded.data()->palette->location());
    expect_equal(file_records, Where{"header"}, "location size", location_size,
                 loaded.data()->palette->location_size());
    same_images(file_render, images, loaded.get_frame_buffer());
    if ((result == nullptr) != images.empty()) fail("load returns the records exactly when it rendered a frame");

    check_tool_animation(data, size, decoded, images);

    // Saved beside its own palette: the file holds what the encoder writes.
    std::error_code ignored;
    fs::remove(pykiv::io::path_from_utf8(output_path_), ignored);
    const bool takes = encodable(decoded);
    try {
        loaded.save(output_path_, pykiv::io::path_to_utf8(directory_), saved_palette_path_);
        if (!takes) fail("save writes records the encoder refuses");
    } catch (const std::invalid_argument& e) {
        if (takes) fail(std::string("save refuses records the encoder takes: ") + e.what());
        return;
    }
    if (read_bytes(output_path_) != pykiv::kiv_codec::encode_animation(decoded, "saved.pal")) {
        fail("save writes other bytes than the encoder");
    }
    if (read_bytes(saved_palette_path_) != palette_bytes_) fail("save writes another palette than it loaded");

    // Loaded again, the palette is found beside the file by the search.
    KivF again(limits_);
    try {
        again.load(output_path_, 0, "");
    } catch (const std::bad_alloc& e) {
        fail(std::string("the saved file cannot be loaded again: ") + e.what());
    }
    same_records(reread_records, *loaded.data(), *again.data());
    expect_text(reread_records, "palette location", "saved.pal", again.data()->palette->location());
    same_images(reread_render, images, again.get_frame_buffer());
}

}  // namespace pykiv::fuzz
