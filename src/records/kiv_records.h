// The records of one parsed animation.
//
// An animation is a header, a palette and a list of frames; a frame is a list
// of rows (pixel sets); a row is a list of runs (pixel blocks) of 8-bit
// palette indices. The records are plain data: they never check one field
// against another, and the counts they carry may disagree with their lists
// once edited. The records hold their palette (palette/pal_file.h), a layer
// below them: a palette file knows nothing of animations.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <memory_resource>
#include <new>
#include <stdexcept>
#include <vector>

#include "palette/pal_file.h"

struct KivInfo {
    std::uint32_t speed = 0;        // kept as stored, not interpreted
    std::uint32_t frame_count = 0;  // includes the background frame after a load
};

// The runs the decoder makes are allocated from a store that the frames of one
// load share and that goes with the last of them: a frame of a few hundred
// rows holds thousands of runs, and one heap allocation for each would cost
// more than reading and painting them. Records made elsewhere
// (default-constructed, or copied) use the ordinary heap; a copy never
// refers to the decoder's store.
using RunStore = std::pmr::memory_resource;

// The palette indices of one run. The runs the decoder makes see their indices
// where they lie in the file's bytes, which their frame keeps (a run is
// stored as its header and then its indices, so nothing needs copying);
// every other list, a copy included, holds bytes of its own. A list that
// sees the file's bytes takes its own before it is changed.
//
// A frame holds thousands of runs, so a list takes 10 bytes and aligns to
// 1, which makes a run record 12 bytes: the place of the indices (kept as
// bytes, read and written whole), the length of a list that sees file bytes
// (at most 255, a run's length in the file), and whether the bytes are the
// list's own. Bytes of its own follow a header with their number and room.
class ColorIndices {
public:
    using value_type = std::uint8_t;
    using size_type = std::size_t;
    using const_iterator = const std::uint8_t*;

    ColorIndices() noexcept { set_data(nullptr); }
    ColorIndices(std::initializer_list<std::uint8_t> indices) : ColorIndices() {
        assign(indices.begin(), indices.end());
    }
    ColorIndices(const std::uint8_t* first, const std::uint8_t* last) : ColorIndices() { assign(first, last); }
    ColorIndices(const ColorIndices& other) : ColorIndices() { assign(other.begin(), other.end()); }
    ColorIndices(ColorIndices&& other) noexcept { take_from(other); }
    ColorIndices& operator=(const ColorIndices& other) {
        if (this != &other) *this = ColorIndices(other);
        return *this;
    }
    ColorIndices& operator=(ColorIndices&& other) noexcept {
        if (this != &other) {
            free_own();
            take_from(other);
        }
        return *this;
    }
    ~ColorIndices() { free_own(); }

    // Makes the list see `size` indices at `data`, where they are: the
    // caller keeps them alive and unchanged for as long as the list exists.
    void view(const std::uint8_t* data, std::uint8_t size) noexcept {
        free_own();
        set_data(data);
        view_size_ = size;
        own_ = 0;
    }

    std::size_t size() const noexcept { return own_ != 0 ? header().size : view_size_; }
    bool empty() const noexcept { return size() == 0; }
    const std::uint8_t* data() const noexcept {
        const std::uint8_t* at;
        std::memcpy(&at, data_, sizeof at);
        return at;
    }
    const std::uint8_t* begin() const noexcept { return data(); }
    const std::uint8_t* end() const noexcept { return data() + size(); }
    std::uint8_t operator[](std::size_t i) const noexcept { return data()[i]; }

