// Palette indices for RGBA pixels, by exact colour: what turns an image back
// into the indices a frame stores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "palette/pal_file.h"

class PaletteLookup {
public:
    explicit PaletteLookup(const std::vector<PalF::Color>& colors);

    // For `count` pixels of four bytes R, G, B, A: where the palette holds a
    // pixel's colour, the lowest index holding it, 1 in `painted` and the
    // colour (its four bytes as one word) in `kept`; elsewhere 0 in all
    // three. (0, 0, 0, 0) is never painted. Returns how many pixels with an
    // alpha above 0 have a colour the palette does not hold.
    std::size_t map(const std::uint8_t* rgba, std::size_t count, std::uint8_t* indices, std::uint8_t* painted,
                    std::uint32_t* kept) const;

private:
    // A table in which every colour of the palette, as a 32-bit word, has a
    // slot of its own, found by a multiply and a shift: a lookup is then two
    // table reads and a comparison, the same steps for every pixel, with no
    // branch for a sprite's mix of painted and clear pixels to mispredict.
    std::uint32_t multiplier_ = 1;
    unsigned shift_ = 32;
    std::vector<std::uint32_t> slot_word_;  // the colour in each slot; a free slot holds one that hashes elsewhere
    std::vector<std::uint8_t> slot_index_;
    std::size_t slot_of(std::uint32_t word) const { return static_cast<std::size_t>((word * multiplier_) >> shift_); }
};
