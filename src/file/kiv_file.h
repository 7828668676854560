// The animation file object: reads an animation file with its palette,
// renders it, and writes it back (kiv_file_load.cpp, kiv_file_save.cpp). The
// bytes themselves are the codec's (codec/kiv_codec.h), the pixels the
// renderer's (render/kiv_frame_buffer.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codec/kiv_codec.h"
#include "io/file_io.h"
#include "memory/physical_memory.h"
#include "records/kiv_records.h"
#include "render/kiv_frame_buffer.h"

// What a load may take on. The defaults are the module's; a caller that
// feeds arbitrary bytes in bulk (a fuzzer) sets smaller ones.
struct KivLimits {
    pykiv::kiv_codec::DecodeLimits decode;
    std::uint64_t pixel_memory = pykiv::memory::physical_memory_bytes();  // see KivFrameBuffer
};

// What the last load met on its way, beyond its result.
struct KivLoadReport {
    bool opened = false;               // the file was read
    std::string location;              // the palette location the file stores, up to its first zero byte
    std::string palette_tried;         // the palette path handed to the palette's load ("" when none was found)
    std::int32_t palette_result = 0;   // what that load returned (1, -1, -2); 0 when it was not reached
    std::string palette_folder;        // the folder the search found the location under ("" when none, or given)
    bool rendered = false;             // the frames were rendered (read_bytes stops before)
    bool cut_short = false;            // the file ended before its header or its frames did
    std::uint64_t trailing_bytes = 0;  // bytes after the last frame record
};

// How a load ended, from its result and its report.
enum class KivLoadStatus { loaded, cannot_open, no_frames, palette_missing, palette_invalid, no_colors };

class KivF {
public:
    explicit KivF(KivLimits limits = {});
    KivF(const KivF&) = delete;
    KivF& operator=(const KivF&) = delete;
    virtual ~KivF();

    // Parses `file_name` into the held KivData, loads its palette (from
    // `io_pal` when given, else by searching upwards from the file for the
    // location it stores) and renders every frame. Returns the held KivData,
    // or nothing when the file cannot be opened or no frame was rendered.
    // A path holding a NUL is refused with std::invalid_argument before
    // anything changes.
    std::shared_ptr<KivData> load(const std::string& file_name, std::int32_t color_profile, const std::string& io_pal);

    // The same load of bytes the caller has already read from `file_name`,
    // which is not read again: it only starts the palette search. A caller
    // that checks or digests a file's bytes decodes those very bytes, not
    // whatever the file holds a moment later.
    std::shared_ptr<KivData> load_bytes(const std::string& file_name, pykiv::io::FileBytes bytes,
                                        std::int32_t color_profile, const std::string& io_pal);

    // The load of load_bytes without its last step: the records and the
    // palette, no frame rendered (render_frames does that). A caller that
    // only shows the header and the frame table renders nothing: a few bytes
    // can declare frames of gigabytes. The decoder shares `bytes` with the
    // frames; the caller may keep them too.
    void read_bytes(const std::string& file_name, std::shared_ptr<const pykiv::io::FileBytes> bytes,
                    const std::string& io_pal);

    // Renders every frame of the held records, kept for get_frame_buffer.
    // Refuses (pykiv::memory::AllocationRefused) pixels beyond the limits'
    // pixel memory before any is allocated.
    void render_frames();

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

    // The frames rendered by the last load, where they are.
    const std::vector<KivFrameBufferObject>& rendered_frames() const { return frame_buffer_; }

    const KivLoadReport& last_load() const { return last_load_; }
    KivLoadStatus last_load_status() const;

    // Where the palette of an animation file is: the explicit palette path
    // when given (against the current directory when relative), else the
    // nearest of the stored location's candidates that exists; an empty path
    // when none does. `folder`, when given, is set to the folder of the
    // search the location was found under (empty for an explicit palette
    // and when none was found).
    static std::filesystem::path find_palette(const std::filesystem::path& animation_path,
                                              const std::optional<std::filesystem::path>& explicit_palette,
                                              const std::string& location, std::filesystem::path* folder = nullptr);

private:
    std::shared_ptr<KivData> load_from(const std::optional<std::filesystem::path>& file_path,
                                       std::optional<pykiv::io::FileBytes> bytes, std::int32_t color_profile,
                                       const std::string& io_pal);
    void read_records(const std::optional<std::filesystem::path>& file_path,
                      std::shared_ptr<const pykiv::io::FileBytes> bytes,
                      const std::optional<std::filesystem::path>& explicit_palette, const std::string& io_pal);
    static std::filesystem::path resolve_palette_path(const std::filesystem::path& animation_path,
                                                      const std::filesystem::path& location,
                                                      std::filesystem::path* folder);

    std::vector<KivFrameBufferObject> frame_buffer_;
    std::shared_ptr<KivData> data_;
    std::int32_t color_profile_ = 0;  // kept; nothing reads it
    KivLimits limits_;
    KivLoadReport last_load_;
};
