// One animation file as the command-line tool sees it: the bytes read once,
// decoded once, with the palette its search found, and everything the tool
// asks of them (the frame table, each frame's pixels and indices, the facts
// its warnings come from, a copy with new placement). Rendering is a step of
// its own: a caller that shows only the frame table renders nothing, and
// one that renders learns the memory it would take first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "file/kiv_file.h"
#include "io/error_line.h"
#include "io/file_io.h"

namespace pykiv::file {

// A frame's entry in the frame table, as read.
struct FrameFacts {
    int width = 0;
    int height = 0;
    int x_offset = 0;
    int y_offset = 0;
    bool is_shadow = false;
    std::size_t runs = 0;  // runs stored for the frame
};

class Animation {
public:
    // Decodes `bytes`, the contents of the animation file `path` as the
    // caller read them (the path only starts the palette search), and loads
    // its palette: `palette` when not empty, else the one the search finds.
    // Renders nothing. What the limits refuse is refused (std::bad_alloc):
    // sizes the bytes cannot back while decoding, pixels beyond their pixel
    // memory when rendering. A path or palette path holding a NUL is refused with
    // std::invalid_argument.
    Animation(const std::string& path, pykiv::io::FileBytes bytes, const std::string& palette, KivLimits limits);

    // How the load ended: before render(), loaded unless the palette or the
    // frames already failed; after it, as KivF's load ends.
    KivLoadStatus outcome() const { return file_.last_load_status(); }
    // The error lines of the load and the render so far, in order,
    // "ERROR: " removed; bounded, as io::CollectedErrors bounds them.
    const std::vector<std::string>& errors() const { return errors_; }

    const KivLoadReport& report() const { return file_.last_load(); }
    // The palette path loaded, "" when none was.
    std::string palette_used() const;

    std::uint32_t speed() const { return data().info.speed; }
    std::uint32_t frame_count() const { return data().info.frame_count; }  // the background frame included
    bool has_background() const { return data().has_background; }
    const std::vector<FrameFacts>& frames() const { return frames_; }

    // The highest palette index a run of a non-shadow frame paints, with a
    // palette of every index (-1 when none does).
    int max_index() const { return max_index_; }
    // The palette file's own colour count: the count loaded, or the count
    // refused; 0 when no palette file was read.
    int color_count() const;
    // Every entry the renderer looks up (the file's colours padded to 256),
    // empty when no palette was loaded.
    std::vector<PalF::Color> colors() const;

    // The bytes of RGBA render() makes, from the frame table alone.
    std::uint64_t render_bytes() const;
    // Renders every frame, once; refuses (pykiv::memory::AllocationRefused)
    // more than the pixel memory given before anything is allocated.
    void render();
    bool rendered() const { return report().rendered; }

    // Frame `index` rendered (after render()); std::out_of_range beyond the
    // frames, std::logic_error before render().
    const KivFrameBufferObject& rgba(std::size_t index) const;
    // Frame `index` as palette indices and painted mask, width x height
    // bytes each (see render/kiv_index_planes.h); std::out_of_range beyond
    // the frames.
    void indices(std::size_t index, std::uint8_t* indices, std::uint8_t* painted) const;

    // The bytes it was made from.
    const pykiv::io::FileBytes& bytes() const { return *bytes_; }
    // A copy of those bytes with only the speed and each frame's offsets
    // changed (the codec's placement patch, and its refusals).
    std::vector<std::uint8_t> patched(std::int64_t speed,
                                      const std::vector<std::pair<std::int64_t, std::int64_t>>& offsets) const;

private:
    const KivData& data() const { return *file_.data(); }
    void collect(pykiv::io::CollectedErrors& collected);

    std::shared_ptr<const pykiv::io::FileBytes> bytes_;
    KivF file_;
    std::vector<FrameFacts> frames_;
    std::vector<std::string> errors_;
    int max_index_ = -1;
};

}  // namespace pykiv::file