    void assign(const std::uint8_t* first, const std::uint8_t* last) {
        ColorIndices copy;
        const auto count = static_cast<std::size_t>(last - first);
        copy.reserve(count);
        if (count != 0) std::memcpy(copy.own_data(), first, count);
        copy.set_own_size(count);
        swap(copy);
    }
    // Makes the bytes the list's own, with room for `capacity` indices.
    void reserve(std::size_t capacity) {
        const std::size_t size = this->size();
        capacity = std::max(capacity, size);
        if (own_ != 0 ? capacity <= header().capacity : capacity == 0) return;
        if (capacity > max_size()) throw std::length_error("too many colour indices");
        auto* block = static_cast<std::uint8_t*>(::operator new(sizeof(Header) + capacity));
        const Header header{static_cast<std::uint32_t>(size), static_cast<std::uint32_t>(capacity)};
        std::memcpy(block, &header, sizeof header);
        if (size != 0) std::memcpy(block + sizeof(Header), data(), size);
        free_own();
        set_data(block + sizeof(Header));
        own_ = 1;
    }
    void push_back(std::uint8_t index) {
        const std::size_t size = this->size();
        if (own_ == 0 || size == header().capacity) reserve(std::max<std::size_t>(8, size * 2));
        own_data()[size] = index;
        set_own_size(size + 1);
    }
    void resize(std::size_t size, std::uint8_t index = 0) {
        reserve(size);
        const std::size_t old_size = this->size();
        if (own_ == 0) return;  // still empty: nothing was asked for
        if (size > old_size) std::memset(own_data() + old_size, index, size - old_size);
        set_own_size(size);
    }
    void clear() noexcept { *this = ColorIndices(); }
    static constexpr std::size_t max_size() noexcept { return std::numeric_limits<std::uint32_t>::max(); }

    void swap(ColorIndices& other) noexcept {
        ColorIndices* const lists[] = {this, &other};
        unsigned char bytes[sizeof data_ + 2];
        std::memcpy(bytes, lists[0]->data_, sizeof data_);
        bytes[sizeof data_] = lists[0]->view_size_;
        bytes[sizeof data_ + 1] = lists[0]->own_;
        std::memcpy(lists[0]->data_, lists[1]->data_, sizeof data_);
        lists[0]->view_size_ = lists[1]->view_size_;
        lists[0]->own_ = lists[1]->own_;
        std::memcpy(lists[1]->data_, bytes, sizeof data_);
        lists[1]->view_size_ = bytes[sizeof data_];
        lists[1]->own_ = bytes[sizeof data_ + 1];
    }

    friend bool operator==(const ColorIndices& a, const ColorIndices& b) noexcept {
        const std::size_t size = a.size();
        return size == b.size() && (size == 0 || std::memcmp(a.data(), b.data(), size) == 0);
    }
    friend bool operator!=(const ColorIndices& a, const ColorIndices& b) noexcept { return !(a == b); }

private:
    struct Header {
        std::uint32_t size;
        std::uint32_t capacity;
    };

    void set_data(const std::uint8_t* at) noexcept { std::memcpy(data_, &at, sizeof at); }
    // Moves `other`'s list here and leaves it empty; this list holds nothing.
    void take_from(ColorIndices& other) noexcept {
        std::memcpy(data_, other.data_, sizeof data_);
        view_size_ = other.view_size_;
        own_ = other.own_;
        other.set_data(nullptr);
        other.view_size_ = 0;
        other.own_ = 0;
    }
    std::uint8_t* own_data() noexcept { return const_cast<std::uint8_t*>(data()); }
    Header header() const noexcept {
        Header header;
        std::memcpy(&header, data() - sizeof(Header), sizeof header);
        return header;
    }
    void set_own_size(std::size_t size) noexcept {
        if (own_ == 0) return;
        const auto value = static_cast<std::uint32_t>(size);
        std::memcpy(own_data() - sizeof(Header) + offsetof(Header, size), &value, sizeof value);
    }
    void free_own() noexcept {
        if (own_ != 0) ::operator delete(own_data() - sizeof(Header));
    }

    unsigned char data_[sizeof(const std::uint8_t*)];
    std::uint8_t view_size_ = 0;
    std::uint8_t own_ = 0;  // the bytes are the list's own, after a header
};

struct KivPixelBlock {
    std::uint8_t offset = 0;       // pixels skipped before this run
    std::uint8_t color_count = 0;  // run length as stored
    ColorIndices colors;           // palette indices; empty in shadow frames
};

