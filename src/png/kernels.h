// Every SIMD kernel of the codec cores in one table per CPU kind: the PNG row filters, the RGBA split and join, and
// the BMP red/blue swap. A portable set always exists; the SIMD sets are chosen once per process from the CPU's
// features. Internal to the codec cores; tests, benchmarks and fuzzers pick a set explicitly with use_isa.
#pragma once

#include <cstddef>
#include <cstdint>

// Defining TAVREL_SIMD=0 builds the portable kernels only (what a host without SSE2 gets).
#ifndef TAVREL_SIMD
#if defined(__SSE2__) || defined(_M_X64)
#define TAVREL_SIMD 1
#else
#define TAVREL_SIMD 0
#endif
#endif

namespace tavrel::png {

enum class Isa { scalar, sse2, sse41 };

struct RowKernels {
    Isa isa;
    // RGB rows: writes into dst the reconstruction of the width*3 filtered bytes at src, filter 0..4; prev is the
    // previous reconstructed row (width*3 bytes) or nullptr for the first row. dst overlaps neither src nor prev.
    void (*unfilter_rgb)(unsigned filter, const uint8_t* src, const uint8_t* prev, uint8_t* dst, size_t width);
    // RGBA rows: reconstructs the width*4 bytes of row in place (filter 0..4, prev as above and not overlapping row)
    // and splits them into rgb (width*3 bytes) and alpha (width bytes).
    void (*unfilter_rgba)(unsigned filter, uint8_t* row, const uint8_t* prev, uint8_t* rgb, uint8_t* alpha,
                          size_t width);
    // Filters one row of bpp 3 or 4 exactly as filter_row does (filter 0..4).
    void (*filter)(unsigned filter, size_t bpp, const uint8_t* cur, const uint8_t* prev, uint8_t* out, size_t len);
    // Interleaves width R,G,B triples and alpha bytes into R,G,B,A pixels at dst.
    void (*join_rgba)(const uint8_t* rgb, const uint8_t* alpha, uint8_t* dst, size_t width);
    // Swaps the first and third byte of each of width 3-byte pixels (B,G,R <-> R,G,B) from src into dst, which do not
    // overlap.
    void (*swap_rb)(const uint8_t* src, uint8_t* dst, size_t width);
};

// The portable kernels. Each SIMD set finishes with them whatever its wide steps leave at the end of a row, so that
// every per-pixel loop exists once.
void split_rgba_portable(const uint8_t* src, uint8_t* rgb, uint8_t* alpha, size_t width) noexcept;
void join_rgba_portable(const uint8_t* rgb, const uint8_t* alpha, uint8_t* dst, size_t width) noexcept;
void swap_rb_portable(const uint8_t* src, uint8_t* dst, size_t width) noexcept;

// The kernels in use: the best set this CPU runs unless use_isa chose another.
const RowKernels& row_kernels() noexcept;

// The most capable set that is both compiled in and supported by this CPU.
Isa best_isa() noexcept;

// Makes `isa` (lowered to best_isa() when unsupported) the set in use from now on; returns the set chosen.
Isa use_isa(Isa isa) noexcept;

const char* isa_name(Isa isa) noexcept;

// The individual sets; each exists when compiled in (nullptr otherwise) and must only run where the CPU supports it.
const RowKernels* scalar_kernels() noexcept;
const RowKernels* sse2_kernels() noexcept;
const RowKernels* sse41_kernels() noexcept;

}  // namespace tavrel::png
