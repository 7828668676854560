// Loading a KivF: the file, the palette search, rendering.
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "codec/kiv_codec.h"
#include "file/kiv_file.h"
#include "io/file_io.h"

namespace fs = std::filesystem;

KivF::KivF(KivLimits limits) : data_(std::make_shared<KivData>()), limits_(limits) {}

// The KivData may outlive this object in Python hands; its frames stay.
KivF::~KivF() = default;

std::shared_ptr<KivData> KivF::load(const std::string& file_name, std::int32_t color_profile,
                                    const std::string& io_pal) {
    const auto file_path = pykiv::io::try_path_from_utf8(file_name);
    if (!io_pal.empty()) pykiv::io::path_from_utf8(io_pal);  // refused before the file is read
    auto bytes = file_path ? pykiv::io::read_file(*file_path) : std::nullopt;
    return load_from(file_path, std::move(bytes), color_profile, io_pal);
}

std::shared_ptr<KivData> KivF::load_bytes(const std::string& file_name, pykiv::io::FileBytes bytes,
                                          std::int32_t color_profile, const std::string& io_pal) {
    return load_from(pykiv::io::try_path_from_utf8(file_name), std::move(bytes), color_profile, io_pal);
}

std::shared_ptr<KivData> KivF::load_from(const std::optional<fs::path>& file_path,
                                         std::optional<pykiv::io::FileBytes> bytes, std::int32_t color_profile,
                                         const std::string& io_pal) {
    // 1. The paths. A palette path that names no file is refused before
    //    anything changes.
    std::optional<fs::path> explicit_palette;
    if (!io_pal.empty()) explicit_palette = pykiv::io::path_from_utf8(io_pal);

    // 2. The profile is kept whatever follows, even when there is no file.
    color_profile_ = color_profile;

    // 3. The whole file, or nothing else changes.
    last_load_ = {};
    if (!bytes) return nullptr;
    read_records(file_path, std::make_shared<const pykiv::io::FileBytes>(std::move(*bytes)), explicit_palette, io_pal);

    // 8. Every frame rendered, kept for get_frame_buffer.
    render_frames();

    // 9. The records when at least one frame was rendered.
    return frame_buffer_.empty() ? nullptr : data_;
}

void KivF::read_bytes(const std::string& file_name, std::shared_ptr<const pykiv::io::FileBytes> bytes,
                      const std::string& io_pal) {
    std::optional<fs::path> explicit_palette;
    if (!io_pal.empty()) explicit_palette = pykiv::io::path_from_utf8(io_pal);
    last_load_ = {};
    frame_buffer_.clear();
    read_records(pykiv::io::try_path_from_utf8(file_name), std::move(bytes), explicit_palette, io_pal);
}

void KivF::read_records(const std::optional<fs::path>& file_path, std::shared_ptr<const pykiv::io::FileBytes> bytes,
                        const std::optional<fs::path>& explicit_palette, const std::string& io_pal) {
    last_load_.opened = true;

    KivData& data = *data_;
    if (!data.palette) data.palette = std::make_shared<PalF>();
    PalF& palette = *data.palette;

    // 4. The header: prefix, speed, palette location and frame count. The
    //    decoder takes the file's bytes and shares them with the frames.
    pykiv::kiv_codec::KivDecoder decoder(std::move(bytes), limits_.decode);
    const pykiv::kiv_codec::PaletteReference stored = decoder.read_header(data);

    // 5. The palette keeps the stored location's size, and as its location
    //    the caller's palette path or else the stored text.
    last_load_.location = stored.location();
    palette.location_size(stored.location_size);
    palette.location(io_pal.empty() ? stored.location() : io_pal);

    // 6. The frames. Their runs see their colour indices in the file's
    //    bytes, which from here on only those frames hold.
    decoder.read_frames(data);
    last_load_.cut_short = decoder.cut_short();
    last_load_.trailing_bytes = decoder.trailing_bytes();

    // 7. The palette, wherever it is found; a palette that cannot be loaded
    //    reports why and keeps its colours. Bytes handed over under a name
    //    with no platform form start the search nowhere.
    fs::path folder;
    last_load_.palette_tried = pykiv::io::path_to_utf8(
        find_palette(file_path.value_or(fs::path()), explicit_palette, palette.location(), &folder));
    last_load_.palette_folder = pykiv::io::path_to_utf8(folder);
    last_load_.palette_result = palette.load(last_load_.palette_tried);
}

void KivF::render_frames() {
    frame_buffer_ = KivFrameBuffer(*data_, limits_.pixel_memory).release_frames();
    last_load_.rendered = true;
}

KivLoadStatus KivF::last_load_status() const {
    if (!last_load_.opened) return KivLoadStatus::cannot_open;
    if (!frame_buffer_.empty()) return KivLoadStatus::loaded;
    // Nothing rendered: a palette that could not be loaded is named first,
    // as it is the first fault of the load, then a file without frames.
    if (last_load_.palette_result == -1) return KivLoadStatus::palette_missing;
    if (last_load_.palette_result == -2) return KivLoadStatus::palette_invalid;
    if (data_->frames.empty()) return KivLoadStatus::no_frames;
    // Records read and not yet rendered: nothing has failed so far.
    return last_load_.rendered ? KivLoadStatus::no_colors : KivLoadStatus::loaded;
}

fs::path KivF::find_palette(const fs::path& animation_path, const std::optional<fs::path>& explicit_palette,
                            const std::string& location, fs::path* folder) {
    if (folder != nullptr) folder->clear();
    if (explicit_palette) {
        return explicit_palette->is_absolute() ? *explicit_palette : fs::current_path() / *explicit_palette;
    }
    // A location with no platform form names no palette.
    const auto location_path = pykiv::io::try_path_from_utf8(location);
    return location_path ? resolve_palette_path(animation_path, *location_path, folder) : fs::path();
}

// Tries `location` under the animation file's directory, then under each
// ancestor up to the root (or, for a relative path, up to its first
// component), and returns the canonical form of the first that exists.
// The location comes from the file, so nothing here may fail on what it
// names: a candidate that cannot be examined (behind a directory without
// search permission, a loop of symbolic links) is taken as missing.
fs::path KivF::resolve_palette_path(const fs::path& animation_path, const fs::path& location, fs::path* folder) {
    fs::path directory = animation_path.parent_path();
    while (!directory.empty()) {
        const fs::path candidate = directory / location;
        std::error_code ec;
        if (fs::exists(candidate, ec)) {
            fs::path found = fs::canonical(candidate, ec);
            if (!ec) {
                if (folder != nullptr) *folder = directory;
                return found;
            }
        }
        fs::path parent = directory.parent_path();
        if (parent == directory) break;
        directory = std::move(parent);
    }
    return {};
}
