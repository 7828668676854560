#include "palette/palette_lookup.h"

#include <cstring>

PaletteLookup::PaletteLookup(const std::vector<PalF::Color>& colors) {
    const std::size_t mask = slots_.size() - 1;
    // Only the first 256 colours have an index a frame can store.
    for (std::size_t i = 0; i < colors.size() && i < 256; ++i) {
        const std::uint8_t bytes[4] = {colors[i].r, colors[i].g, colors[i].b, colors[i].a};
        std::uint32_t word;
        std::memcpy(&word, bytes, sizeof word);
        if (word == 0) continue;
        std::size_t slot = slot_of(word);
        // The lowest index holding a colour is the one kept.
        while (slots_[slot].word != 0 && slots_[slot].word != word) slot = (slot + 1) & mask;
        if (slots_[slot].word == 0) slots_[slot] = Slot{word, static_cast<std::uint8_t>(i)};
    }
}

std::size_t PaletteLookup::map(const std::uint8_t* rgba, std::size_t count, std::uint8_t* indices,
                               std::uint8_t* painted, std::uint32_t* kept) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t word;
        std::memcpy(&word, rgba + 4 * i, sizeof word);
        const Slot* found = nullptr;
        if (word != 0) {
            for (std::size_t slot = slot_of(word);; slot = (slot + 1) & mask) {
                if (slots_[slot].word == word) {
                    found = &slots_[slot];
                    break;
                }
                if (slots_[slot].word == 0) break;
            }
        }
        if (found != nullptr) {
            indices[i] = found->index;
            painted[i] = 1;
            kept[i] = word;
        } else {
            indices[i] = 0;
            painted[i] = 0;
            kept[i] = 0;
            if (rgba[4 * i + 3] != 0) ++missing;
        }
    }
    return missing;
}
