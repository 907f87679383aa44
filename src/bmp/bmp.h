// 24-bit BMP pixel-array cores: row layout, B,G,R <-> R,G,B conversion and bottom-up row order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrel::bmp {

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
