// Bounded inflation over split input and fused reconstruct-and-split of the image rows.
#include "png/decode.h"

#include <bit>
#include <cstring>

#define ZLIB_CONST
#include <zlib.h>

#include "png/filters.h"

namespace tavrel::png {
namespace {

// Largest chunk handed to zlib at once: its avail_in / avail_out counters are 32-bit. The tests build once with a
// tiny TAVREL_INFLATE_CHUNK so the chunk-boundary paths, otherwise reached only above 1 GiB, are exercised.
#ifndef TAVREL_INFLATE_CHUNK
#define TAVREL_INFLATE_CHUNK (size_t{1} << 30)
#endif
constexpr size_t kChunk = TAVREL_INFLATE_CHUNK;
static_assert(kChunk >= 1 && kChunk <= 0xFFFFFFFFu, "chunk must fit zlib's 32-bit counters");

// Walks the parts as one logical byte sequence, handing zlib at most kChunk bytes at a time.
struct InputCursor {
    const Span* parts;
    size_t nparts;
    size_t index = 0;
    size_t offset = 0;

    // Points the stream at the next non-empty piece of input; false when every part is used up.
    bool refill(z_stream& zs) noexcept {
        while (index < nparts && offset >= parts[index].size) {
            ++index;
            offset = 0;
        }
        if (index >= nparts) return false;
        const size_t left = parts[index].size - offset;
        const size_t take = left < kChunk ? left : kChunk;
        zs.next_in = parts[index].data + offset;
        zs.avail_in = static_cast<uInt>(take);
        offset += take;
        return true;
    }
};

InflateStatus run_inflate(z_stream& zs, InputCursor& in, uint8_t* out, size_t expected) noexcept {
    size_t produced = 0;
    uint8_t probe[1];  // once out is full, any byte landing here means the stream is too long
    bool input_left = true;
    for (;;) {
        if (zs.avail_in == 0 && input_left) input_left = in.refill(zs);
        const bool probing = produced >= expected;
        uInt offered;
        if (probing) {
            zs.next_out = probe;
            offered = 1;
        } else {
            const size_t room = expected - produced;
            zs.next_out = out + produced;
            offered = static_cast<uInt>(room < kChunk ? room : kChunk);
        }
        zs.avail_out = offered;
        const int rc = inflate(&zs, Z_NO_FLUSH);
        const size_t wrote = offered - zs.avail_out;
        if (probing) {
            if (wrote != 0) return InflateStatus::too_long;
        } else {
            produced += wrote;
        }
        if (rc == Z_STREAM_END) return produced == expected ? InflateStatus::ok : InflateStatus::wrong_length;
        if (rc != Z_OK && rc != Z_BUF_ERROR) return InflateStatus::stream_error;  // NEED_DICT, DATA, MEM, STREAM errors
        // Z_BUF_ERROR just means no progress; with every input byte fed and nothing produced, the stream is truncated.
        if (wrote == 0 && zs.avail_in == 0 && !input_left) return InflateStatus::stream_error;
    }
}

InflateStatus run_discard(z_stream& zs, InputCursor& in) noexcept {
    uint8_t scratch[16384];  // inflate keeps its own window, so the output may be overwritten at once
    bool input_left = true;
    for (;;) {
        if (zs.avail_in == 0 && input_left) input_left = in.refill(zs);
        zs.next_out = scratch;
        zs.avail_out = sizeof scratch;
        const int rc = inflate(&zs, Z_NO_FLUSH);
        const size_t wrote = sizeof scratch - zs.avail_out;
        if (rc == Z_STREAM_END) return InflateStatus::ok;
        if (rc != Z_OK && rc != Z_BUF_ERROR) return InflateStatus::stream_error;
        if (wrote == 0 && zs.avail_in == 0 && !input_left) return InflateStatus::stream_error;
    }
}

// Copies R,G,B of each RGBA pixel into rgb and A into alpha, four pixels per step through 32-bit words.
void split_rgba(const uint8_t* src, uint8_t* rgb, uint8_t* alpha, size_t width) noexcept {
    size_t x = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; x + 4 <= width; x += 4) {
            uint32_t p[4];
            std::memcpy(p, src + 4 * x, 16);
            const uint32_t w[3] = {
                (p[0] & 0x00FFFFFFu) | (p[1] << 24),
                ((p[1] >> 8) & 0x0000FFFFu) | (p[2] << 16),
                ((p[2] >> 16) & 0x000000FFu) | (p[3] << 8),
            };
            std::memcpy(rgb + 3 * x, w, 12);
            alpha[x] = static_cast<uint8_t>(p[0] >> 24);
            alpha[x + 1] = static_cast<uint8_t>(p[1] >> 24);
            alpha[x + 2] = static_cast<uint8_t>(p[2] >> 24);
            alpha[x + 3] = static_cast<uint8_t>(p[3] >> 24);
        }
    }
    for (; x < width; ++x) {
        rgb[3 * x] = src[4 * x];
        rgb[3 * x + 1] = src[4 * x + 1];
        rgb[3 * x + 2] = src[4 * x + 2];
        alpha[x] = src[4 * x + 3];
    }
}

}  // namespace

InflateStatus inflate_bounded(const Span* parts, size_t nparts, uint8_t* out, size_t expected) noexcept {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit(&zs) != Z_OK) return InflateStatus::stream_error;
    InputCursor in{parts, parts ? nparts : 0};
    const InflateStatus st = run_inflate(zs, in, out, out ? expected : 0);
    inflateEnd(&zs);
    return st;
}

InflateStatus inflate_discard(const Span* parts, size_t nparts) noexcept {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit(&zs) != Z_OK) return InflateStatus::stream_error;
    InputCursor in{parts, parts ? nparts : 0};
    const InflateStatus st = run_discard(zs, in);
    inflateEnd(&zs);
    return st;
}

ReconstructResult reconstruct_image(uint8_t* raw, uint32_t width, uint32_t height, unsigned channels, uint8_t* rgb,
                                    uint8_t* alpha, uint8_t* filters) noexcept {
    const bool rgba = channels == 4;
    const uint64_t len = uint64_t{width} * (rgba ? 4u : 3u);
    const uint64_t stride = len + 1;
    const uint64_t rgb_row = uint64_t{width} * 3;
    const uint8_t* prev = nullptr;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = raw + y * stride;
        const unsigned f = row[0];
        if (!unfilter_row(f, rgba ? 4 : 3, row + 1, prev, len)) return {false, y, f};
        if (filters) filters[y] = static_cast<uint8_t>(f);
        if (len != 0) {
            if (rgba)
                split_rgba(row + 1, rgb + y * rgb_row, alpha + uint64_t{y} * width, width);
            else
                std::memcpy(rgb + y * rgb_row, row + 1, len);
        }
        prev = row + 1;
    }
    return {true, 0, 0};
}

}  // namespace tavrel::png
