// Scanline construction: RGB rows are filtered straight from the caller's buffer, RGBA rows are first interleaved
// into scratch (two rows alternate as current and previous).
#include "png/encode.h"

#include <bit>
#include <cstring>
#include <utility>

#include "png/filters.h"

namespace tavrel::png {
namespace {

// Interleaves one row of R,G,B triples and alpha bytes into R,G,B,A pixels, four pixels per step through 32-bit words.
void join_rgba(const uint8_t* rgb, const uint8_t* alpha, uint8_t* dst, size_t width) noexcept {
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

}  // namespace

size_t first_bad_filter(const uint8_t* filters, size_t height) noexcept {
    if (!filters) return height;
    for (size_t y = 0; y < height; ++y)
        if (filters[y] > 4) return y;
    return height;
}

void encode_scanlines(const uint8_t* rgb, const uint8_t* alpha, const uint8_t* filters, uint32_t width, uint32_t height,
                      uint8_t* out, uint8_t* scratch) noexcept {
    const size_t bpp = alpha ? 4 : 3;
    const uint64_t len = uint64_t{width} * bpp;
    const uint64_t rgb_row = uint64_t{width} * 3;
    uint8_t* cur_buf = scratch;
    uint8_t* prev_buf = alpha && scratch ? scratch + len : nullptr;
    const uint8_t* prev = nullptr;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* dst = out + y * (len + 1);
        const unsigned f = filters ? filters[y] : 0u;
        dst[0] = static_cast<uint8_t>(f);
        if (len == 0) continue;
        const uint8_t* cur;
        if (alpha) {
            join_rgba(rgb + y * rgb_row, alpha + uint64_t{y} * width, cur_buf, width);
            cur = cur_buf;
            std::swap(cur_buf, prev_buf);  // this row becomes the next row's predictor source
        } else {
            cur = rgb + y * rgb_row;
        }
        filter_row(f, bpp, cur, prev, dst + 1, len);
        prev = cur;
    }
}

}  // namespace tavrel::png
