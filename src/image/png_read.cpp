#include "image/png_read.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "image/png_chunks.h"

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#define KIV_PNG_SSE2 1
#endif

namespace pykiv::image {

namespace {

std::string type_text(const std::uint8_t* type) { return std::string(reinterpret_cast<const char*>(type), 4); }

bool is_type(const std::uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

bool letters(const std::uint8_t* type) {
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t c = type[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    }
    return true;
}

void check_header(PngLayout& layout, const std::uint8_t* field) {
    layout.width = read_be32(field);
    layout.height = read_be32(field + 4);
    layout.bit_depth = field[8];
    layout.color_type = field[9];
    const std::uint8_t compression = field[10], filter = field[11];
    layout.interlace = field[12];
    if (layout.width == 0 || layout.height == 0 || layout.width > png_max_chunk_length ||
        layout.height > png_max_chunk_length) {
        throw PngError("IHDR gives a size of " + std::to_string(layout.width) + " x " + std::to_string(layout.height) +
                       "; each must be 1 to 2147483647");
    }
    const unsigned depth = layout.bit_depth;
    bool valid = false;
    switch (layout.color_type) {
        case png_grey:
            valid = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
            break;
        case png_palette:
            valid = depth == 1 || depth == 2 || depth == 4 || depth == 8;
            break;
        case png_rgb:
        case png_grey_alpha:
        case png_rgba:
            valid = depth == 8 || depth == 16;
            break;
        default:
            throw PngError("IHDR gives colour type " + std::to_string(layout.color_type) +
                           ", which is none of 0, 2, 3, 4 and 6");
    }
    if (!valid) {
        throw PngError("IHDR gives bit depth " + std::to_string(depth) + ", which colour type " +
                       std::to_string(layout.color_type) + " does not allow");
    }
    if (compression != 0) throw PngError("IHDR gives compression method " + std::to_string(compression) + ", not 0");
    if (filter != 0) throw PngError("IHDR gives filter method " + std::to_string(filter) + ", not 0");
    if (layout.interlace > 1) throw PngError("IHDR gives interlace method " + std::to_string(layout.interlace));
}

unsigned channels_of(std::uint8_t color_type) {
    switch (color_type) {
        case png_grey:
            return 1;
        case png_grey_alpha:
            return 2;
        case png_rgb:
            return 3;
        case png_rgba:
            return 4;
        default:
            return 1;
    }
}

// --------------------------------------------------------------------------
// Inflate and unfilter

struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

libdeflate_decompressor* decompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> kept;
    if (!kept) {
        kept.reset(libdeflate_alloc_decompressor());
        if (!kept) throw std::bad_alloc();
    }
    return kept.get();
}

// Memory of this thread reused from one image to the next: the inflated
// rows, and the image data gathered from several IDAT chunks. Buffers of
// more than this are let go after each image.
constexpr std::size_t kept_buffer_bytes = std::size_t{8} << 20;

struct Scratch {
    std::vector<std::uint8_t> rows;
    std::vector<std::uint8_t> gathered;
    std::vector<std::uint8_t> expanded;
};

Scratch& scratch() {
    thread_local Scratch kept;
    return kept;
}

void trim(std::vector<std::uint8_t>& buffer) {
    if (buffer.capacity() > kept_buffer_bytes) std::vector<std::uint8_t>().swap(buffer);
}

class ScratchTrim {
public:
    ~ScratchTrim() {
        Scratch& s = scratch();
        trim(s.rows);
        trim(s.gathered);
        trim(s.expanded);
    }
};

inline std::uint8_t paeth(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    return static_cast<std::uint8_t>((pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c));
}

#ifdef KIV_PNG_SSE2
// Four bytes a pixel (RGBA, what export and most editors write): the four
// samples of a pixel are predicted at once, in 16-bit lanes. Average and
// Paeth depend on the pixel to the left, so a row is undone a pixel at a
// time; byte by byte, the branches of the Paeth predictor cost several
// times as much.
inline __m128i widen(const std::uint8_t* bytes) {
    std::int32_t word;
    std::memcpy(&word, bytes, 4);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(word), _mm_setzero_si128());
}

inline void narrow(__m128i samples, std::uint8_t* bytes) {
    const std::int32_t word = _mm_cvtsi128_si32(_mm_packus_epi16(samples, samples));
    std::memcpy(bytes, &word, 4);
}

inline __m128i absolute(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

inline __m128i choose(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

void unfilter_average4(const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* prev, std::size_t n) {
    const __m128i low_byte = _mm_set1_epi16(0xFF);
    __m128i left = _mm_setzero_si128();
    for (std::size_t i = 0; i + 4 <= n; i += 4) {
        const __m128i mean = _mm_srli_epi16(_mm_add_epi16(left, widen(prev + i)), 1);
        left = _mm_and_si128(_mm_add_epi16(widen(src + i), mean), low_byte);
        narrow(left, dst + i);
    }
}

void unfilter_paeth4(const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* prev, std::size_t n) {
    const __m128i low_byte = _mm_set1_epi16(0xFF);
    __m128i a = _mm_setzero_si128();  // left
    __m128i c = _mm_setzero_si128();  // above left
    for (std::size_t i = 0; i + 4 <= n; i += 4) {
        const __m128i b = widen(prev + i);  // above
        // With p = a + b - c: |p - a| = |b - c|, |p - b| = |a - c|, and
        // |p - c| = |(b - c) + (a - c)|; the nearest of a, b, c in that order.
        const __m128i from_b = _mm_sub_epi16(b, c);
        const __m128i from_a = _mm_sub_epi16(a, c);
        const __m128i pa = absolute(from_b);
        const __m128i pb = absolute(from_a);
        const __m128i pc = absolute(_mm_add_epi16(from_b, from_a));
        const __m128i least = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
        const __m128i nearest = choose(_mm_cmpeq_epi16(least, pa), a, choose(_mm_cmpeq_epi16(least, pb), b, c));
        a = _mm_and_si128(_mm_add_epi16(widen(src + i), nearest), low_byte);
        narrow(a, dst + i);
        c = b;
    }
}
#endif

// Undoes one row's filter: `src` the filtered bytes, `dst` the row's bytes
// (it may be `src` itself: each byte is read before it is written), `prev`
// the row above as decoded (zeros above the first). `Bpp` bytes a pixel.
template <unsigned Bpp>
void unfilter(std::uint8_t type, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* prev, std::size_t n) {
#ifdef KIV_PNG_SSE2
    if constexpr (Bpp == 4) {
        if (type == 3) return unfilter_average4(src, dst, prev, n);
        if (type == 4) return unfilter_paeth4(src, dst, prev, n);
    }
#endif
    switch (type) {
        case 0:
            if (dst != src) std::memcpy(dst, src, n);
            return;
        case 1:
            for (std::size_t i = 0; i < Bpp && i < n; ++i) dst[i] = src[i];
            for (std::size_t i = Bpp; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + dst[i - Bpp]);
            return;
        case 2:
            for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + prev[i]);
            return;
        case 3:
            for (std::size_t i = 0; i < Bpp && i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + (prev[i] >> 1));
            for (std::size_t i = Bpp; i < n; ++i)
                dst[i] = static_cast<std::uint8_t>(src[i] + ((unsigned{dst[i - Bpp]} + prev[i]) >> 1));
            return;
        case 4:
            for (std::size_t i = 0; i < Bpp && i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + prev[i]);
            for (std::size_t i = Bpp; i < n; ++i)
                dst[i] = static_cast<std::uint8_t>(src[i] + paeth(dst[i - Bpp], prev[i], prev[i - Bpp]));
            return;
        default:
            throw PngError("a row has filter type " + std::to_string(type) + ", which is none of 0 to 4");
    }
}

void unfilter_row(unsigned bpp, std::uint8_t type, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* prev,
                  std::size_t n) {
    switch (bpp) {
        case 1:
            unfilter<1>(type, src, dst, prev, n);
            break;
        case 2:
            unfilter<2>(type, src, dst, prev, n);
            break;
        case 3:
            unfilter<3>(type, src, dst, prev, n);
            break;
        default:
            unfilter<4>(type, src, dst, prev, n);
            break;
    }
}

// One row of samples as RGBA: greys repeated into R, G and B, alpha 255
// where the image has none, 0 where a pixel equals the tRNS colour key (its
// colour kept).
void expand_row(const PngLayout& layout, const std::uint8_t* src, std::uint8_t* out) {
    const std::size_t width = layout.width;
    switch (layout.color_type) {
        case png_grey: {
            const unsigned key = layout.has_key ? layout.key[0] : 0x100;
            for (std::size_t x = 0; x < width; ++x) {
                const std::uint8_t v = src[x];
                out[4 * x] = out[4 * x + 1] = out[4 * x + 2] = v;
                out[4 * x + 3] = v == key ? 0 : 255;
            }
            break;
        }
        case png_grey_alpha:
            for (std::size_t x = 0; x < width; ++x) {
                const std::uint8_t v = src[2 * x];
                out[4 * x] = out[4 * x + 1] = out[4 * x + 2] = v;
                out[4 * x + 3] = src[2 * x + 1];
            }
            break;
        case png_rgb: {
            const bool keyed = layout.has_key && layout.key[0] < 256 && layout.key[1] < 256 && layout.key[2] < 256;
            for (std::size_t x = 0; x < width; ++x) {
                const std::uint8_t r = src[3 * x], g = src[3 * x + 1], b = src[3 * x + 2];
                out[4 * x] = r;
                out[4 * x + 1] = g;
                out[4 * x + 2] = b;
                out[4 * x + 3] = keyed && r == layout.key[0] && g == layout.key[1] && b == layout.key[2] ? 0 : 255;
            }
            break;
        }
        default:
            std::memcpy(out, src, width * 4);
            break;
    }
}

// Inflates the image data into exactly height rows of a filter byte and
// the row's samples; returns them (in this thread's scratch memory).
std::uint8_t* inflate_rows(const std::uint8_t* data, std::size_t size, const PngLayout& layout, std::size_t stride) {
    if (!layout.decodable()) throw PngError("this kind of PNG is not decoded here");
    const std::uint64_t wanted = std::uint64_t{layout.height} * (std::uint64_t{stride} + 1);
    if (wanted > std::numeric_limits<std::size_t>::max() / 2 || layout.idat_bytes > size) {
        throw PngError("the image is too large for this system");
    }
    Scratch& s = scratch();
    const std::uint8_t* in = data + layout.first_idat;
    auto in_size = static_cast<std::size_t>(layout.idat_bytes);
    if (layout.idat_chunks > 1) {
        // The data of consecutive chunks, without their lengths, types and CRCs.
        s.gathered.resize(in_size);
        std::size_t at = layout.first_idat, filled = 0;
        for (std::size_t chunk = 0; chunk < layout.idat_chunks; ++chunk) {
            const std::size_t length = read_be32(data + at - 8);
            std::memcpy(s.gathered.data() + filled, data + at, length);
            filled += length;
            at += length + 12;
        }
        in = s.gathered.data();
    }
    s.rows.resize(static_cast<std::size_t>(wanted));
    const libdeflate_result result =
        libdeflate_zlib_decompress(decompressor(), in, in_size, s.rows.data(), s.rows.size(), nullptr);
    switch (result) {
        case LIBDEFLATE_SUCCESS:
            break;
        case LIBDEFLATE_SHORT_OUTPUT:
            throw PngError("the image data inflates to fewer bytes than its " + std::to_string(layout.height) +
                           " rows need");
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            throw PngError("the image data inflates to more bytes than its " + std::to_string(layout.height) +
                           " rows hold");
        default:
            throw PngError("the image data is damaged (it does not inflate)");
    }
    return s.rows.data();
}

}  // namespace

bool PngLayout::decodable() const {
    return bit_depth == 8 && interlace == 0 && color_type != png_palette && idat_chunks > 0 && !odd_key;
}

PngLayout read_png_layout(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof png_signature || std::memcmp(data, png_signature, sizeof png_signature) != 0) {
        throw PngError("it does not start with the PNG signature");
    }
    PngLayout layout;
    std::size_t at = sizeof png_signature;
    bool header = false, palette = false, ended = false, idat_ended = false;
    const char* cut_short = "it is cut short (it ends before its IEND chunk)";
    while (!ended) {
        if (size - at < 8) throw PngError(cut_short);
        const std::uint32_t length = read_be32(data + at);
        const std::uint8_t* type = data + at + 4;
        if (!letters(type)) throw PngError("a chunk's type is not four letters");
        const std::string name = type_text(type);
        if (length > png_max_chunk_length) throw PngError("the " + name + " chunk's length is above 2^31 - 1");
        if (size - at - 8 < std::uint64_t{length} + 4) throw PngError(cut_short);
        const std::uint8_t* body = data + at + 8;
        if (png_chunk_crc(type, body, length) != read_be32(body + length)) {
            throw PngError("Checksum error in " + name + " chunk");
        }
        const bool idat = is_type(type, "IDAT");
        if (!header) {
            if (!is_type(type, "IHDR")) throw PngError("the first chunk is " + name + ", not IHDR");
            if (length != 13) throw PngError("the IHDR chunk holds " + std::to_string(length) + " bytes, not 13");
            check_header(layout, body);
            header = true;
        } else if (is_type(type, "IHDR")) {
            throw PngError("a second IHDR chunk");
        } else if (idat) {
            if (idat_ended) throw PngError("its IDAT chunks are not one after another");
            if (layout.idat_chunks == 0) {
                if (layout.color_type == png_palette && !palette)
                    throw PngError("a palette image without a PLTE chunk");
                layout.first_idat = at + 8;
            }
            ++layout.idat_chunks;
            layout.idat_bytes += length;
        } else if (is_type(type, "PLTE")) {
            if (palette) throw PngError("a second PLTE chunk");
            if (layout.idat_chunks != 0) throw PngError("its PLTE chunk comes after the image data");
            palette = true;
        } else if (is_type(type, "IEND")) {
            if (layout.idat_chunks == 0) throw PngError("it holds no image data (no IDAT chunk)");
            ended = true;
        } else if (is_type(type, "acTL") && layout.idat_chunks == 0) {
            // The frame count of an APNG, which comes before the image data.
            if (length >= 4) layout.frames = read_be32(body);
        } else if (is_type(type, "tRNS") && layout.idat_chunks == 0) {
            // A colour key of grey or RGB images; one after the image data
            // is out of place and left alone.
            const unsigned samples = layout.color_type == png_grey ? 1 : layout.color_type == png_rgb ? 3 : 0;
            if (samples != 0) {
                // A key of another length is left to the caller's other
                // route, which reads it as it always has.
                if (length != 2 * samples) layout.odd_key = true;
                layout.has_key = length == 2 * samples;
                for (unsigned i = 0; i < samples && layout.has_key; ++i)
                    layout.key[i] = static_cast<std::uint16_t>((body[2 * i] << 8) | body[2 * i + 1]);
            }
        }
        if (layout.idat_chunks != 0 && !idat) idat_ended = true;
        at += std::size_t{length} + 12;
    }
    return layout;
}

