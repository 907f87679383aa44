// Reading-side BMP helpers. The B<->R swap moves several pixels per step: SSSE3 (pshufb, sixteen pixels per step) when
// the CPU has it, else SSE2 (baseline on x86-64), else 64-bit words on little-endian hosts, else byte by byte.
#include <algorithm>
#include <bit>
#include <cstring>

#include "bmp/bmp.h"

// Defining TAVREL_BMP_SSE2=0 on the command line selects the portable path (the tests build both).
#ifndef TAVREL_BMP_SSE2
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define TAVREL_BMP_SSE2 1
#else
#define TAVREL_BMP_SSE2 0
#endif
#endif
#if TAVREL_BMP_SSE2
#include <emmintrin.h>
#include <tmmintrin.h>
#endif
// Defining TAVREL_BMP_SSSE3=0 keeps the SSE2 path even on CPUs with SSSE3 (the tests build both).
#ifndef TAVREL_BMP_SSSE3
#define TAVREL_BMP_SSSE3 TAVREL_BMP_SSE2
#endif

namespace tavrel::bmp {
namespace {

#if TAVREL_BMP_SSE2 && TAVREL_BMP_SSSE3
// Sixteen pixels (48 bytes) per step, three loads and three stores that never overlap: each output vector gathers
// its bytes from the input vectors they come from. Returns the number of pixels done; the caller does the rest.
__attribute__((target("ssse3"))) size_t swap_rb_ssse3(const uint8_t* src, uint8_t* dst, size_t width) noexcept {
    const __m128i a0 = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, -1);
    const __m128i a1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1);
    const __m128i b0 = _mm_setr_epi8(-1, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i b1 = _mm_setr_epi8(0, -1, 4, 3, 2, 7, 6, 5, 10, 9, 8, 13, 12, 11, -1, 15);
    const __m128i b2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, -1);
    const __m128i c1 = _mm_setr_epi8(14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i c2 = _mm_setr_epi8(-1, 3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10, 15, 14, 13);
    size_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const auto* s = reinterpret_cast<const __m128i*>(src + 3 * x);
        auto* d = reinterpret_cast<__m128i*>(dst + 3 * x);
        const __m128i v0 = _mm_loadu_si128(s), v1 = _mm_loadu_si128(s + 1), v2 = _mm_loadu_si128(s + 2);
        _mm_storeu_si128(d, _mm_or_si128(_mm_shuffle_epi8(v0, a0), _mm_shuffle_epi8(v1, a1)));
        _mm_storeu_si128(d + 1, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(v0, b0), _mm_shuffle_epi8(v1, b1)),
                                             _mm_shuffle_epi8(v2, b2)));
        _mm_storeu_si128(d + 2, _mm_or_si128(_mm_shuffle_epi8(v1, c1), _mm_shuffle_epi8(v2, c2)));
    }
    return x;
}

bool cpu_has_ssse3() noexcept {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}
#endif

}  // namespace

uint64_t row_stride(uint64_t width) noexcept { return (width * 3 + 3) & ~uint64_t{3}; }

void bgr_row_to_rgb(const uint8_t* src, uint8_t* dst, size_t width) noexcept {
    size_t x = 0;
#if TAVREL_BMP_SSE2 && TAVREL_BMP_SSSE3
    if (cpu_has_ssse3()) x = swap_rb_ssse3(src, dst, width);
#endif
#if TAVREL_BMP_SSE2
    // Five pixels per 16-byte load: keep the middle byte of each pixel, move byte k+2 down to k and byte k-2 up to k.
    // The 16th stored byte is a zero that lands on the next pixel, which a later step overwrites; x + 6 <= width
    // keeps both the load and the store inside the row.
    const __m128i keep = _mm_setr_epi8(0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0);
    const __m128i first = _mm_setr_epi8(-1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, 0);
    const __m128i third = _mm_setr_epi8(0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0);
    for (; x + 6 <= width; x += 5) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * x));
        const __m128i o = _mm_or_si128(
            _mm_and_si128(v, keep),
            _mm_or_si128(_mm_and_si128(_mm_srli_si128(v, 2), first), _mm_and_si128(_mm_slli_si128(v, 2), third)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x), o);
    }
#else
    if constexpr (std::endian::native == std::endian::little) {
        // Two pixels per 8-byte word; the top two stored bytes are zeros on the next pixel, overwritten later.
        // x + 3 <= width keeps the 8-byte load and store inside the row.
        for (; x + 3 <= width; x += 2) {
            uint64_t v;
            std::memcpy(&v, src + 3 * x, 8);
            const uint64_t o =
                (v & 0x0000FF0000FF00ull) | ((v & 0x000000FF0000FFull) << 16) | ((v >> 16) & 0x000000FF0000FFull);
            std::memcpy(dst + 3 * x, &o, 8);
        }
    }
#endif
    for (; x < width; ++x) {
        dst[3 * x] = src[3 * x + 2];
        dst[3 * x + 1] = src[3 * x + 1];
        dst[3 * x + 2] = src[3 * x];
    }
}

void reverse_rows(uint8_t* buf, size_t rowBytes, size_t rows) noexcept {
    if (rows < 2 || rowBytes == 0) return;
    for (size_t top = 0, bottom = rows - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = buf + top * rowBytes;
        std::swap_ranges(a, a + rowBytes, buf + bottom * rowBytes);
    }
}

}  // namespace tavrel::bmp
