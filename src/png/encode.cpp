// Scanline construction: RGB rows are filtered straight from the caller's buffer, RGBA rows are first interleaved
// into scratch (two rows alternate as current and previous).
#include "png/encode.h"

#include <utility>

#include "png/kernels.h"

namespace tavrel::png {

size_t first_bad_filter(const uint8_t* filters, size_t height) noexcept {
    if (!filters) return height;
    for (size_t y = 0; y < height; ++y)
        if (filters[y] > 4) return y;
    return height;
}

void encode_scanlines(const uint8_t* rgb, const uint8_t* alpha, const uint8_t* filters, uint32_t width, uint32_t height,
                      uint8_t* out, uint8_t* scratch, const uint8_t* prev_rgb, const uint8_t* prev_alpha) noexcept {
    const RowKernels& k = row_kernels();
    const size_t bpp = alpha ? 4 : 3;
    const uint64_t len = uint64_t{width} * bpp;
    const uint64_t rgb_row = uint64_t{width} * 3;
    uint8_t* cur_buf = scratch;
    uint8_t* prev_buf = alpha && scratch ? scratch + len : nullptr;
    const uint8_t* prev = nullptr;
    if (prev_rgb && len != 0) {
        if (alpha) {
            k.join_rgba(prev_rgb, prev_alpha, prev_buf, width);  // overwritten only once the first row is filtered
            prev = prev_buf;
        } else {
            prev = prev_rgb;
        }
    }
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* dst = out + y * (len + 1);
        const unsigned f = filters ? filters[y] : 0u;
        dst[0] = static_cast<uint8_t>(f);
        if (len == 0) continue;
        const uint8_t* cur = nullptr;
        if (alpha) {
            k.join_rgba(rgb + y * rgb_row, alpha + uint64_t{y} * width, cur_buf, width);
            cur = cur_buf;
            std::swap(cur_buf, prev_buf);  // this row becomes the next row's predictor source
        } else {
            cur = rgb + y * rgb_row;
        }
        k.filter(f, bpp, cur, prev, dst + 1, len);
        prev = cur;
    }
}

}  // namespace tavrel::png
