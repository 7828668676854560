#include "palette/pal_file.h"

#include <array>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "io/byte_reader.h"
#include "io/byte_writer.h"
#include "io/error_line.h"
#include "io/file_io.h"

namespace {

constexpr std::size_t max_colors = 256;
// Count, model word and 256 entries: nothing after that is ever read.
constexpr std::size_t max_file_bytes = 4 + 4 * max_colors;
constexpr PalF::Color padding_color{0, 0, 0, 255};

}  // namespace

void PalF::location(const std::string& text) { location_ = text; }
std::string PalF::location() const { return location_; }
void PalF::location_size(std::uint32_t size) { location_size_ = size; }
std::uint32_t PalF::location_size() const { return location_size_; }
void PalF::color_model(std::int32_t model) { color_model_ = model; }
std::int32_t PalF::color_model() const { return color_model_; }
void PalF::colors(std::vector<Color> entries) { colors_ = std::move(entries); }
std::vector<PalF::Color> PalF::colors() const { return colors_; }

PalF::Color PalF::get_color(std::int32_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= colors_.size()) {
        pykiv::io::report_error("Color index out of bounds: " + std::to_string(index));
        throw std::out_of_range("Color index out of bounds");
    }
    return colors_[static_cast<std::size_t>(index)];
}

std::int32_t PalF::load(const std::string& path) {
    const auto file = pykiv::io::try_path_from_utf8(path);
    // A palette is read from a regular file only, and that is known before
    // the file is opened: a path from an animation file may name a terminal
    // or a named pipe, where opening or reading would wait forever.
    std::error_code ec;
    const bool regular = file && std::filesystem::is_regular_file(std::filesystem::status(*file, ec));
    auto bytes = regular ? pykiv::io::read_file(*file, max_file_bytes) : std::nullopt;
    stored_color_count_ = 0;
    if (!bytes) {
        pykiv::io::report_error("Could not open palette file: " + path);
        return -1;
    }

    pykiv::io::ByteReader in(bytes->data(), bytes->size());
    std::uint16_t count = 0;
    in.read(count);
    in.skip(2);  // the model word: the loading object's color_model decides
    stored_color_count_ = count;
    if (count == 0 || count > max_colors) {
        pykiv::io::report_error("Invalid color count: " + std::to_string(count));
        return -2;
    }

    std::vector<Color> loaded;
    loaded.reserve(max_colors);
    // Every entry is read into the same buffer, as the format has always been
    // read. It starts zeroed so that a file cut inside its entries loads the
    // same colours every time.
    std::array<std::uint8_t, 4> entry{};
    for (std::size_t i = 0; i < count; ++i) {
        in.read_some(entry.data(), entry.size());
        if (color_model_ == bgra_model) std::swap(entry[0], entry[2]);
        loaded.push_back(Color{entry[0], entry[1], entry[2], entry[3]});
    }
    loaded.resize(max_colors, padding_color);
    colors_ = std::move(loaded);
    return 1;
}

void PalF::check_savable() const {
    // The count field has 16 bits, and a reader takes no more than 256: a
    // larger palette would be saved as a file that does not load, or with a
    // count that wrapped and lost colours.
    if (colors_.size() > max_colors) {
        throw std::invalid_argument("cannot save: palette: " + std::to_string(colors_.size()) +
                                    " colors, more than the " + std::to_string(max_colors) + " a palette file holds");
    }
}

std::vector<std::uint8_t> PalF::file_bytes() const {
    // Entries are always written R, G, B, A; the model word says how a
    // reader might take them.
    std::vector<std::uint8_t> out;
    out.reserve(4 + 4 * colors_.size());
    pykiv::io::write_le(out, static_cast<std::uint16_t>(colors_.size()));
    pykiv::io::write_le(out, static_cast<std::uint16_t>(color_model_));
    for (const Color& c : colors_) out.insert(out.end(), {c.r, c.g, c.b, c.a});
    return out;
}

void PalF::save(const std::string& path) const {
    using pykiv::io::WriteResult;
    const auto file = pykiv::io::try_path_from_utf8(path);
    check_savable();
    const WriteResult result = file ? pykiv::io::write_file_atomically(*file, file_bytes()) : WriteResult::open_failed;
    pykiv::io::report_write_failure(result, "palette", path);
}
