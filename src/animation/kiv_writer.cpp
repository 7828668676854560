// The writing side of KivF.
#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "animation/kiv_codec.h"
#include "animation/kiv_file.h"
#include "io/file_io.h"

namespace fs = std::filesystem;

namespace {

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
    // Records that would not read back as themselves are refused before any
    // path is looked at.
    pykiv::kiv_codec::check_encodable(data);
    if (data.palette) data.palette->check_savable();

    const fs::path root = fs::weakly_canonical(root_path);
    const fs::path palette_file = fs::weakly_canonical(palette_given);

    // Writing the palette and then the animation over it would leave only
    // the animation, and a load would read its bytes as colours.
    if (pykiv::io::name_the_same_file(animation_file, palette_file)) {
        throw std::invalid_argument("cannot save: file_name " + file_name + " and palette_path " + palette_path +
                                    " name the same file");
    }

    std::vector<std::uint8_t> bytes = pykiv::kiv_codec::encode_animation(data, relative_location(root, palette_file));

    // Both files are prepared in full (written beside their targets, or room
    // made for them) before either is put in place, so that a failed save
    // leaves the old pair as it was: never an old animation with a new
    // palette. The palette goes in first, so that the animation only
    // appears once its palette is there. A palette target that cannot be
    // opened for writing at all (a shared palette that is read-only, a
    // missing folder) does not stop the animation, which is saved pointing
    // at it; only a failure after both files were opened stops both.
    using pykiv::io::WriteResult;
    const std::string palette_text = pykiv::io::path_to_utf8(palette_file);
    pykiv::io::FileReplacement animation(animation_file);
    WriteResult result = animation.prepare(std::move(bytes));
    if (result != WriteResult::written) return pykiv::io::report_write_failure(result, "animation", file_name);

    std::optional<pykiv::io::FileReplacement> palette;
    if (data.palette) {
        palette.emplace(palette_file);
        result = palette->prepare(data.palette->file_bytes());
        if (result == WriteResult::write_failed) {
            return pykiv::io::report_write_failure(result, "palette", palette_text);
        }
        if (result == WriteResult::written) {
            result = palette->commit();
            if (result != WriteResult::written) {
                return pykiv::io::report_write_failure(result, "palette", palette_text);
            }
        } else {
            pykiv::io::report_write_failure(result, "palette", palette_text);
        }
    }
    result = animation.commit();
    if (result != WriteResult::written) return pykiv::io::report_write_failure(result, "animation", file_name);
    // The records show what the file now holds, and only once it holds it.
    pykiv::kiv_codec::mark_frames_written(data);
}
