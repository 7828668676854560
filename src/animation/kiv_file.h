// The animation file object: reads an animation file with its palette,
// renders it, and writes it back. The bytes themselves are the codec's
// (kiv_codec.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "animation/kiv_codec.h"
#include "animation/kiv_records.h"
#include "memory/physical_memory.h"
#include "render/kiv_frame_buffer.h"

// What a load may take on. The defaults are the module's; a caller that
// feeds arbitrary bytes in bulk (a fuzzer) sets smaller ones.
struct KivLimits {
    pykiv::kiv_codec::DecodeLimits decode;
    std::uint64_t pixel_memory = pykiv::memory::physical_memory_bytes();  // see KivFrameBuffer
};

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

    // Where the palette of an animation file is: the explicit palette path
    // when given (against the current directory when relative), else the
    // nearest of the stored location's candidates that exists; an empty path
    // when none does.
    static std::filesystem::path find_palette(const std::filesystem::path& animation_path,
                                              const std::optional<std::filesystem::path>& explicit_palette,
                                              const std::string& location);

    std::vector<KivFrameBufferObject> frame_buffer_;
    std::shared_ptr<KivData> data_;
    std::int32_t color_profile_ = 0;  // kept; nothing reads it
    KivLimits limits_;
};
