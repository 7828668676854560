// The one walk over an animation file's records, in the order the layout
// (kiv_format.h) stores them: the header, then each frame record's header
// and rows. It reports each field with where it lies, to whoever reads the
// records (the decoder) or needs to know where a field is (the placement
// patch, the frame table).
//
// The walk reads as a plain binary stream does: a field past the end of the
// input reads as 0 and fails the walk for good (cut_short()), and the row
// and run loops still run their stored counts, so what lies past the end
// comes out empty. A caller that needs the whole file checks cut_short().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/kiv_format.h"
#include "io/byte_reader.h"

namespace pykiv::kiv_codec {

struct HeaderFields {
    bool prefixed = false;        // the input starts with the prefix's magic
    bool has_background = false;  // the prefix's flag, when the input holds it
    std::size_t speed_at = 0;
    std::uint32_t speed = 0;
    std::uint32_t location_size = 0;
    // The location's bytes the input holds: all location_size of them,
    // unless the input ends first.
    const std::uint8_t* location = nullptr;
    std::size_t location_held = 0;
    std::uint32_t stored_frame_count = 0;  // not counting the background frame
};

struct FrameRecordHeader {
    // Where the record starts (the end of the input for a record past it);
    // its fields lie at kiv_format's *_at offsets from there.
    std::size_t record_at = 0;
    std::uint32_t frame_size = 0;
    std::uint16_t height_word = 0;
    bool shadow = false;     // bit 15 of the height word
    std::uint16_t rows = 0;  // the height, by the file's height rule
    std::uint16_t width = 0;
    std::int16_t y_offset = 0;
    std::int16_t x_offset = 0;
    std::uint8_t unk1 = 0;
    std::uint8_t unk2 = 0;
};

class RecordWalker {
public:
    // Walks bytes it does not own: they must outlive the walker.
    RecordWalker(const std::uint8_t* bytes, std::size_t size) : in_(bytes, size) {}

    // The header; the walk then stands at the first frame record.
    HeaderFields read_header() {
        HeaderFields header;
        // The prefix is there exactly when the input starts with the magic;
        // otherwise the header starts at offset 0.
        char magic[sizeof kiv_format::prefix_magic] = {};
        if (in_.read_some(magic, sizeof magic) == sizeof magic &&
            std::memcmp(magic, kiv_format::prefix_magic, sizeof magic) == 0) {
            header.prefixed = true;
            in_.seek(kiv_format::prefix_flag_offset);
            std::uint8_t flag = 0;
            if (in_.read(flag)) header.has_background = flag != 0;
        } else {
            in_.clear();
            in_.seek(0);
        }
        header.speed_at = in_.offset();
        in_.read(header.speed);
        in_.read(header.location_size);
        header.location = in_.take_some(header.location_size, header.location_held);
        in_.read(header.stored_frame_count);
        return header;
    }

    // The header of the next frame record; the walk then stands at its rows,
    // which read_rows walks next.
    FrameRecordHeader read_frame_header() {
        FrameRecordHeader frame;
        frame.record_at = in_.offset();
        in_.read(frame.frame_size);
        in_.read(frame.height_word);
        frame.shadow = (frame.height_word & kiv_format::shadow_flag) != 0;
        // From the first shadow frame of the file on, heights keep 8 bits.
        shadow_mode_ = shadow_mode_ || frame.shadow;
        frame.rows = shadow_mode_ ? static_cast<std::uint16_t>(frame.height_word & kiv_format::shadow_mode_height_mask)
                                  : frame.height_word;
        in_.read(frame.width);
        in_.read(frame.y_offset);
        in_.read(frame.x_offset);
        in_.read(frame.unk1);
        in_.read(frame.unk2);
        return frame;
    }

    // The rows of the frame whose header was read last: on_row(block_count)
    // for each row, then on_run(offset, color_count, indices, held) for each
    // of its runs, `indices` seeing the `held` colour indices the input
    // holds where they lie: none in a shadow frame, whose runs store none,
    // and fewer than color_count in a run the input ends inside.
    template <typename OnRow, typename OnRun>
    void read_rows(const FrameRecordHeader& frame, OnRow&& on_row, OnRun&& on_run) {
        for (std::size_t row = 0; row < frame.rows; ++row) {
            std::uint8_t block_count = 0;
            in_.read(block_count);
            on_row(block_count);
            // Runs the input holds whole are read through a cursor of this
            // function's own, which stays in a register while on_run stores
            // bytes: the reader's position, which byte stores might alias,
            // moves once per row. A run the input cuts goes the reader's way.
            const std::uint8_t* const start = in_.here();
            const std::uint8_t* cursor = start;
            std::size_t left = in_.remaining();
            std::size_t k = 0;
            for (; k < block_count && left >= 2; ++k) {
                const std::uint8_t color_count = cursor[1];
                const std::size_t record = frame.shadow ? 2 : std::size_t{2} + color_count;
                if (left < record) break;
                const std::uint8_t* indices = frame.shadow || color_count == 0 ? nullptr : cursor + 2;
                on_run(cursor[0], color_count, indices, frame.shadow ? 0 : std::size_t{color_count});
                cursor += record;
                left -= record;
            }
            in_.skip(static_cast<std::size_t>(cursor - start));
            for (; k < block_count; ++k) {
                std::uint8_t offset = 0;
                std::uint8_t color_count = 0;
                if (const std::uint8_t* run = in_.take(2)) {
                    offset = run[0];
                    color_count = run[1];
                } else {
                    in_.read(offset);
                    in_.read(color_count);
                }
                std::size_t held = 0;
                const std::uint8_t* indices = frame.shadow ? nullptr : in_.take_some(color_count, held);
                on_run(offset, color_count, indices, held);
            }
        }
    }

    // The rows skipped, for a caller that needs only where records are.
    void skip_rows(const FrameRecordHeader& frame) {
        read_rows(frame, [](std::uint8_t) {}, [](std::uint8_t, std::uint8_t, const std::uint8_t*, std::size_t) {});
    }

    // Whether the input ended before what was walked did.
    bool cut_short() const { return in_.failed(); }
    // The bytes after what was walked; none once cut short.
    std::size_t remaining() const { return in_.remaining(); }
    // Ends the walk: nothing more is read.
    void stop() { in_.set_failed(); }

private:
    io::ByteReader in_;
    bool shadow_mode_ = false;
};

// Where the walk of every frame record the header declares ends: the bytes
// after it belong to no record. A caller that does not keep what follows the
// records (a sparse tail of gigabytes) copies only this much. Stops at the
// end of the input, where the walk is cut short.
inline std::size_t records_end(const std::uint8_t* bytes, std::size_t size) {
    RecordWalker walk(bytes, size);
    const HeaderFields header = walk.read_header();
    // The background frame is not counted in the file.
    const std::uint64_t frames = std::uint64_t{header.stored_frame_count} + (header.has_background ? 1U : 0U);
    for (std::uint64_t i = 0; i < frames && !walk.cut_short(); ++i) walk.skip_rows(walk.read_frame_header());
    return size - walk.remaining();
}

}  // namespace pykiv::kiv_codec
