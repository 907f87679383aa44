// Writing-side BMP helper: bottom-up rows of B,G,R with zero padding.
#include <cstring>

#include "bmp/bmp.h"

namespace tavrel::bmp {

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
