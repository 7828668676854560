// Native tests of the C++ core: the codec on byte buffers and its limits, the
// palette search of the animation reader, the palette location the writer
// stores, non-ASCII path text, the safe file writer, error lines, and the
// inputs the fuzzer found worth keeping, on the platform the tests are built
// for. Built for Linux and,
// with mingw-w64, for Windows (run under wine there).
//
// Every file is made here, byte by byte, from its fields. Paths reach the core
// as UTF-8 text, as they do from Python. This source file is UTF-8, and so is
// the compiler's execution character set, so "é" below is the bytes C3 A9.
//
// Windows-only cases that need a second drive read its letter (for example
// "D:") from the environment variable PYKIV_TEST_SECOND_DRIVE; the drive must
// be one the tests may write to at its root. Without it they are skipped.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <memory>
#include <memory_resource>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "codec/kiv_codec.h"
#include "file/kiv_animation.h"
#include "file/kiv_file.h"
#include "io/error_line.h"
#include "io/file_io.h"
#include "memory/allocation_refused.h"
#include "memory/page_memory.h"
#include "palette/pal_file.h"
#include "render/kiv_frame_buffer.h"
#include "round_trip.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using pykiv::io::path_from_utf8;
using pykiv::io::path_to_utf8;
using Bytes = std::vector<std::uint8_t>;

// How failed checks show lines of text, bytes and loaded palette marks.
namespace doctest {
template <>
struct StringMaker<std::vector<std::string>> {
    static String convert(const std::vector<std::string>& lines) {
        std::string text = "{";
        for (const std::string& line : lines) text += "\n  \"" + line + "\"";
        return String((text + "\n}").c_str());
    }
};
template <>
struct StringMaker<Bytes> {
    static String convert(const Bytes& bytes) {
        static const char digits[] = "0123456789abcdef";
        std::string text = std::to_string(bytes.size()) + " bytes:";
        for (std::uint8_t b : bytes) (text += ' ') += {digits[b >> 4], digits[b & 0xF]};
        return String(text.c_str());
    }
};
template <>
struct StringMaker<std::optional<std::uint8_t>> {
    static String convert(const std::optional<std::uint8_t>& mark) {
        return String(mark ? std::to_string(*mark).c_str() : "nothing");
    }
};
}  // namespace doctest

