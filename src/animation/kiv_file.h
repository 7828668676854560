// The animation file object: reads an animation file with its palette,
// renders it, and writes it back.
//
// File layout (integers little-endian):
//   optional prefix   "KVIF", 4 reserved bytes, 1 byte has_background
//   speed             u32
//   location size L   u32
//   location          L bytes: palette path relative to a project root,
//                     ended by a zero byte when written by this module
//   frame count N     u32, not counting the background frame
//   N frame records, and one more when has_background is set
// Frame record:
//   frame_size u32, height word u16 (bit 15: shadow frame), width u16,
//   y_offset i16, x_offset i16, unk1 u8, unk2 u8, then one row per height:
//   block_count u8, then per block: offset u8, color_count u8 and, outside
//   shadow frames, color_count palette indices.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "animation/kiv_records.h"
#include "render/kiv_frame_buffer.h"

class KivF {
public:
    KivF();
    KivF(const KivF&) = delete;
    KivF& operator=(const KivF&) = delete;
    virtual ~KivF();

    // Parses `file_name` into the held KivData, loads its palette (from
    // `io_pal` when given, else by searching upwards from the file for the
    // location it stores) and renders every frame. Returns the held KivData,
    // or nothing when the file cannot be opened or no frame was rendered.
    // A path holding a NUL is refused with std::invalid_argument before
    // anything changes.
    std::shared_ptr<KivData> load(const std::string& file_name, std::int32_t color_profile,
                                  const std::string& io_pal);

    // Writes the held animation to `file_name`, storing the palette's place
    // as `palette_path` relative to `project_root`, and writes the palette to
    // `palette_path`: both files are replaced, or neither. Records that would
    // not read back as themselves, a palette a file cannot hold, and two
    // paths naming one file are refused with std::invalid_argument before
    // any file is touched.
    void save(const std::string& file_name, const std::string& project_root, const std::string& palette_path);

    std::shared_ptr<KivData> data() const { return data_; }

    // Copies of the frames rendered by the last load.
    std::vector<KivFrameBufferObject> get_frame_buffer() const { return frame_buffer_; }

private:
    static std::filesystem::path resolve_palette_path(const std::filesystem::path& animation_path,
                                                      const std::filesystem::path& location);

    std::vector<KivFrameBufferObject> frame_buffer_;
    std::shared_ptr<KivData> data_;
    std::int32_t color_profile_ = 0;  // kept; nothing reads it
};
