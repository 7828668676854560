// The reading side of KivF: parsing, the palette search, rendering.
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "animation/kiv_file.h"
#include "animation/kiv_format.h"
#include "io/byte_reader.h"
#include "io/file_io.h"
#include "system/allocation_refused.h"
#include "system/page_memory.h"

namespace fs = std::filesystem;

namespace {

using namespace pykiv::kiv_format;

// Frames past the end of a cut file are read as empty records, so a count
// may exceed what the file holds. Up to this many frames are accepted
// whatever the file holds; a larger count must fit in the rest of the file,
// at the smallest frame record each, or it is refused before the frame list
// is allocated: a 16-byte file must not make the reader allocate billions
// of frames.
constexpr std::size_t max_frames_beyond_file = std::size_t{1} << 20;

void resize_frames(KivData& data, std::size_t remaining) {
    const std::size_t count = data.info.frame_count;
    if (count > max_frames_beyond_file && count > remaining / min_frame_record_size) {
        throw pykiv::system::AllocationRefused("animation file declares " + std::to_string(count) +
                                               " frames but its remaining " + std::to_string(remaining) +
                                               " bytes cannot hold them");
    }
    const std::size_t kept = std::min(count, data.frames.size());
    data.frames.resize(count);
    for (std::size_t i = kept; i < count; ++i) data.frames[i] = std::make_shared<KivFrame>();
}

// Once a frame has bit 15 of its height word set, this and every later frame
// of the file keeps only the low 8 bits of its height word as its height.
struct HeightRule {
    bool shadow_mode = false;

    std::uint16_t height_of(std::uint16_t height_word) {
        if (shadow_mode || (height_word & shadow_flag) != 0) {
            shadow_mode = true;
            return static_cast<std::uint16_t>(height_word & shadow_mode_height_mask);
        }
        return height_word;
    }
};

// What the rows of a frame, starting at `rows`, take in its run store: the
// block list of each row that has runs, aligned, and the colour indices of
// every run. Only the bytes that are there are counted, so this is exact for
// a whole frame; the runs of a cut frame may need a little more, and the
// store then grows.
std::size_t run_store_bytes(const std::uint8_t* rows, std::size_t size, std::size_t height, bool shadow) {
    std::size_t bytes = 0;
    std::size_t at = 0;
    for (std::size_t row = 0; row < height && at < size; ++row) {
        const std::size_t block_count = rows[at++];
        if (block_count == 0) continue;
        bytes += block_count * sizeof(KivPixelBlock) + alignof(KivPixelBlock) - 1;
        for (std::size_t k = 0; k < block_count && at + 2 <= size; ++k) {
            const std::size_t color_count = rows[at + 1];
            at += 2;
            if (!shadow) {
                bytes += color_count;
                at += color_count;
            }
        }
    }
    return bytes;
}

// Reads one frame record. Reads past the end leave fields at 0, and the
// loops still run their stored counts, so the rows of a cut frame come out
// as empty rows.
KivFrame read_frame(pykiv::io::ByteReader& in, HeightRule& rule) {
    KivFrame frame;
    std::uint16_t height_word = 0;
    in.read(frame.frame_size);
    in.read(height_word);
    frame.is_shadow = (height_word & shadow_flag) != 0 ? 1 : 0;
    frame.height = rule.height_of(height_word);
    in.read(frame.width);
    in.read(frame.y_offset);
    in.read(frame.x_offset);
    in.read(frame.unk1);
    in.read(frame.unk2);

    frame.pixel_sets.reserve(frame.height);
    // One allocation holds all runs of the frame, sized by looking ahead.
    RunStore* store = std::pmr::get_default_resource();
    if (const std::size_t bytes = run_store_bytes(in.unread(), in.remaining(), frame.height, frame.is_shadow != 0)) {
        frame.run_store = std::make_shared<std::pmr::monotonic_buffer_resource>(bytes, pykiv::system::page_resource());
        store = frame.run_store.get();
    }
    for (std::size_t row = 0; row < frame.height; ++row) {
        std::uint8_t block_count = 0;
        in.read(block_count);
        KivPixelSet pixel_set{block_count, std::pmr::vector<KivPixelBlock>(store)};
        pixel_set.blocks.reserve(block_count);
        for (std::size_t k = 0; k < block_count; ++k) {
            KivPixelBlock block{0, 0, ColorIndices(store)};
            in.read(block.offset);
            in.read(block.color_count);
            // Shadow frames store no indices: their block records are two
            // bytes whatever color_count says.
            if (frame.is_shadow == 0) in.read_bytes(block.colors, block.color_count);
            pixel_set.blocks.push_back(std::move(block));
        }
        frame.pixel_sets.push_back(std::move(pixel_set));
    }
    return frame;
}

}  // namespace

