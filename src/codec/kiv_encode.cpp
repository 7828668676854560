// Animation records to bytes.
#include <stdexcept>
#include <string>

#include "codec/kiv_codec.h"
#include "codec/kiv_format.h"
#include "codec/kiv_limits.h"
#include "io/byte_writer.h"

namespace pykiv::kiv_codec {

namespace {

using namespace pykiv::kiv_format;
using pykiv::io::write_le;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void refuse(const std::string& where, const std::string& what) {
    throw std::invalid_argument("cannot save: " + where + ": " + what);
}

std::string record_name(std::size_t frame) { return "frame " + std::to_string(frame); }

// The two frame-header bytes the writer always stores.
constexpr std::uint8_t written_unk1 = 0;
constexpr std::uint8_t written_unk2 = 1;

void write_frame(Bytes& out, const KivFrame& frame) {
    const bool shadow = frame.is_shadow != 0;
    write_le(out, frame.frame_size);  // as held, not recomputed
    write_le(out, shadow ? static_cast<std::uint16_t>((frame.height & shadow_mode_height_mask) | shadow_flag)
                         : frame.height);
    write_le(out, frame.width);
    write_le(out, frame.y_offset);
    write_le(out, frame.x_offset);
    write_le(out, written_unk1);
    write_le(out, written_unk2);
    for (const KivPixelSet& row : frame.pixel_sets) {
        write_le(out, row.block_count);
        for (const KivPixelBlock& block : row.blocks) {
            write_le(out, block.offset);
            write_le(out, block.color_count);
            if (!shadow) out.insert(out.end(), block.colors.begin(), block.colors.begin() + block.color_count);
        }
    }
}

}  // namespace

std::size_t frame_record_size(const KivFrame& frame) {
    std::size_t size = min_frame_record_size;
    for (const KivPixelSet& row : frame.pixel_sets) {
        size += 1 + 2 * row.blocks.size();
        if (frame.is_shadow != 0) continue;
        for (const KivPixelBlock& block : row.blocks) size += block.color_count;
    }
    return size;
}

void check_encodable(const KivData& data) {
    const std::uint32_t frame_count = data.info.frame_count;
    if (frame_count > data.frames.size()) {
        refuse("info.frame_count", std::to_string(frame_count) + " frames declared but " +
                                       std::to_string(data.frames.size()) + " frames held");
    }
    if (data.has_background && frame_count == 0) {
        refuse("info.frame_count",
               "0 frames with has_background set; the background frame must be counted (frame_count >= 1)");
    }

    bool after_shadow = false;
    for (std::size_t i = 0; i < frame_count; ++i) {
        const KivFrame& frame = frame_or_default(data.frames[i]);
        const bool shadow = frame.is_shadow != 0;
        std::size_t rows = frame.height;
        if (shadow) {
            rows = frame.height & shadow_mode_height_mask;
        } else if (frame.height > max_height(after_shadow)) {
            refuse(record_name(i), "height " + std::to_string(frame.height) + " is above " +
                                       std::to_string(max_height(after_shadow)) +
                                       (after_shadow ? ", the most a frame after a shadow frame can store"
                                                     : " and would read back as a shadow frame"));
        }
        after_shadow = after_shadow || shadow;

        if (frame.pixel_sets.size() != rows) {
            refuse(record_name(i), std::to_string(frame.pixel_sets.size()) + " pixel sets but height " +
                                       std::to_string(rows) + (shadow ? " (height AND 0xFF of a shadow frame)" : ""));
        }
        for (std::size_t r = 0; r < frame.pixel_sets.size(); ++r) {
            const KivPixelSet& row = frame.pixel_sets[r];
            const auto row_name = [&] { return record_name(i) + ", row " + std::to_string(r); };
            if (row.block_count != row.blocks.size()) {
                refuse(row_name(), "block_count " + std::to_string(row.block_count) + " but " +
                                       std::to_string(row.blocks.size()) + " blocks");
            }
            if (shadow) continue;
            for (std::size_t k = 0; k < row.blocks.size(); ++k) {
                const KivPixelBlock& block = row.blocks[k];
                if (block.color_count > block.colors.size()) {
                    refuse(row_name() + ", block " + std::to_string(k),
                           "color_count " + std::to_string(block.color_count) + " but " +
                               std::to_string(block.colors.size()) + " colors");
                }
            }
        }
    }
}

std::vector<std::uint8_t> encode_animation(const KivData& data, const std::string& location) {
    check_encodable(data);

    std::size_t size = sizeof prefix_magic + 4 + 1 + 4 + 4 + location.size() + 1 + 4;
    for (std::size_t i = 0; i < data.info.frame_count; ++i) size += frame_record_size(frame_or_default(data.frames[i]));
    Bytes out;
    out.reserve(size);

    // Without the prefix the file starts with the speed, so a speed whose
    // bytes spell the magic would read back as a prefix: such a file gets
    // the prefix too, with the background flag 0.
    if (data.has_background || data.info.speed == prefix_magic_as_u32) {
        write_le(out, prefix_magic_as_u32);  // "KVIF"
        write_le(out, std::uint32_t{0});     // reserved
        write_le(out, static_cast<std::uint8_t>(data.has_background ? 1 : 0));
    }
    write_le(out, data.info.speed);
    // The location is stored with a closing zero byte, counted in its size.
    write_le(out, static_cast<std::uint32_t>(location.size() + 1));
    out.insert(out.end(), location.begin(), location.end());
    write_le(out, std::uint8_t{0});
    // The stored count leaves out the background frame; the decoder adds it.
    write_le(out, data.info.frame_count - (data.has_background ? 1u : 0u));
    for (std::size_t i = 0; i < data.info.frame_count; ++i) write_frame(out, frame_or_default(data.frames[i]));
    return out;
}

void mark_frames_written(KivData& data) {
    for (std::size_t i = 0; i < data.info.frame_count && i < data.frames.size(); ++i) {
        if (!data.frames[i]) continue;
        data.frames[i]->unk1 = written_unk1;
        data.frames[i]->unk2 = written_unk2;
    }
}

}  // namespace pykiv::kiv_codec
