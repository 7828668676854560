// Animation bytes to records.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "codec/kiv_codec.h"
#include "codec/kiv_format.h"
#include "memory/allocation_refused.h"
#include "memory/page_memory.h"

namespace pykiv::kiv_codec {

namespace {

using namespace pykiv::kiv_format;

void refuse_unbacked_frames(std::size_t count, std::size_t remaining, const DecodeLimits& limits) {
    if (count > limits.max_frames_beyond_input && count > remaining / min_frame_record_size) {
        throw pykiv::memory::AllocationRefused("animation file declares " + std::to_string(count) +
                                               " frames but its remaining " + std::to_string(remaining) +
                                               " bytes cannot hold them");
    }
}

// Sizes the frame list to `count`, refusing a count the rest of the input
// cannot hold. Frames already in the list are kept until they are read over.
void resize_frames(KivData& data, std::size_t count, std::size_t remaining, const DecodeLimits& limits) {
    refuse_unbacked_frames(count, remaining, limits);
    const std::size_t kept = std::min(count, data.frames.size());
    data.frames.resize(count);
    for (std::size_t i = kept; i < count; ++i) data.frames[i] = std::make_shared<KivFrame>();
}

// Once a frame has bit 15 of its height word set, this and every later frame
// of the file keeps only the low 8 bits of its height word as its height.
struct HeightRule {
    bool shadow_mode = false;

    std::uint16_t height_of(std::uint16_t height_word) {
        if (shadow_mode || (height_word & shadow_flag) != 0) {
            shadow_mode = true;
            return static_cast<std::uint16_t>(height_word & shadow_mode_height_mask);
        }
        return height_word;
    }
};

// The store of the runs of all frames of one load: chunks of page memory,
// handed out front to back and freed together when the last frame of the
// load is gone. Chunks are of one size (or larger for a row that needs
// more), so that the chunks of a previous load, once freed, serve the next
// one: memory from the heap would come back as fresh pages whenever the
// heap had given its top back to the system. A frame of a few hundred rows
// holds thousands of runs, and one heap allocation for each would cost more
// than reading and painting them.
class LoadRunStore final : public RunStore {
public:
    LoadRunStore() = default;
    LoadRunStore(const LoadRunStore&) = delete;
    LoadRunStore& operator=(const LoadRunStore&) = delete;
    ~LoadRunStore() override {
        for (const Chunk& chunk : chunks_) pykiv::memory::free_pages(chunk.memory, chunk.bytes);
    }

private:
    struct Chunk {
        void* memory;
        std::size_t bytes;
    };
    static constexpr std::size_t chunk_bytes = std::size_t{64} << 10;

    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        void* at = next_;
        if (std::align(alignment, bytes, at, space_) == nullptr) {
            const std::size_t size = std::max(chunk_bytes, bytes + alignment);
            chunks_.reserve(chunks_.size() + 1);
            at = pykiv::memory::allocate_pages(size);
            chunks_.push_back({at, size});
            space_ = size;
            if (std::align(alignment, bytes, at, space_) == nullptr) throw std::bad_alloc();
        }
        next_ = static_cast<unsigned char*>(at) + bytes;
        space_ -= bytes;
        return at;
    }
    void do_deallocate(void*, std::size_t, std::size_t) override {}
    bool do_is_equal(const RunStore& other) const noexcept override { return this == &other; }

