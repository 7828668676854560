/* The least a decoder of an animation file can do: read the palette and the
 * animation file and write every frame's RGBA pixels, in one pass over the
 * file, into memory the caller already holds. No records, no error lines.
 * Every read of the file and every write of a pixel is checked against its
 * end. Frames are written one after another, each width x height x 4 bytes.
 *
 * Built by bench/bench_alternatives.py with the system's C compiler and
 * called through ctypes; the benchmark checks that its pixels are the
 * module's. The file buffer is kept between calls, as a decoder that is
 * called again and again would keep it.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "decoder_input.h"

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
            memset(row, 0, row_bytes);
            NEED(1);
            unsigned blocks = *p++;
            size_t x = 0;
            for (unsigned k = 0; k < blocks; ++k) {
                NEED(2);
                x += p[0];
                size_t count = p[1];
                p += 2;
                size_t run = x < width ? width - x : 0;
                if (count < run) run = count;
                if (shadow) {
                    for (size_t i = 0; i < run; ++i) memcpy(row + (x + i) * 4, &shadow_pixel, 4);
                } else {
                    NEED(count);
                    for (size_t i = 0; i < run; ++i) memcpy(row + (x + i) * 4, &table[p[i]], 4);
                    p += count;
                }
                x += run;
            }
        }
    }
#undef NEED
    return (long long)written;
}
