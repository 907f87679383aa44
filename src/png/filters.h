// PNG scanline filters (types 0..4: None, Sub, Up, Average, Paeth), scalar reference implementation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrel::png {

// Paeth predictor: p = a+b-c; returns whichever of a, b, c is closest to p, ties preferring a, then b.
// Written with masks rather than && so the compiler emits no data-dependent branches (random data mispredicts them).
inline uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) noexcept {
    const int pa = b > c ? b - c : c - b;  // |p - a|
    const int pb = a > c ? a - c : c - a;  // |p - b|
    const int s = a + b - 2 * c;
    const int pc = s < 0 ? -s : s;                               // |p - c|
    const int not_a = -static_cast<int>((pa > pb) | (pa > pc));  // all ones when a loses
    const int b_or_c = pb <= pc ? b : c;
    return static_cast<uint8_t>((a & ~not_a) | (b_or_c & not_a));
}

// Reconstructs one row in place: `row` holds len filtered bytes on entry and the reconstructed bytes on return.
// `prev` is the previous reconstructed row (len bytes, not overlapping row), or nullptr for the first row (all zero).
// bpp is bytes per pixel (0 is treated as 1). Returns false, touching nothing, when filter > 4.
bool unfilter_row(unsigned filter, size_t bpp, uint8_t* row, const uint8_t* prev, size_t len) noexcept;

// Filters one row: out[i] = cur[i] - predictor (mod 256), predictors taken from the unfiltered bytes of cur and prev
// (prev nullptr = zeros); bpp 0 is treated as 1. filter must be 0..4 (anything else writes zeros). out overlaps neither
// cur nor prev.
void filter_row(unsigned filter, size_t bpp, const uint8_t* cur, const uint8_t* prev, uint8_t* out,
                size_t len) noexcept;

}  // namespace tavrel::png
