#include "png/compress.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace tavrel::png {

uint64_t compress_bound(uint64_t size) noexcept { return compressBound(static_cast<uLong>(size)); }

size_t compress_as_host(std::span<const uint8_t> in, std::span<uint8_t> out) noexcept {
    if (out.size() < compress_bound(in.size())) return 0;
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    int rc = deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) return 0;
    uint64_t left_in = in.size(), left_out = out.size();
    zs.next_in = const_cast<Bytef*>(in.data());  // deflate only reads through it
    zs.next_out = out.data();
    int flush = Z_NO_FLUSH;
    do {
        zs.avail_in = static_cast<uInt>(std::min<uint64_t>(left_in, UINT_MAX));
        left_in -= zs.avail_in;
        flush = left_in == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            const uint64_t offered = std::min<uint64_t>(left_out, UINT_MAX);
            zs.avail_out = static_cast<uInt>(offered);
            rc = deflate(&zs, flush);
            left_out -= offered - zs.avail_out;
        } while (rc != Z_STREAM_ERROR && zs.avail_out == 0 && left_out != 0);
    } while (rc != Z_STREAM_ERROR && flush != Z_FINISH);
    const auto written = static_cast<size_t>(zs.total_out);
    if (deflateEnd(&zs) != Z_OK || rc != Z_STREAM_END) return 0;
    return written;
}

}  // namespace tavrel::png