    std::vector<Chunk> chunks_;
    void* next_ = nullptr;
    std::size_t space_ = 0;
};

// Reads one frame record. Reads past the end leave fields at 0, and the
// loops still run their stored counts, so the rows of a cut frame come out
// as empty rows. The runs' colour indices are seen where they lie in the
// bytes `in` reads, which `bytes` keeps and the frame then shares.
KivFrame read_frame(pykiv::io::ByteReader& in, HeightRule& rule, const std::shared_ptr<const void>& bytes,
                    const std::shared_ptr<RunStore>& store) {
    KivFrame frame;
    std::uint16_t height_word = 0;
    in.read(frame.frame_size);
    in.read(height_word);
    frame.is_shadow = (height_word & shadow_flag) != 0 ? 1 : 0;
    frame.height = rule.height_of(height_word);
    in.read(frame.width);
    in.read(frame.y_offset);
    in.read(frame.x_offset);
    in.read(frame.unk1);
    in.read(frame.unk2);

    frame.pixel_sets.reserve(frame.height);
    if (frame.height != 0) frame.run_store = store;
    const bool shadow = frame.is_shadow != 0;
    for (std::size_t row = 0; row < frame.height; ++row) {
        std::uint8_t block_count = 0;
        in.read(block_count);
        KivPixelSet& pixel_set = frame.pixel_sets.emplace_back();
        pixel_set.block_count = block_count;
        if (block_count != 0) pixel_set.blocks.reserve_in(*store, block_count);
        for (std::size_t k = 0; k < block_count; ++k) {
            KivPixelBlock& block = pixel_set.blocks.emplace_back();
            if (const std::uint8_t* header = in.take(2)) {
                block.offset = header[0];
                block.color_count = header[1];
            } else {
                in.read(block.offset);
                in.read(block.color_count);
            }
            // Shadow frames store no indices: their block records are two
            // bytes whatever color_count says.
            if (shadow) continue;
            if (const std::uint8_t* indices = in.take(block.color_count)) {
                block.colors.view(indices, block.color_count);
            } else {
                // A run cut by the end of the input: what is there, then zeros.
                in.read_bytes(block.colors, block.color_count);
            }
        }
    }
    if (!shadow && frame.height != 0) frame.file_bytes = bytes;
    return frame;
}

// A copy of `size` bytes, for a decoder whose input lives only for the call.
std::shared_ptr<const pykiv::memory::PageBytes> copy_of(const std::uint8_t* bytes, std::size_t size) {
    auto copy = std::make_shared<pykiv::memory::PageBytes>(size);
    if (size != 0) std::memcpy(copy->data(), bytes, size);
    return copy;
}

}  // namespace

KivDecoder::KivDecoder(std::shared_ptr<const pykiv::memory::PageBytes> bytes, DecodeLimits limits)
    : bytes_(std::move(bytes)), in_(bytes_->data(), bytes_->size()), limits_(limits) {}

KivDecoder::KivDecoder(const std::uint8_t* bytes, std::size_t size, DecodeLimits limits)
    : KivDecoder(copy_of(bytes, size), limits) {}

PaletteReference KivDecoder::read_header(KivData& data) {
    data.has_background = false;
    data.info = KivInfo{};

    // The prefix is there exactly when the input starts with the magic;
    // otherwise the header starts at offset 0.
    char magic[sizeof prefix_magic] = {};
    if (in_.read_some(magic, sizeof magic) == sizeof magic && std::memcmp(magic, prefix_magic, sizeof magic) == 0) {
        in_.seek(prefix_flag_offset);
        std::uint8_t has_background = 0;
        if (in_.read(has_background)) data.has_background = has_background != 0;
    } else {
        in_.clear();
        in_.seek(0);
    }

    in_.read(data.info.speed);
    PaletteReference palette;
    in_.read(palette.location_size);
    // Bytes the input does not have would read as zeros, and the text ends
    // at the first zero, so only what the input holds is allocated.
    palette.location_bytes.resize(std::min<std::size_t>(palette.location_size, in_.remaining()));
    in_.read_some(palette.location_bytes.data(), palette.location_bytes.size());
    if (palette.location_bytes.size() < palette.location_size) in_.set_failed();

    in_.read(data.info.frame_count);
    return palette;
}

void KivDecoder::read_frames(KivData& data) {
    // The stored count is checked before the background frame is added to
    // it, so that a count of 2^32 - 1 cannot wrap to an empty animation.
    const std::size_t remaining = in_.remaining();
    refuse_unbacked_frames(data.info.frame_count, remaining, limits_);
    if (data.has_background) data.info.frame_count += 1;  // the background frame is not counted in the file
    resize_frames(data, data.info.frame_count, remaining, limits_);

    HeightRule height_rule;
    const auto store = std::make_shared<LoadRunStore>();
    for (std::size_t i = 0; i < data.info.frame_count; ++i) {
        // A new frame each time: frames handed out earlier stay intact.
        data.frames[i] = std::make_shared<KivFrame>(read_frame(in_, height_rule, bytes_, store));
    }
    // A read that found too few bytes fails the reader for good.
    cut_short_ = in_.failed();
    trailing_bytes_ = in_.remaining();
    // From here on only the frames that see them keep the bytes.
    in_.set_failed();
    bytes_.reset();
}

PaletteReference decode_animation(const std::uint8_t* bytes, std::size_t size, KivData& data, DecodeLimits limits) {
    KivDecoder decoder(bytes, size, limits);
    PaletteReference palette = decoder.read_header(data);
    decoder.read_frames(data);
    return palette;
}

}  // namespace pykiv::kiv_codec
