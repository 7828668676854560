// The animation codec: bytes to records and records to bytes. It knows no
// paths and opens no file; the file object (file/kiv_file.h) reads and writes
// the files, finds the palette and renders. The layout is in kiv_format.h;
// decoding in kiv_decode.cpp, encoding in kiv_encode.cpp, frames given as
// pixels in kiv_planes.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "codec/kiv_record_walk.h"
#include "memory/page_memory.h"
#include "records/kiv_records.h"

namespace pykiv::kiv_codec {

struct DecodeLimits {
    // Frames past the end of a cut input are read as empty records, so a
    // frame count may exceed what the input holds. Up to this many frames
    // are accepted whatever the input holds; a larger count must fit in the
    // rest of the input, at the smallest frame record each, or it is refused
    // before the frame list is allocated: a 16-byte input must not make the
    // decoder allocate billions of frames.
    std::size_t max_frames_beyond_input = std::size_t{1} << 20;
};

// What an animation file says about its palette: the location's size field
// L and the location bytes the input holds (all L of them, unless the input
// ends first).
struct PaletteReference {
    std::uint32_t location_size = 0;
    std::string location_bytes;

    // The location as text: the stored bytes up to their first zero byte.
    std::string location() const { return location_bytes.substr(0, location_bytes.find('\0')); }
};

// Reads one animation from bytes in memory, in two steps, so that a
// caller can act on the palette reference before the frames are read.
//
// Every input is read from the same start state, whatever the records held
// before: no background frame, speed and frame count 0, and heights read
// without the shadow rule until this input's first shadow frame. Reads past
// the end of the input leave their fields at that start state (0 in every
// new record); record loops still run their stored counts, so frames and
// rows past the end come out empty. Sizes the input cannot back are refused
// with std::bad_alloc (pykiv::memory::AllocationRefused) before anything is
// allocated for them.
class KivDecoder {
public:
    // Reads `bytes`, which the frames read from them then share: their runs
    // see their colour indices where they lie in the bytes, uncopied.
    explicit KivDecoder(std::shared_ptr<const memory::PageBytes> bytes, DecodeLimits limits = {});
    // Reads a copy of `size` bytes at `bytes`, which need to live only for
    // the call.
    KivDecoder(const std::uint8_t* bytes, std::size_t size, DecodeLimits limits = {});

    // The prefix, speed, palette location and frame count, into `data`
    // (its info and has_background).
    PaletteReference read_header(KivData& data);

    // Sizes `data.frames` to the frame count (the background frame
    // included, which info.frame_count then counts too) and reads every
    // frame record into a new frame. Frames beyond the count are dropped.
    // The last step: afterwards the decoder holds nothing of the bytes.
    void read_frames(KivData& data);

    // After read_frames: whether the input ended before its header or its
    // frames did (what was missing was read as zeros, as above), and how
    // many bytes follow the last frame record (none of a cut input). Bytes
    // after the frames are left alone by the format, so they are a note,
    // not a fault.
    bool cut_short() const { return cut_short_; }
    std::size_t trailing_bytes() const { return trailing_bytes_; }

    // After read_frames: where each frame's record starts in the input, in
    // the order of data.frames (the end of the input for a frame past it).
    const std::vector<std::size_t>& record_offsets() const { return record_offsets_; }
    std::vector<std::size_t> take_record_offsets() { return std::move(record_offsets_); }

private:
    std::shared_ptr<const memory::PageBytes> bytes_;
    RecordWalker walk_;
    std::vector<std::size_t> record_offsets_;
    DecodeLimits limits_;
    bool cut_short_ = false;
    std::size_t trailing_bytes_ = 0;
};

// Refuses, with std::invalid_argument, records that would be written into a
// file that does not read back as the same records.
void check_encodable(const KivData& data);

// The file that holds `data`, with `location` as the palette's location text.
// Every frame record is written with unk1 0 and unk2 1. A speed whose bytes
// spell the prefix's magic is written with the prefix, background flag 0,
// when there is no background frame, so that it reads back as that speed.
// Refuses what check_encodable refuses, before writing a byte.
std::vector<std::uint8_t> encode_animation(const KivData& data, const std::string& location);

// The bytes the record of `frame` takes in a file, from the lists it is
// written from.
std::size_t frame_record_size(const KivFrame& frame);

// Sets unk1 to 0 and unk2 to 1 in the frames encode_animation writes, so that
// the records hold what a written file holds.
void mark_frames_written(KivData& data);

}  // namespace pykiv::kiv_codec
