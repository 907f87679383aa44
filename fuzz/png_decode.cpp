// libFuzzer harness over the PNG decoding path, in the order the extension's reader takes it, from plain C++ calls
// of the codec core: signature, chunk framing with the CRC check, header checks, the bound on what the IDAT data can
// inflate to, bounded inflation into a buffer of exactly the expected size (or the discarding run when the data
// cannot fill it), then row reconstruction with the RGBA split.
//
// Beyond memory safety it checks what the core promises:
// - the inflater's verdict is zlib's own (a plain zlib inflate in the harness decides the same status; the one
//   allowed difference is ISA-L accepting a damaged stream with a matching checksum that zlib refuses), a refused
//   stream reports zlib's own code and message (what the host's zlib.error is built from), and an accepted stream
//   inflates to the same bytes zlib gives;
// - every kernel set the CPU runs reconstructs the same pixels, alpha, filter bytes and first bad row as the scalar
//   set, and the scalar set agrees with a naive model of the filters.
//
// A mutated chunk rarely keeps a matching CRC, and the reader stops at the first chunk whose CRC is wrong; the custom
// mutator below therefore rewrites the CRCs of most mutated inputs, so that mutations reach the header checks, the
// inflater and the rows, and leaves the rest as they are, so that the CRC check itself stays covered.
#define ZLIB_CONST
#include <zlib.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common.h"
#include "png/decode.h"
#include "png/kernels.h"

using namespace tavrel;
using fuzz::Block;

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t chunk_crc(const uint8_t* type_and_data, size_t n) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (n > 0) {
        const uInt step = n > UINT_MAX ? UINT_MAX : static_cast<uInt>(n);
        crc = crc32(crc, type_and_data, step);
        type_and_data += step;
        n -= step;
    }
    return static_cast<uint32_t>(crc);
}

// The extension's bound: deflate cannot expand its input by more than 1032:1.
uint64_t inflate_bound(uint64_t compressed) {
    uint64_t bound = 0;
    if (__builtin_mul_overflow(compressed, uint64_t{1032}, &bound) || __builtin_add_overflow(bound, 1024, &bound))
        return UINT64_MAX;
    return bound;
}

const char* status_name(png::InflateStatus s) {
    switch (s) {
        case png::InflateStatus::ok: return "ok";
        case png::InflateStatus::too_long: return "too_long";
        case png::InflateStatus::wrong_length: return "wrong_length";
        case png::InflateStatus::stream_error: return "stream_error";
    }
    return "?";
}

// What zlib reports for a stream it refuses: its return code (Z_BUF_ERROR when the input ran out) and message.
void zlib_fault(const z_stream& zs, int rc, png::ZlibFault& fault) {
    fault.code = rc == Z_OK || rc == Z_BUF_ERROR ? Z_BUF_ERROR : rc;
    std::snprintf(fault.message, sizeof fault.message, "%s", fault.code == Z_BUF_ERROR || !zs.msg ? "" : zs.msg);
}

void check_fault(const png::ZlibFault& got, const png::ZlibFault& want) {
    if (got.code != want.code || std::strcmp(got.message, want.message) != 0) {
        std::fprintf(stderr, "fault %d '%s', zlib %d '%s'\n", got.code, got.message, want.code, want.message);
        FUZZ_CHECK(false);
    }
}

// zlib's own verdict on the joined stream with room for `expected` bytes, and the bytes it produced (up to expected).
png::InflateStatus zlib_verdict(const std::vector<uint8_t>& joined, size_t expected, std::vector<uint8_t>& out,
                                png::ZlibFault& fault) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit(&zs) != Z_OK) std::abort();
    out.assign(expected + 1, 0);
    zs.next_in = joined.data();
    zs.avail_in = static_cast<uInt>(joined.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    int rc;
    do {
        rc = inflate(&zs, Z_NO_FLUSH);
    } while (rc == Z_OK && zs.avail_out > 0 && zs.avail_in > 0);
    // A stream that ends exactly at expected+1 output bytes leaves one more inflate call to see its end; more than
    // `expected` bytes is too long however the stream goes on.
    const size_t produced = zs.total_out;
    zlib_fault(zs, rc, fault);
    inflateEnd(&zs);
    out.resize(produced < expected ? produced : expected);
    if (produced > expected) return png::InflateStatus::too_long;
    if (rc == Z_STREAM_END) return produced == expected ? png::InflateStatus::ok : png::InflateStatus::wrong_length;
    return png::InflateStatus::stream_error;  // an error, or the input ran out first
}

