// Parsing and packing of the two BMP headers.
#include "bmp/header.h"

#include "bmp/rows.h"

namespace tavrel::bmp {
namespace {

uint32_t le32(const uint8_t* p) noexcept {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
uint16_t le16(const uint8_t* p) noexcept { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
int32_t sle32(const uint8_t* p) noexcept { return static_cast<int32_t>(le32(p)); }

void put16(uint8_t*& out, uint32_t v) noexcept {
    *out++ = static_cast<uint8_t>(v);
    *out++ = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t*& out, uint32_t v) noexcept {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// Packs the fields of the header, first to last, each checked against the range of its size.
class Packer {
public:
    explicit Packer(Headers& h) noexcept : h_(h), out_(h.bytes) {}
    void u16(uint32_t v) noexcept { put16(out_, v); }
    void u32(__int128 v) noexcept {
        if ((v < 0 || v > UINT32_MAX) && h_.error == Error::ok) {
            h_.error = Error::field_range;
            h_.bad_value = v < INT64_MIN ? INT64_MIN : v > INT64_MAX ? INT64_MAX : static_cast<int64_t>(v);
        }
        put32(out_, static_cast<uint32_t>(v));
    }
    // A field read back as signed: -2^31 to -1 is packed as its 32-bit pattern.
    void pattern32(int64_t v) noexcept { u32(v < 0 && v >= INT32_MIN ? v + (int64_t{1} << 32) : v); }

private:
    Headers& h_;
    uint8_t* out_;
};

}  // namespace

Error parse_file_header(std::span<const uint8_t> bytes, uint32_t& pixel_offset) noexcept {
    if (bytes.size() < file_header_size || bytes[0] != 'B' || bytes[1] != 'M') return Error::bad_file_header;
    pixel_offset = le32(bytes.data() + 10);
    return Error::ok;
}

Error parse_info_size(std::span<const uint8_t> bytes) noexcept {
    if (bytes.size() < info_size_field) return Error::short_info_header;
    if (bytes.size() != info_size_field) return Error::info_size_length;
    return le32(bytes.data()) == 40 ? Error::ok : Error::bad_info_size;
}

Error parse_info(std::span<const uint8_t> bytes, Info& info) noexcept {
    if (bytes.size() != info_rest_size) return Error::info_length;
    const uint8_t* p = bytes.data();
    info = {sle32(p), sle32(p + 4), sle32(p + 20), sle32(p + 24), le32(p + 28), le32(p + 32)};
    const bool supported = le16(p + 8) == 1 && le16(p + 10) == 24 && le32(p + 12) == 0;  // planes, bits, compression
    return supported ? Error::ok : Error::bad_format;
}

Headers pack_headers(const Fields& f) noexcept {
    Headers h;
    // width * 3 + 3 floored to a multiple of 4, as for a negative width too.
    const int64_t stride = (int64_t{f.width} * 3 + 3) & ~int64_t{3};
    const __int128 pixel_array = static_cast<__int128>(stride) * f.height;
    Packer pack(h);
    pack.u16('B' | ('M' << 8));
    pack.u32(headers_size + pixel_array);
    pack.u16(0);
    pack.u16(0);
    pack.u32(headers_size);
    pack.u32(40);
    pack.u32(f.width);
    pack.u32(f.height);
    pack.u16(1);
    pack.u16(24);
    pack.u32(0);
    pack.u32(pixel_array);
    pack.pattern32(f.xppm);
    pack.pattern32(f.yppm);
    pack.u32(f.clr_used);
    pack.u32(f.clr_important);
    if (h.error == Error::ok) {
        const auto w = static_cast<uint64_t>(f.width), hh = static_cast<uint64_t>(f.height);
        h.layout = {w, hh, row_stride(w), static_cast<uint64_t>(pixel_array), w * hh * 3};
    }
    return h;
}

}  // namespace tavrel::bmp