void decode_png_rows(const std::uint8_t* data, std::size_t size, const PngLayout& layout, PngRowSink& sink) {
    ScratchTrim trim_after;
    const unsigned bpp = channels_of(layout.color_type);
    const std::size_t stride = std::size_t{layout.width} * bpp;
    std::uint8_t* rows = inflate_rows(data, size, layout, stride);
    Scratch& s = scratch();
    // Zeros above the first row, and room for a row expanded to RGBA.
    s.expanded.assign(std::max<std::size_t>(stride, layout.color_type == png_rgba ? 0 : std::size_t{layout.width} * 4),
                      0);
    const std::uint8_t* prev = s.expanded.data();
    for (std::uint32_t y = 0; y < layout.height; ++y) {
        std::uint8_t* row = rows + y * (stride + 1);
        unfilter_row(bpp, row[0], row + 1, row + 1, prev, stride);
        prev = row + 1;
        if (layout.color_type == png_rgba) {
            sink.row(y, row + 1);
        } else {
            expand_row(layout, row + 1, s.expanded.data());
            sink.row(y, s.expanded.data());
        }
    }
}

void decode_png(const std::uint8_t* data, std::size_t size, const PngLayout& layout, std::uint8_t* rgba) {
    if (layout.color_type != png_rgba) {
        // Unfiltered in place, then widened into the image.
        class Into final : public PngRowSink {
        public:
            Into(std::uint8_t* out, std::size_t row_bytes) : out_(out), row_bytes_(row_bytes) {}
            void row(std::uint32_t y, const std::uint8_t* pixels) override {
                std::memcpy(out_ + y * row_bytes_, pixels, row_bytes_);
            }

        private:
            std::uint8_t* out_;
            std::size_t row_bytes_;
        } into(rgba, std::size_t{layout.width} * 4);
        decode_png_rows(data, size, layout, into);
        return;
    }
    // RGBA rows are unfiltered straight into the image, the row above read
    // back from it.
    ScratchTrim trim_after;
    const std::size_t stride = std::size_t{layout.width} * 4;
    const std::uint8_t* rows = inflate_rows(data, size, layout, stride);
    Scratch& s = scratch();
    s.expanded.assign(stride, 0);
    const std::uint8_t* prev = s.expanded.data();
    for (std::uint32_t y = 0; y < layout.height; ++y) {
        const std::uint8_t* row = rows + y * (stride + 1);
        std::uint8_t* out = rgba + y * stride;
        unfilter<4>(row[0], row + 1, out, prev, stride);
        prev = out;
    }
}

std::size_t map_png(const std::uint8_t* data, std::size_t size, const PngLayout& layout, const PaletteLookup& lookup,
                    std::uint8_t* indices, std::uint8_t* painted, std::uint32_t* kept) {
    class Mapped final : public PngRowSink {
    public:
        Mapped(const PaletteLookup& lookup, std::size_t width, std::uint8_t* indices, std::uint8_t* painted,
               std::uint32_t* kept)
            : lookup_(lookup), width_(width), indices_(indices), painted_(painted), kept_(kept) {}
        void row(std::uint32_t y, const std::uint8_t* pixels) override {
            const std::size_t at = y * width_;
            missing += lookup_.map(pixels, width_, indices_ + at, painted_ + at, kept_ + at);
        }
        std::size_t missing = 0;

    private:
        const PaletteLookup& lookup_;
        std::size_t width_;
        std::uint8_t* indices_;
        std::uint8_t* painted_;
        std::uint32_t* kept_;
    } mapped(lookup, layout.width, indices, painted, kept);
    decode_png_rows(data, size, layout, mapped);
    return mapped.missing;
}

}  // namespace pykiv::image
