#include "png/compress.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace tavrel::png {

uint64_t compress_bound(uint64_t size) noexcept { return compressBound(static_cast<uLong>(size)); }

struct HostDeflater::State {
    z_stream zs{};
    uint8_t* out = nullptr;
    uint64_t left_out = 0;
    bool ok = false;
    bool finished = false;
};

HostDeflater::HostDeflater(std::span<uint8_t> out) noexcept : state_(new (std::nothrow) State) {
    if (!state_) return;
    State& s = *state_;
    std::memset(&s.zs, 0, sizeof s.zs);
    s.ok = deflateInit2(&s.zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    s.out = out.data();
    s.left_out = out.size();
    s.zs.next_out = out.data();
}

HostDeflater::~HostDeflater() {
    if (state_ && state_->ok) deflateEnd(&state_->zs);
}

bool HostDeflater::put(std::span<const uint8_t> in, bool last) noexcept {
    if (!state_ || !state_->ok || state_->finished) return false;
    State& s = *state_;
    z_stream& zs = s.zs;
    uint64_t left_in = in.size();
    zs.next_in = const_cast<Bytef*>(in.data());  // deflate only reads through it
    int rc = Z_OK;
    int flush = Z_NO_FLUSH;
    do {
        zs.avail_in = static_cast<uInt>(std::min<uint64_t>(left_in, UINT_MAX));
        left_in -= zs.avail_in;
        flush = last && left_in == 0 ? Z_FINISH : Z_NO_FLUSH;
        // Without Z_FINISH deflate may keep input back until more comes; every byte given is taken.
        do {
            const uint64_t offered = std::min<uint64_t>(s.left_out, UINT_MAX);
            zs.avail_out = static_cast<uInt>(offered);
            rc = deflate(&zs, flush);
            s.left_out -= offered - zs.avail_out;
        } while (rc != Z_STREAM_ERROR && rc != Z_STREAM_END && (zs.avail_out == 0 || zs.avail_in != 0) &&
                 s.left_out != 0);
    } while (rc != Z_STREAM_ERROR && left_in != 0);
    if (rc == Z_STREAM_ERROR || (flush == Z_FINISH && rc != Z_STREAM_END) || zs.avail_in != 0) {
        s.ok = false;
        deflateEnd(&zs);
        return false;
    }
    if (last) s.finished = true;
    return true;
}

size_t HostDeflater::written() const noexcept {
    return state_ && state_->finished ? static_cast<size_t>(state_->zs.total_out) : 0;
}

size_t compress_as_host(std::span<const uint8_t> in, std::span<uint8_t> out) noexcept {
    if (out.size() < compress_bound(in.size())) return 0;
    HostDeflater deflater(out);
    return deflater.put(in, true) ? deflater.written() : 0;
}

}  // namespace tavrel::png
