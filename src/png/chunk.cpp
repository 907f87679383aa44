#include "png/chunk.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace tavrel::png {
namespace {

uLong crc_update(uLong crc, const uint8_t* data, size_t size) noexcept {
    while (size > 0) {
        const uInt n = static_cast<uInt>(std::min<size_t>(size, UINT_MAX));
        crc = ::crc32(crc, data, n);
        data += n;
        size -= n;
    }
    return crc;
}

void put_be32(uint8_t* out, uint32_t v) noexcept {
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
}

}  // namespace

size_t put_chunk(uint8_t* out, const uint8_t* type, size_t type_len, const uint8_t* data, size_t data_len) noexcept {
    put_be32(out, static_cast<uint32_t>(data_len));
    uint8_t* p = out + 4;
    if (type_len) std::memcpy(p, type, type_len);
    p += type_len;
    if (data_len) std::memcpy(p, data, data_len);
    p += data_len;
    const uLong crc = crc_update(crc_update(::crc32(0L, Z_NULL, 0), type, type_len), data, data_len);
    put_be32(p, static_cast<uint32_t>(crc));
    return static_cast<size_t>(p + 4 - out);
}

}  // namespace tavrel::png