// The runs of one row. The rows the decoder makes hold their runs in the
// load's run store, which frees that memory with the last frame of the
// load; every other list, a copy included, holds its runs on the heap.
// Either way the list destroys its runs, since a run may hold indices of its
// own. A frame holds hundreds of rows, so a list takes 17 bytes and aligns
// to 1 (the place of the runs is kept as bytes), which makes a row record
// 18 bytes.
class BlockList {
public:
    using value_type = KivPixelBlock;
    using size_type = std::size_t;
    using iterator = KivPixelBlock*;
    using const_iterator = const KivPixelBlock*;

    BlockList() noexcept { set_data(nullptr); }
    BlockList(std::initializer_list<KivPixelBlock> blocks) : BlockList() {
        reserve(blocks.size());
        for (const KivPixelBlock& block : blocks) emplace_back() = block;
    }
    BlockList(const BlockList& other) : BlockList() {
        reserve(other.size());
        for (const KivPixelBlock& block : other) emplace_back() = block;
    }
    BlockList(BlockList&& other) noexcept { take_from(other); }
    BlockList& operator=(const BlockList& other) {
        if (this != &other) *this = BlockList(other);
        return *this;
    }
    BlockList& operator=(BlockList&& other) noexcept {
        if (this != &other) {
            release();
            take_from(other);
        }
        return *this;
    }
    ~BlockList() { release(); }

    // Room for `count` runs in `store`, for a list that holds none: the
    // store keeps the memory for as long as the list exists.
    void reserve_in(RunStore& store, std::size_t count) {
        release();
        if (count > max_size()) throw std::length_error("too many runs in a row");
        set_data(static_cast<KivPixelBlock*>(store.allocate(count * sizeof(KivPixelBlock), alignof(KivPixelBlock))));
        set_count(size_, 0);
        set_count(capacity_, count);
        heap_ = 0;
    }

    std::size_t size() const noexcept { return count(size_); }
    bool empty() const noexcept { return size() == 0; }
    KivPixelBlock* data() noexcept { return stored_data(); }
    const KivPixelBlock* data() const noexcept { return stored_data(); }
    KivPixelBlock* begin() noexcept { return data(); }
    KivPixelBlock* end() noexcept { return data() + size(); }
    const KivPixelBlock* begin() const noexcept { return data(); }
    const KivPixelBlock* end() const noexcept { return data() + size(); }
    KivPixelBlock& operator[](std::size_t i) noexcept { return data()[i]; }
    const KivPixelBlock& operator[](std::size_t i) const noexcept { return data()[i]; }
    KivPixelBlock& front() noexcept { return data()[0]; }
    const KivPixelBlock& front() const noexcept { return data()[0]; }
    KivPixelBlock& back() noexcept { return data()[size() - 1]; }
    const KivPixelBlock& back() const noexcept { return data()[size() - 1]; }

    // A new default run at the end.
    KivPixelBlock& emplace_back() {
        const std::size_t size = this->size();
        if (size == count(capacity_)) grow(std::max<std::size_t>(4, size * 2));
        KivPixelBlock* block = ::new (static_cast<void*>(data() + size)) KivPixelBlock();
        set_count(size_, size + 1);
        return *block;
    }
    // The decoder's way of filling a row whose run count it knows: a new
    // default run made at `at`, which must be size() and below the count
    // given to reserve_in. Neither the room nor the size is read back from
    // the list: byte stores into the runs made before may alias them, so a
    // compiler would reload both for every run.
    KivPixelBlock& emplace_in_room(std::size_t at) noexcept {
        KivPixelBlock* block = ::new (static_cast<void*>(stored_data() + at)) KivPixelBlock();
        set_count(size_, at + 1);
        return *block;
    }
    void push_back(KivPixelBlock block) { emplace_back() = std::move(block); }
    void reserve(std::size_t capacity) {
        if (capacity > count(capacity_)) grow(capacity);
    }
    void clear() noexcept { *this = BlockList(); }
    static constexpr std::size_t max_size() noexcept { return std::numeric_limits<std::uint32_t>::max(); }

private:
    using Count = unsigned char[4];

