// The tool's animation: one decode of the bytes read once (kiv_animation.h).
#include "file/kiv_animation.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "codec/kiv_planes.h"
#include "render/kiv_index_planes.h"

namespace pykiv::file {

namespace {

// A damaged file can report a fault for every row; what is kept of its
// lines is bounded so that such a file costs no memory.
constexpr std::size_t max_error_bytes_kept = std::size_t{1} << 16;

}  // namespace

Animation::Animation(const std::string& path, pykiv::io::FileBytes bytes, const std::string& palette, KivLimits limits)
    : bytes_(std::make_shared<const pykiv::io::FileBytes>(std::move(bytes))), file_(limits) {
    {
        pykiv::io::CollectedErrors collected(max_error_bytes_kept);
        file_.read_bytes(path, bytes_, palette);
        collect(collected);
    }
    const KivData& read = data();
    frames_.reserve(read.frames.size());
    for (const auto& slot : read.frames) {
        const KivFrame& frame = frame_or_default(slot);
        FrameFacts facts;
        facts.width = frame.width;
        facts.height = frame.height;
        facts.x_offset = frame.x_offset;
        facts.y_offset = frame.y_offset;
        facts.is_shadow = frame.is_shadow != 0;
        for (const KivPixelSet& row : frame.pixel_sets) facts.runs += row.blocks.size();
        frames_.push_back(facts);
        max_index_ = std::max(max_index_, highest_painted_index(frame));
    }
}

void Animation::collect(pykiv::io::CollectedErrors& collected) {
    constexpr std::string_view prefix = "ERROR: ";
    for (std::string& line : collected.finish()) {
        if (line.compare(0, prefix.size(), prefix) == 0) line.erase(0, prefix.size());
        errors_.push_back(std::move(line));
    }
}

std::string Animation::palette_used() const {
    return report().palette_result == 1 ? report().palette_tried : std::string();
}

int Animation::color_count() const { return data().palette ? data().palette->stored_color_count() : 0; }

std::vector<PalF::Color> Animation::colors() const {
    return data().palette ? data().palette->colors() : std::vector<PalF::Color>();
}

std::uint64_t Animation::render_bytes() const {
    std::uint64_t total = 0;
    for (const FrameFacts& frame : frames_) total += std::uint64_t{4} * frame.width * frame.height;
    return total;
}

void Animation::render() {
    if (rendered()) return;
    pykiv::io::CollectedErrors collected(max_error_bytes_kept);
    file_.render_frames();
    collect(collected);
}

const KivFrameBufferObject& Animation::rgba(std::size_t index) const {
    if (!rendered()) throw std::logic_error("the frames are not rendered");
    const auto& frames = file_.rendered_frames();
    if (index >= frames.size()) throw std::out_of_range("frame index out of range");
    return frames[index];
}

void Animation::indices(std::size_t index, std::uint8_t* indices, std::uint8_t* painted) const {
    if (index >= data().frames.size()) throw std::out_of_range("frame index out of range");
    const std::size_t colors = data().palette ? data().palette->colors().size() : 0;
    paint_indices(frame_or_default(data().frames[index]), colors, indices, painted);
}

std::vector<std::uint8_t> Animation::patched(std::int64_t speed,
                                             const std::vector<std::pair<std::int64_t, std::int64_t>>& offsets) const {
    return pykiv::kiv_codec::patch_placement(bytes_->data(), bytes_->size(), speed, offsets);
}

}  // namespace pykiv::file
