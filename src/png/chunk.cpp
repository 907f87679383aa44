#include "png/chunk.h"

#include <zlib.h>

#if TAVREL_HAVE_ISAL
#include <isa-l/crc.h>
#endif

#include <algorithm>
#include <climits>
#include <cstring>

namespace tavrel::png {
namespace {

void put_be32(uint8_t* out, uint32_t v) noexcept {
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
}

}  // namespace

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc) noexcept {
#if TAVREL_HAVE_ISAL
    // Takes a 64-bit length (no 32-bit pieces needed) and continues from crc as zlib's crc32 does.
    return size == 0 ? crc : crc32_gzip_refl(crc, data, size);
#else
    uLong value = crc;
    while (size > 0) {
        const uInt n = static_cast<uInt>(std::min<size_t>(size, UINT_MAX));
        value = ::crc32(value, data, n);
        data += n;
        size -= n;
    }
    return static_cast<uint32_t>(value);
#endif
}

size_t put_chunk(uint8_t* out, const uint8_t* type, size_t type_len, const uint8_t* data, size_t data_len) noexcept {
    put_be32(out, static_cast<uint32_t>(data_len));
    uint8_t* p = out + 4;
    if (type_len) std::memcpy(p, type, type_len);
    p += type_len;
    if (data_len) std::memcpy(p, data, data_len);
    p += data_len;
    put_be32(p, crc32(data, data_len, crc32(type, type_len)));
    return static_cast<size_t>(p + 4 - out);
}

}  // namespace tavrel::png