KivF::KivF() : data_(std::make_shared<KivData>()) {}

// The KivData may outlive this object in Python hands; its frames stay.
KivF::~KivF() = default;

std::shared_ptr<KivData> KivF::load(const std::string& file_name, std::int32_t color_profile,
                                    const std::string& io_pal) {
    const auto file_path = pykiv::io::try_path_from_utf8(file_name);
    std::optional<fs::path> explicit_palette;
    if (!io_pal.empty()) explicit_palette = pykiv::io::path_from_utf8(io_pal);
    color_profile_ = color_profile;
    auto bytes = file_path ? pykiv::io::read_file(*file_path) : std::nullopt;
    if (!bytes) return nullptr;
    pykiv::io::ByteReader in(std::move(*bytes));

    KivData& data = *data_;
    if (!data.palette) data.palette = std::make_shared<PalF>();
    PalF& palette = *data.palette;

    // Every file is read from the same starting state, so that it parses the
    // same whatever this object read before.
    data.has_background = false;
    data.info = KivInfo{};

    char magic[sizeof prefix_magic] = {};
    if (in.read_some(magic, sizeof magic) == sizeof magic && std::memcmp(magic, prefix_magic, sizeof magic) == 0) {
        in.clear();
        in.seek(prefix_flag_offset);
        std::uint8_t has_background = 0;
        if (in.read(has_background)) data.has_background = has_background != 0;
    } else {
        in.clear();
        in.seek(0);
    }

    in.read(data.info.speed);
    std::uint32_t location_size = 0;
    in.read(location_size);
    palette.location_size(location_size);
    // Bytes the file does not have would read as zeros, and the text ends at
    // the first zero, so only what the file holds is allocated.
    std::string location(std::min<std::size_t>(location_size, in.remaining()), '\0');
    in.read_some(location.data(), location.size());
    if (location.size() < location_size) in.set_failed();
    palette.location(location);

    in.read(data.info.frame_count);
    resize_frames(data, in.remaining());

    const std::string location_text = io_pal.empty() ? location.substr(0, location.find('\0')) : io_pal;
    palette.location(location_text);

    if (data.has_background) {
        data.info.frame_count += 1;  // the background frame is not counted in the file
        resize_frames(data, in.remaining());
    }

    fs::path palette_path;
    if (explicit_palette) {
        palette_path = *explicit_palette;
        if (!palette_path.is_absolute()) palette_path = fs::current_path() / palette_path;
    } else if (const auto location_path = pykiv::io::try_path_from_utf8(location_text)) {
        // A location with no platform form names no palette.
        palette_path = resolve_palette_path(*file_path, *location_path);
    }
    palette.load(pykiv::io::path_to_utf8(palette_path));

    HeightRule height_rule;
    const auto frame_count = static_cast<std::int32_t>(data.info.frame_count);
    for (std::int32_t i = 0; i < frame_count && static_cast<std::size_t>(i) < data.frames.size(); ++i) {
        // A new frame each time: frames handed out earlier stay intact.
        data.frames[static_cast<std::size_t>(i)] = std::make_shared<KivFrame>(read_frame(in, height_rule));
    }

    // The file's bytes are let go before the pixels are allocated, so that
    // a load never holds both.
    in.release();

    KivFrameBuffer rendered(data);
    frame_buffer_ = rendered.release_frames();
    return frame_buffer_.empty() ? nullptr : data_;
}

// Tries `location` under the animation file's directory, then under each
// ancestor up to the root (or, for a relative path, up to its first
// component), and returns the canonical form of the first that exists.
// The location comes from the file, so nothing here may fail on what it
// names: a candidate that cannot be examined (behind a directory without
// search permission, a loop of symbolic links) is taken as missing.
fs::path KivF::resolve_palette_path(const fs::path& animation_path, const fs::path& location) {
    fs::path directory = animation_path.parent_path();
    while (!directory.empty()) {
        const fs::path candidate = directory / location;
        std::error_code ec;
        if (fs::exists(candidate, ec)) {
            fs::path found = fs::canonical(candidate, ec);
            if (!ec) return found;
        }
        fs::path parent = directory.parent_path();
        if (parent == directory) break;
        directory = std::move(parent);
    }
    return {};
}
