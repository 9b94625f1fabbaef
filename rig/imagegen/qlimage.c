/*
 * qlimage SIZE SEED FILE: writes SIZE pseudo-random bytes to FILE, the same
 * bytes for the same SEED, so that a failed main job or benchmark run can be
 * repeated byte for byte.  (xorshift64*: fast, and good enough to make every
 * block of an image differ.)
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: qlimage SIZE SEED FILE\n");
        return 2;
    }
    unsigned long long size = strtoull(argv[1], NULL, 10);
    uint64_t state = strtoull(argv[2], NULL, 10) * 0x9E3779B97F4A7C15ull + 1;
    FILE *out = fopen(argv[3], "wb");
    if (out == NULL) {
        perror(argv[3]);
        return 1;
    }
    static unsigned char buffer[65536];
    while (size > 0) {
        size_t n = size < sizeof(buffer) ? (size_t)size : sizeof(buffer);
        for (size_t i = 0; i < n; i += 8) {
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            uint64_t word = state * 0x2545F4914F6CDD1Dull;
            for (size_t k = 0; k < 8 && i + k < n; k++) buffer[i + k] = (unsigned char)(word >> (8 * k));
        }
        if (fwrite(buffer, 1, n, out) != n) {
            perror(argv[3]);
            return 1;
        }
        size -= n;
    }
    return fclose(out) == 0 ? 0 : 1;
}
