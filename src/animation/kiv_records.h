// The records of one parsed animation.
//
// An animation is a header, a palette and a list of frames; a frame is a list
// of rows (pixel sets); a row is a list of runs (pixel blocks) of 8-bit
// palette indices. The records are plain data: they never check one field
// against another, and the counts they carry may disagree with their lists
// once edited.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <vector>

#include "palette/pal_file.h"

struct KivInfo {
    std::uint32_t speed = 0;        // kept as stored, not interpreted
    std::uint32_t frame_count = 0;  // includes the background frame after a load
};

// The runs of a frame, and their colour indices, are allocated from a store
// that belongs to the frame: a frame of a few hundred rows holds thousands
// of runs, and one heap allocation for each would cost more than reading
// and painting them. Records made elsewhere (default-constructed, or copied)
// use the ordinary heap; a copy never refers to another frame's store.
using RunStore = std::pmr::memory_resource;
using ColorIndices = std::pmr::vector<std::uint8_t>;

struct KivPixelBlock {
    std::uint8_t offset = 0;              // pixels skipped before this run
    std::uint8_t color_count = 0;         // run length as stored
    ColorIndices colors;                  // palette indices; empty in shadow frames
};

struct KivPixelSet {
    std::uint8_t block_count = 0;         // number of runs as stored
    std::pmr::vector<KivPixelBlock> blocks;
};

// Field order follows the frame header in the file, where the shadow flag is
// bit 15 of the height word.
struct KivFrame {
    std::uint32_t frame_size = 0;
    std::uint16_t height = 0;
    std::uint8_t is_shadow = 0;           // non-zero: runs paint opaque black
    std::uint16_t width = 0;
    std::int16_t y_offset = 0;
    std::int16_t x_offset = 0;
    std::uint8_t unk1 = 0;
    std::uint8_t unk2 = 0;
    // Where the reader put this frame's runs; declared before the rows so
    // that it outlives them. Empty for frames not read from a file.
    std::shared_ptr<RunStore> run_store;
    std::vector<KivPixelSet> pixel_sets;  // one per row, top row first
};

struct KivData {
    KivInfo info;
    // Each frame is held by shared ownership so that code still holding a
    // frame (a Python view of it, or of one of its rows or runs) keeps it
    // alive when a later load rebuilds this list. A frame's rows and runs are
    // never resized once the frame is in the list: the reader builds a new
    // frame instead.
    std::vector<std::shared_ptr<KivFrame>> frames;
    std::shared_ptr<PalF> palette = std::make_shared<PalF>();
    bool has_background = false;
};
