// The portable kernels (the row filters are the reference ones of filters_scalar.cpp) and the choice of kernel set at
// run time.
#include "png/kernels.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <initializer_list>

#include "png/filters.h"

namespace tavrel::png {

// Copies R,G,B of each RGBA pixel into rgb and A into alpha, four pixels per step through 32-bit words.
void split_rgba_portable(const uint8_t* src, uint8_t* rgb, uint8_t* alpha, size_t width) noexcept {
    size_t x = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; x + 4 <= width; x += 4) {
            uint32_t p[4];
            std::memcpy(p, src + 4 * x, 16);
            const uint32_t w[3] = {
                (p[0] & 0x00FFFFFFu) | (p[1] << 24),
                ((p[1] >> 8) & 0x0000FFFFu) | (p[2] << 16),
                ((p[2] >> 16) & 0x000000FFu) | (p[3] << 8),
            };
            std::memcpy(rgb + 3 * x, w, 12);
            alpha[x] = static_cast<uint8_t>(p[0] >> 24);
            alpha[x + 1] = static_cast<uint8_t>(p[1] >> 24);
            alpha[x + 2] = static_cast<uint8_t>(p[2] >> 24);
            alpha[x + 3] = static_cast<uint8_t>(p[3] >> 24);
        }
    }
    for (; x < width; ++x) {
        rgb[3 * x] = src[4 * x];
        rgb[3 * x + 1] = src[4 * x + 1];
        rgb[3 * x + 2] = src[4 * x + 2];
        alpha[x] = src[4 * x + 3];
    }
}

// Interleaves one row of R,G,B triples and alpha bytes into R,G,B,A pixels, four pixels per step through 32-bit words.
void join_rgba_portable(const uint8_t* rgb, const uint8_t* alpha, uint8_t* dst, size_t width) noexcept {
    size_t x = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; x + 4 <= width; x += 4) {
            uint32_t w[3];
            std::memcpy(w, rgb + 3 * x, 12);
            const uint32_t p[4] = {
                (w[0] & 0x00FFFFFFu) | (uint32_t{alpha[x]} << 24),
                (w[0] >> 24) | ((w[1] & 0x0000FFFFu) << 8) | (uint32_t{alpha[x + 1]} << 24),
                (w[1] >> 16) | ((w[2] & 0x000000FFu) << 16) | (uint32_t{alpha[x + 2]} << 24),
                (w[2] >> 8) | (uint32_t{alpha[x + 3]} << 24),
            };
            std::memcpy(dst + 4 * x, p, 16);
        }
    }
    for (; x < width; ++x) {
        dst[4 * x] = rgb[3 * x];
        dst[4 * x + 1] = rgb[3 * x + 1];
        dst[4 * x + 2] = rgb[3 * x + 2];
        dst[4 * x + 3] = alpha[x];
    }
}

// Two pixels per 8-byte word on little-endian hosts; the top two stored bytes land on the next pixel, which a later
// step overwrites, and x + 3 <= width keeps the 8-byte load and store inside the row.
void swap_rb_portable(const uint8_t* src, uint8_t* dst, size_t width) noexcept {
    size_t x = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; x + 3 <= width; x += 2) {
            uint64_t v = 0;
            std::memcpy(&v, src + 3 * x, 8);
            const uint64_t o =
                (v & 0x0000FF0000FF00ull) | ((v & 0x000000FF0000FFull) << 16) | ((v >> 16) & 0x000000FF0000FFull);
            std::memcpy(dst + 3 * x, &o, 8);
        }
    }
    for (; x < width; ++x) {
        dst[3 * x] = src[3 * x + 2];
        dst[3 * x + 1] = src[3 * x + 1];
        dst[3 * x + 2] = src[3 * x];
    }
}

namespace {

void unfilter_rgb(unsigned filter, const uint8_t* src, const uint8_t* prev, uint8_t* dst, size_t width) noexcept {
    const size_t len = width * 3;
    if (len == 0) return;
    std::memcpy(dst, src, len);
    unfilter_row(filter, 3, dst, prev, len);
}

void unfilter_rgba(unsigned filter, uint8_t* row, const uint8_t* prev, uint8_t* rgb, uint8_t* alpha,
                   size_t width) noexcept {
    unfilter_row(filter, 4, row, prev, width * 4);
    split_rgba_portable(row, rgb, alpha, width);
}

const RowKernels kScalar = {Isa::scalar, unfilter_rgb, unfilter_rgba, filter_row, join_rgba_portable, swap_rb_portable};

bool cpu_has(Isa isa) noexcept {
    switch (isa) {
        case Isa::scalar: return true;
#if TAVREL_SIMD && (defined(__GNUC__) || defined(__clang__))
        case Isa::sse2: return __builtin_cpu_supports("sse2");
        case Isa::sse41: return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
#else
        default: return false;
#endif
    }
    return false;
}

const RowKernels* kernels_of(Isa isa) noexcept {
    switch (isa) {
        case Isa::sse41: return sse41_kernels();
        case Isa::sse2: return sse2_kernels();
        case Isa::scalar: return scalar_kernels();
    }
    return scalar_kernels();
}

// Null until the first call picks the best set; use_isa replaces it. Every set is a constant table, so a relaxed
// load sees either the old or the new one, both complete.
std::atomic<const RowKernels*> g_active{nullptr};

}  // namespace

const RowKernels* scalar_kernels() noexcept { return &kScalar; }

Isa best_isa() noexcept {
    for (Isa isa : {Isa::sse41, Isa::sse2})
        if (kernels_of(isa) && cpu_has(isa)) return isa;
    return Isa::scalar;
}

Isa use_isa(Isa isa) noexcept {
    if (!kernels_of(isa) || !cpu_has(isa)) isa = best_isa();
    g_active.store(kernels_of(isa), std::memory_order_relaxed);
    return isa;
}

const RowKernels& row_kernels() noexcept {
    const RowKernels* k = g_active.load(std::memory_order_relaxed);
    if (!k) {
        k = kernels_of(best_isa());
        g_active.store(k, std::memory_order_relaxed);
    }
    return *k;
}

const char* isa_name(Isa isa) noexcept {
    switch (isa) {
        case Isa::scalar: return "scalar";
        case Isa::sse2: return "sse2";
        case Isa::sse41: return "sse41";
    }
    return "?";
}

}  // namespace tavrel::png
