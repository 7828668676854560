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
// The new list is filled in full before it replaces the old one: running out
// of memory part way leaves the old list as it was, never a slot that holds
// no frame.
void resize_frames(KivData& data, std::size_t count, std::size_t remaining, const DecodeLimits& limits) {
    refuse_unbacked_frames(count, remaining, limits);
    const std::size_t kept = std::min(count, data.frames.size());
    std::vector<std::shared_ptr<KivFrame>> frames;
    frames.reserve(count);
    frames.assign(data.frames.begin(), data.frames.begin() + static_cast<std::ptrdiff_t>(kept));
    while (frames.size() < count) frames.push_back(std::make_shared<KivFrame>());
    data.frames.swap(frames);
}

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
// bytes the walk reads, which `bytes` keeps and the frame then shares.
KivFrame read_frame(RecordWalker& walk, const FrameRecordHeader& header, const std::shared_ptr<const void>& bytes,
                    const std::shared_ptr<RunStore>& store) {
    KivFrame frame;
    frame.frame_size = header.frame_size;
    frame.is_shadow = header.shadow ? 1 : 0;
    frame.height = header.rows;
    frame.width = header.width;
    frame.y_offset = header.y_offset;
    frame.x_offset = header.x_offset;
    frame.unk1 = header.unk1;
    frame.unk2 = header.unk2;

    frame.pixel_sets.reserve(frame.height);
    if (frame.height != 0) frame.run_store = store;
    KivPixelSet* row = nullptr;
    std::size_t runs = 0;  // of the row, so far
    walk.read_rows(
        header,
        [&](std::uint8_t block_count) {
            row = &frame.pixel_sets.emplace_back();
            row->block_count = block_count;
            if (block_count != 0) row->blocks.reserve_in(*store, block_count);
            runs = 0;
        },
        // The walk reports at most block_count runs, the room reserved.
        [&](std::uint8_t offset, std::uint8_t color_count, const std::uint8_t* indices, std::size_t held) {
            KivPixelBlock& block = row->blocks.emplace_in_room(runs++);
            block.offset = offset;
            block.color_count = color_count;
            // Shadow frames store no indices: their block records are two
            // bytes whatever color_count says.
            if (header.shadow) return;
            if (held == color_count) {
                block.colors.view(indices, color_count);
            } else {
                // A run cut by the end of the input: what is there, then zeros.
                block.colors.assign(indices, indices + held);
                block.colors.resize(color_count, 0);
            }
        });
    if (!header.shadow && frame.height != 0) frame.file_bytes = bytes;
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
    : bytes_(std::move(bytes)), walk_(bytes_->data(), bytes_->size()), limits_(limits) {}

KivDecoder::KivDecoder(const std::uint8_t* bytes, std::size_t size, DecodeLimits limits)
    : KivDecoder(copy_of(bytes, size), limits) {}

PaletteReference KivDecoder::read_header(KivData& data) {
    const HeaderFields header = walk_.read_header();
    data.has_background = header.has_background;
    data.info = KivInfo{};
    data.info.speed = header.speed;
    data.info.frame_count = header.stored_frame_count;
    // Bytes the input does not have would read as zeros, and the text ends
    // at the first zero, so only what the input holds is kept.
    PaletteReference palette;
    palette.location_size = header.location_size;
    if (header.location_held != 0) {
        palette.location_bytes.assign(reinterpret_cast<const char*>(header.location), header.location_held);
    }
    return palette;
}

void KivDecoder::read_frames(KivData& data) {
    // The stored count is checked before the background frame is added to
    // it, so that a count of 2^32 - 1 cannot wrap to an empty animation.
    const std::size_t remaining = walk_.remaining();
    refuse_unbacked_frames(data.info.frame_count, remaining, limits_);
    const std::size_t count = data.info.frame_count + (data.has_background ? std::size_t{1} : 0);
    // Room for every offset before the frame list changes: running out of
    // memory here leaves the list as it was.
    std::vector<std::size_t> offsets;
    offsets.reserve(count);
    if (data.has_background) data.info.frame_count += 1;  // the background frame is not counted in the file
    resize_frames(data, data.info.frame_count, remaining, limits_);
    record_offsets_.swap(offsets);
    const auto store = std::make_shared<LoadRunStore>();
    for (std::size_t i = 0; i < data.info.frame_count; ++i) {
        const FrameRecordHeader header = walk_.read_frame_header();
        record_offsets_.push_back(header.record_at);
        // A new frame each time: frames handed out earlier stay intact.
        data.frames[i] = std::make_shared<KivFrame>(read_frame(walk_, header, bytes_, store));
    }
    // A read that found too few bytes fails the walk for good.
    cut_short_ = walk_.cut_short();
    trailing_bytes_ = walk_.remaining();
    // From here on only the frames that see them keep the bytes.
    walk_.stop();
    bytes_.reset();
}

}  // namespace pykiv::kiv_codec
