// Palette indices for RGBA pixels, by exact colour: what turns an image back
// into the indices a frame stores.
#pragma once

#include <array>
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
    // Open addressing over the colours as 32-bit words: 256 colours at most
    // fill a quarter of the slots, so a probe rarely goes past its first slot.
    static constexpr std::size_t slot_bits = 10;
    struct Slot {
        std::uint32_t word = 0;  // 0: free ((0, 0, 0, 0) is never looked up)
        std::uint8_t index = 0;
    };
    static std::size_t slot_of(std::uint32_t word) {
        return static_cast<std::size_t>((word * 0x9E3779B1u) >> (32 - slot_bits));
    }
    std::array<Slot, std::size_t{1} << slot_bits> slots_{};
};