namespace {

// ---------------------------------------------------------------------------
// Builders: file bytes from fields, little-endian.

class LittleEndian {
public:
    LittleEndian& u8(std::uint8_t value) {
        bytes_.push_back(value);
        return *this;
    }
    LittleEndian& u16(std::uint16_t value) {
        return u8(static_cast<std::uint8_t>(value & 0xFF)).u8(static_cast<std::uint8_t>(value >> 8));
    }
    LittleEndian& i16(std::int16_t value) { return u16(static_cast<std::uint16_t>(value)); }
    LittleEndian& u32(std::uint32_t value) {
        return u16(static_cast<std::uint16_t>(value & 0xFFFF)).u16(static_cast<std::uint16_t>(value >> 16));
    }
    LittleEndian& text(const std::string& text) {
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

struct Run {
    std::uint8_t offset = 0;
    std::vector<std::uint8_t> colors;  // color_count is their number
};

struct FrameFields {
    std::uint32_t frame_size = 0;
    std::uint16_t width = 0;
    std::int16_t y_offset = 0;
    std::int16_t x_offset = 0;
    std::uint8_t unk1 = 0;
    std::uint8_t unk2 = 1;
    std::vector<std::vector<Run>> rows;        // the height word is their number
    bool shadow = false;                       // sets bit 15 of the height word; no colour bytes are stored
    std::optional<std::uint16_t> height_word;  // instead of the above
};

void append_frame(LittleEndian& out, const FrameFields& frame) {
    const auto rows = static_cast<std::uint16_t>(frame.rows.size() | (frame.shadow ? 0x8000u : 0u));
    out.u32(frame.frame_size)
        .u16(frame.height_word.value_or(rows))
        .u16(frame.width)
        .i16(frame.y_offset)
        .i16(frame.x_offset)
        .u8(frame.unk1)
        .u8(frame.unk2);
    for (const auto& row : frame.rows) {
        out.u8(static_cast<std::uint8_t>(row.size()));
        for (const Run& run : row) {
            out.u8(run.offset).u8(static_cast<std::uint8_t>(run.colors.size()));
            if (!frame.shadow) out.text(std::string(run.colors.begin(), run.colors.end()));
        }
    }
}

// An animation file. `location` is stored as given, closing zero byte
// included when the caller puts one there; `frames` holds the background
// frame too, which the stored count leaves out. `record_starts`, when given,
// gets where each frame record was put.
Bytes animation_file(std::uint32_t speed, const std::string& location, const std::vector<FrameFields>& frames,
                     bool has_background = false, std::vector<std::size_t>* record_starts = nullptr) {
    LittleEndian out;
    if (has_background) out.text("KVIF").u32(0).u8(1);
    out.u32(speed).u32(static_cast<std::uint32_t>(location.size())).text(location);
    out.u32(static_cast<std::uint32_t>(frames.size() - (has_background ? 1 : 0)));
    for (const FrameFields& frame : frames) {
        if (record_starts != nullptr) record_starts->push_back(out.bytes().size());
        append_frame(out, frame);
    }
    return out.bytes();
}

std::string stored(const std::string& text) { return text + '\0'; }

Bytes palette_file(const std::vector<PalF::Color>& colors, std::uint16_t model = 0) {
    LittleEndian out;
    out.u16(static_cast<std::uint16_t>(colors.size())).u16(model);
    for (const PalF::Color& c : colors) out.u8(c.r).u8(c.g).u8(c.b).u8(c.a);
    return out.bytes();
}

// The tests' animations paint their one pixel with palette index 1, and every
// palette puts its own red byte (its mark) there, so the rendered pixel tells
// which palette file the reader loaded.
Bytes marked_palette(std::uint8_t mark) { return palette_file({{0, 0, 0, 255}, {mark, 0x22, 0x33, 0xFF}}); }

Bytes animation_naming(const std::string& location_text) {
    FrameFields frame;
    frame.frame_size = 17;
    frame.width = 1;
    frame.rows = {{Run{0, {1}}}};
    return animation_file(100, stored(location_text), {frame});
}

std::optional<std::uint8_t> loaded_mark(const KivF& kiv) {
    const auto frames = kiv.get_frame_buffer();
    if (frames.empty() || frames[0].pixels.size() < 4) return std::nullopt;
    return frames[0].pixels[0];
}

// ---------------------------------------------------------------------------
// Files and directories.

void write_bytes(const fs::path& path, const Bytes& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    REQUIRE_MESSAGE(out.is_open(), "cannot create " << path_to_utf8(path));
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    REQUIRE_MESSAGE(in.is_open(), "cannot read " << path_to_utf8(path));
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string random_suffix() {
    static std::mt19937_64 generator{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint64_t n = generator(); text.size() < 12; n >>= 4) text += digits[n & 0xF];
    return text;
}

// A new directory, removed with everything in it at the end of the test.
// Paths under it are named by UTF-8 text with '/' between components and
// handed out with the platform's preferred separator.
class TempDir {
public:
    explicit TempDir(const fs::path& parent = fs::temp_directory_path()) {
        const fs::path made = parent / path_from_utf8("pykiv-test-" + random_suffix());
        fs::create_directories(made);
        root_ = fs::canonical(made);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    const fs::path& root() const { return root_; }
    fs::path path(const std::string& relative) const { return (root_ / path_from_utf8(relative)).make_preferred(); }
    // The same path as UTF-8 text, as a caller would pass it.
    std::string text(const std::string& relative) const { return path_to_utf8(path(relative)); }

    fs::path file(const std::string& relative, const Bytes& bytes) const {
        const fs::path made = path(relative);
        write_bytes(made, bytes);
        return made;
    }
    fs::path dir(const std::string& relative) const {
        const fs::path made = path(relative);
        fs::create_directories(made);
        return made;
    }

private:
    fs::path root_;
};

// Sets the current directory for the length of a test.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const fs::path& directory) : previous_(fs::current_path()) {
        fs::current_path(directory);
    }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;
    ~CurrentDirectory() {
        std::error_code ec;
        fs::current_path(previous_, ec);
    }

private:
    fs::path previous_;
};

// Collects what the core writes to std::cerr while it lives.
class ErrorLines {
public:
    ErrorLines() : previous_(std::cerr.rdbuf(captured_.rdbuf())) {}
    ErrorLines(const ErrorLines&) = delete;
    ErrorLines& operator=(const ErrorLines&) = delete;
    ~ErrorLines() { std::cerr.rdbuf(previous_); }

    // The lines written so far, each without its line end; a line end is
    // required after the last one.
    std::vector<std::string> lines() const {
        const std::string text = captured_.str();
        std::vector<std::string> result;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            result.push_back(text.substr(start, end - start));
        }
        CHECK_MESSAGE(start == text.size(), "unterminated error output: " << text.substr(start));
        return result;
    }

private:
    std::ostringstream captured_;
    std::streambuf* previous_;
};

using Lines = std::vector<std::string>;

#ifdef _WIN32
const std::string separator = "\\";
#else
const std::string separator = "/";
#endif

const std::string open_failed = "ERROR: Could not open palette file: ";
const std::string no_palette = "ERROR: No palette data available!";

// Names of the entries of a directory, as UTF-8 text.
std::vector<std::string> entries_of(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(path_to_utf8(entry.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

// The location text and its size field as a file written without the prefix
// stores them.
struct StoredLocation {
    std::uint32_t size = 0;
    std::string bytes;
};

StoredLocation stored_location(const Bytes& file) {
    REQUIRE(file.size() >= 8);
    StoredLocation result;
    result.size = std::uint32_t(file[4]) | std::uint32_t(file[5]) << 8 | std::uint32_t(file[6]) << 16 |
                  std::uint32_t(file[7]) << 24;
    REQUIRE(file.size() >= 8 + std::size_t(result.size));
    result.bytes.assign(file.begin() + 8, file.begin() + 8 + result.size);
    return result;
}

// Checks the location text (and its size field, which counts the closing
// zero byte) stored in a written animation file.
void check_stored_location(const fs::path& file, const std::string& text) {
    const StoredLocation location = stored_location(read_bytes(file));
    CHECK(location.bytes == stored(text));
    CHECK(location.size == text.size() + 1);
}

// A project root, a palette path, and the location text a save stores.
struct LocationCase {
    const char* name;
    std::string root;
    std::string palette;
    std::string location;
};

// Puts one frame and three colours into the records of `kiv`, as Python code
// would before a save.
void hold_one_frame(KivF& kiv) {
    KivData& data = *kiv.data();
    data.info.speed = 0x01020304;
    data.info.frame_count = 1;
    data.has_background = false;
    auto frame = std::make_shared<KivFrame>();
    frame->frame_size = 20;
    frame->height = 1;
    frame->width = 3;
    frame->y_offset = -2;
    frame->x_offset = 5;
    frame->unk1 = 9;
    frame->unk2 = 9;
    KivPixelSet row;
    row.block_count = 1;
    row.blocks = {KivPixelBlock{1, 2, {1, 2}}};
    frame->pixel_sets = {row};
    data.frames = {frame};
    data.palette->colors({{10, 20, 30, 40}, {50, 60, 70, 80}, {90, 100, 110, 120}});
}

// The fields hold_one_frame puts there, as the writer emits them.
FrameFields held_frame_fields() {
    FrameFields frame;
    frame.frame_size = 20;
    frame.width = 3;
    frame.y_offset = -2;
    frame.x_offset = 5;
    frame.unk1 = 0;
    frame.unk2 = 1;
    frame.rows = {{Run{1, {1, 2}}}};
    return frame;
}

const Bytes held_palette_file = palette_file({{10, 20, 30, 40}, {50, 60, 70, 80}, {90, 100, 110, 120}});

#ifdef _WIN32
// The root of the second drive the tests may write to, or nothing.
std::optional<fs::path> second_drive() {
    const char* letter = std::getenv("PYKIV_TEST_SECOND_DRIVE");
    if (letter == nullptr || *letter == '\0') return std::nullopt;
    return path_from_utf8(std::string(letter) + "\\");
}

std::string with_forward_slashes(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}
#endif

// Runs each named input through the fuzzer's round trip, the files
// included; a failure names the input. What the inputs provoke on the error
// stream is not checked here.
void check_round_trips(const std::vector<std::pair<std::string, Bytes>>& inputs) {
    TempDir dir;
    pykiv::fuzz::RoundTrip round_trip(dir.root(), pykiv::fuzz::fuzz_limits());
    ErrorLines errors;
    for (const auto& [name, input] : inputs) {
        CAPTURE(name);
        try {
            round_trip.check(input.data(), input.size(), true);
        } catch (const pykiv::fuzz::RoundTripFailure& e) {
            FAIL_CHECK(e.what());
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
TEST_SUITE("codec") {

namespace {

using pykiv::kiv_codec::DecodeLimits;
using pykiv::kiv_codec::PaletteReference;

// Records as one line of text, so that a table can say what it expects and a
// failure shows all of it: the header, then each frame with its rows, a row
// as "block_count: offset+color_count[indices] ...".
std::string text_of(const KivData& data, const PaletteReference& palette) {
    std::ostringstream out;
    out << "speed " << data.info.speed << ", count " << data.info.frame_count << ", frames " << data.frames.size()
        << ", background " << data.has_background << ", location \"" << palette.location() << "\" of "
        << palette.location_size;
    return out.str();
}

std::string text_of(const KivFrame& frame) {
    std::ostringstream out;
    out << "size " << frame.frame_size << " height " << frame.height << " shadow " << int(frame.is_shadow) << " width "
        << frame.width << " y " << frame.y_offset << " x " << frame.x_offset << " unk " << int(frame.unk1) << ' '
        << int(frame.unk2);
    for (const KivPixelSet& row : frame.pixel_sets) {
        out << " | " << int(row.block_count) << ':';
        for (const KivPixelBlock& block : row.blocks) {
            out << ' ' << int(block.offset) << '+' << int(block.color_count);
            if (block.colors.empty()) continue;
            out << '[';
            for (std::size_t i = 0; i < block.colors.size(); ++i) out << (i ? "," : "") << int(block.colors[i]);
            out << ']';
        }
    }
    return out.str();
}

std::vector<std::string> frames_of(const KivData& data) {
    std::vector<std::string> frames;
    for (const auto& frame : data.frames) frames.push_back(text_of(*frame));
    return frames;
}

const std::string empty_frame = "size 0 height 0 shadow 0 width 0 y 0 x 0 unk 0 0";

PaletteReference decode(const Bytes& bytes, KivData& data, DecodeLimits limits = {}) {
    return pykiv::fuzz::decode_animation(bytes.data(), bytes.size(), data, limits);
}

FrameFields two_rows() {
    FrameFields frame;
    frame.frame_size = 17;
    frame.width = 3;
    frame.y_offset = -2;
    frame.x_offset = 5;
    frame.unk1 = 7;
    frame.unk2 = 9;
    frame.rows = {{Run{1, {1, 2}}}, {}};
    return frame;
}
const std::string two_rows_text = "size 17 height 2 shadow 0 width 3 y -2 x 5 unk 7 9 | 1: 1+2[1,2] | 0:";

FrameFields shadow_rows() {
    FrameFields frame;
    frame.width = 4;
    frame.shadow = true;
    frame.rows = {{Run{2, {0, 0, 0}}, Run{0, {0}}}};
    return frame;
}
const std::string shadow_rows_text = "size 0 height 1 shadow 1 width 4 y 0 x 0 unk 0 1 | 2: 2+3 0+1";

Bytes concatenated(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST_CASE("the decoder reads the layout") {
    FrameFields after_shadow = two_rows();
    after_shadow.height_word = 0x0102;  // bit 8 is dropped after a shadow frame
    struct Case {
        const char* name;
        Bytes input;
        std::string header;
        std::vector<std::string> frames;
    };
    const std::vector<Case> cases = {
        {"no prefix",
         animation_file(100, stored("pal/a.pal"), {two_rows()}),
         "speed 100, count 1, frames 1, background 0, location \"pal/a.pal\" of 10",
         {two_rows_text}},
        {"prefix with a background frame, reserved bytes ignored",
         concatenated(LittleEndian().text("KVIF").text("abcd").u8(1).bytes(),
                      animation_file(7, stored(""), {two_rows(), shadow_rows()}, false)),
         // The stored count 2 leaves out the background frame: one more is read.
         "speed 7, count 3, frames 3, background 1, location \"\" of 1",
         {two_rows_text, shadow_rows_text, empty_frame}},
        {"prefix whose flag is 0",
         concatenated(LittleEndian().text("KVIF").u32(0).u8(0).bytes(), animation_file(7, "", {two_rows()})),
         "speed 7, count 1, frames 1, background 0, location \"\" of 0",
         {two_rows_text}},
        {"any flag but 0 is set; a missing background frame is empty",
         concatenated(LittleEndian().text("KVIF").u32(0).u8(0x80).bytes(), animation_file(7, "", {two_rows()})),
         "speed 7, count 2, frames 2, background 1, location \"\" of 0",
         {two_rows_text, empty_frame}},
        {"the magic alone", bytes_of("KVIF"), "speed 0, count 0, frames 0, background 0, location \"\" of 0", {}},
        {"shadow frames store no indices; heights after them keep 8 bits",
         animation_file(1, "", {shadow_rows(), after_shadow}),
         "speed 1, count 2, frames 2, background 0, location \"\" of 0",
         {shadow_rows_text, two_rows_text}},
        {"the location ends at its first zero byte",
         animation_file(1, std::string("ab\0cd\0", 6), {}),
         "speed 1, count 0, frames 0, background 0, location \"ab\" of 6",
         {}},
        {"bytes after the last frame are ignored",
         concatenated(animation_file(1, "", {two_rows()}), bytes_of("junk")),
         "speed 1, count 1, frames 1, background 0, location \"\" of 0",
         {two_rows_text}},
        {"an empty input", {}, "speed 0, count 0, frames 0, background 0, location \"\" of 0", {}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        KivData data;
        const PaletteReference palette = decode(c.input, data);
        CHECK(text_of(data, palette) == c.header);
        CHECK(frames_of(data) == c.frames);
    }
}

TEST_CASE("the walk reports where each frame record starts") {
    FrameFields after_shadow = two_rows();
    after_shadow.height_word = 0x0102;  // one row after a shadow frame
    FrameFields tall = two_rows();
    tall.height_word = 0x0102;  // 258 rows before any shadow frame
    tall.rows.resize(0x102);
    struct Case {
        const char* name;
        std::vector<FrameFields> frames;
        bool has_background;
        std::size_t cut;  // bytes dropped from the end
    };
    const std::vector<Case> cases = {
        {"plain frames", {two_rows(), two_rows(), tall}, false, 0},
        {"a background frame behind the prefix", {two_rows(), shadow_rows(), two_rows()}, true, 0},
        {"heights after a shadow frame keep 8 bits", {shadow_rows(), after_shadow, two_rows()}, false, 0},
        {"a file cut inside its last frame", {two_rows(), tall, two_rows()}, false, 3},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        std::vector<std::size_t> starts;
        Bytes input = animation_file(9, stored("p.pal"), c.frames, c.has_background, &starts);
        input.resize(input.size() - c.cut);
        pykiv::kiv_codec::KivDecoder decoder(input.data(), input.size());
        KivData data;
        decoder.read_header(data);
        decoder.read_frames(data);
        CHECK(decoder.record_offsets() == starts);
        CHECK(decoder.cut_short() == (c.cut != 0));
    }
    // A frame past the end of a cut input starts at the end.
    Bytes missing = animation_file(9, "", {});
    missing[missing.size() - 4] = 2;  // two frames declared, none stored
    pykiv::kiv_codec::KivDecoder decoder(missing.data(), missing.size());
    KivData data;
    decoder.read_header(data);
    decoder.read_frames(data);
    CHECK(decoder.record_offsets() == std::vector<std::size_t>{missing.size(), missing.size()});
}

TEST_CASE("every input is decoded from the same start state") {
    // A background frame and a shadow frame from the first input leave no
    // trace in the second, which has no prefix and a tall plain frame.
    FrameFields tall = two_rows();
    tall.height_word = 0x0102;
    tall.rows.resize(0x102);
    const Bytes plain = animation_file(3, "", {tall});
    KivData fresh;
    decode(plain, fresh);

    KivData reused;
    FrameFields shadow = shadow_rows();
    decode(animation_file(9, "", {shadow, shadow}, true), reused);
    REQUIRE(reused.has_background);
    decode(plain, reused);
    CHECK(frames_of(reused) == frames_of(fresh));
    CHECK_FALSE(reused.has_background);
    CHECK(reused.frames[0]->height == 0x102);
}

TEST_CASE("a cut input keeps the frames it holds whole; later frames are empty") {
    const Bytes whole = animation_file(5, stored("p.pal"), {two_rows(), shadow_rows(), two_rows()});
    KivData expected;
    decode(whole, expected);
    // Where each frame record ends: header and location, then the records.
    const std::size_t header = 4 + 4 + 6 + 4;
    const std::size_t two_rows_size = 14 + 1 + 2 + 2 + 1, shadow_size = 14 + 1 + 2 + 2;
    const std::vector<std::size_t> ends = {header + two_rows_size, header + two_rows_size + shadow_size, whole.size()};
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        CAPTURE(cut);
        KivData data;
        const Bytes input(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        const PaletteReference palette = decode(input, data);
        if (cut < header) {
            CHECK(data.frames.empty());
            continue;
        }
        CHECK(palette.location() == "p.pal");
        REQUIRE(data.frames.size() == 3);
        std::size_t start = header;
        for (std::size_t f = 0; f < 3; ++f) {
            if (cut >= ends[f]) CHECK(text_of(*data.frames[f]) == text_of(*expected.frames[f]));
            if (cut <= start) CHECK(text_of(*data.frames[f]) == empty_frame);
            start = ends[f];
        }
    }

    // Cut inside the indices of the first row: the indices that are there
    // are kept, the rest read as 0, and the second row is empty.
    KivData data;
    const Bytes input(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(header + 14 + 1 + 2 + 1));
    decode(input, data);
    CHECK(frames_of(data) ==
          std::vector<std::string>{"size 17 height 2 shadow 0 width 3 y -2 x 5 unk 7 9 | 1: 1+2[1,0] | 0:", empty_frame,
                                   empty_frame});
}

TEST_CASE("a location longer than the input holds only what is there") {
    const Bytes input = LittleEndian().u32(7).u32(0xFFFFFFFF).text(std::string("ab\0c", 4)).bytes();
    KivData data;
    const PaletteReference palette = decode(input, data);
    CHECK(palette.location_size == 0xFFFFFFFF);
    CHECK(palette.location_bytes == std::string("ab\0c", 4));
    CHECK(palette.location() == "ab");
    CHECK(data.info.frame_count == 0);
}

TEST_CASE("frame counts beyond the input are refused above the limit") {
    const DecodeLimits limits{3};
    const Bytes smallest_frame = LittleEndian().u32(0).u16(0).u16(0).i16(0).i16(0).u8(0).u8(0).bytes();
    const auto with_count = [](std::uint32_t count, bool background, const Bytes& rest) {
        LittleEndian out;
        if (background) out.text("KVIF").u32(0).u8(1);
        out.u32(42).u32(0).u32(count).text(std::string(rest.begin(), rest.end()));
        return out.bytes();
    };
    Bytes four_frames;
    for (int i = 0; i < 4; ++i) four_frames = concatenated(four_frames, smallest_frame);

    struct Case {
        const char* name;
        Bytes input;
        std::size_t frames;   // read, or 0 when refused
        std::string refusal;  // the message, or empty
    };
    const std::vector<Case> cases = {
        {"up to the limit", with_count(3, false, {}), 3, ""},
        {"one over the limit", with_count(4, false, {}), 0,
         "animation file declares 4 frames but its remaining 0 bytes cannot hold them"},
        {"over the limit with every record there", with_count(4, false, four_frames), 4, ""},
        {"the background frame counts", with_count(3, true, {}), 0,
         "animation file declares 4 frames but its remaining 0 bytes cannot hold them"},
        {"the stored count is checked before the background frame is added", with_count(0xFFFFFFFF, true, {}), 0,
         "animation file declares 4294967295 frames but its remaining 0 bytes cannot hold them"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        // The frames of an earlier input stay when the count is refused.
        KivData data;
        decode(animation_file(1, "", {two_rows()}), data);
        try {
            decode(c.input, data, limits);
            CHECK(c.refusal.empty());
            CHECK(data.frames.size() == c.frames);
        } catch (const pykiv::memory::AllocationRefused& refused) {
            CHECK(std::string(refused.what()) == c.refusal);
            CHECK(data.info.speed == 42);  // the header is read
            CHECK(frames_of(data) == std::vector<std::string>{two_rows_text});
        }
    }
    // The module's limit.
    CHECK(DecodeLimits{}.max_frames_beyond_input == std::size_t{1} << 20);
}

TEST_CASE("renders that need more pixel memory than the limit are refused before painting") {
    KivData data;
    FrameFields frame = two_rows();
    frame.width = 10;
    frame.rows.resize(10);
    decode(animation_file(1, "", {frame, frame}), data);
    data.palette->colors({{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}});
    const std::uint64_t both = 2 * 10 * 10 * 4;

    CHECK(KivFrameBuffer(data, both).get_buffer().size() == 2);
    CHECK_THROWS_WITH_AS(static_cast<void>(KivFrameBuffer(data, both - 1)),
                         "rendering needs at least 800 bytes of pixel memory, more than the 799 bytes allowed",
                         pykiv::memory::AllocationRefused);
    // Frames without pixels need none.
    data.frames[0]->width = 0;
    CHECK(KivFrameBuffer(data, both / 2).get_buffer().size() == 2);
}

TEST_CASE("the encoder writes the layout the decoder reads") {
    FrameFields plain = two_rows();
    plain.unk1 = 0;
    plain.unk2 = 1;
    struct Case {
        const char* name;
        Bytes bytes;
        std::string location;
    };
    const std::vector<Case> cases = {
        {"no prefix", animation_file(100, stored("pal/a.pal"), {plain, shadow_rows()}), "pal/a.pal"},
        {"background", animation_file(7, stored(""), {plain, plain}, true), ""},
        {"no frames", animation_file(7, stored("x"), {}), "x"},
        // Without the prefix this speed would read back as the prefix.
        {"speed spelling the magic, no background",
         concatenated(LittleEndian().text("KVIF").u32(0).u8(0).bytes(),
                      animation_file(0x4649564B, stored("x"), {plain})),
         "x"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        KivData data;
        const PaletteReference palette = decode(c.bytes, data);
        CHECK(palette.location() == c.location);
        CHECK(pykiv::kiv_codec::encode_animation(data, c.location) == c.bytes);
    }

    // Whatever the records hold: unk1 0 and unk2 1, the shadow flag with 8
    // bits of height, no indices in a shadow frame, only color_count indices
    // elsewhere, and a stored count without the background frame.
    KivData data;
    data.has_background = true;
    data.info = {9, 2};
    for (std::uint8_t shadow : {0, 3}) {
        auto frame = std::make_shared<KivFrame>();
        frame->height = shadow ? 0x0101 : 1;
        frame->is_shadow = shadow;
        frame->unk1 = 5;
        frame->unk2 = 6;
        frame->pixel_sets = {KivPixelSet{1, {KivPixelBlock{4, 2, {1, 2, 3}}}}};
        data.frames.push_back(frame);
    }
    data.frames.push_back(std::make_shared<KivFrame>());  // beyond the count: not written
    FrameFields first;
    first.rows = {{Run{4, {1, 2}}}};
    FrameFields second = first;
    second.shadow = true;
    CHECK(pykiv::kiv_codec::encode_animation(data, "p") == animation_file(9, stored("p"), {first, second}, true));
    CHECK(data.frames[0]->unk1 == 5);  // encoding leaves the records alone

    pykiv::kiv_codec::mark_frames_written(data);
    CHECK(std::vector<int>{data.frames[0]->unk1, data.frames[0]->unk2, data.frames[1]->unk1, data.frames[1]->unk2,
                           data.frames[2]->unk1, data.frames[2]->unk2} == std::vector<int>{0, 1, 0, 1, 0, 0});
}

TEST_CASE("records that would not read back as themselves are not encoded") {
    KivData data;
    decode(animation_file(1, "", {two_rows()}), data);
    data.info.frame_count = 2;
    CHECK_THROWS_WITH_AS(pykiv::kiv_codec::encode_animation(data, ""),
                         "cannot save: info.frame_count: 2 frames declared but 1 frames held", std::invalid_argument);
    data.info.frame_count = 1;
    data.frames[0]->pixel_sets[0].blocks[0].color_count = 3;
    CHECK_THROWS_WITH_AS(pykiv::kiv_codec::check_encodable(data),
                         "cannot save: frame 0, row 0, block 0: color_count 3 but 2 colors", std::invalid_argument);
}

TEST_CASE("the round trip of the fuzzer holds for the decoder's own cases") {
    const Bytes inputs_cut = animation_file(3, stored("p"), {two_rows(), shadow_rows()});
    check_round_trips({
        {"with a location", animation_file(100, stored("pal/a.pal"), {two_rows(), shadow_rows()})},
        {"background, empty location", animation_file(7, stored(""), {two_rows(), two_rows()}, true)},
        {"background, no location", animation_file(7, "", {two_rows()}, true)},
        {"magic alone", bytes_of("KVIF")},
        {"empty", {}},
        {"cut", Bytes(inputs_cut.begin(), inputs_cut.end() - 3)},
    });
}

}  // TEST_SUITE("codec")

// ---------------------------------------------------------------------------
TEST_SUITE("fuzz regressions") {

// Every input the fuzzer found worth keeping goes through its round trip
// again, the files included.
TEST_CASE("kept inputs pass the round trip") {
    const fs::path kept = path_from_utf8(PYKIV_FUZZ_REGRESSIONS);
    REQUIRE(fs::is_directory(kept));
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(kept)) {
        if (entry.is_regular_file() && entry.path().filename() != "README") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    REQUIRE(!files.empty());

    std::vector<std::pair<std::string, Bytes>> inputs;
    for (const fs::path& file : files) inputs.emplace_back(path_to_utf8(file.filename()), read_bytes(file));
    check_round_trips(inputs);
}

}  // TEST_SUITE("fuzz regressions")

// ---------------------------------------------------------------------------
TEST_SUITE("error lines") {

std::vector<std::string> sunk;

TEST_CASE("error lines go to the installed sink, else to the standard error stream") {
    sunk.clear();
    PalF palette;
    ErrorLines errors;
    pykiv::io::set_error_sink([](const std::string& line) { sunk.push_back(line); });
    CHECK_THROWS_AS(palette.get_color(-1), std::out_of_range);
    pykiv::io::set_error_sink(nullptr);
    CHECK_THROWS_AS(palette.get_color(2), std::out_of_range);
    CHECK(sunk == Lines{"Color index out of bounds: -1"});
    // Only the line printed carries the prefix.
    CHECK(errors.lines() == Lines{"ERROR: Color index out of bounds: 2"});
}

TEST_CASE("collected error lines are held back in order until their scope finishes") {
    sunk.clear();
    pykiv::io::set_error_sink([](const std::string& line) { sunk.push_back(line); });
    PalF palette;
    {
        pykiv::io::CollectedErrors outer;
        CHECK_THROWS_AS(palette.get_color(1), std::out_of_range);
        {
            pykiv::io::CollectedErrors inner;
            CHECK_THROWS_AS(palette.get_color(2), std::out_of_range);
            CHECK(inner.lines() == Lines{"Color index out of bounds: 2"});
        }
        CHECK_THROWS_AS(palette.get_color(3), std::out_of_range);
        CHECK(sunk.empty());
        CHECK(outer.finish() == Lines{"Color index out of bounds: 1", "Color index out of bounds: 3"});
        // Once finished, lines go where they went before.
        CHECK_THROWS_AS(palette.get_color(4), std::out_of_range);
        CHECK(sunk == Lines{"Color index out of bounds: 4"});
    }
    {
        // An outer scope finished before its inner one leaves the inner
        // one collecting, and nothing pointing at the outer one.
        auto outer = std::make_unique<pykiv::io::CollectedErrors>();
        pykiv::io::CollectedErrors inner;
        CHECK(outer->finish().empty());
        outer.reset();
        CHECK_THROWS_AS(palette.get_color(5), std::out_of_range);
        CHECK(inner.finish() == Lines{"Color index out of bounds: 5"});
        CHECK_THROWS_AS(palette.get_color(6), std::out_of_range);
    }
    pykiv::io::set_error_sink(nullptr);
    CHECK(sunk == Lines{"Color index out of bounds: 4", "Color index out of bounds: 6"});
}

TEST_CASE("collected error lines are bounded, and what is left out is counted") {
    PalF palette;
    const std::string line = "Color index out of bounds: 1";
    pykiv::io::CollectedErrors collected(2 * line.size());
    for (int i = 0; i < 5; ++i) CHECK_THROWS_AS(palette.get_color(1), std::out_of_range);
    CHECK(collected.lines() == Lines{line, line});
    CHECK(collected.finish() == Lines{line, line, "3 more error lines left out"});
}

}  // TEST_SUITE("error lines")

// ---------------------------------------------------------------------------
TEST_SUITE("palette search") {

TEST_CASE("the reader searches the animation's directory and then each ancestor of an absolute path") {
    // The animation lies in g/a/b and names pal/p.pal. Each row places
    // palettes (or a directory) at some of the candidates; the nearest
    // existing candidate wins, whatever kind of entry it is.
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::uint8_t>> palettes;  // path, mark
        std::vector<std::string> directories;
        std::optional<std::uint8_t> mark;  // nothing: no palette loaded
        std::string failed_path;           // the path the loader reports, under the test directory
    };
    const std::vector<Case> cases = {
        {"own directory first", {{"g/a/b/pal/p.pal", 1}, {"g/a/pal/p.pal", 2}, {"g/pal/p.pal", 3}}, {}, 1, ""},
        {"then the parent", {{"g/a/pal/p.pal", 2}, {"g/pal/p.pal", 3}}, {}, 2, ""},
        {"then the grandparent", {{"g/pal/p.pal", 3}}, {}, 3, ""},
        {"then the test directory", {{"pal/p.pal", 4}}, {}, 4, ""},
        {"a directory counts as found", {{"g/pal/p.pal", 3}}, {"g/a/pal/p.pal"}, std::nullopt, "g/a/pal/p.pal"},
        {"nothing found", {{"g/a/b/pal/other.pal", 1}, {"g/pal.pal", 2}}, {}, std::nullopt, ""},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        TempDir dir;
        const fs::path animation = dir.file("g/a/b/x.kiv", animation_naming("pal/p.pal"));
        for (const auto& [path, mark] : c.palettes) dir.file(path, marked_palette(mark));
        for (const auto& path : c.directories) dir.dir(path);

        KivF kiv;
        ErrorLines errors;
        const auto data = kiv.load(path_to_utf8(animation), 0, "");
        CHECK(kiv.data()->palette->location() == "pal/p.pal");
        CHECK(kiv.data()->palette->location_size() == 10);
        if (c.mark) {
            REQUIRE(data != nullptr);
            CHECK(loaded_mark(kiv) == c.mark);
            CHECK(errors.lines().empty());
        } else {
            CHECK(data == nullptr);
            const std::string reported = c.failed_path.empty() ? "" : dir.text(c.failed_path);
            CHECK(errors.lines() == Lines{open_failed + reported, no_palette});
        }
    }
}

pykiv::io::FileBytes file_bytes(const Bytes& bytes) {
    pykiv::io::FileBytes out(bytes.size());
    std::copy(bytes.begin(), bytes.end(), out.data());
    return out;
}

TEST_CASE("the tool's animation tells the folder the search matched, and renders only when asked") {
    TempDir dir;
    dir.file("g/pal/p.pal", marked_palette(7));
    const Bytes bytes = animation_naming("pal/p.pal");
    ErrorLines errors;
    pykiv::file::Animation animation(dir.text("g/a/b/x.kiv"), file_bytes(bytes), "", KivLimits{});
    CHECK(animation.report().palette_folder == dir.text("g"));
    CHECK(animation.palette_used() == dir.text("g/pal/p.pal"));
    CHECK(animation.outcome() == KivLoadStatus::loaded);
    CHECK_FALSE(animation.rendered());
    CHECK_THROWS_AS(animation.rgba(0), std::logic_error);
    REQUIRE(animation.frames().size() == 1);
    CHECK(animation.frames()[0].width == 1);
    CHECK(animation.frames()[0].runs == 1);
    CHECK(animation.max_index() == 1);
    CHECK(animation.render_bytes() == 4);
    animation.render();
    CHECK(animation.rgba(0).pixels[0] == 7);
    CHECK_THROWS_AS(animation.rgba(1), std::out_of_range);
    // Its own bytes, patched with their own placement, come back unchanged.
    CHECK(animation.patched(100, {{0, 0}}) == bytes);
    CHECK(errors.lines().empty());

    // A palette given is not searched for: no folder matched.
    pykiv::file::Animation given(dir.text("g/a/b/x.kiv"), file_bytes(bytes), dir.text("g/pal/p.pal"), KivLimits{});
    CHECK(given.report().palette_folder.empty());
    CHECK(given.palette_used() == dir.text("g/pal/p.pal"));
}

TEST_CASE("the tool's animation keeps its error lines and refuses a render beyond its limit") {
    TempDir dir;
    FrameFields frame;
    frame.width = 200;
    frame.rows.assign(200, {});
    const Bytes bytes = animation_file(0, stored("missing.pal"), {frame, frame});
    ErrorLines errors;
    KivLimits limits;
    limits.pixel_memory = 200 * 200 * 4;  // one frame's pixels, not two
    pykiv::file::Animation animation(dir.text("x.kiv"), file_bytes(bytes), "", limits);
    CHECK(animation.outcome() == KivLoadStatus::palette_missing);
    CHECK(animation.report().palette_folder.empty());
    CHECK(animation.errors() == Lines{"Could not open palette file: "});
    // Handed back, not written.
    CHECK(errors.lines().empty());

    dir.file("p.pal", marked_palette(1));
    pykiv::file::Animation found(dir.text("x.kiv"), file_bytes(animation_file(0, stored("p.pal"), {frame, frame})), "",
                                 limits);
    CHECK(found.outcome() == KivLoadStatus::loaded);
    CHECK(found.render_bytes() == 2 * 200 * 200 * 4);
    CHECK_THROWS_AS(found.render(), std::bad_alloc);
    CHECK_FALSE(found.rendered());
}

TEST_CASE("the search goes up to the root of the file system") {
    // The location names the palette from the root down, so the root is the
    // one ancestor under which it exists.
    TempDir dir;
    dir.file("pal/p.pal", marked_palette(8));
    const std::string location = path_to_utf8(dir.path("pal/p.pal").relative_path());
    dir.file("g/a/x.kiv", animation_naming(location));
    KivF kiv;
    ErrorLines errors;
    REQUIRE(kiv.load(dir.text("g/a/x.kiv"), 0, "") != nullptr);
    CHECK(loaded_mark(kiv) == 8);
    CHECK(errors.lines().empty());
}

TEST_CASE("the palette the reader loads is named by its canonical path") {
    // An empty location makes the animation's own directory the first
    // candidate; it exists, so the loader is handed its canonical form and
    // fails on it, naming it. Dot and dot-dot components are gone from it.
    TempDir dir;
    dir.file("g/a/x.kiv", animation_file(1, "", {FrameFields{}}));
    dir.dir("g/b");
    for (const char* spelled : {"g/a/x.kiv", "g/./a/x.kiv", "g/b/../a/x.kiv", "g//a/x.kiv"}) {
        CAPTURE(spelled);
        KivF kiv;
        ErrorLines errors;
        CHECK(kiv.load(dir.text(spelled), 0, "") == nullptr);
        CHECK(kiv.data()->palette->location_size() == 0);
        CHECK(errors.lines() == Lines{open_failed + dir.text("g/a"), no_palette});
    }
}

TEST_CASE("an absolute location is used as it is") {
    TempDir dir;
    dir.file("elsewhere/p.pal", marked_palette(7));
    dir.file("g/pal/p.pal", marked_palette(1));
    const std::string location = dir.text("elsewhere/p.pal");
    const fs::path animation = dir.file("g/a/x.kiv", animation_naming(location));
    KivF kiv;
    ErrorLines errors;
    REQUIRE(kiv.load(path_to_utf8(animation), 0, "") != nullptr);
    CHECK(loaded_mark(kiv) == 7);
    CHECK(kiv.data()->palette->location() == location);
    CHECK(errors.lines().empty());
}

TEST_CASE("the search from a relative path stops at its first component") {
    // The current directory is the test directory. Candidates are tried
    // under the directories the path itself names, never under the current
    // directory as such.
    struct Case {
        const char* name;
        std::string animation;
        std::vector<std::pair<std::string, std::uint8_t>> palettes;
        std::optional<std::uint8_t> mark;
    };
    const std::vector<Case> cases = {
        {"own directory", "anims/sub/x.kiv", {{"anims/sub/pal/p.pal", 1}, {"anims/pal/p.pal", 2}}, 1},
        {"first component", "anims/sub/x.kiv", {{"anims/pal/p.pal", 2}, {"pal/p.pal", 3}}, 2},
        {"current directory not tried", "anims/sub/x.kiv", {{"pal/p.pal", 3}}, std::nullopt},
        {"no directory", "x.kiv", {{"pal/p.pal", 3}}, std::nullopt},
        {"a dot as the directory", "./x.kiv", {{"pal/p.pal", 3}}, 3},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        TempDir dir;
        CurrentDirectory in_dir(dir.root());
        dir.file(c.animation, animation_naming("pal/p.pal"));
        for (const auto& [path, mark] : c.palettes) dir.file(path, marked_palette(mark));

        KivF kiv;
        ErrorLines errors;
        const auto data = kiv.load(c.animation, 0, "");
        if (c.mark) {
            REQUIRE(data != nullptr);
            CHECK(loaded_mark(kiv) == c.mark);
            CHECK(errors.lines().empty());
        } else {
            CHECK(data == nullptr);
            CHECK(errors.lines() == Lines{open_failed, no_palette});
        }
    }
}

TEST_CASE("an explicit palette path is taken relative to the current directory") {
    TempDir dir;
    CurrentDirectory in_dir(dir.root());
    // The stored location would find palette 1; an explicit path wins.
    dir.file("anims/x.kiv", animation_naming("pal/p.pal"));
    dir.file("anims/pal/p.pal", marked_palette(1));
    dir.file("p.pal", marked_palette(2));
    dir.file("sub/q.pal", marked_palette(3));

    struct Case {
        const char* name;
        std::string io_pal;
        std::optional<std::uint8_t> mark;
        std::string reported;  // the path in the loader's error line
    };
    const std::vector<Case> cases = {
        {"bare name", "p.pal", 2, ""},
        {"with a directory", "sub/q.pal", 3, ""},
        {"dot-dot stays", "sub/../p.pal", 2, ""},
        {"absolute", dir.text("sub/q.pal"), 3, ""},
        {"relative and missing", "missing.pal", std::nullopt, path_to_utf8(fs::current_path() / "missing.pal")},
        {"absolute and missing, not normalised", dir.text("sub") + "/../missing.pal", std::nullopt,
         dir.text("sub") + "/../missing.pal"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        KivF kiv;
        ErrorLines errors;
        const auto data = kiv.load("anims/x.kiv", 0, c.io_pal);
        CHECK(kiv.data()->palette->location() == c.io_pal);
        CHECK(kiv.data()->palette->location_size() == 10);
        if (c.mark) {
            REQUIRE(data != nullptr);
            CHECK(loaded_mark(kiv) == c.mark);
            CHECK(errors.lines().empty());
        } else {
            CHECK(data == nullptr);
            CHECK(errors.lines() == Lines{open_failed + c.reported, no_palette});
        }
    }
}

}  // TEST_SUITE("palette search")

// ---------------------------------------------------------------------------
TEST_SUITE("palette location written by save") {

TEST_CASE("the writer stores the palette path relative to the project root") {
    // The project is game/ with the animation in game/data and the palette
    // in game/pal. Each row is run with absolute paths and again with the
    // same paths relative to the current directory, which are made absolute
    // because their first component exists.
    const std::vector<LocationCase> cases = {
        {"sibling directory", "game/data", "game/pal/a.pal", "../pal/a.pal"},
        {"below the root", "game", "game/pal/a.pal", "pal/a.pal"},
        {"two levels up", "game/data/deep", "game/pal/a.pal", "../../pal/a.pal"},
        {"palette equal to the root", "game/pal/a.pal", "game/pal/a.pal", "."},
        {"root with a trailing separator", "game/data/", "game/pal/a.pal", "../pal/a.pal"},
        {"root with dot and dot-dot", "game/./data/../data", "game/pal/a.pal", "../pal/a.pal"},
        {"palette with dot-dot", "game", "game/data/../pal/a.pal", "pal/a.pal"},
        {"root not yet made", "game/new/dir", "game/pal/a.pal", "../../pal/a.pal"},
        {"empty root", "", "game/pal/a.pal", ""},
    };
    for (const bool relative : {false, true}) {
        for (const LocationCase& c : cases) {
            CAPTURE(relative);
            CAPTURE(c.name);
            TempDir dir;
            CurrentDirectory in_dir(dir.root());
            dir.dir("game/data/deep");
            dir.dir("game/pal");
            const auto spelled = [&](const std::string& path) {
                return path.empty() || relative ? path : dir.text(path);
            };

            KivF kiv;
            hold_one_frame(kiv);
            ErrorLines errors;
            kiv.save(spelled("game/data/x.kiv"), spelled(c.root), spelled(c.palette));
            CHECK(errors.lines().empty());

            check_stored_location(dir.path("game/data/x.kiv"), c.location);
            CHECK(read_bytes(dir.path("game/pal/a.pal")) == held_palette_file);
        }
    }
}

TEST_CASE("a relative palette path whose first component does not exist stays relative") {
    TempDir dir;
    CurrentDirectory in_dir(dir.root());
    dir.dir("game");
    KivF kiv;
    hold_one_frame(kiv);
    ErrorLines errors;
    kiv.save(dir.text("game/x.kiv"), dir.text("game"), "nosuch/./a.pal");
    // Made lexically normal, in the platform's own separators, and not
    // relative to the absolute root: the stored text is empty; the palette
    // cannot be written there, and the animation is written without it.
#ifdef _WIN32
    const std::string normal = "nosuch\\a.pal";
#else
    const std::string normal = "nosuch/a.pal";
#endif
    CHECK(errors.lines() == Lines{"ERROR: Could not open palette file for writing: " + normal});
    CHECK(stored_location(read_bytes(dir.path("game/x.kiv"))).bytes == stored(""));

    // A palette that can be written, in the current directory.
    kiv.save(dir.text("game/x.kiv"), dir.text("game"), "a.pal");
    CHECK(errors.lines().size() == 1);
    CHECK(stored_location(read_bytes(dir.path("game/x.kiv"))).bytes == stored(""));
    CHECK(read_bytes(dir.path("a.pal")) == held_palette_file);
}

TEST_CASE("the written animation holds the records' fields with the location as stored text") {
    TempDir dir;
    dir.dir("game/data");
    dir.dir("game/pal");
    const std::string animation = dir.text("game/data/x.kiv");

    SUBCASE("without background") {
        KivF kiv;
        hold_one_frame(kiv);
        kiv.save(animation, dir.text("game/data"), dir.text("game/pal/a.pal"));
        CHECK(read_bytes(path_from_utf8(animation)) ==
              animation_file(0x01020304, stored("../pal/a.pal"), {held_frame_fields()}));
        // The frames now hold the two bytes that were written.
        CHECK(kiv.data()->frames[0]->unk1 == 0);
        CHECK(kiv.data()->frames[0]->unk2 == 1);
    }
    SUBCASE("with background") {
        KivF kiv;
        hold_one_frame(kiv);
        KivData& data = *kiv.data();
        data.has_background = true;
        data.frames.push_back(std::make_shared<KivFrame>(*data.frames[0]));
        data.info.frame_count = 2;
        kiv.save(animation, dir.text("game/data"), dir.text("game/pal/a.pal"));
        CHECK(read_bytes(path_from_utf8(animation)) ==
              animation_file(0x01020304, stored("../pal/a.pal"), {held_frame_fields(), held_frame_fields()}, true));
    }
    CHECK(read_bytes(dir.path("game/pal/a.pal")) == held_palette_file);
}

TEST_CASE("a saved animation loads again with the palette saved beside it") {
    TempDir dir;
    dir.dir("game/data/anims");
    dir.dir("game/pal");
    KivF writer;
    hold_one_frame(writer);
    writer.save(dir.text("game/data/anims/x.kiv"), dir.text("game"), dir.text("game/pal/a.pal"));

    // pal/a.pal is found under game/, two levels above the animation.
    KivF reader;
    ErrorLines errors;
    const auto data = reader.load(dir.text("game/data/anims/x.kiv"), 0, "");
    REQUIRE(data != nullptr);
    CHECK(errors.lines().empty());
    CHECK(data->palette->location() == "pal/a.pal");
    CHECK(data->palette->location_size() == 10);
    CHECK(data->info.speed == 0x01020304);
    REQUIRE(data->frames.size() == 1);
    CHECK(data->frames[0]->x_offset == 5);
    CHECK(data->frames[0]->y_offset == -2);
    const auto frames = reader.get_frame_buffer();
    REQUIRE(frames.size() == 1);
    // Width 3: pixel 0 skipped, then colours 1 and 2 of the saved palette.
    CHECK(Bytes(frames[0].pixels.begin(), frames[0].pixels.end()) ==
          Bytes{0, 0, 0, 0, 50, 60, 70, 80, 90, 100, 110, 120});
}

}  // TEST_SUITE("palette location written by save")

// ---------------------------------------------------------------------------
TEST_SUITE("non-ASCII names") {

TEST_CASE("path text converts between UTF-8 and the platform form") {
    const std::string text = "game/paletté/ä€😀.pal";
    const fs::path path = path_from_utf8(text);
#ifdef _WIN32
    const std::u16string utf16 = u"game/palett\u00e9/\u00e4\u20ac\U0001F600.pal";
    CHECK(path.native() == std::wstring(utf16.begin(), utf16.end()));
#else
    CHECK(path.native() == text);
#endif
    CHECK(path_to_utf8(path) == text);
    CHECK(path_to_utf8(path.filename()) == "ä€😀.pal");
    CHECK(path_to_utf8(path.parent_path()) == "game/paletté");
}

TEST_CASE("a palette in a non-ASCII directory is found, loaded and saved") {
    TempDir dir;
    const std::string location = "paletté/ä.pal";
    dir.file("game/" + location, marked_palette(5));
    dir.file("game/animé/x.kiv", animation_naming(location));

    KivF kiv;
    ErrorLines errors;
    REQUIRE(kiv.load(dir.text("game/animé/x.kiv"), 0, "") != nullptr);
    CHECK(loaded_mark(kiv) == 5);
    CHECK(kiv.data()->palette->location() == location);
    CHECK(kiv.data()->palette->location_size() == location.size() + 1);

    // Saved under another name, the location is stored as UTF-8 text and
    // the palette is rewritten with its 256 loaded entries.
    kiv.save(dir.text("game/animé/ÿ.kiv"), dir.text("game"), dir.text("game/" + location));
    CHECK(errors.lines().empty());
    CHECK(stored_location(read_bytes(dir.path("game/animé/ÿ.kiv"))).bytes == stored(location));
    CHECK(read_bytes(dir.path("game/" + location)).size() == 4 + 4 * 256);
    CHECK(entries_of(dir.path("game/animé")) == std::vector<std::string>{"x.kiv", "ÿ.kiv"});

    KivF again;
    REQUIRE(again.load(dir.text("game/animé/ÿ.kiv"), 0, "") != nullptr);
    CHECK(loaded_mark(again) == 5);

    // Named explicitly, relative to the current directory.
    CurrentDirectory in_dir(dir.path("game"));
    KivF explicitly;
    REQUIRE(explicitly.load("animé/x.kiv", 0, location) != nullptr);
    CHECK(loaded_mark(explicitly) == 5);
    CHECK(errors.lines().empty());
}

TEST_CASE("error lines name non-ASCII paths in UTF-8") {
    TempDir dir;
    dir.file("animé/x.kiv", animation_file(1, "", {FrameFields{}}));
    const std::string missing_palette = dir.text("paletté/fehlt-ö.pal");
    const std::string unwritable_palette = dir.text("nicht-da/ü.pal");
    const std::string unwritable_animation = dir.text("nicht-da/ß.kiv");

    SUBCASE("palette that cannot be opened") {
        ErrorLines errors;
        PalF palette;
        CHECK(palette.load(missing_palette) == -1);
        CHECK(errors.lines() == Lines{open_failed + missing_palette});
    }
    SUBCASE("palette that cannot be written") {
        ErrorLines errors;
        PalF palette;
        palette.save(unwritable_palette);
        CHECK(errors.lines() == Lines{"ERROR: Could not open palette file for writing: " + unwritable_palette});
    }
    SUBCASE("found palette path, converted back from the platform form") {
        // The empty location finds the animation's own directory.
        ErrorLines errors;
        KivF kiv;
        CHECK(kiv.load(dir.text("animé/x.kiv"), 0, "") == nullptr);
        CHECK(errors.lines() == Lines{open_failed + path_to_utf8(dir.root()) + separator + "anim\xC3\xA9", no_palette});
    }
    SUBCASE("animation that cannot be written") {
        ErrorLines errors;
        KivF kiv;
        hold_one_frame(kiv);
        kiv.save(unwritable_animation, path_to_utf8(dir.root()), unwritable_palette);
        CHECK(errors.lines() == Lines{"ERROR: Could not open animation file for writing: " + unwritable_animation});
        CHECK_FALSE(fs::exists(dir.path("nicht-da")));
    }
}

TEST_CASE("palette path text that is not UTF-8") {
    // Windows has no wide form for such text, so it names no file there and
    // the palette reports it as given. Elsewhere the bytes are the name.
    TempDir dir;
    CurrentDirectory in_dir(dir.root());
    const std::string text = "\xFF\xFE-kein.pal";
    ErrorLines errors;
    PalF palette;
    palette.colors({{1, 2, 3, 4}});
    CHECK(palette.load(text) == -1);
    palette.save(text);
#ifdef _WIN32
    CHECK_THROWS_AS(path_from_utf8(text), std::system_error);
    CHECK(errors.lines() == Lines{open_failed + text, "ERROR: Could not open palette file for writing: " + text});
    CHECK(fs::is_empty(dir.root()));
#else
    CHECK(path_from_utf8(text).native() == text);
    CHECK(errors.lines() == Lines{open_failed + text});
    CHECK(read_bytes(dir.path(text)) == palette_file({{1, 2, 3, 4}}));
#endif
}

TEST_CASE("animation path text that is not UTF-8 names no file") {
    // Animation files made elsewhere may store the location in a legacy
    // code page ("é" as the single byte E9). Such text is no UTF-8; the
    // palette it names cannot be found, and the load goes on without it.
    TempDir dir;
    std::string location = "palett\xE9/p.pal";
    dir.file("a/x.kiv", animation_naming(location));

    ErrorLines errors;
    KivF kiv;
    std::shared_ptr<KivData> data;
    REQUIRE_NOTHROW(data = kiv.load(dir.text("a/x.kiv"), 0, ""));
    CHECK(data == nullptr);
    CHECK(kiv.data()->palette->location() == location);
    CHECK(kiv.data()->frames.size() == 1);
    CHECK(errors.lines() == Lines{open_failed, no_palette});

    // A file name that is no UTF-8 names no file that can be opened.
    KivF other;
    REQUIRE_NOTHROW(data = other.load(dir.text("a") + separator + "\xE9.kiv", 0, ""));
    CHECK(data == nullptr);
    CHECK(errors.lines() == Lines{open_failed, no_palette});
}

}  // TEST_SUITE("non-ASCII names")

// ---------------------------------------------------------------------------
TEST_SUITE("safe file writer") {

TEST_CASE("an existing file is replaced whole and no temporary file is left") {
    TempDir dir;
    const fs::path target = dir.file("target.bin", bytes_of("old contents, longer than the new ones"));
    const auto result = pykiv::io::write_file_atomically(target, bytes_of("new"));
    CHECK(result == pykiv::io::WriteResult::written);
    CHECK(read_bytes(target) == bytes_of("new"));
    CHECK(entries_of(dir.root()) == std::vector<std::string>{"target.bin"});
}

TEST_CASE("targets that name no file are refused before anything is created") {
    TempDir dir;
    dir.dir("a directory");
    struct Case {
        const char* name;
        fs::path target;
    };
    const std::vector<Case> cases = {
        {"a directory", dir.path("a directory")},
        {"a path ending in a separator", dir.path("new/")},
        {"a file in a missing directory", dir.path("missing/x.pal")},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        const auto result = pykiv::io::write_file_atomically(c.target, bytes_of("new"));
        CHECK(result == pykiv::io::WriteResult::open_failed);
    }
    CHECK(entries_of(dir.root()) == std::vector<std::string>{"a directory"});
    CHECK(fs::is_empty(dir.path("a directory")));
}

TEST_CASE("palette and animation saves replace existing files") {
    TempDir dir;
    const std::string old_text(3000, 'x');
    dir.file("game/pal/a.pal", bytes_of(old_text));
    dir.file("game/data/x.kiv", bytes_of(old_text));

    SUBCASE("palette") {
        PalF palette;
        palette.colors({{1, 2, 3, 4}});
        ErrorLines errors;
        palette.save(dir.text("game/pal/a.pal"));
        CHECK(errors.lines().empty());
        CHECK(read_bytes(dir.path("game/pal/a.pal")) == palette_file({{1, 2, 3, 4}}));
    }
    SUBCASE("animation and its palette") {
        KivF kiv;
        hold_one_frame(kiv);
        ErrorLines errors;
        kiv.save(dir.text("game/data/x.kiv"), dir.text("game/data"), dir.text("game/pal/a.pal"));
        CHECK(errors.lines().empty());
        CHECK(read_bytes(dir.path("game/data/x.kiv")) ==
              animation_file(0x01020304, stored("../pal/a.pal"), {held_frame_fields()}));
        CHECK(read_bytes(dir.path("game/pal/a.pal")) == held_palette_file);
    }
    CHECK(entries_of(dir.path("game/pal")) == std::vector<std::string>{"a.pal"});
    CHECK(entries_of(dir.path("game/data")) == std::vector<std::string>{"x.kiv"});
}

TEST_CASE("the animation is written when the palette cannot be opened for writing") {
    TempDir dir;
    const fs::path animation = dir.file("x.kiv", bytes_of("old animation"));
    KivF kiv;
    hold_one_frame(kiv);
    kiv.data()->frames[0]->unk1 = 7;
    ErrorLines errors;
    const std::string palette = dir.text("missing/a.pal");
    kiv.save(path_to_utf8(animation), path_to_utf8(dir.root()), palette);
    CHECK(errors.lines() == Lines{"ERROR: Could not open palette file for writing: " + palette});
    CHECK(read_bytes(animation) == animation_file(0x01020304, stored("missing/a.pal"), {held_frame_fields()}));
    CHECK(kiv.data()->frames[0]->unk1 == 0);
    CHECK(entries_of(dir.root()) == std::vector<std::string>{"x.kiv"});
}

TEST_CASE("a save that writes nothing leaves unk1 and unk2 as they were") {
    TempDir dir;
    dir.dir("a directory");
    KivF kiv;
    hold_one_frame(kiv);
    kiv.data()->frames[0]->unk1 = 7;
    kiv.data()->frames[0]->unk2 = 9;
    ErrorLines errors;
    kiv.save(dir.text("a directory"), path_to_utf8(dir.root()), dir.text("a.pal"));
    CHECK(errors.lines() == Lines{"ERROR: Could not open animation file for writing: " + dir.text("a directory")});
    CHECK(kiv.data()->frames[0]->unk1 == 7);
    CHECK(kiv.data()->frames[0]->unk2 == 9);
}

TEST_CASE("replacements are written first and put in place only on commit") {
    TempDir dir;
    const fs::path first = dir.file("first.bin", bytes_of("old first"));
    const fs::path second = dir.file("second.bin", bytes_of("old second"));
    using pykiv::io::FileReplacement;
    using pykiv::io::WriteResult;

    SUBCASE("both prepared, then committed") {
        FileReplacement a(first);
        FileReplacement b(second);
        REQUIRE(a.prepare(bytes_of("new first")) == WriteResult::written);
        REQUIRE(b.prepare(bytes_of("new second")) == WriteResult::written);
        CHECK(read_bytes(first) == bytes_of("old first"));
        CHECK(read_bytes(second) == bytes_of("old second"));
        CHECK(entries_of(dir.root()).size() == 4);  // two temporary files beside the targets
        CHECK(a.commit() == WriteResult::written);
        CHECK(b.commit() == WriteResult::written);
        CHECK(read_bytes(first) == bytes_of("new first"));
        CHECK(read_bytes(second) == bytes_of("new second"));
    }
    SUBCASE("the second fails: the first is dropped too") {
        {
            FileReplacement a(first);
            FileReplacement b(dir.path("missing/second.bin"));
            REQUIRE(a.prepare(bytes_of("new first")) == WriteResult::written);
            CHECK(b.prepare(bytes_of("never")) == WriteResult::open_failed);
        }
        CHECK(read_bytes(first) == bytes_of("old first"));
    }
    CHECK(entries_of(dir.root()) == std::vector<std::string>{"first.bin", "second.bin"});
}

#ifndef _WIN32
TEST_CASE("temporary files of killed saves are removed by the next save of the same target") {
    // A save that is killed leaves its temporary file behind, unlocked. One
    // that is running holds a lock on its own.
    TempDir dir;
    const fs::path target = dir.file("target.bin", bytes_of("old"));
    const fs::path other = dir.file("other.bin", bytes_of("old"));
    using pykiv::io::FileReplacement;
    using pykiv::io::WriteResult;
    const auto temporaries = [&] {
        std::vector<std::string> names;
        for (const std::string& name : entries_of(dir.root())) {
            if (name.rfind(".pykiv-", 0) == 0) names.push_back(name);
        }
        return names;
    };
    // A killed save of each target: its temporary file, under the name the
    // save gives it, left without a lock.
    std::vector<std::string> killed;
    for (const fs::path& file : {target, other}) {
        std::optional<FileReplacement> save(file);
        REQUIRE(save->prepare(bytes_of("killed")) == WriteResult::written);
        const std::vector<std::string> names = temporaries();
        REQUIRE(names.size() == killed.size() + 1);
        const std::string name = *std::find_if(names.begin(), names.end(), [&](const std::string& n) {
            return std::find(killed.begin(), killed.end(), n) == killed.end();
        });
        fs::copy_file(dir.path(name), dir.path(name + ".kept"));
        save.reset();  // removes its own temporary file
        fs::rename(dir.path(name + ".kept"), dir.path(name));
        killed.push_back(name);
    }
    REQUIRE(temporaries().size() == 2);

    FileReplacement running(target);  // a save of the same target, still running
    REQUIRE(running.prepare(bytes_of("running")) == WriteResult::written);
    const std::vector<std::string> with_running = temporaries();
    REQUIRE(with_running.size() == 2);  // the killed one of target is gone

    CHECK(pykiv::io::write_file_atomically(target, bytes_of("new")) == WriteResult::written);
    CHECK(temporaries() == with_running);  // the running save's file is kept
    CHECK(std::find(with_running.begin(), with_running.end(), killed[1]) != with_running.end());
    CHECK(running.commit() == WriteResult::written);
    CHECK(read_bytes(target) == bytes_of("running"));
    CHECK(temporaries() == std::vector<std::string>{killed[1]});  // another target's file is not this save's
}
#endif

// Whether this process passes permission checks whatever the bits say.
bool checks_bypassed() {
#ifdef _WIN32
    return false;
#else
    return ::geteuid() == 0;
#endif
}

TEST_CASE("a read-only file is not replaced") {
    // On Windows the read-only attribute; elsewhere the permission bits,
    // which root passes.
    if (checks_bypassed()) {
        MESSAGE("skipped: running as root, every file may be written");
        return;
    }
    TempDir dir;
    const fs::path target = dir.file("locked.pal", bytes_of("old"));
    fs::permissions(target, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    PalF palette;
    palette.colors({{1, 2, 3, 4}});
    ErrorLines errors;
    palette.save(path_to_utf8(target));
    CHECK(errors.lines() == Lines{"ERROR: Could not open palette file for writing: " + path_to_utf8(target)});
    fs::permissions(target, fs::perms::owner_write, fs::perm_options::add);
    CHECK(read_bytes(target) == bytes_of("old"));
    CHECK(entries_of(dir.root()) == std::vector<std::string>{"locked.pal"});
}

#ifndef _WIN32
TEST_CASE("a replaced file keeps its permission bits, and a link keeps naming it") {
    TempDir dir;
    const fs::path target = dir.file("real/private.pal", bytes_of("old"));
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink("real/private.pal", dir.path("link.pal"));
    PalF palette;
    palette.colors({{1, 2, 3, 4}});
    ErrorLines errors;
    palette.save(dir.text("link.pal"));
    CHECK(errors.lines().empty());
    CHECK(fs::is_symlink(dir.path("link.pal")));
    CHECK(read_bytes(target) == palette_file({{1, 2, 3, 4}}));
    CHECK(fs::status(target).permissions() == (fs::perms::owner_read | fs::perms::owner_write));
    CHECK(entries_of(dir.path("real")) == std::vector<std::string>{"private.pal"});
}
#endif

TEST_CASE("an animation and its palette in one file are refused") {
    TempDir dir;
    const fs::path existing = dir.file("game/x.kiv", bytes_of("old"));
    struct Case {
        const char* name;
        std::string file_name;
        std::string palette_path;
    };
    std::vector<Case> cases = {
        {"one path", dir.text("game/x.kiv"), dir.text("game/x.kiv")},
        {"two spellings", dir.text("game/x.kiv"), dir.text("game/../game/./x.kiv")},
        {"a file not there yet", dir.text("game/new.kiv"), dir.text("game/./new.kiv")},
#ifdef _WIN32
        // Windows finds a file by its name in any case.
        {"another case", dir.text("game/x.kiv"), dir.text("GAME/X.KIV")},
        {"another case, not there yet", dir.text("game/new.kiv"), dir.text("game/NEW.kiv")},
#endif
    };
    KivF kiv;
    hold_one_frame(kiv);
    ErrorLines errors;
    for (const Case& c : cases) {
        CAPTURE(c.name);
        try {
            kiv.save(c.file_name, dir.text("game"), c.palette_path);
            FAIL("not refused");
        } catch (const std::invalid_argument& refused) {
            const std::string message = refused.what();
            CHECK(message.find(c.file_name) != std::string::npos);
            CHECK(message.find(c.palette_path) != std::string::npos);
        }
    }
    CHECK(errors.lines().empty());
    CHECK(read_bytes(existing) == bytes_of("old"));
    CHECK(entries_of(dir.path("game")) == std::vector<std::string>{"x.kiv"});
}

TEST_CASE("path text holding a NUL names no file and is refused") {
    TempDir dir;
    const fs::path victim = dir.file("victim.pal", bytes_of("old"));
    const std::string text = path_to_utf8(victim) + std::string(1, '\0') + ".kiv";
    CHECK_THROWS_WITH_AS(path_from_utf8(text), "embedded null character", std::invalid_argument);
    CHECK_THROWS_AS(pykiv::io::try_path_from_utf8(text), std::invalid_argument);
    PalF palette;
    CHECK_THROWS_AS(palette.save(text), std::invalid_argument);
    CHECK_THROWS_AS(palette.load(text), std::invalid_argument);
    KivF kiv;
    CHECK_THROWS_AS(kiv.save(text, path_to_utf8(dir.root()), dir.text("a.pal")), std::invalid_argument);
    CHECK_THROWS_AS(kiv.load(text, 0, ""), std::invalid_argument);
    CHECK(read_bytes(victim) == bytes_of("old"));
    CHECK(entries_of(dir.root()) == std::vector<std::string>{"victim.pal"});
}

TEST_CASE("whole-file reads") {
    TempDir dir;
    dir.file("f.bin", bytes_of("0123456789"));
    dir.file("empty.bin", {});
    dir.dir("d");
    const auto read = [&](const char* name, std::size_t limit = std::numeric_limits<std::size_t>::max()) {
        const auto bytes = pykiv::io::read_file(dir.path(name), limit);
        REQUIRE(bytes.has_value());
        return Bytes(bytes->begin(), bytes->end());
    };
    CHECK(read("f.bin") == bytes_of("0123456789"));
    CHECK(read("f.bin", 4) == bytes_of("0123"));
    CHECK(read("f.bin", 0) == Bytes{});
    CHECK(read("empty.bin") == Bytes{});
    CHECK_FALSE(pykiv::io::read_file(dir.path("d")).has_value());
    CHECK_FALSE(pykiv::io::read_file(dir.path("missing.bin")).has_value());
}

}  // TEST_SUITE("safe file writer")

// ---------------------------------------------------------------------------
TEST_SUITE("pixel memory") {

// Regions are kept when freed and handed out again: a region handed out
// twice at once, or one too small for its request, would mix the pixels of
// two images. Every live buffer holds its own byte pattern, checked whole
// when it is freed, through a random mix of sizes around the threshold for
// regions of their own.
TEST_CASE("live buffers never share memory while freed regions are reused") {
    struct Live {
        std::uint8_t* memory;
        std::size_t bytes;
        std::uint8_t pattern;
    };
    // 300000 and 307200 share a class, as do 2000000 and 2097152.
    const std::size_t sizes[] = {1000,   (64 << 10) - 1, 64 << 10, 300000,  307200,
                                 307200, 1 << 20,        2000000,  2097152, 3 << 20};
    std::mt19937 random(7);
    std::vector<Live> live;
    const auto free_one = [&](std::size_t i) {
        const Live buffer = live[i];
        CHECK(std::all_of(buffer.memory, buffer.memory + buffer.bytes,
                          [&](std::uint8_t b) { return b == buffer.pattern; }));
        pykiv::memory::free_pages(buffer.memory, buffer.bytes);
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
    };
    for (int step = 0; step < 400; ++step) {
        if (!live.empty() && (live.size() > 40 || random() % 2 == 0)) {
            free_one(random() % live.size());
            continue;
        }
        const std::size_t bytes = sizes[random() % std::size(sizes)];
        auto* memory = static_cast<std::uint8_t*>(pykiv::memory::allocate_pages(bytes));
        const auto pattern = static_cast<std::uint8_t>(step);
        std::fill(memory, memory + bytes, pattern);
        live.push_back({memory, bytes, pattern});
    }
    while (!live.empty()) free_one(live.size() - 1);
}

TEST_CASE("a freed region is handed out again for the same size") {
    const std::size_t bytes = 320 * 240 * 4;
    void* first = pykiv::memory::allocate_pages(bytes);
    pykiv::memory::free_pages(first, bytes);
    void* again = pykiv::memory::allocate_pages(bytes);
    CHECK(again == first);
    pykiv::memory::free_pages(again, bytes);
}

// A region serves any request of its class, smaller or larger than the one
// it was made for, and is then usable to the request's last byte.
TEST_CASE("a freed region serves a request of another size in its class") {
    const std::size_t first_bytes = 990000, second_bytes = 1000000;
    auto* first = static_cast<std::uint8_t*>(pykiv::memory::allocate_pages(first_bytes));
    pykiv::memory::free_pages(first, first_bytes);
    auto* second = static_cast<std::uint8_t*>(pykiv::memory::allocate_pages(second_bytes));
    CHECK(second == first);
    std::fill(second, second + second_bytes, std::uint8_t{0xA5});
    CHECK(std::all_of(second, second + second_bytes, [](std::uint8_t b) { return b == 0xA5; }));
    pykiv::memory::free_pages(second, second_bytes);
}

TEST_CASE("a freed region serves a somewhat smaller request, not a far smaller one") {
    const std::size_t large = 20000000, smaller = 16000000, far_smaller = 100000;
    void* first = pykiv::memory::allocate_pages(large);
    pykiv::memory::free_pages(first, large);
    void* second = pykiv::memory::allocate_pages(smaller);
    CHECK(second == first);
    pykiv::memory::free_pages(second, smaller);
    void* third = pykiv::memory::allocate_pages(far_smaller);
    CHECK(third != first);
    pykiv::memory::free_pages(third, far_smaller);
}

TEST_CASE("memory kept for reuse stays within its limit") {
    const std::size_t limit = pykiv::memory::kept_pages().limit;
    REQUIRE(limit > 0);
    const std::size_t bytes = limit / 2;
    std::vector<void*> regions;
    for (int i = 0; i < 3; ++i) regions.push_back(pykiv::memory::allocate_pages(bytes));
    for (void* region : regions) pykiv::memory::free_pages(region, bytes);
    const std::size_t kept = pykiv::memory::kept_pages().bytes;
    CHECK(kept >= bytes);  // the last one freed is kept
    CHECK(kept <= limit);
    // One region beyond the limit is given back when freed.
    void* huge = pykiv::memory::allocate_pages(limit + 1);
    pykiv::memory::free_pages(huge, limit + 1);
    CHECK(pykiv::memory::kept_pages().bytes <= limit);
}

}  // TEST_SUITE("pixel memory")

// ---------------------------------------------------------------------------
TEST_SUITE("records of a loaded file") {

// A run's indices list may see bytes it does not own: every change must give
// it bytes of its own first, and a copy must never see the same bytes.
TEST_CASE("a colour index list that sees bytes never writes to them, and its copies own theirs") {
    struct Case {
        const char* name;
        void (*change)(ColorIndices&);
        Bytes expected;
    };
    const std::vector<Case> cases = {
        {"copied", [](ColorIndices& list) { list = ColorIndices(list); }, {1, 2, 3}},
        {"grown by one", [](ColorIndices& list) { list.push_back(9); }, {1, 2, 3, 9}},
        {"resized larger", [](ColorIndices& list) { list.resize(5, 7); }, {1, 2, 3, 7, 7}},
        {"resized smaller", [](ColorIndices& list) { list.resize(1); }, {1}},
        {"reserved", [](ColorIndices& list) { list.reserve(64); }, {1, 2, 3}},
        {"assigned",
         [](ColorIndices& list) {
             const Bytes other{4, 5};
             list.assign(other.data(), other.data() + 2);
         },
         {4, 5}},
        {"cleared", [](ColorIndices& list) { list.clear(); }, {}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        Bytes seen{1, 2, 3};
        ColorIndices list;
        list.view(seen.data(), 3);
        const ColorIndices copy = list;
        c.change(list);
        CHECK(seen == Bytes{1, 2, 3});
        std::fill(seen.begin(), seen.end(), 0xEE);
        CHECK(Bytes(list.begin(), list.end()) == c.expected);
        CHECK(Bytes(copy.begin(), copy.end()) == Bytes{1, 2, 3});
    }
}

// The rows a reader makes keep their runs in a store; a row that grows, and
// every copy, must move to memory of its own with its runs intact.
TEST_CASE("a row's runs leave the store when the row grows, and copies of a row are on the heap") {
    alignas(std::max_align_t) unsigned char buffer[256];
    std::pmr::monotonic_buffer_resource store(buffer, sizeof buffer, std::pmr::null_memory_resource());
    BlockList row;
    row.reserve_in(store, 2);
    // Runs added one by one, or made in the room reserved, as the decoder
    // makes them: the row holds the same either way.
    SUBCASE("runs added at the end") {
        row.emplace_back() = KivPixelBlock{1, 2, {10, 11}};
        row.emplace_back() = KivPixelBlock{3, 1, {12}};
    }
    SUBCASE("runs made in the room reserved") {
        row.emplace_in_room(0) = KivPixelBlock{1, 2, {10, 11}};
        CHECK(row.size() == 1);
        row.emplace_in_room(1) = KivPixelBlock{3, 1, {12}};
    }
    REQUIRE(row.size() == 2);
    const BlockList copy = row;
    row.push_back(KivPixelBlock{5, 1, {13}});
    row[0].offset = 7;
    // Nothing may be left in the store: scribbling over it changes nothing.
    std::fill(std::begin(buffer), std::end(buffer), 0xEE);

    const auto summary = [](const BlockList& blocks) {
        std::vector<std::pair<int, Bytes>> runs;
        for (const KivPixelBlock& block : blocks) {
            runs.emplace_back(block.offset, Bytes(block.colors.begin(), block.colors.end()));
        }
        return runs;
    };
    using Runs = std::vector<std::pair<int, Bytes>>;
    CHECK(summary(row) == Runs{{7, {10, 11}}, {3, {12}}, {5, {13}}});
    CHECK(summary(copy) == Runs{{1, {10, 11}}, {3, {12}}});
}

// The runs of a loaded frame see their indices in the file's bytes, which
// live in page memory that is handed out again once freed: a frame that is
// still held must keep them, however many loads come after it.
TEST_CASE("a held frame keeps its indices through later loads that reuse freed memory") {
    TempDir dir;
    dir.file("p.pal", palette_file(std::vector<PalF::Color>(256, PalF::Color{1, 2, 3, 4})));
    const auto file_with = [](std::uint8_t fill) {
        FrameFields frame;
        frame.width = 255;
        // Rows enough for a file of page memory of its own (over 64 KiB).
        frame.rows.assign(300, {Run{0, Bytes(255, fill)}});
        return animation_file(1, stored("p.pal"), {frame});
    };
    dir.file("a.kiv", file_with(0xA1));
    dir.file("b.kiv", file_with(0xB2));

    std::shared_ptr<KivFrame> held;
    KivFrame copied;
    {
        KivF kiv;
        REQUIRE(kiv.load(dir.text("a.kiv"), 0, "") != nullptr);
        held = kiv.data()->frames[0];
        copied = *held;
        kiv.load(dir.text("b.kiv"), 0, "");
    }
    for (int i = 0; i < 3; ++i) {
        KivF kiv;
        REQUIRE(kiv.load(dir.text("b.kiv"), 0, "") != nullptr);
    }
    for (const KivFrame* frame : {held.get(), &copied}) {
        REQUIRE(frame->pixel_sets.size() == 300);
        const ColorIndices& colors = frame->pixel_sets[299].blocks[0].colors;
        CHECK(Bytes(colors.begin(), colors.end()) == Bytes(255, 0xA1));
    }
    held.reset();
    const ColorIndices& colors = copied.pixel_sets[0].blocks[0].colors;
    CHECK(Bytes(colors.begin(), colors.end()) == Bytes(255, 0xA1));
}

// The frames of one render share one region of pixel memory; a copy of a
// frame has pixels of its own, which outlive the render.
TEST_CASE("a copy of a rendered frame has pixels of its own") {
    KivData data;
    data.palette->colors({{1, 2, 3, 4}, {5, 6, 7, 8}});
    for (std::uint8_t index : {0, 1}) {
        auto frame = std::make_shared<KivFrame>();
        frame->width = 2;
        frame->height = 1;
        KivPixelSet row;
        row.blocks = {KivPixelBlock{0, 2, {index, index}}};
        frame->pixel_sets = {row};
        data.frames.push_back(frame);
    }
    std::vector<KivFrameBufferObject> copies;
    {
        const KivFrameBuffer rendered(data);
        const auto& frames = rendered.get_buffer();
        REQUIRE(frames.size() == 2);
        CHECK(frames[0].pixels.data() + frames[0].pixels.size() <= frames[1].pixels.data());
        copies = frames;
        CHECK(copies[0].pixels.data() != frames[0].pixels.data());
        copies[1] = copies[0];
        CHECK(copies[1].pixels.data() != copies[0].pixels.data());
    }
    for (const auto& copy : copies) {
        CHECK(Bytes(copy.pixels.begin(), copy.pixels.end()) == Bytes{1, 2, 3, 4, 1, 2, 3, 4});
    }
}

}  // TEST_SUITE("records of a loaded file")

// ---------------------------------------------------------------------------
TEST_SUITE("frame lists with a slot that holds no frame") {

// No load leaves such a slot, but the list is plain data: every reader takes
// the slot as a default frame, as the slots a load adds are before they are
// read, and none of them follows the empty pointer.
TEST_CASE("saving, rendering and marking a save take an empty slot as a default frame") {
    KivData data;
    data.palette->colors({{1, 2, 3, 4}, {5, 6, 7, 8}});
    auto frame = std::make_shared<KivFrame>();
    frame->width = 2;
    frame->height = 1;
    frame->x_offset = -3;
    KivPixelSet row;
    row.block_count = 1;
    row.blocks = {KivPixelBlock{0, 2, {1, 0}}};
    frame->pixel_sets = {row};
    data.frames = {frame, nullptr, frame};
    data.info.frame_count = 3;

    const Bytes bytes = pykiv::kiv_codec::encode_animation(data, "p.pal");
    KivData read;
    pykiv::fuzz::decode_animation(bytes.data(), bytes.size(), read);
    REQUIRE(read.frames.size() == 3);
    CHECK(read.frames[0]->width == 2);
    CHECK(read.frames[1]->width == 0);
    CHECK(read.frames[1]->height == 0);
    CHECK(read.frames[1]->pixel_sets.empty());
    CHECK(read.frames[2]->x_offset == -3);

    const KivFrameBuffer rendered(data);
    const auto& images = rendered.get_buffer();
    REQUIRE(images.size() == 3);
    CHECK(Bytes(images[0].pixels.begin(), images[0].pixels.end()) == Bytes{5, 6, 7, 8, 1, 2, 3, 4});
    CHECK((images[1].width == 0 && images[1].height == 0 && images[1].pixels.size() == 0));
    CHECK(images[2].offset_x == -3);

    pykiv::kiv_codec::mark_frames_written(data);
    CHECK(data.frames[1] == nullptr);
    CHECK((frame->unk1 == 0 && frame->unk2 == 1));
}

}  // TEST_SUITE("frame lists with a slot that holds no frame")

// ---------------------------------------------------------------------------
#ifdef _WIN32
TEST_SUITE("Windows paths") {

TEST_CASE("the search from an absolute drive path goes up to the drive") {
    TempDir dir;  // under the user's temporary directory on C:
    const std::string base = path_to_utf8(dir.root());
    REQUIRE(base.size() > 3);
    REQUIRE(base.substr(1, 2) == ":\\");
    dir.file("g/pal/p.pal", marked_palette(3));
    dir.file("g/a/b/x.kiv", animation_naming("pal/p.pal"));

    for (const std::string& spelled :
         {base + "\\g\\a\\b\\x.kiv", with_forward_slashes(base) + "/g/a/b/x.kiv", base + "\\g/a\\b/x.kiv"}) {
        CAPTURE(spelled);
        KivF kiv;
        ErrorLines errors;
        REQUIRE(kiv.load(spelled, 0, "") != nullptr);
        CHECK(loaded_mark(kiv) == 3);
        CHECK(errors.lines().empty());
    }
}

TEST_CASE("a stored location with backslashes is found") {
    TempDir dir;
    dir.file("g/pal/p.pal", marked_palette(3));
    dir.file("g/a/x.kiv", animation_naming("pal\\p.pal"));
    KivF kiv;
    ErrorLines errors;
    REQUIRE(kiv.load(dir.text("g/a/x.kiv"), 0, "") != nullptr);
    CHECK(loaded_mark(kiv) == 3);
    CHECK(kiv.data()->palette->location() == "pal\\p.pal");
}

TEST_CASE("the search from a relative path with backslashes stops at its first component") {
    struct Case {
        const char* name;
        std::string palette;
        std::optional<std::uint8_t> mark;
    };
    const std::vector<Case> cases = {
        {"own directory", "anims/sub/pal/p.pal", 1},
        {"first component", "anims/pal/p.pal", 2},
        {"current directory not tried", "pal/p.pal", std::nullopt},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        TempDir dir;
        CurrentDirectory in_dir(dir.root());
        dir.file("anims/sub/x.kiv", animation_naming("pal\\p.pal"));
        dir.file(c.palette, marked_palette(c.mark.value_or(9)));
        KivF kiv;
        ErrorLines errors;
        const auto data = kiv.load("anims\\sub\\x.kiv", 0, "");
        if (c.mark) {
            REQUIRE(data != nullptr);
            CHECK(loaded_mark(kiv) == c.mark);
        } else {
            CHECK(data == nullptr);
            CHECK(errors.lines() == Lines{open_failed, no_palette});
        }
    }
}

TEST_CASE("a location beginning with a separator keeps only the drive") {
    const auto drive = second_drive();
    if (!drive) {
        MESSAGE("PYKIV_TEST_SECOND_DRIVE is not set: skipped");
        return;
    }
    // pal/p.pal at the drive's root, and a decoy where a location taken as
    // relative would find one first.
    TempDir dir(*drive);
    const fs::path root_palette = *drive / "pal" / "p.pal";
    REQUIRE_FALSE(fs::exists(*drive / "pal"));
    write_bytes(root_palette, marked_palette(2));
    struct RemoveRootPalette {
        fs::path path;
        ~RemoveRootPalette() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } cleanup{*drive / "pal"};
    dir.file("anims/sub/pal/p.pal", marked_palette(1));
    const std::string drive_text = path_to_utf8(*drive);  // "D:\"

    struct Case {
        const char* name;
        std::string location;
        bool relative;  // the animation named relative to dir/anims
    };
    const std::vector<Case> cases = {
        {"backslash", "\\pal\\p.pal", false},
        {"forward slash", "/pal/p.pal", false},
        {"from a relative animation path", "\\pal\\p.pal", true},
        {"with the drive", drive_text + "pal\\p.pal", false},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        dir.file("anims/sub/x.kiv", animation_naming(c.location));
        CurrentDirectory in_dir(dir.path("anims"));
        KivF kiv;
        ErrorLines errors;
        REQUIRE(kiv.load(c.relative ? "sub\\x.kiv" : dir.text("anims/sub/x.kiv"), 0, "") != nullptr);
        CHECK(loaded_mark(kiv) == 2);
        CHECK(errors.lines().empty());
    }

    // From an animation on another drive, a full location still finds it.
    TempDir on_c;
    on_c.file("anims/x.kiv", animation_naming(drive_text + "pal\\p.pal"));
    KivF kiv;
    REQUIRE(kiv.load(on_c.text("anims/x.kiv"), 0, "") != nullptr);
    CHECK(loaded_mark(kiv) == 2);
}

TEST_CASE("the writer stores forward slashes for backslash paths") {
    const std::vector<LocationCase> cases = {
        {"sibling directory", "\\game\\data", "\\game\\pal\\a.pal", "../pal/a.pal"},
        {"below the root", "\\game", "\\game\\pal\\sub\\a.pal", "pal/sub/a.pal"},
        {"root with a trailing backslash", "\\game\\data\\", "\\game\\pal\\a.pal", "../pal/a.pal"},
        {"dot-dot", "\\game\\data\\..\\data", "\\game\\data\\..\\pal\\a.pal", "../pal/a.pal"},
        {"forward slashes", "/game/data", "/game/pal/a.pal", "../pal/a.pal"},
        {"palette equal to the root", "\\game\\pal\\a.pal", "\\game\\pal\\a.pal", "."},
    };
    for (const LocationCase& c : cases) {
        CAPTURE(c.name);
        TempDir dir;
        dir.dir("game/data");
        dir.dir("game/pal/sub");
        const std::string base = path_to_utf8(dir.root());
        KivF kiv;
        hold_one_frame(kiv);
        ErrorLines errors;
        kiv.save(base + "\\game\\data\\x.kiv", base + c.root, base + c.palette);
        CHECK(errors.lines().empty());
        check_stored_location(dir.path("game/data/x.kiv"), c.location);
    }
}

TEST_CASE("a palette on another drive than the project root is stored with an empty location") {
    const auto drive = second_drive();
    if (!drive) {
        MESSAGE("PYKIV_TEST_SECOND_DRIVE is not set: skipped");
        return;
    }
    TempDir on_c;
    TempDir on_d(*drive);
    on_c.dir("game/pal");
    on_d.dir("game/pal");
    struct Case {
        const char* name;
        std::string root;
        std::string palette;
        std::string location;
        fs::path written_palette;
    };
    const std::vector<Case> cases = {
        {"root on C:, palette on the other drive", on_c.text("game"), on_d.text("game/pal/a.pal"), "",
         on_d.path("game/pal/a.pal")},
        {"root on the other drive, palette on C:", on_d.text("game"), on_c.text("game/pal/a.pal"), "",
         on_c.path("game/pal/a.pal")},
        {"root at the other drive's root", path_to_utf8(*drive), on_d.text("game/pal/a.pal"),
         with_forward_slashes(path_to_utf8(on_d.root().filename())) + "/game/pal/a.pal", on_d.path("game/pal/a.pal")},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        KivF kiv;
        hold_one_frame(kiv);
        ErrorLines errors;
        kiv.save(on_c.text("game/x.kiv"), c.root, c.palette);
        CHECK(errors.lines().empty());
        check_stored_location(on_c.path("game/x.kiv"), c.location);
        CHECK(read_bytes(c.written_palette) == held_palette_file);
    }
}

TEST_CASE("the safe writer replaces an existing file on both drives") {
    std::vector<std::unique_ptr<TempDir>> dirs;
    dirs.push_back(std::make_unique<TempDir>());
    if (const auto drive = second_drive()) dirs.push_back(std::make_unique<TempDir>(*drive));
    for (const auto& dir : dirs) {
        CAPTURE(path_to_utf8(dir->root()));
        const fs::path target = dir->file("ä.pal", bytes_of(std::string(2000, 'x')));
        PalF palette;
        palette.colors({{1, 2, 3, 4}, {5, 6, 7, 8}});
        ErrorLines errors;
        palette.save(path_to_utf8(target));
        CHECK(errors.lines().empty());
        CHECK(read_bytes(target) == palette_file({{1, 2, 3, 4}, {5, 6, 7, 8}}));
        CHECK(entries_of(dir->root()) == std::vector<std::string>{"ä.pal"});
    }
}

TEST_CASE("a file held open elsewhere is not replaced, and the temporary file is removed") {
    // Windows refuses to rename over a file that another handle keeps open
    // without delete sharing; the save fails and the old file stays whole.
    TempDir dir;
    const fs::path target = dir.file("held.pal", bytes_of("old"));
    std::ifstream holder(target, std::ios::binary);
    REQUIRE(holder.is_open());
    PalF palette;
    palette.colors({{1, 2, 3, 4}});
    ErrorLines errors;
    palette.save(path_to_utf8(target));
    CHECK(errors.lines() == Lines{"ERROR: Could not write palette file: " + path_to_utf8(target)});
    holder.close();
    CHECK(read_bytes(target) == bytes_of("old"));
    CHECK(entries_of(dir.root()) == std::vector<std::string>{"held.pal"});
}

}  // TEST_SUITE("Windows paths")
#endif
