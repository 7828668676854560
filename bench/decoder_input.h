/* What the two C decoders of bench/ read their input with: the animation
 * file into a buffer kept from call to call, and the palette file as 256
 * pixels. Included by each decoder, which is compiled alone. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint8_t* file_bytes;
static size_t file_capacity;

/* Reads the whole file into the kept buffer; returns its size or -1. */
static long read_file(const char* path) {
    FILE* in = fopen(path, "rb");
    if (!in) return -1;
    long size = -1;
    if (fseek(in, 0, SEEK_END) == 0) size = ftell(in);
    if (size < 0 || fseek(in, 0, SEEK_SET) != 0) {
        fclose(in);
        return -1;
    }
    if ((size_t)size > file_capacity) {
        uint8_t* grown = realloc(file_bytes, (size_t)size);
        if (!grown) {
            fclose(in);
            return -1;
        }
        file_bytes = grown;
        file_capacity = (size_t)size;
    }
    size_t got = fread(file_bytes, 1, (size_t)size, in);
    fclose(in);
    return (long)got;
}

static uint32_t u16_at(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
static uint32_t u32_at(const uint8_t* p) { return u16_at(p) | u16_at(p + 2) << 16; }

/* The palette as 256 pixels in memory order R, G, B, A; entries the file
 * does not have are opaque black. Returns 0, or -1 for an unreadable file
 * or a count outside 1..256. */
static int read_palette(const char* path, uint32_t table[256]) {
    uint8_t bytes[4 + 256 * 4];
    FILE* in = fopen(path, "rb");
    if (!in) return -1;
    size_t got = fread(bytes, 1, sizeof bytes, in);
    fclose(in);
    if (got < 4) return -1;
    uint32_t count = u16_at(bytes);
    if (count == 0 || count > 256) return -1;
    const uint8_t black[4] = {0, 0, 0, 255};
    for (uint32_t i = 0; i < 256; ++i) {
        uint8_t entry[4] = {0, 0, 0, 0};
        if (i >= count)
            memcpy(entry, black, 4);
        else if (4 + i * 4 + 4 <= got)
            memcpy(entry, bytes + 4 + i * 4, 4);
        else if (4 + i * 4 < got)
            memcpy(entry, bytes + 4 + i * 4, got - 4 - i * 4);
        memcpy(&table[i], entry, 4);
    }
    return 0;
}
