// Frames given as pixels to animation bytes; placement fields patched.
#include "codec/kiv_planes.h"

#include <cstring>
#include <memory>
#include <memory_resource>
#include <stdexcept>

#include "codec/kiv_codec.h"
#include "codec/kiv_format.h"
#include "codec/kiv_record_walk.h"
#include "records/kiv_records.h"

namespace pykiv::kiv_codec {

namespace {

using namespace pykiv::kiv_format;

constexpr auto max_skip = static_cast<std::size_t>(max_run_skip);
constexpr auto max_paint = static_cast<std::size_t>(max_run_colors);

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument(what); }

// One run as stored: the pixels skipped before it, how many it paints, and
// where its first painted pixel is in the row.
struct Run {
    std::uint8_t offset;
    std::uint8_t count;
    std::size_t start;
};

// The eight bytes of a mask at `p`, as one word.
inline std::uint64_t eight_at(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Whether any byte of `word` is zero.
inline bool has_zero_byte(std::uint64_t word) {
    return ((word - 0x0101010101010101u) & ~word & 0x8080808080808080u) != 0;
}

// The runs of one row, as short as a byte allows: a gap longer than 255
// pixels goes first into runs that paint nothing and skip 255 each, and a
// run longer than 255 pixels is cut into runs of 255 with no skip between
// them. Skips count from the end of the previous run of the row.
void find_runs(const std::uint8_t* painted, std::size_t width, std::vector<Run>& runs) {
    runs.clear();
    std::size_t previous_end = 0;
    std::size_t x = 0;
    while (x < width) {
        // Gaps and runs are passed eight pixels at a time, then pixel by
        // pixel to their end.
        while (x + 8 <= width && eight_at(painted + x) == 0) x += 8;
        while (x < width && painted[x] == 0) ++x;
        if (x == width) break;
        const std::size_t start = x;
        while (x + 8 <= width && !has_zero_byte(eight_at(painted + x))) x += 8;
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

std::vector<std::uint8_t> encode_planes(const AnimationPlanes& animation) {
    std::vector<FrameShape> shapes;
    shapes.reserve(animation.frames.size());
    for (const FramePlanes& frame : animation.frames) shapes.push_back(frame.shape);
    check_frame_shapes(shapes, animation.names);
    check_speed(animation.speed);
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
        data.frames.push_back(frame_records(animation.frames[i], frame_name(animation.names, i), store));
    }
    return encode_animation(data, animation.location);
}

std::vector<std::uint8_t> patch_placement(const std::uint8_t* bytes, std::size_t size, std::int64_t speed,
                                          const std::vector<std::pair<std::int64_t, std::int64_t>>& offsets) {
    const auto cut = [](const std::string& where) { refuse("not a whole animation file: it ends inside " + where); };
    RecordWalker walk(bytes, size);
    const HeaderFields header = walk.read_header();
    if (walk.cut_short()) cut("its header");
    // The background frame follows the counted ones; readers count them all
    // as a signed 32-bit number.
    const auto count = static_cast<std::int32_t>(header.stored_frame_count + (header.has_background ? 1u : 0u));
    const std::size_t frames = count > 0 ? static_cast<std::size_t>(count) : 0;
    if (offsets.size() != frames) {
        refuse(std::to_string(offsets.size()) + " offsets given for " + std::to_string(frames) + " frames");
    }
    check_speed(speed);
    if (!header.prefixed && speed == prefix_magic_as_u32) {
        refuse("speed " + std::to_string(speed) +
               " would be stored as \"KVIF\", which marks a background frame in a file that has none");
    }

    std::vector<std::size_t> records;
    records.reserve(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const std::string where = "frame " + std::to_string(i);
        check_offset(where, "x", offsets[i].first);
        check_offset(where, "y", offsets[i].second);
        const FrameRecordHeader frame = walk.read_frame_header();
        walk.skip_rows(frame);
        if (walk.cut_short()) cut(where);
        records.push_back(frame.record_at);
    }

    std::vector<std::uint8_t> out(bytes, bytes + size);
    const auto put = [&out](std::size_t at, auto value) {
        const auto raw = static_cast<std::make_unsigned_t<decltype(value)>>(value);
        for (std::size_t i = 0; i < sizeof value; ++i) out[at + i] = static_cast<std::uint8_t>(raw >> (8 * i));
    };
    put(header.speed_at, static_cast<std::uint32_t>(speed));
    for (std::size_t i = 0; i < frames; ++i) {
        put(records[i] + x_offset_at, static_cast<std::int16_t>(offsets[i].first));
        put(records[i] + y_offset_at, static_cast<std::int16_t>(offsets[i].second));
    }
    return out;
}

}  // namespace pykiv::kiv_codec
