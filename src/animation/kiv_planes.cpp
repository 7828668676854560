// Frames given as pixels to animation bytes; placement fields patched.
#include "animation/kiv_planes.h"

#include <cstring>
#include <memory>
#include <memory_resource>
#include <stdexcept>

#include "animation/kiv_codec.h"
#include "animation/kiv_format.h"
#include "animation/kiv_records.h"
#include "io/byte_reader.h"

namespace pykiv::kiv_codec {

namespace {

using namespace pykiv::kiv_format;

// A run's skip and its colour count are one byte each.
constexpr std::size_t max_skip = 0xFF;
constexpr std::size_t max_paint = 0xFF;

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument(what); }

std::string name_of(const std::vector<std::string>& names, std::size_t i) {
    return i < names.size() ? names[i] : "frame " + std::to_string(i);
}

// One run as stored: the pixels skipped before it, how many it paints, and
// where its first painted pixel is in the row.
struct Run {
    std::uint8_t offset;
    std::uint8_t count;
    std::size_t start;
};

// The runs of one row, as short as a byte allows: a gap longer than 255
// pixels goes first into runs that paint nothing and skip 255 each, and a
// run longer than 255 pixels is cut into runs of 255 with no skip between
// them. Skips count from the end of the previous run of the row.
void find_runs(const std::uint8_t* painted, std::size_t width, std::vector<Run>& runs) {
    runs.clear();
    std::size_t previous_end = 0;
    std::size_t x = 0;
    while (x < width) {
        while (x < width && painted[x] == 0) ++x;
        if (x == width) break;
        const std::size_t start = x;
        while (x < width && painted[x] != 0) ++x;
        std::size_t skip = start - previous_end;
        // A skip of exactly 255 still fits the painting run itself.
        for (; skip > max_skip; skip -= max_skip) runs.push_back(Run{max_skip, 0, 0});
        std::size_t at = start;
        while (at < x) {
            const std::size_t piece = std::min(max_paint, x - at);
            runs.push_back(
                Run{static_cast<std::uint8_t>(at == start ? skip : 0), static_cast<std::uint8_t>(piece), at});
            at += piece;
        }
        previous_end = x;
    }
}

// The records of one frame, its runs seeing their indices in the plane.
std::shared_ptr<KivFrame> frame_records(const FramePlanes& planes, const std::string& name, RunStore& store) {
    const FrameShape& shape = planes.shape;
    auto frame = std::make_shared<KivFrame>();
    frame->width = static_cast<std::uint16_t>(shape.width);
    frame->height = static_cast<std::uint16_t>(shape.height);
    frame->x_offset = static_cast<std::int16_t>(shape.x_offset);
    frame->y_offset = static_cast<std::int16_t>(shape.y_offset);
    frame->is_shadow = shape.shadow ? 1 : 0;
    const auto width = static_cast<std::size_t>(shape.width);
    const auto height = static_cast<std::size_t>(shape.height);
    frame->pixel_sets.resize(height);
    std::vector<Run> runs;
    for (std::size_t y = 0; y < height; ++y) {
        find_runs(planes.painted + y * width, width, runs);
        if (runs.size() > static_cast<std::size_t>(max_runs_per_row)) {
            refuse(name + ": row " + std::to_string(y) + " needs " + std::to_string(runs.size()) +
                   " runs; a row holds at most " + std::to_string(max_runs_per_row) +
                   " (runs and gaps longer than 255 pixels count once per 255)");
        }
        KivPixelSet& row = frame->pixel_sets[y];
        row.block_count = static_cast<std::uint8_t>(runs.size());
        row.blocks.reserve_in(store, runs.size());
        for (const Run& run : runs) {
            KivPixelBlock& block = row.blocks.emplace_back();
            block.offset = run.offset;
            block.color_count = run.count;
            if (!shape.shadow && run.count != 0) block.colors.view(planes.indices + y * width + run.start, run.count);
        }
    }
    // The record's own length, header included; readers do not interpret it.
    frame->frame_size = static_cast<std::uint32_t>(frame_record_size(*frame));
    return frame;
}

}  // namespace

void check_frame_count(std::size_t count) {
    if (count > static_cast<std::size_t>(max_frames)) {
        refuse(std::to_string(count) + " frames; a file holds at most " + std::to_string(max_frames));
    }
}

void check_frame_shapes(const std::vector<FrameShape>& frames, const std::vector<std::string>& names) {
    check_frame_count(frames.size());
    bool after_shadow = false;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const FrameShape& frame = frames[i];
        const std::string name = name_of(names, i);
        if (frame.width < 0 || frame.height < 0) refuse(name + ": a frame cannot have a negative size");
        if (frame.width > max_width) {
            refuse(name + ": width " + std::to_string(frame.width) + " is above " + std::to_string(max_width) +
                   ", the widest a frame can be");
        }
        const std::int64_t limit = frame.shadow || after_shadow ? max_height_from_shadow : max_plain_height;
        if (frame.height > limit) {
            const std::string why = frame.shadow ? "a shadow frame has at most 255 rows"
                                    : after_shadow
                                        ? "a frame after a shadow frame has at most 255 rows"
                                        : "a frame has at most " + std::to_string(max_plain_height) + " rows";
            refuse(name + ": height " + std::to_string(frame.height) + " does not fit: " + why);
        }
        for (const auto& [axis, value] : {std::pair{"x", frame.x_offset}, std::pair{"y", frame.y_offset}}) {
            if (value < min_offset || value > max_offset) {
                refuse(name + ": " + axis + " offset " + std::to_string(value) + " is outside " +
                       std::to_string(min_offset) + ".." + std::to_string(max_offset));
            }
        }
        after_shadow = after_shadow || frame.shadow;
    }
}

