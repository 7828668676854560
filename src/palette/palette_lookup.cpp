#include "palette/palette_lookup.h"

#include <cstring>
#include <stdexcept>

PaletteLookup::PaletteLookup(const std::vector<PalF::Color>& colors) {
    // The distinct colours other than (0, 0, 0, 0), which is never looked up,
    // each with the lowest index holding it. Only the first 256 colours have
    // an index a frame can store.
    std::vector<std::uint32_t> words;
    std::vector<std::uint8_t> indices;
    for (std::size_t i = 0; i < colors.size() && i < 256; ++i) {
        const std::uint8_t bytes[4] = {colors[i].r, colors[i].g, colors[i].b, colors[i].a};
        std::uint32_t word;
        std::memcpy(&word, bytes, sizeof word);
        bool seen = word == 0;
        for (const std::uint32_t known : words) seen = seen || known == word;
        if (seen) continue;
        words.push_back(word);
        indices.push_back(static_cast<std::uint8_t>(i));
    }
    // The smallest table (from 4096 slots, which stay in the first-level
    // cache) for which an odd multiplier from a fixed sequence puts every
    // colour in a slot of its own: 256 colours find one within a few
    // thousand tries at 2^14 slots, and half of all tries succeed at 2^16.
    for (unsigned bits = 12; bits <= 20; ++bits) {
        const std::size_t size = std::size_t{1} << bits;
        std::vector<std::uint8_t> taken(size);
        for (std::uint32_t candidate = 1; candidate <= 4096; ++candidate) {
            const std::uint32_t multiplier = (0x9E3779B9u * candidate) | 1u;
            const unsigned shift = 32 - bits;
            std::size_t placed = 0;
            for (; placed < words.size(); ++placed) {
                const std::size_t slot = static_cast<std::size_t>((words[placed] * multiplier) >> shift);
                if (taken[slot] != 0) break;
                taken[slot] = 1;
            }
            // Only the slots this try took are cleared for the next.
            for (std::size_t k = 0; k < placed; ++k) taken[(words[k] * multiplier) >> shift] = 0;
            if (placed < words.size()) continue;
            multiplier_ = multiplier;
            shift_ = shift;
            // A free slot holds a colour whose own slot is elsewhere (or 0,
            // which no lookup accepts), so that no pixel hashed there matches.
            slot_word_.assign(size, words.empty() ? 0 : words[0]);
            slot_index_.assign(size, 0);
            for (std::size_t k = 0; k < words.size(); ++k) {
                slot_word_[slot_of(words[k])] = words[k];
                slot_index_[slot_of(words[k])] = indices[k];
            }
            return;
        }
    }
    throw std::logic_error("no table with a slot for every palette colour");
}

std::size_t PaletteLookup::map(const std::uint8_t* rgba, std::size_t count, std::uint8_t* indices,
                               std::uint8_t* painted, std::uint32_t* kept) const {
    // The table in locals: the stores through byte pointers below may alias
    // anything, so members read in the loop would be read again each pixel.
    const std::uint32_t multiplier = multiplier_;
    const unsigned shift = shift_;
    const std::uint32_t* const slot_word = slot_word_.data();
    const std::uint8_t* const slot_index = slot_index_.data();
    std::size_t missing = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t word;
        std::memcpy(&word, rgba + 4 * i, sizeof word);
        if (word == 0) {
            // A transparent pixel, most of a sprite's gaps: never painted,
            // and no table slot needs reading for it. Gaps and runs come in
            // stretches of pixels, so the branch is mostly foreseen.
            indices[i] = 0;
            painted[i] = 0;
            kept[i] = 0;
            continue;
        }
        const std::size_t slot = static_cast<std::size_t>((word * multiplier) >> shift);
        const std::uint32_t hit = static_cast<std::uint32_t>(slot_word[slot] == word);
        const std::uint32_t all = 0u - hit;  // every bit set on a hit, none on a miss
        indices[i] = static_cast<std::uint8_t>(slot_index[slot] & all);
        painted[i] = static_cast<std::uint8_t>(hit);
        kept[i] = word & all;
        missing += (hit ^ 1u) & static_cast<std::uint32_t>(rgba[4 * i + 3] != 0);
    }
    return missing;
}
