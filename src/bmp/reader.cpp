// The BMP reading pipeline: headers, pixel buffer size, seek, stored rows.
#include "bmp/reader.h"

#include <limits>

#include "bmp/rows.h"
#include "common/pages.h"

namespace tavrel::bmp {
namespace {

// Reads and checks the three header parts, the pixel data offset into `offset`.
Error read_headers(ByteSource& source, Info& info, uint32_t& offset) noexcept {
    if (!source.read(file_header_size)) return Error::caller_failed;
    Error e = parse_file_header(source.view().bytes, offset);
    if (e != Error::ok) return e;
    if (!source.read(info_size_field)) return Error::caller_failed;
    e = parse_info_size(source.view().bytes);
    if (e != Error::ok) return e;
    if (!source.read(info_rest_size)) return Error::caller_failed;
    return parse_info(source.view().bytes, info);
}

// The size of the pixel buffer, width * |height| * 3, decided as the host decides a buffer size: negative is
// refused, and so is one beyond an index-sized integer.
Error pixel_bytes(const Info& info, uint64_t rows, uint64_t& total) noexcept {
    const __int128 exact = static_cast<__int128>(info.width) * rows * 3;
    if (exact < 0) return Error::negative_pixels;
    if (exact > std::numeric_limits<std::ptrdiff_t>::max()) return Error::pixels_past_index;
    total = static_cast<uint64_t>(exact);
    return Error::ok;
}

// Reads `rows` stored rows of `width` pixels, `per_read` rows per read call, into the sink's buffer of image rows.
// Up to `upfront` bytes the buffer is made at once and each row goes straight to its place; beyond, the buffer grows
// geometrically (never past its final size) as rows arrive, in stored order, and is turned over at the end when the
// rows were stored bottom-up.
Error read_rows(ByteSource& source, PixelSink& sink, uint64_t width, uint64_t rows, bool bottom_up, uint64_t per_read,
                uint64_t upfront) noexcept {
    const uint64_t stride = row_stride(width), row_bytes = width * 3;
    const uint64_t total = rows * row_bytes;  // the caller checked it
    const bool at_once = total <= upfront;
    uint8_t* base = nullptr;
    uint64_t have = at_once ? total : 0;  // the buffer's size
    if (!sink.resize(have, base)) return Error::caller_failed;
    advise_huge_pages(base, static_cast<size_t>(have));
    uint64_t filled = 0;  // bytes of the growing buffer holding rows so far
    for (uint64_t row = 0; row < rows;) {
        const uint64_t count = rows - row < per_read ? rows - row : per_read;
        const uint64_t want = stride * count;
        if (!source.read(want)) return Error::caller_failed;
        if (source.view().bytes.size() < want) return Error::short_pixels;
        if (!at_once && filled + row_bytes * count > have) {
            const uint64_t need = filled + row_bytes * count;
            have = have * 2 > need ? have * 2 : need;
            if (have > total) have = total;
            if (!sink.resize(have, base)) return Error::caller_failed;
        }
        // The stored rows are viewed only now, after the last call out: bytes that are not fixed may have changed.
        const ReadBytes stored = source.view();
        if (stored.bytes.size() < want) return Error::short_pixels;
        auto convert = [&]() noexcept {
            for (uint64_t k = 0; k < count; ++k, ++row) {
                uint64_t at = filled;
                if (at_once) {
                    at = (bottom_up ? rows - 1 - row : row) * row_bytes;
                } else {
                    filled += row_bytes;
                }
                bgr_row_to_rgb(stored.bytes.data() + k * stride, base + at, static_cast<size_t>(width));
            }
        };
        if (stored.fixed) {
            source.run(want, Task(convert));
        } else {
            convert();
        }
    }
    if (!at_once) {
        if (!sink.resize(total, base)) return Error::caller_failed;
        auto reverse = [&]() noexcept {
            reverse_rows(base, static_cast<size_t>(row_bytes), static_cast<size_t>(rows));
        };
        if (bottom_up) source.run(total, Task(reverse));
    }
    return Error::ok;
}

ReadResult failed(ReadResult& r) noexcept {
    r.error = Error::caller_failed;
    return r;
}

}  // namespace

ReadResult read_bmp(ByteSource& source, PixelSink& sink, uint64_t upfront) noexcept {
    ReadResult r;
    uint32_t offset = 0;
    r.error = read_headers(source, r.info, offset);
    if (r.error != Error::ok) return r;
    const int64_t height = r.info.height;
    r.rows = static_cast<uint64_t>(height < 0 ? -height : height);
    uint64_t total = 0;
    r.error = pixel_bytes(r.info, r.rows, total);
    if (r.error != Error::ok) return r;
    if (!source.seek(offset)) return failed(r);

    if (total == 0) {
        // No pixels: a width of 0 (any other one has no rows to read) still asks for each of its empty rows.
        uint8_t* base = nullptr;
        if (!sink.resize(0, base)) return failed(r);
        const uint64_t asks = r.info.width != 0 ? 0 : (r.rows > 0 && source.empty_reads_inert() ? 1 : r.rows);
        for (uint64_t row = 0; row < asks; ++row) {
            if (!source.read(0)) return failed(r);
        }
        return r;
    }
    // A positive width and height (their product is).
    const auto width = static_cast<uint64_t>(r.info.width);
    bool blocks = false;
    if (!source.reads_unobserved(blocks)) return failed(r);
    const uint64_t per_read = blocks ? rows_per_block(row_stride(width)) : 1;
    r.error = read_rows(source, sink, width, r.rows, height > 0, per_read, upfront);
    return r;
}

}  // namespace tavrel::bmp