// zlib's verdict on whether the joined stream ends cleanly, whatever its length.
png::InflateStatus zlib_discard_verdict(const std::vector<uint8_t>& joined, png::ZlibFault& fault) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit(&zs) != Z_OK) std::abort();
    zs.next_in = joined.data();
    zs.avail_in = static_cast<uInt>(joined.size());
    uint8_t scratch[1 << 15];
    int rc;
    do {
        zs.next_out = scratch;
        zs.avail_out = sizeof scratch;
        rc = inflate(&zs, Z_NO_FLUSH);
    } while (rc == Z_OK);
    zlib_fault(zs, rc, fault);
    inflateEnd(&zs);
    return rc == Z_STREAM_END ? png::InflateStatus::ok : png::InflateStatus::stream_error;
}

struct Decoded {
    png::ReconstructResult rr;
    Block rgb, alpha, filters;
    Decoded(size_t npixels, bool rgba, size_t height)
        : rr{}, rgb(npixels * 3), alpha(rgba ? npixels : 0), filters(height) {}
};

// Reconstructs a copy of raw (exactly sized, as the extension allocates it) with the kernel set in use.
void reconstruct(const Block& raw, uint32_t width, uint32_t height, unsigned channels, Decoded& d) {
    Block work(raw.get(), raw.size);
    d.rr = png::reconstruct_image(work.get(), width, height, channels, d.rgb.get(),
                                  channels == 4 ? d.alpha.get() : nullptr, d.filters.get());
}

// The naive model over raw: the rows that reconstruct_image must produce, up to the first bad filter byte.
void naive_reconstruct(const Block& raw, uint32_t width, uint32_t height, unsigned channels, Decoded& d) {
    d.rr = {true, 0, 0};
    if (height == 0) return;  // the row length may then be far larger than the input could ever fill
    const size_t len = size_t{width} * channels;
    std::vector<uint8_t> prev, cur(len);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = raw.get() + y * (len + 1);
        if (row[0] > 4) {
            d.rr = {false, y, row[0]};
            return;
        }
        d.filters.get()[y] = row[0];
        fuzz::naive_unfilter(row[0], channels, row + 1, prev.empty() ? nullptr : prev.data(), cur.data(), len);
        for (uint32_t x = 0; x < width; ++x) {
            std::memcpy(d.rgb.get() + (size_t{y} * width + x) * 3, cur.data() + size_t{x} * channels, 3);
            if (channels == 4) d.alpha.get()[size_t{y} * width + x] = cur[size_t{x} * 4 + 3];
        }
        prev = cur;
    }
}

// Same verdict, and the same bytes in every row both must have written (all rows when ok, those before the bad one
// otherwise; later rows are unspecified).
void check_same(const Decoded& want, const Decoded& got, uint32_t width, uint32_t height) {
    FUZZ_CHECK(want.rr.ok == got.rr.ok);
    const size_t rows = want.rr.ok ? height : want.rr.bad_row;
    if (!want.rr.ok) FUZZ_CHECK(got.rr.bad_row == want.rr.bad_row && got.rr.bad_filter == want.rr.bad_filter);
    const size_t npix = rows * size_t{width};
    FUZZ_CHECK(npix == 0 || std::memcmp(want.rgb.get(), got.rgb.get(), npix * 3) == 0);
    FUZZ_CHECK(want.alpha.size == 0 || npix == 0 || std::memcmp(want.alpha.get(), got.alpha.get(), npix) == 0);
    FUZZ_CHECK(rows == 0 || std::memcmp(want.filters.get(), got.filters.get(), rows) == 0);
}

const std::vector<png::Isa>& sets() {
    static const std::vector<png::Isa> s = fuzz::kernel_sets();
    return s;
}

