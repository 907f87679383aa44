// BMP row helpers. The B<->R swap is one of the SIMD kernels of the codec cores, chosen with the others.
#include "bmp/rows.h"

#include <algorithm>
#include <cstring>

#include "png/kernels.h"

namespace tavrel::bmp {

uint64_t row_stride(uint64_t width) noexcept { return (width * 3 + 3) & ~uint64_t{3}; }

void bgr_row_to_rgb(const uint8_t* src, uint8_t* dst, size_t width) noexcept {
    png::row_kernels().swap_rb(src, dst, width);
}

void reverse_rows(uint8_t* buf, size_t rowBytes, size_t rows) noexcept {
    if (rows < 2 || rowBytes == 0) return;
    for (size_t top = 0, bottom = rows - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = buf + top * rowBytes;
        std::swap_ranges(a, a + rowBytes, buf + bottom * rowBytes);
    }
}

void write_pixel_array(const uint8_t* rgb, uint32_t width, uint32_t height, uint8_t* out) noexcept {
    if (width == 0 || height == 0) return;
    const uint64_t stride = row_stride(width);
    const uint64_t used = uint64_t{width} * 3;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* dst = out + uint64_t{height - 1 - y} * stride;
        bgr_row_to_rgb(rgb + y * used, dst, width);  // the swap is its own inverse
        std::memset(dst + used, 0, stride - used);
    }
}

}  // namespace tavrel::bmp
