// Scanline construction: RGB rows are filtered straight from the caller's buffer, RGBA rows are first interleaved
// into scratch (two rows alternate as current and previous).
#include "png/encode.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "common/checked.h"
#include "png/kernels.h"

namespace tavrel::png {

size_t first_bad_filter(const uint8_t* filters, size_t height) noexcept {
    if (!filters) return height;
    for (size_t y = 0; y < height; ++y)
        if (filters[y] > 4) return y;
    return height;
}

bool scanlines_size(uint32_t width, uint32_t height, bool has_alpha, uint64_t& size) noexcept {
    const uint64_t row = uint64_t{width} * (has_alpha ? 4 : 3) + 1;  // below 2^35
    return !mul_overflows(uint64_t{height}, row, &size);
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

Error encode_image(const uint8_t* rgb, const uint8_t* alpha, const uint8_t* filters, uint32_t width, uint32_t height,
                   uint8_t* out) noexcept {
    std::unique_ptr<uint8_t[]> scratch;
    if (alpha) {
        scratch.reset(new (std::nothrow) uint8_t[uint64_t{width} * 8 + 1]);
        if (!scratch) return Error::out_of_memory;
    }
    encode_scanlines(rgb, alpha, filters, width, height, out, scratch.get());
    return Error::ok;
}

namespace {

// encode_in_blocks into `out` or, when it is null, block by block through a buffer of its own into `sink`.
Error encode_blocks(RowSource& source, uint32_t width, uint32_t height, bool has_alpha, bool has_filters, uint8_t* out,
                    ScanlineSink* sink, uint64_t block_size) noexcept {
    const uint64_t w = width, h = height;
    const uint64_t rgb_row = w * 3;
    const uint64_t out_row = w * (has_alpha ? 4 : 3) + 1;
    uint64_t rows_per_block = rgb_row == 0 ? h : block_size / rgb_row;
    if (rows_per_block == 0) rows_per_block = 1;
    if (rows_per_block > h) rows_per_block = h;
    // A block goes to the sink in four pieces: deflate's window and hash chains stay in cache between the filtering
    // of a piece and its compression, which a whole block's rows would push out.
    const uint64_t rows_per_piece = sink && rows_per_block >= 4 ? rows_per_block / 4 : rows_per_block;
    uint64_t rgb_bytes = 0;  // the predictor row and one block's rows
    if (mul_overflows(rows_per_block + 1, rgb_row, &rgb_bytes) || rgb_bytes > SIZE_MAX / 2) return Error::out_of_memory;
    // Copies of the filter types and of the predictor row and one block's rows; the RGBA rows' scratch.
    std::vector<uint8_t> filters, rgb_copy, alpha_copy, scratch, staging;
    try {
        if (has_filters) filters.resize(h);
        if (!out) {
            uint64_t block_out = 0;
            if (mul_overflows(rows_per_piece, out_row, &block_out) || block_out > SIZE_MAX / 2)
                return Error::out_of_memory;
            staging.resize(block_out);
        }
        rgb_copy.resize(rgb_bytes);
        if (has_alpha) {
            alpha_copy.resize(rgb_bytes / 3);
            scratch.resize(w * 8);
        }
    } catch (const std::bad_alloc&) {
        return Error::out_of_memory;
    }
    // rgb_copy and alpha_copy hold the predictor row, then the block's rows. The predictor of a block's first row is
    // the last row of the previous block's own copy, never a fresh copy of it: the image may change between loans, and
    // the decoder predicts each row from the row written before it, so that every row written is a row of some state
    // of the image.
    uint8_t* const block_rgb = rgb_copy.data() + rgb_row;
    uint8_t* const block_alpha = has_alpha ? alpha_copy.data() + w : nullptr;
    for (uint64_t y0 = 0; y0 < h; y0 += rows_per_block) {
        const uint64_t n = h - y0 < rows_per_block ? h - y0 : rows_per_block;
        LentRows rows;
        if (!source.lend(rows)) return Error::caller_failed;
        if (y0 == 0 && has_filters) std::memcpy(filters.data(), rows.filters, h);
        if (rgb_row != 0) {
            std::memcpy(block_rgb, rows.rgb + y0 * rgb_row, n * rgb_row);
            if (has_alpha) std::memcpy(block_alpha, rows.alpha + y0 * w, n * w);
        }
        source.end_loan();
        const uint8_t* prev_rgb = y0 ? rgb_copy.data() : nullptr;
        const uint8_t* prev_alpha = y0 && has_alpha ? alpha_copy.data() : nullptr;
        const uint8_t* block_filters = has_filters ? filters.data() + y0 : nullptr;
        bool taken = true;
        // Into `out`, the block is one piece; into the sink, each piece reuses the staging buffer.
        auto encode = [&] {
            for (uint64_t i = 0; i < n && taken; i += rows_per_piece) {
                const uint64_t k = n - i < rows_per_piece ? n - i : rows_per_piece;
                uint8_t* dst = out ? out + (y0 + i) * out_row : staging.data();
                encode_scanlines(block_rgb + i * rgb_row, block_alpha ? block_alpha + i * w : nullptr,
                                 block_filters ? block_filters + i : nullptr, width, static_cast<uint32_t>(k), dst,
                                 scratch.data(), i ? block_rgb + (i - 1) * rgb_row : prev_rgb,
                                 i && block_alpha ? block_alpha + (i - 1) * w : prev_alpha);
                if (sink) taken = sink->put({dst, static_cast<size_t>(k * out_row)}, y0 + i + k == h);
            }
        };
        source.run(n * out_row, Task(encode));
        if (!taken) return Error::compress_failed;
        if (rgb_row != 0 && y0 + n < h) {
            std::memcpy(rgb_copy.data(), block_rgb + (n - 1) * rgb_row, rgb_row);
            if (has_alpha) std::memcpy(alpha_copy.data(), block_alpha + (n - 1) * w, w);
        }
    }
    if (sink && h == 0 && !sink->put({}, true)) return Error::compress_failed;
    return Error::ok;
}

}  // namespace

Error encode_in_blocks(RowSource& source, uint32_t width, uint32_t height, bool has_alpha, bool has_filters,
                       uint8_t* out, uint64_t block_size) noexcept {
    return encode_blocks(source, width, height, has_alpha, has_filters, out, nullptr, block_size);
}

Error encode_in_blocks(RowSource& source, uint32_t width, uint32_t height, bool has_alpha, bool has_filters,
                       ScanlineSink& sink, uint64_t block_size) noexcept {
    return encode_blocks(source, width, height, has_alpha, has_filters, nullptr, &sink, block_size);
}

}  // namespace tavrel::png