// The reader's path from the raw data on. Returns normally for every input the extension refuses.
void decode(const uint8_t* data, size_t size) {
    if (size < 8 || std::memcmp(data, kSignature, 8) != 0) return;  // "Unsupported PNG signature"
    size_t pos = 8;
    bool seen = false;
    uint32_t width = 0, height = 0;
    uint8_t depth = 0, color = 0, compression = 0, filter = 0, interlace = 0;
    std::vector<Block> parts;  // each IDAT's data in a block of its own, as the extension holds them
    for (;;) {
        if (pos == size) break;      // clean end at a chunk boundary
        if (size - pos < 4) return;  // "Unexpected EOF while reading chunk length"
        const uint32_t length = be32(data + pos);
        if (size - pos - 4 < 4) return;  // "... chunk type"
        const uint8_t* type = data + pos + 4;
        if (size - pos - 8 < length) return;  // "... chunk data"
        const uint8_t* body = type + 4;
        if (size - pos - 8 - length < 4) return;                                 // "... chunk CRC"
        if (be32(body + length) != chunk_crc(type, size_t{length} + 4)) return;  // "Corrupted PNG chunk detected"
        pos += size_t{12} + length;
        if (std::memcmp(type, "IHDR", 4) == 0) {
            if (length != 13) return;  // struct.error
            width = be32(body);
            height = be32(body + 4);
            if (width > INT32_MAX || height > INT32_MAX) return;  // OverflowError
            depth = body[8], color = body[9], compression = body[10], filter = body[11], interlace = body[12];
            seen = true;
        }
        if (std::memcmp(type, "IDAT", 4) == 0) parts.emplace_back(body, length);
        if (std::memcmp(type, "IEND", 4) == 0) break;
    }
    if (!seen || depth != 8 || (color != 2 && color != 6) || compression || filter || interlace) return;

    const unsigned channels = color == 2 ? 3 : 4;
    uint64_t expected = 0;
    if (__builtin_mul_overflow(uint64_t{height}, uint64_t{width} * channels + 1, &expected)) return;
    std::vector<png::Span> spans;
    std::vector<uint8_t> joined;
    for (const Block& b : parts) {
        spans.push_back({b.get(), b.size});
        joined.insert(joined.end(), b.get(), b.get() + b.size);
    }
    if (inflate_bound(joined.size()) < expected) {
        png::ZlibFault fault, want_fault;
        const png::InflateStatus st = png::inflate_discard(spans.data(), spans.size(), &fault);
        FUZZ_CHECK(st == png::InflateStatus::ok || st == png::InflateStatus::stream_error);
        const png::InflateStatus want = zlib_discard_verdict(joined, want_fault);
        const bool lenient = st == png::InflateStatus::ok && want == png::InflateStatus::stream_error &&
                             std::strcmp(png::inflate_backend(), "isa-l") == 0;
        if (st != want && !lenient) {
            std::fprintf(stderr, "inflate_discard: %s, zlib: %s\n", status_name(st), status_name(want));
            FUZZ_CHECK(st == want);
        }
        if (st == png::InflateStatus::stream_error) check_fault(fault, want_fault);
        return;
    }

    Block raw(expected);
    png::ZlibFault fault, want_fault;
    const png::InflateStatus st = png::inflate_bounded(spans.data(), spans.size(), raw.get(), expected, &fault);
    std::vector<uint8_t> ref;
    const png::InflateStatus want = zlib_verdict(joined, expected, ref, want_fault);
    const bool lenient = st == png::InflateStatus::ok && want == png::InflateStatus::stream_error &&
                         std::strcmp(png::inflate_backend(), "isa-l") == 0;
    if (st != want && !lenient) {
        std::fprintf(stderr, "inflate_bounded: %s, zlib: %s (expected %llu bytes, %zu compressed in %zu parts)\n",
                     status_name(st), status_name(want), static_cast<unsigned long long>(expected), joined.size(),
                     parts.size());
        FUZZ_CHECK(st == want);
    }
    if (st == png::InflateStatus::stream_error) check_fault(fault, want_fault);
    if (st != png::InflateStatus::ok) return;  // zlib.error or "Malformed PNG image data"
    if (want == png::InflateStatus::ok) FUZZ_CHECK(expected == 0 || std::memcmp(raw.get(), ref.data(), expected) == 0);

    const size_t npixels = size_t{width} * height;
    Decoded model(npixels, channels == 4, height);
    naive_reconstruct(raw, width, height, channels, model);
    for (png::Isa isa : sets()) {
        png::use_isa(isa);
        Decoded got(npixels, channels == 4, height);
        reconstruct(raw, width, height, channels, got);
        check_same(model, got, width, height);
    }
    png::use_isa(png::best_isa());
}

// Rewrites the CRC of every complete chunk after the signature.
void fix_crcs(uint8_t* data, size_t size) {
    if (size < 8 || std::memcmp(data, kSignature, 8) != 0) return;
    size_t pos = 8;
    while (size - pos >= 12) {
        const uint32_t length = be32(data + pos);
        if (size - pos - 12 < length) return;
        const uint32_t crc = chunk_crc(data + pos + 4, size_t{length} + 4);
        uint8_t* out = data + pos + 8 + length;
        out[0] = static_cast<uint8_t>(crc >> 24), out[1] = static_cast<uint8_t>(crc >> 16);
        out[2] = static_cast<uint8_t>(crc >> 8), out[3] = static_cast<uint8_t>(crc);
        pos += size_t{12} + length;
    }
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, max_size);
    if (seed % 16 != 0) fix_crcs(data, size);
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    decode(data, size);
    return 0;
}
