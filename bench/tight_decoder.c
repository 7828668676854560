/* A tighter one-pass decoder than bench/one_pass_decoder.c, for the same
 * comparison: read the palette and the animation file and write every
 * frame's RGBA pixels into memory the caller already holds, without records
 * or error lines. It differs from the older one where a decoder written for
 * speed would:
 *   - one bounds check per run (its two header bytes and its colours at
 *     once), not one per byte read;
 *   - the palette gather unrolled by four, one 32-bit load and store per
 *     pixel;
 *   - only the gaps between runs and the rest of a row are cleared, not the
 *     whole row before it is painted;
 *   - the file buffer and the output memory are reused from call to call.
 * Same interface and same pixels as the older decoder: frames one after
 * another, each width x height x 4 bytes; -1 for an unreadable or short file
 * or too little output memory.
 *
 * Built by bench/bench_alternatives.py with the system's C compiler and
 * called through ctypes; the benchmark checks that its pixels are the
 * module's.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "decoder_input.h"

/* Writes `n` pixels of the palette colours indexed by `src`, four at a time. */
static inline void gather(uint8_t* dst, const uint8_t* src, size_t n, const uint32_t* table) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint32_t a = table[src[i]], b = table[src[i + 1]], c = table[src[i + 2]], d = table[src[i + 3]];
        memcpy(dst + i * 4, &a, 4);
        memcpy(dst + i * 4 + 4, &b, 4);
        memcpy(dst + i * 4 + 8, &c, 4);
        memcpy(dst + i * 4 + 12, &d, 4);
    }
    for (; i < n; ++i) memcpy(dst + i * 4, &table[src[i]], 4);
}

/* Decodes `animation` with the colours of `palette` into `out`. Returns the
 * number of bytes written, or -1 when a file cannot be read, is cut short,
 * or its frames need more than `out_size` bytes. */
long long decode_files(const char* animation, const char* palette, uint8_t* out, size_t out_size) {
    uint32_t table[256];
    if (read_palette(palette, table) != 0) return -1;
    long size = read_file(animation);
    if (size < 0) return -1;
    const uint8_t *p = file_bytes, *end = file_bytes + size;
#define NEED(n)                                         \
    do {                                                \
        if ((size_t)(end - p) < (size_t)(n)) return -1; \
    } while (0)

    uint32_t has_background = 0;
    if (size >= 9 && memcmp(p, "KVIF", 4) == 0) {
        has_background = p[8] != 0;
        p += 9;
    }
    NEED(8);
    uint32_t location_size = u32_at(p + 4);
    p += 8;
    NEED(location_size);
    p += location_size;
    NEED(4);
    uint64_t frames = (uint64_t)u32_at(p) + has_background;
    p += 4;

    const uint32_t shadow_pixel = 0xFF000000u; /* 0, 0, 0, 255 little-endian */
    int shadow_mode = 0;
    size_t written = 0;
    for (uint64_t f = 0; f < frames; ++f) {
        NEED(14);
        uint32_t height_word = u16_at(p + 4);
        size_t width = u16_at(p + 6);
        p += 14;
        int shadow = (height_word & 0x8000) != 0;
        if (shadow) shadow_mode = 1;
        size_t height = shadow_mode ? (height_word & 0xFF) : height_word;
        size_t row_bytes = width * 4;
        if (height * row_bytes > out_size - written) return -1;
        for (size_t y = 0; y < height; ++y, written += row_bytes) {
            uint8_t* row = out + written;
            NEED(1);
            unsigned blocks = *p++;
            size_t x = 0;       /* where the next run starts, may pass the edge */
            size_t cleared = 0; /* pixels of the row written so far */
            for (unsigned k = 0; k < blocks; ++k) {
                NEED(2);
                size_t count = p[1];
                x += p[0];
                if (!shadow) NEED(2 + count);
                const uint8_t* colours = p + 2;
                p += shadow ? 2 : 2 + count;
                if (x >= width) continue;
                size_t run = width - x;
                if (count < run) run = count;
                memset(row + cleared * 4, 0, (x - cleared) * 4);
                if (shadow) {
                    for (size_t i = 0; i < run; ++i) memcpy(row + (x + i) * 4, &shadow_pixel, 4);
                } else {
                    gather(row + x * 4, colours, run, table);
                }
                x += run;
                cleared = x;
            }
            memset(row + cleared * 4, 0, (width - cleared) * 4);
        }
    }
#undef NEED
    return (long long)written;
}
