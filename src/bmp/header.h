// BMP headers: the 14-byte file header and the 40-byte BITMAPINFOHEADER, parsed from the bytes a stream returned and
// packed, every field checked against its range, for a file to write. All fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "bmp/error.h"

namespace tavrel::bmp {

inline constexpr size_t file_header_size = 14;
inline constexpr size_t info_size_field = 4;
inline constexpr size_t info_rest_size = 36;  // the info header after its size field
inline constexpr size_t headers_size = 54;    // both headers: where the rows of a written file start

// What a read file keeps of its info header.
struct Info {
    int32_t width = 0, height = 0;  // the sign of height gives the row order: positive is bottom-up
    int32_t xppm = 0, yppm = 0;     // resolution, pixels per metre
    uint32_t clr_used = 0, clr_important = 0;
};

// The file header: at least 14 bytes starting "BM" (bytes past the 14th are ignored). Gives the pixel data offset.
Error parse_file_header(std::span<const uint8_t> bytes, uint32_t& pixel_offset) noexcept;
// The info header's size field: exactly 4 bytes, holding 40.
Error parse_info_size(std::span<const uint8_t> bytes) noexcept;
// The other 36 bytes of the info header: one plane of 24 bits per pixel, uncompressed.
Error parse_info(std::span<const uint8_t> bytes, Info& info) noexcept;

// The values of a file to write that its layout does not fix. A value beyond 64 bits is given as the nearest 64-bit
// one: it is out of range all the same.
struct Fields {
    int32_t width = 0, height = 0;
    int64_t xppm = 0, yppm = 0, clr_used = 0, clr_important = 0;
};

// A written file's layout, once its headers packed (so width and height are not negative).
struct Layout {
    uint64_t width = 0, height = 0;
    uint64_t stride = 0;       // bytes per stored row
    uint64_t pixel_array = 0;  // stride * height, below 2^32
    uint64_t image_bytes = 0;  // width * height * 3: what the rows are made from
};

struct Headers {
    Error error = Error::ok;
    int64_t bad_value = 0;  // field_range: the first value outside its field's range (the nearest 64-bit one)
    Layout layout;
    uint8_t bytes[headers_size] = {};
};

// Packs both headers: "BM", the file size 54 + stride * height, two zero reserved fields, the pixel data offset 54;
// the info header of 40 bytes with width, height, one plane, 24 bits, no compression, the pixel array size and the
// four fields. Each field is checked as an unsigned 32-bit one (16-bit for planes and bits), in the order of the
// file, except that xppm and yppm take -2^31 to -1 as their 32-bit pattern (they are read as signed values). The
// stride is width * 3 rounded up to a multiple of 4 also for a negative width (which the check then refuses).
Headers pack_headers(const Fields& fields) noexcept;

}  // namespace tavrel::bmp
