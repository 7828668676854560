// The writing side of KivF.
#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

#include "animation/kiv_file.h"
#include "animation/kiv_format.h"
#include "io/byte_writer.h"
#include "io/file_io.h"

namespace fs = std::filesystem;

namespace {

using namespace pykiv::kiv_format;

constexpr std::uint16_t max_plain_height = shadow_flag - 1;  // bit 15 would mark a shadow frame
constexpr std::uint16_t max_height_after_shadow = shadow_mode_height_mask;

[[noreturn]] void refuse(const std::string& where, const std::string& what) {
    throw std::invalid_argument("cannot save: " + where + ": " + what);
}

std::string frame_name(std::size_t frame) { return "frame " + std::to_string(frame); }

// Refuses records that would be written into a file that does not read back
// as the same records. Runs before any file is touched.
void check_writable(const KivData& data) {
    const std::uint32_t frame_count = data.info.frame_count;
    if (frame_count > data.frames.size()) {
        refuse("info.frame_count", std::to_string(frame_count) + " frames declared but " +
                                       std::to_string(data.frames.size()) + " frames held");
    }
    if (data.has_background && frame_count == 0) {
        refuse("info.frame_count",
               "0 frames with has_background set; the background frame must be counted (frame_count >= 1)");
    }

    // Without the prefix the file starts with the speed; a speed whose bytes
    // spell the magic would make the file read back as prefixed.
    if (!data.has_background && data.info.speed == prefix_magic_as_u32) {
        refuse("info.speed", std::to_string(data.info.speed) +
                                 " is stored as \"KVIF\", which marks a background frame, but has_background is not set");
    }

    bool after_shadow = false;
    for (std::size_t i = 0; i < frame_count; ++i) {
        const KivFrame& frame = *data.frames[i];
        const bool shadow = frame.is_shadow != 0;
        std::size_t rows = frame.height;
        if (shadow) {
            rows = frame.height & shadow_mode_height_mask;
        } else if (frame.height > max_plain_height) {
            refuse(frame_name(i), "height " + std::to_string(frame.height) + " is above " +
                                      std::to_string(max_plain_height) + " and would read back as a shadow frame");
        } else if (after_shadow && frame.height > max_height_after_shadow) {
            refuse(frame_name(i), "height " + std::to_string(frame.height) + " is above " +
                                      std::to_string(max_height_after_shadow) +
                                      ", the most a frame after a shadow frame can store");
        }
        after_shadow = after_shadow || shadow;

        if (frame.pixel_sets.size() != rows) {
            refuse(frame_name(i), std::to_string(frame.pixel_sets.size()) + " pixel sets but height " +
                                      std::to_string(rows) + (shadow ? " (height AND 0xFF of a shadow frame)" : ""));
        }
        for (std::size_t r = 0; r < frame.pixel_sets.size(); ++r) {
            const KivPixelSet& row = frame.pixel_sets[r];
            const std::string row_name = frame_name(i) + ", row " + std::to_string(r);
            if (row.block_count != row.blocks.size()) {
                refuse(row_name, "block_count " + std::to_string(row.block_count) + " but " +
                                     std::to_string(row.blocks.size()) + " blocks");
            }
            if (shadow) continue;
            for (std::size_t k = 0; k < row.blocks.size(); ++k) {
                const KivPixelBlock& block = row.blocks[k];
                if (block.color_count > block.colors.size()) {
                    refuse(row_name + ", block " + std::to_string(k),
                           "color_count " + std::to_string(block.color_count) + " but " +
                               std::to_string(block.colors.size()) + " colors");
                }
            }
        }
    }
}

void write_frame(std::ostream& out, KivFrame& frame) {
    using pykiv::io::write_le;
    const bool shadow = frame.is_shadow != 0;
    frame.unk1 = 0;
    frame.unk2 = 1;
    write_le(out, frame.frame_size);  // as held, not recomputed
    write_le(out, shadow ? static_cast<std::uint16_t>((frame.height & shadow_mode_height_mask) | shadow_flag) : frame.height);
    write_le(out, frame.width);
    write_le(out, frame.y_offset);
    write_le(out, frame.x_offset);
    write_le(out, frame.unk1);
    write_le(out, frame.unk2);
    for (const KivPixelSet& row : frame.pixel_sets) {
        write_le(out, row.block_count);
        for (const KivPixelBlock& block : row.blocks) {
            write_le(out, block.offset);
            write_le(out, block.color_count);
            if (!shadow) out.write(reinterpret_cast<const char*>(block.colors.data()), block.color_count);
        }
    }
}

void write_animation(std::ostream& out, KivData& data, const std::string& location) {
    using pykiv::io::write_le;
    if (data.has_background) {
        out.write(prefix_magic, sizeof prefix_magic);
        write_le(out, std::uint32_t{0});  // reserved
        write_le(out, std::uint8_t{1});
    }
    write_le(out, data.info.speed);
    // The location is stored with a closing zero byte, counted in its size.
    write_le(out, static_cast<std::uint32_t>(location.size() + 1));
    out.write(location.data(), static_cast<std::streamsize>(location.size()));
    write_le(out, std::uint8_t{0});
    // The stored count leaves out the background frame; the reader adds it.
    write_le(out, data.info.frame_count - (data.has_background ? 1u : 0u));
    for (std::size_t i = 0; i < data.info.frame_count; ++i) write_frame(out, *data.frames[i]);
}

// The palette's place relative to the project root, as stored in the file:
// both made weakly canonical, related lexically, with forward slashes.
std::string relative_location(const fs::path& project_root, const fs::path& palette_path) {
    const fs::path relative = palette_path.lexically_relative(project_root);
    // The generic form: forward slashes, also where a backslash is no
    // separator, since the stored text must read the same on every system.
    std::string text = pykiv::io::path_to_utf8(relative);
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

}  // namespace

void KivF::save(const std::string& file_name, const std::string& project_root, const std::string& palette_path) {
    KivData& data = *data_;
    const fs::path animation_file = pykiv::io::path_from_utf8(file_name);
    const fs::path root_path = pykiv::io::path_from_utf8(project_root);
    const fs::path palette_given = pykiv::io::path_from_utf8(palette_path);
    check_writable(data);
    if (data.palette) data.palette->check_savable();

    const fs::path root = fs::weakly_canonical(root_path);
    const fs::path palette_file = fs::weakly_canonical(palette_given);
    const std::string location = relative_location(root, palette_file);

    // Writing the palette and then the animation over it would leave only
    // the animation, and a load would read its bytes as colours.
    if (pykiv::io::name_the_same_file(animation_file, palette_file)) {
        throw std::invalid_argument("cannot save: file_name " + file_name + " and palette_path " + palette_path +
                                    " name the same file");
    }

    // Both files are written in full before either is put in place, so a
    // failed save leaves the old pair as it was: never an old animation with
    // a new palette. The palette goes in first, so that the animation only
    // appears once its palette is there.
    using pykiv::io::WriteResult;
    const std::string palette_text = pykiv::io::path_to_utf8(palette_file);
    pykiv::io::FileReplacement animation(animation_file);
    WriteResult result = animation.prepare([&data, &location](std::ostream& out) { write_animation(out, data, location); });
    if (result != WriteResult::written) return pykiv::io::report_write_failure(result, "animation", file_name);

    std::optional<pykiv::io::FileReplacement> palette;
    if (data.palette) {
        palette.emplace(palette_file);
        result = palette->prepare([&data](std::ostream& out) { data.palette->write(out); });
        if (result != WriteResult::written) return pykiv::io::report_write_failure(result, "palette", palette_text);
        result = palette->commit();
        if (result != WriteResult::written) return pykiv::io::report_write_failure(result, "palette", palette_text);
    }
    result = animation.commit();
    pykiv::io::report_write_failure(result, "animation", file_name);
}