    static std::size_t count(const Count& bytes) noexcept {
        std::uint32_t value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    static void set_count(Count& bytes, std::size_t value) noexcept {
        const auto narrow = static_cast<std::uint32_t>(value);
        std::memcpy(bytes, &narrow, sizeof narrow);
    }
    KivPixelBlock* stored_data() const noexcept {
        KivPixelBlock* at;
        std::memcpy(&at, data_, sizeof at);
        return at;
    }
    void set_data(KivPixelBlock* at) noexcept { std::memcpy(data_, &at, sizeof at); }

    // Moves the runs to the heap, with room for `capacity` of them.
    void grow(std::size_t capacity) {
        if (capacity > max_size()) throw std::length_error("too many runs in a row");
        auto* grown = static_cast<KivPixelBlock*>(::operator new(capacity * sizeof(KivPixelBlock)));
        const std::size_t size = this->size();
        for (std::size_t i = 0; i < size; ++i) {
            ::new (static_cast<void*>(grown + i)) KivPixelBlock(std::move(data()[i]));
        }
        release();
        set_data(grown);
        set_count(size_, size);
        set_count(capacity_, capacity);
        heap_ = 1;
    }
    void release() noexcept {
        KivPixelBlock* blocks = data();
        for (std::size_t i = 0, size = this->size(); i < size; ++i) blocks[i].~KivPixelBlock();
        if (heap_ != 0) ::operator delete(blocks);
        set_data(nullptr);
        set_count(size_, 0);
        set_count(capacity_, 0);
        heap_ = 0;
    }
    void take_from(BlockList& other) noexcept {
        std::memcpy(data_, other.data_, sizeof data_);
        std::memcpy(size_, other.size_, sizeof size_);
        std::memcpy(capacity_, other.capacity_, sizeof capacity_);
        heap_ = other.heap_;
        other.set_data(nullptr);
        set_count(other.size_, 0);
        set_count(other.capacity_, 0);
        other.heap_ = 0;
    }

    unsigned char data_[sizeof(KivPixelBlock*)];
    Count size_ = {};
    Count capacity_ = {};
    std::uint8_t heap_ = 0;  // the runs are on the heap, not in a store
};

struct KivPixelSet {
    std::uint8_t block_count = 0;  // number of runs as stored
    BlockList blocks;
};

// Field order follows the frame header in the file, where the shadow flag is
// bit 15 of the height word.
struct KivFrame {
    std::uint32_t frame_size = 0;
    std::uint16_t height = 0;
    std::uint8_t is_shadow = 0;  // non-zero: runs paint opaque black
    std::uint16_t width = 0;
    std::int16_t y_offset = 0;
    std::int16_t x_offset = 0;
    std::uint8_t unk1 = 0;
    std::uint8_t unk2 = 0;
    // What the decoder's records of this frame live in: the file's bytes,
    // where its runs' colour indices lie, and the store of its runs (shared
    // with the other frames of the same load).
    // Declared before the rows so that they outlive them. Empty for frames
    // not read from a file.
    std::shared_ptr<const void> file_bytes;
    std::shared_ptr<RunStore> run_store;
    std::vector<KivPixelSet> pixel_sets;  // one per row, top row first
};

// The frame a slot of KivData::frames holds. No load leaves a slot without a
// frame, but the list is plain data: a slot that holds none reads as a
// default frame, as the slots a load adds are before their records are read.
inline const KivFrame& frame_or_default(const std::shared_ptr<KivFrame>& frame) noexcept {
    static const KivFrame none;
    return frame ? *frame : none;
}

struct KivData {
    KivInfo info;
    // Each frame is held by shared ownership so that code still holding a
    // frame (a Python view of it, or of one of its rows or runs) keeps it
    // alive when a later load rebuilds this list. A frame's rows and runs are
    // never resized once the frame is in the list: the decoder builds a new
    // frame instead.
    std::vector<std::shared_ptr<KivFrame>> frames;
    std::shared_ptr<PalF> palette = std::make_shared<PalF>();
    bool has_background = false;
};
