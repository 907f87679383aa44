// 24-bit BMP pixel rows: the stored row length, the B,G,R <-> R,G,B conversion and the bottom-up row order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrel::bmp {

// Stored bytes per read or write call where one call may take several rows: a block of rows small enough to stay in
// cache, and to bound what a header that claims more rows than the file holds can cost.
inline constexpr uint64_t block_bytes = uint64_t{256} << 10;

// Rows of `stride` bytes that make one block: at least one, and any number when rows are empty.
inline uint64_t rows_per_block(uint64_t stride) noexcept {
    return stride == 0 ? UINT64_MAX : stride < block_bytes ? block_bytes / stride : 1;
}

// Bytes in one stored 24-bit row: width*3 rounded up to a multiple of 4.
uint64_t row_stride(uint64_t width) noexcept;

// Converts one stored row of B,G,R pixels into R,G,B (the same swap turns R,G,B into B,G,R). src and dst do not
// overlap.
void bgr_row_to_rgb(const uint8_t* src, uint8_t* dst, size_t width) noexcept;

// Swaps rows top <-> bottom in place; buf holds `rows` rows of `rowBytes` bytes each.
void reverse_rows(uint8_t* buf, size_t rowBytes, size_t rows) noexcept;

// Writes a bottom-up 24-bit pixel array into out (row_stride(width)*height bytes): stored row k is image row
// height-1-k as B,G,R pixels followed by zero padding. rgb holds width*height*3 bytes, top row first.
void write_pixel_array(const uint8_t* rgb, uint32_t width, uint32_t height, uint8_t* out) noexcept;

}  // namespace tavrel::bmp
