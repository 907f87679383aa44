// The BMP writing pipeline: blocks of stored rows, each made from a group of image rows at a time.
#include "bmp/writer.h"

#include <cstring>

#include "bmp/rows.h"

namespace tavrel::bmp {
namespace {

// Fills `out` with the stored rows [first, last), preceded by the headers when first is 0, in groups of
// rows_per_block rows (one group at least, so that an empty image still takes its rows).
bool fill_block(const Headers& headers, RowSource& rows, uint64_t first, uint64_t last, uint8_t* out) noexcept {
    const Layout& l = headers.layout;
    const uint64_t per_group = rows_per_block(l.stride);
    if (first == 0) {
        std::memcpy(out, headers.bytes, headers_size);
        out += headers_size;
    }
    uint64_t row = first;
    do {
        const uint64_t end = last - row <= per_group ? last : row + per_group;
        const uint64_t count = end - row;
        uint8_t* at = out + (row - first) * l.stride;
        // Stored rows [row, end) are image rows [height - end, height - row).
        const uint8_t* image_rows = rows.rows(l.height - end, count, count * l.stride);
        if (image_rows == nullptr) return false;
        auto convert = [&]() noexcept {
            write_pixel_array(image_rows, static_cast<uint32_t>(l.width), static_cast<uint32_t>(count), at);
        };
        rows.convert(Task(convert));
        row = end;
    } while (row < last);
    return true;
}

}  // namespace

Error write_bmp(const Headers& headers, RowSource& rows, BlockSink& sink, bool in_blocks) noexcept {
    const Layout& l = headers.layout;
    const uint64_t per_block = in_blocks && l.stride < block_bytes ? rows_per_block(l.stride) : l.height;
    uint64_t row = 0;
    do {
        const uint64_t last = l.height - row <= per_block ? l.height : row + per_block;
        uint8_t* out = sink.block((row == 0 ? headers_size : 0) + (last - row) * l.stride);
        if (out == nullptr || !fill_block(headers, rows, row, last, out) || !sink.put()) return Error::caller_failed;
        row = last;
    } while (row < l.height);
    return Error::ok;
}

}  // namespace tavrel::bmp
