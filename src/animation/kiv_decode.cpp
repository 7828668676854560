// Animation bytes to records.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "animation/kiv_codec.h"
#include "animation/kiv_format.h"
#include "memory/allocation_refused.h"
#include "memory/page_memory.h"

namespace pykiv::kiv_codec {

namespace {

using namespace pykiv::kiv_format;

void refuse_unbacked_frames(std::size_t count, std::size_t remaining, const DecodeLimits& limits) {
    if (count > limits.max_frames_beyond_input && count > remaining / min_frame_record_size) {
        throw pykiv::memory::AllocationRefused("animation file declares " + std::to_string(count) +
                                               " frames but its remaining " + std::to_string(remaining) +
                                               " bytes cannot hold them");
    }
}

// Sizes the frame list to `count`, refusing a count the rest of the input
// cannot hold. Frames already in the list are kept until they are read over.
void resize_frames(KivData& data, std::size_t count, std::size_t remaining, const DecodeLimits& limits) {
    refuse_unbacked_frames(count, remaining, limits);
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
        frame.run_store = std::make_shared<std::pmr::monotonic_buffer_resource>(bytes, pykiv::memory::page_resource());
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

KivDecoder::KivDecoder(const std::uint8_t* bytes, std::size_t size, DecodeLimits limits)
    : in_(bytes, size), limits_(limits) {}

PaletteReference KivDecoder::read_header(KivData& data) {
    data.has_background = false;
    data.info = KivInfo{};

    // The prefix is there exactly when the input starts with the magic;
    // otherwise the header starts at offset 0.
    char magic[sizeof prefix_magic] = {};
    if (in_.read_some(magic, sizeof magic) == sizeof magic && std::memcmp(magic, prefix_magic, sizeof magic) == 0) {
        in_.seek(prefix_flag_offset);
        std::uint8_t has_background = 0;
        if (in_.read(has_background)) data.has_background = has_background != 0;
    } else {
        in_.clear();
        in_.seek(0);
    }

    in_.read(data.info.speed);
    PaletteReference palette;
    in_.read(palette.location_size);
    // Bytes the input does not have would read as zeros, and the text ends
    // at the first zero, so only what the input holds is allocated.
    palette.stored_location.resize(std::min<std::size_t>(palette.location_size, in_.remaining()));
    in_.read_some(palette.stored_location.data(), palette.stored_location.size());
    if (palette.stored_location.size() < palette.location_size) in_.set_failed();

    in_.read(data.info.frame_count);
    return palette;
}

void KivDecoder::read_frames(KivData& data) {
    // The stored count is checked before the background frame is added to
    // it, so that a count of 2^32 - 1 cannot wrap to an empty animation.
    const std::size_t remaining = in_.remaining();
    refuse_unbacked_frames(data.info.frame_count, remaining, limits_);
    if (data.has_background) data.info.frame_count += 1;  // the background frame is not counted in the file
    resize_frames(data, data.info.frame_count, remaining, limits_);

    HeightRule height_rule;
    for (std::size_t i = 0; i < data.info.frame_count; ++i) {
        // A new frame each time: frames handed out earlier stay intact.
        data.frames[i] = std::make_shared<KivFrame>(read_frame(in_, height_rule));
    }
}

PaletteReference decode_animation(const std::uint8_t* bytes, std::size_t size, KivData& data, DecodeLimits limits) {
    KivDecoder decoder(bytes, size, limits);
    PaletteReference palette = decoder.read_header(data);
    decoder.read_frames(data);
    return palette;
}

}  // namespace pykiv::kiv_codec
