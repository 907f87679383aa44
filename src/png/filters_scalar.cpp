// Scalar filter kernels. Each filter type has its own loop; bpp 3 and 4 get compile-time pixel widths so the running
// left-pixel state stays in registers, any other bpp takes the byte-wise generic loop (template argument 0).
// The filtering loops have no loop-carried state and vectorise well, but GCC's -O2 cost model refuses loops of
// unknown length; ask for the normal cost model here. Set before any include so every inline function shares it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("tree-loop-vectorize", "vect-cost-model=dynamic")
#endif

#include "png/filters.h"

#include <cstring>

#if defined(__GNUC__) || defined(__clang__)
#define TAVREL_RESTRICT __restrict__
#define TAVREL_UNROLL _Pragma("GCC unroll 8")
#else
#define TAVREL_UNROLL
#define TAVREL_RESTRICT
#endif

// Fully unrolling the per-channel loop keeps the B running left-pixel bytes in registers instead of a stack array.
// `j` names the loop variable, so it cannot be parenthesised.
#define TAVREL_PER_CHANNEL(j) TAVREL_UNROLL for (size_t j = 0; j < B; ++j)  // NOLINT(bugprone-macro-parentheses)

namespace tavrel::png {
namespace {

using u8 = uint8_t;

inline u8 add8(unsigned x, unsigned y) noexcept { return static_cast<u8>(x + y); }
inline u8 sub8(unsigned x, unsigned y) noexcept { return static_cast<u8>(x - y); }

// ---- reconstruction ----

// row[i] += row[i-bpp], a running sum per channel; Paeth over an all-zero previous row is exactly this.
template <size_t B>
void unfilter_sub(u8* TAVREL_RESTRICT r, size_t len, size_t bpp) noexcept {
    if constexpr (B == 0) {
        for (size_t i = bpp; i < len; ++i) r[i] = add8(r[i], r[i - bpp]);
    } else {
        if (len <= B) return;
        u8 a[B];
        TAVREL_PER_CHANNEL(j) a[j] = r[j];
        size_t i = B;
        for (; i + B <= len; i += B) TAVREL_PER_CHANNEL(j) r[i + j] = a[j] = add8(r[i + j], a[j]);
        for (size_t j = 0; i < len; ++i, ++j) r[i] = add8(r[i], a[j]);
    }
}

// row[i] += prev[i]; a plain vectorisable loop.
void unfilter_up(u8* TAVREL_RESTRICT r, const u8* TAVREL_RESTRICT p, size_t len) noexcept {
    for (size_t i = 0; i < len; ++i) r[i] = add8(r[i], p[i]);
}

// row[i] += (row[i-bpp] + prev[i]) >> 1, with prev == nullptr meaning zeros.
template <size_t B>
void unfilter_avg(u8* TAVREL_RESTRICT r, const u8* TAVREL_RESTRICT p, size_t len, size_t bpp) noexcept {
    if constexpr (B == 0) {
        if (p) {
            const size_t head = bpp < len ? bpp : len;
            for (size_t i = 0; i < head; ++i) r[i] = add8(r[i], p[i] >> 1);
            for (size_t i = bpp; i < len; ++i) r[i] = add8(r[i], (unsigned(r[i - bpp]) + p[i]) >> 1);
        } else {
            for (size_t i = bpp; i < len; ++i) r[i] = add8(r[i], r[i - bpp] >> 1);
        }
    } else {
        if (p) {
            const size_t head = B < len ? B : len;
            for (size_t i = 0; i < head; ++i) r[i] = add8(r[i], p[i] >> 1);
        }
        if (len <= B) return;
        u8 a[B];
        TAVREL_PER_CHANNEL(j) a[j] = r[j];
        size_t i = B;
        if (p) {
            for (; i + B <= len; i += B)
                TAVREL_PER_CHANNEL(j) r[i + j] = a[j] = add8(r[i + j], (unsigned(a[j]) + p[i + j]) >> 1);
            for (size_t j = 0; i < len; ++i, ++j) r[i] = add8(r[i], (unsigned(a[j]) + p[i]) >> 1);
        } else {
            for (; i + B <= len; i += B) TAVREL_PER_CHANNEL(j) r[i + j] = a[j] = add8(r[i + j], a[j] >> 1);
            for (size_t j = 0; i < len; ++i, ++j) r[i] = add8(r[i], a[j] >> 1);
        }
    }
}

// row[i] += paeth(row[i-bpp], prev[i], prev[i-bpp]); prev must be non-null (a zero prev makes Paeth equal to Sub).
template <size_t B>
void unfilter_paeth(u8* TAVREL_RESTRICT r, const u8* TAVREL_RESTRICT p, size_t len, size_t bpp) noexcept {
    const size_t n = B ? B : bpp;
    const size_t head = n < len ? n : len;
    for (size_t i = 0; i < head; ++i) r[i] = add8(r[i], p[i]);  // a = c = 0 there, so the predictor is b
    if constexpr (B == 0) {
        for (size_t i = bpp; i < len; ++i) r[i] = add8(r[i], paeth(r[i - bpp], p[i], p[i - bpp]));
    } else {
        if (len <= B) return;
        u8 a[B], c[B];
        TAVREL_PER_CHANNEL(j) {
            a[j] = r[j];
            c[j] = p[j];
        }
        size_t i = B;
        for (; i + B <= len; i += B) TAVREL_PER_CHANNEL(j) {
                const u8 b = p[i + j];
                r[i + j] = a[j] = add8(r[i + j], paeth(a[j], b, c[j]));
                c[j] = b;
            }
        for (size_t j = 0; i < len; ++i, ++j) r[i] = add8(r[i], paeth(a[j], p[i], c[j]));
    }
}

template <size_t B>
void unfilter_dispatch(unsigned filter, size_t bpp, u8* r, const u8* p, size_t len) noexcept {
    switch (filter) {
        case 1: unfilter_sub<B>(r, len, bpp); break;
        case 2:
            if (p) unfilter_up(r, p, len);
            break;
        case 3: unfilter_avg<B>(r, p, len, bpp); break;
        case 4:
            if (p)
                unfilter_paeth<B>(r, p, len, bpp);
            else
                unfilter_sub<B>(r, len, bpp);
            break;
        default: break;
    }
}

// ---- filtering (no loop-carried state: every predictor comes from unfiltered input) ----

template <size_t B>
void filter_dispatch(unsigned filter, size_t bpp_rt, const u8* TAVREL_RESTRICT cur, const u8* TAVREL_RESTRICT p,
                     u8* TAVREL_RESTRICT out, size_t len) noexcept {
    const size_t bpp = B ? B : bpp_rt;
    const size_t head = bpp < len ? bpp : len;
    switch (filter) {
        case 0: std::memcpy(out, cur, len); break;
        case 1:
            std::memcpy(out, cur, head);
            for (size_t i = bpp; i < len; ++i) out[i] = sub8(cur[i], cur[i - bpp]);
            break;
        case 2:
            if (p)
                for (size_t i = 0; i < len; ++i) out[i] = sub8(cur[i], p[i]);
            else
                std::memcpy(out, cur, len);
            break;
        case 3:
            if (p) {
                for (size_t i = 0; i < head; ++i) out[i] = sub8(cur[i], p[i] >> 1);
                for (size_t i = bpp; i < len; ++i) out[i] = sub8(cur[i], (unsigned(cur[i - bpp]) + p[i]) >> 1);
            } else {
                std::memcpy(out, cur, head);
                for (size_t i = bpp; i < len; ++i) out[i] = sub8(cur[i], cur[i - bpp] >> 1);
            }
            break;
        case 4:
            if (p) {
                for (size_t i = 0; i < head; ++i) out[i] = sub8(cur[i], p[i]);
                for (size_t i = bpp; i < len; ++i) out[i] = sub8(cur[i], paeth(cur[i - bpp], p[i], p[i - bpp]));
            } else {
                std::memcpy(out, cur, head);
                for (size_t i = bpp; i < len; ++i) out[i] = sub8(cur[i], cur[i - bpp]);
            }
            break;
        default: std::memset(out, 0, len); break;
    }
}

}  // namespace

bool unfilter_row(unsigned filter, size_t bpp, uint8_t* row, const uint8_t* prev, size_t len) noexcept {
    if (filter > 4) return false;
    if (filter == 0 || len == 0) return true;
    if (bpp == 0) bpp = 1;
    switch (bpp) {
        case 3: unfilter_dispatch<3>(filter, bpp, row, prev, len); break;
        case 4: unfilter_dispatch<4>(filter, bpp, row, prev, len); break;
        default: unfilter_dispatch<0>(filter, bpp, row, prev, len); break;
    }
    return true;
}

void filter_row(unsigned filter, size_t bpp, const uint8_t* cur, const uint8_t* prev, uint8_t* out,
                size_t len) noexcept {
    if (len == 0) return;
    if (bpp == 0) bpp = 1;
    switch (bpp) {
        case 3: filter_dispatch<3>(filter, bpp, cur, prev, out, len); break;
        case 4: filter_dispatch<4>(filter, bpp, cur, prev, out, len); break;
        default: filter_dispatch<0>(filter, bpp, cur, prev, out, len); break;
    }
}

}  // namespace tavrel::png
