// The round trip every fuzz input goes through, also replayed by the native
// tests on the inputs kept in fuzz/regressions/.
//
// Per input:
//   1. the bytes are decoded with small limits; sizes the input cannot back
//      (std::bad_alloc) end the input;
//   2. before any edit, the input's bytes go through the placement patch
//      with a speed and offsets picked by the hash of the input, some of them
//      wrong: it must refuse exactly the wrong values and bytes that are not
//      a whole file, and what it takes must decode to the input's records
//      with the new values and patch back to the input's bytes;
//   3. the records are rendered with a fixed 256-colour palette, and every
//      frame must hold the pixels its records describe, painted again here
//      one pixel at a time; some inputs, picked by a hash of their bytes,
//      render with fewer colours, or have their records edited first as
//      Python code could (rows dropped, counts that disagree with lists);
//      the frames drawn as index planes must paint the same pixels with the
//      same indices, and those planes, encoded from planes and decoded
//      again, must give the same shapes and planes;
//   4. records the encoder refuses (std::invalid_argument) end the input,
//      since no file reads back as them;
//   5. the encoded bytes are decoded again and must give the same records
//      (with the unk1 = 0, unk2 = 1 the writer stores), the same palette
//      location and the same rendered frames, and must encode to the same
//      bytes.
// Through the files, the same input also goes through the file object: it
// is loaded from a file with the palette named explicitly and must give
// what the decoder gave; it is saved, and the file must hold what the
// encoder wrote; and that file is loaded again, finding the saved palette
// beside it by the palette search. The tool's animation object, made from
// the input's bytes with the same palette, must give the same frame table,
// the same rendered frames, and the input's bytes again when patched with
// their own placement.
//
// Any difference throws RoundTripFailure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "file/kiv_animation.h"
#include "file/kiv_file.h"

namespace pykiv::fuzz {

// Small limits: a few bytes of input can declare a million frames or frames
// of 65535 x 32767 pixels, which are valid, and a fuzzer favours such inputs,
// whose loops look like new coverage. With the module's limits one of them
// takes seconds under the sanitizers; with these the refusals are reached at
// once and the painting and checking stay fast.
inline KivLimits fuzz_limits() {
    KivLimits limits;
    limits.decode.max_frames_beyond_input = 256;
    limits.pixel_memory = std::uint64_t{256} << 10;  // 256 x 256 pixels in all
    return limits;
}

struct RoundTripFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class RoundTrip {
public:
    // Keeps its files (the input, the palette, what is saved) in
    // `directory`, which must exist.
    RoundTrip(std::filesystem::path directory, KivLimits limits);

    void check(const std::uint8_t* data, std::size_t size, bool through_files);

private:
    // The file object against the decoder and the renderer.
    void check_files(const std::uint8_t* data, std::size_t size);
    // The tool's animation object against the decoder and the renderer.
    void check_tool_animation(const std::uint8_t* data, std::size_t size, const KivData& decoded,
                              const std::vector<KivFrameBufferObject>& images);

    std::filesystem::path directory_;
    KivLimits limits_;
    std::vector<std::uint8_t> palette_bytes_;
    std::vector<PalF::Color> palette_colors_;
    std::string input_path_;
    std::string palette_path_;
    std::string output_path_;
    std::string saved_palette_path_;
};

}  // namespace pykiv::fuzz