std::vector<std::uint8_t> encode_planes(const AnimationPlanes& animation) {
    std::vector<FrameShape> shapes;
    shapes.reserve(animation.frames.size());
    for (const FramePlanes& frame : animation.frames) shapes.push_back(frame.shape);
    check_frame_shapes(shapes, animation.names);
    if (animation.speed < 0 || animation.speed > max_speed) {
        refuse("speed " + std::to_string(animation.speed) + " is outside 0.." + std::to_string(max_speed));
    }
    if (animation.has_background && animation.frames.empty()) refuse("a background frame needs a frame to be");

    // The runs of all frames live in one store, which goes with the records
    // once the bytes are written.
    std::pmr::monotonic_buffer_resource store;
    KivData data;
    data.info.speed = static_cast<std::uint32_t>(animation.speed);
    data.info.frame_count = static_cast<std::uint32_t>(animation.frames.size());
    data.has_background = animation.has_background;
    data.frames.reserve(animation.frames.size());
    for (std::size_t i = 0; i < animation.frames.size(); ++i) {
        data.frames.push_back(frame_records(animation.frames[i], name_of(animation.names, i), store));
    }
    return encode_animation(data, animation.location);
}

std::vector<std::uint8_t> patch_placement(const std::uint8_t* bytes, std::size_t size, std::int64_t speed,
                                          const std::vector<std::pair<std::int64_t, std::int64_t>>& offsets) {
    const auto cut = [](const std::string& where) { refuse("not a whole animation file: it ends inside " + where); };
    io::ByteReader in(bytes, size);
    const bool prefixed = size >= sizeof prefix_magic && std::memcmp(bytes, prefix_magic, sizeof prefix_magic) == 0;
    bool has_background = false;
    if (prefixed) {
        std::uint8_t flag = 0;
        in.seek(prefix_flag_offset);
        if (!in.read(flag)) cut("its header");
        has_background = flag != 0;
    }
    const std::size_t speed_at = size - in.remaining();
    std::uint32_t stored_speed = 0;
    std::uint32_t location_size = 0;
    std::uint32_t stored_count = 0;
    if (!in.read(stored_speed) || !in.read(location_size) || in.take(location_size) == nullptr ||
        !in.read(stored_count)) {
        cut("its header");
    }
    // The background frame follows the counted ones; readers count them all
    // as a signed 32-bit number.
    const auto count = static_cast<std::int32_t>(stored_count + (has_background ? 1u : 0u));
    const std::size_t frames = count > 0 ? static_cast<std::size_t>(count) : 0;
    if (offsets.size() != frames) {
        refuse(std::to_string(offsets.size()) + " offsets given for " + std::to_string(frames) + " frames");
    }
    if (speed < 0 || speed > max_speed) {
        refuse("speed " + std::to_string(speed) + " is outside 0.." + std::to_string(max_speed));
    }
    if (!prefixed && speed == prefix_magic_as_u32) {
        refuse("speed " + std::to_string(speed) +
               " would be stored as \"KVIF\", which marks a background frame in a file that has none");
    }

    std::vector<std::size_t> records;
    records.reserve(frames);
    bool shadow_mode = false;
    for (std::size_t i = 0; i < frames; ++i) {
        const std::string where = "frame " + std::to_string(i);
        const auto [x, y] = offsets[i];
        for (const std::int64_t value : {x, y}) {
            if (value < min_offset || value > max_offset) {
                refuse(where + ": offset " + std::to_string(value) + " is outside " + std::to_string(min_offset) +
                       ".." + std::to_string(max_offset));
            }
        }
        records.push_back(size - in.remaining());
        std::uint32_t frame_size = 0;
        std::uint16_t height_word = 0;
        if (!in.read(frame_size) || !in.read(height_word) || in.take(min_frame_record_size - 6) == nullptr) {
            cut(where);
        }
        const bool shadow = (height_word & shadow_flag) != 0;
        shadow_mode = shadow_mode || shadow;
        const std::size_t rows = shadow_mode ? (height_word & shadow_mode_height_mask) : height_word;
        for (std::size_t row = 0; row < rows; ++row) {
            std::uint8_t block_count = 0;
            if (!in.read(block_count)) cut(where);
            for (std::size_t k = 0; k < block_count; ++k) {
                std::uint8_t skip = 0;
                std::uint8_t color_count = 0;
                if (!in.read(skip) || !in.read(color_count)) cut(where);
                if (!shadow && in.take(color_count) == nullptr) cut(where);
            }
        }
    }

    std::vector<std::uint8_t> out(bytes, bytes + size);
    const auto put = [&out](std::size_t at, auto value) {
        const auto raw = static_cast<std::make_unsigned_t<decltype(value)>>(value);
        for (std::size_t i = 0; i < sizeof value; ++i) out[at + i] = static_cast<std::uint8_t>(raw >> (8 * i));
    };
    put(speed_at, static_cast<std::uint32_t>(speed));
    for (std::size_t i = 0; i < frames; ++i) {
        // The frame header: frame_size, height word, width, then y_offset
        // before x_offset.
        put(records[i] + 8, static_cast<std::int16_t>(offsets[i].second));
        put(records[i] + 10, static_cast<std::int16_t>(offsets[i].first));
    }
    return out;
}

}  // namespace pykiv::kiv_codec
