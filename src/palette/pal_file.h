// The palette object and its file.
//
// A palette file is a colour count (u16, 1 to 256 when loaded), a colour
// model word (u16, written from `color_model`, ignored when loading) and
// `count` entries of four bytes. All integers are little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class PalF {
public:
    struct Color {
        std::uint8_t r = 0;
        std::uint8_t g = 0;
        std::uint8_t b = 0;
        std::uint8_t a = 0;
    };

    // `color_model` value under which a file's entries are read as B, G, R, A.
    static constexpr std::int32_t bgra_model = 1;

    PalF() = default;
    PalF(const PalF&) = default;
    PalF& operator=(const PalF&) = default;
    virtual ~PalF() = default;

    // The palette path text an animation file stores, and the length field
    // that preceded it there. Only loading an animation file sets them.
    void location(const std::string& text);
    std::string location() const;
    void location_size(std::uint32_t size);
    std::uint32_t location_size() const;

    void color_model(std::int32_t model);
    std::int32_t color_model() const;

    void colors(std::vector<Color> entries);
    std::vector<Color> colors() const;

    // Entry `index`; an index outside the palette prints an error line and
    // throws std::out_of_range.
    Color get_color(std::int32_t index) const;

    // The colour count field of the file the last load read, accepted or
    // not (before padding to 256); 0 before a load and when no file was read.
    std::uint16_t stored_color_count() const { return stored_color_count_; }

    // Loads a palette file: 1 on success, -1 when the file cannot be opened,
    // -2 when its colour count is 0 or above 256. Failures keep the colours.
    std::int32_t load(const std::string& path);

    // Writes the palette file, replacing `path` only when the whole file was
    // written. A palette of more colours than a file holds is refused with
    // std::invalid_argument before the file is touched; write failures are
    // reported as error lines, never thrown.
    void save(const std::string& path) const;

    // What save() refuses, thrown as std::invalid_argument; for callers that
    // write the palette file together with another one.
    void check_savable() const;

    // The bytes of the palette file.
    std::vector<std::uint8_t> file_bytes() const;

private:
    std::vector<Color> colors_;
    std::string location_;
    std::uint32_t location_size_ = 0;
    std::int32_t color_model_ = 0;
    std::uint16_t stored_color_count_ = 0;
};
