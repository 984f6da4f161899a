// The Windows CPU modules take expf, sinf and cosf from the header that
// scripts/llama-patches/windows-math-without-x87.patch adds, in place of
// MinGW-w64's x87 code. This compares them with this machine's glibc, bit for
// bit, over every STRIDE-th float and the edges; glibc picks its FMA or
// plain variant at start, so this is built and run once for each.
#define _GNU_SOURCE
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// glibc's, taken before the header's macros hide the names.
static float (*const glibc_expf)(float) = expf;
static float (*const glibc_sinf)(float) = sinf;
static float (*const glibc_cosf)(float) = cosf;
static void (*const glibc_sincosf)(float, float*, float*) = sincosf;

#include "mingw-math.h"

static int same(float a, float b) { return memcmp(&a, &b, sizeof a) == 0 || (isnan(a) && isnan(b)); }

static unsigned long long mismatches;

static void check(uint32_t bits) {
    float x, sine, cosine, glibc_sine, glibc_cosine;
    memcpy(&x, &bits, sizeof x);
    ggml_mingw_sincosf(x, &sine, &cosine);
    glibc_sincosf(x, &glibc_sine, &glibc_cosine);
    const int equal = same(ggml_mingw_expf(x), glibc_expf(x)) && same(sine, glibc_sine) && same(cosine, glibc_cosine) &&
                      same(ggml_mingw_sinf(x), glibc_sinf(x)) && same(ggml_mingw_cosf(x), glibc_cosf(x));
    if (!equal && mismatches++ < 5) {
        printf("engine_math_check: %a (0x%08x) differs from glibc\n", x, (unsigned)bits);
    }
}

int main(int argc, char** argv) {
    const uint64_t stride = argc == 2 ? strtoull(argv[1], NULL, 10) : 0;
    if (stride == 0) {
        fprintf(stderr, "usage: engine_math_check STRIDE (1 checks all 2^32 floats)\n");
        return 2;
    }
    // Zeros, infinities, NaN, the smallest subnormal, the bounds of each
    // function's paths (pi/4, 120, expf's overflow and underflow), and
    // inputs where glibc's FMA and plain variants differ.
    static const uint32_t edges[] = {0x00000000, 0x80000000, 0x7f800000, 0xff800000, 0x7fc00000, 0x00000001,
                                     0x3f490fdb, 0x3f490fda, 0x42f00000, 0x42efffff, 0x42b17217, 0x42b17218,
                                     0xc2cff1b4, 0xc2cff1b5, 0x39800000, 0x397fffff, 0x4202422f, 0xc27c65d9,
                                     0x418a3adb, 0x42d8d23e, 0xc2e87a55};
    uint64_t checked = 0;
    for (size_t i = 0; i < sizeof edges / sizeof edges[0]; i++, checked++) check(edges[i]);
    for (uint64_t bits = 0; bits < (1ull << 32); bits += stride, checked++) check((uint32_t)bits);
    printf("engine_math_check: %llu floats, %llu differ from glibc\n", (unsigned long long)checked, mismatches);
    return mismatches == 0 ? 0 : 1;
}
