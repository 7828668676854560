// The one check of frames, speed and offsets against what a file can hold.
#include "codec/kiv_limits.h"

#include <stdexcept>

namespace pykiv::kiv_codec {

namespace {

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument(what); }

std::string range(std::int64_t low, std::int64_t high) { return std::to_string(low) + ".." + std::to_string(high); }

}  // namespace

std::string frame_name(const std::vector<std::string>& names, std::size_t i) {
    return i < names.size() ? names[i] : "frame " + std::to_string(i);
}

void check_frame_count(std::size_t count) {
    if (count > static_cast<std::size_t>(max_frames)) {
        refuse(std::to_string(count) + " frames; a file holds at most " + std::to_string(max_frames));
    }
}

void check_speed(std::int64_t speed) {
    if (speed < 0 || speed > max_speed) refuse("speed " + std::to_string(speed) + " is outside " + range(0, max_speed));
}

void check_offset(const std::string& frame, const char* axis, std::int64_t value) {
    if (value < min_offset || value > max_offset) {
        refuse(frame + ": " + axis + " offset " + std::to_string(value) + " is outside " +
               range(min_offset, max_offset));
    }
}

void check_frame_shapes(const std::vector<FrameShape>& frames, const std::vector<std::string>& names) {
    check_frame_count(frames.size());
    bool after_shadow = false;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const FrameShape& frame = frames[i];
        const std::string name = frame_name(names, i);
        if (frame.width < 0 || frame.height < 0) refuse(name + ": a frame cannot have a negative size");
        if (frame.width > max_width) {
            refuse(name + ": width " + std::to_string(frame.width) + " is above " + std::to_string(max_width) +
                   ", the widest a frame can be");
        }
        const std::int64_t limit = max_height(frame.shadow || after_shadow);
        if (frame.height > limit) {
            const std::string rows = " has at most " + std::to_string(limit) + " rows";
            const std::string why = frame.shadow   ? "a shadow frame" + rows
                                    : after_shadow ? "a frame after a shadow frame" + rows
                                                   : "a frame" + rows;
            refuse(name + ": height " + std::to_string(frame.height) + " does not fit: " + why);
        }
        check_offset(name, "x", frame.x_offset);
        check_offset(name, "y", frame.y_offset);
        after_shadow = after_shadow || frame.shadow;
    }
}

}  // namespace pykiv::kiv_codec
