// Bounded inflation over split input and fused reconstruct-and-split of the image rows.
#include "png/decode.h"

#include <cstring>

#define ZLIB_CONST
#include <zlib.h>

#if TAVREL_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <cstdlib>
#include <memory>
#include <utility>

#include "png/filters.h"
#include "png/kernels.h"

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
    const Span* parts = nullptr;
    size_t nparts = 0;
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
        uInt offered = 0;
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

InflateStatus inflate_with_zlib(const Span* parts, size_t nparts, uint8_t* out, size_t expected) noexcept {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit(&zs) != Z_OK) return InflateStatus::stream_error;
    InputCursor in{parts, parts ? nparts : 0};
    const InflateStatus st = run_inflate(zs, in, out, out ? expected : 0);
    inflateEnd(&zs);
    return st;
}

#if TAVREL_HAVE_LIBDEFLATE
struct FreeDecompressor {
    void operator()(libdeflate_decompressor* d) const noexcept { libdeflate_free_decompressor(d); }
};
struct FreeBytes {
    void operator()(uint8_t* p) const noexcept { std::free(p); }
};

// One-shot inflation with libdeflate, which needs the whole stream in one block: a single non-empty part is used
// where it lies, several are joined into a copy of the compressed bytes (never anything sized by `expected`).
// True only when libdeflate inflates the stream to exactly `expected` bytes with a matching checksum; every other
// outcome, and any failure to allocate, is left to zlib, so that every failure reported is zlib's own.
bool inflate_exact_with_libdeflate(const Span* parts, size_t nparts, uint8_t* out, size_t expected) noexcept {
    size_t total = 0, nonempty = 0;
    const Span* only = nullptr;
    for (size_t i = 0; i < nparts; ++i) {
        if (parts[i].size == 0) continue;
        if (__builtin_add_overflow(total, parts[i].size, &total)) return false;
        ++nonempty;
        only = &parts[i];
    }
    if (nonempty == 0) return false;
    std::unique_ptr<uint8_t, FreeBytes> joined;
    const uint8_t* in = only->data;
    if (nonempty > 1) {
        joined.reset(static_cast<uint8_t*>(std::malloc(total)));
        if (!joined) return false;
        uint8_t* w = joined.get();
        for (size_t i = 0; i < nparts; ++i) {
            if (parts[i].size == 0) continue;
            std::memcpy(w, parts[i].data, parts[i].size);
            w += parts[i].size;
        }
        in = joined.get();
    }
    std::unique_ptr<libdeflate_decompressor, FreeDecompressor> d(libdeflate_alloc_decompressor());
    if (!d) return false;
    uint8_t none[1];
    size_t used_in = 0, produced = 0;
    const libdeflate_result r =
        libdeflate_zlib_decompress_ex(d.get(), in, total, out ? out : none, out ? expected : 0, &used_in, &produced);
    return r == LIBDEFLATE_SUCCESS && produced == (out ? expected : 0);
}
#endif

}  // namespace

const char* inflate_backend() noexcept {
#if TAVREL_HAVE_LIBDEFLATE
    return "libdeflate";
#else
    return "zlib";
#endif
}

InflateStatus inflate_bounded(const Span* parts, size_t nparts, uint8_t* out, size_t expected) noexcept {
    if (!parts) nparts = 0;
#if TAVREL_HAVE_LIBDEFLATE
    if (inflate_exact_with_libdeflate(parts, nparts, out, expected)) return InflateStatus::ok;
#endif
    return inflate_with_zlib(parts, nparts, out, expected);
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
    const RowKernels& k = row_kernels();
    const bool rgba = channels == 4;
    const uint64_t len = uint64_t{width} * (rgba ? 4u : 3u);
    const uint64_t stride = len + 1;
    const uint64_t rgb_row = uint64_t{width} * 3;
    const uint8_t* prev = nullptr;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = raw + y * stride;
        const unsigned f = row[0];
        if (f > 4) return {false, y, f};
        if (filters) filters[y] = static_cast<uint8_t>(f);
        if (len == 0) continue;
        uint8_t* out = rgb + y * rgb_row;
        if (rgba) {
            // Reconstructed in place: the interleaved row is the next row's predictor source.
            k.unfilter_rgba(f, row + 1, prev, out, alpha + uint64_t{y} * width, width);
            prev = row + 1;
        } else {
            // An RGB row reconstructs straight into the pixel buffer, which then serves as the previous row.
            k.unfilter_rgb(f, row + 1, prev, out, width);
            prev = out;
        }
    }
    return {true, 0, 0};
}

ReconstructResult reconstruct_rgb_in_place(uint8_t* buf, uint32_t width, uint32_t height, uint8_t* filters,
                                           uint8_t* row) noexcept {
    const RowKernels& k = row_kernels();
    const uint64_t len = uint64_t{width} * 3;
    const uint64_t stride = len + 1;
    const uint8_t* prev = nullptr;
    for (uint32_t y = 0; y < height; ++y) {
        // Row y's filtered bytes start y bytes after its pixels do: copied out before they are overwritten.
        std::memcpy(row, buf + y * stride, stride);
        const unsigned f = row[0];
        if (f > 4) return {false, y, f};
        if (filters) filters[y] = static_cast<uint8_t>(f);
        if (len == 0) continue;
        uint8_t* out = buf + y * len;
        k.unfilter_rgb(f, row + 1, prev, out, width);
        prev = out;
    }
    return {true, 0, 0};
}

ReconstructResult reconstruct_rgba_in_place(uint8_t* buf, uint32_t width, uint32_t height, uint8_t* alpha,
                                            uint8_t* filters, uint8_t* rows) noexcept {
    const RowKernels& k = row_kernels();
    const uint64_t len = uint64_t{width} * 4;
    const uint64_t stride = len + 1;
    const uint64_t rgb_row = uint64_t{width} * 3;
    uint8_t* cur = rows;
    uint8_t* other = rows + stride;
    const uint8_t* prev = nullptr;
    for (uint32_t y = 0; y < height; ++y) {
        // Row y's filtered bytes start y * (width + 1) bytes after its RGB pixels do: copied out first.
        std::memcpy(cur, buf + y * stride, stride);
        const unsigned f = cur[0];
        if (f > 4) return {false, y, f};
        if (filters) filters[y] = static_cast<uint8_t>(f);
        if (len == 0) continue;
        k.unfilter_rgba(f, cur + 1, prev, buf + y * rgb_row, alpha + uint64_t{y} * width, width);
        prev = cur + 1;
        std::swap(cur, other);
    }
    return {true, 0, 0};
}

}  // namespace tavrel::png
