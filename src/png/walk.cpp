// A walk over a zlib stream's deflate blocks: every symbol decoded, no output byte written, and zlib reading each
// block header itself, so that whatever the walk accepts is what zlib accepts.
#include "png/walk.h"

#include <climits>
#include <cstdint>
#include <cstring>

#define ZLIB_CONST
#include <zlib.h>

namespace tavrel::png {
namespace {

// Deflate's bit order: the bits of each byte from the lowest, bytes loaded only as needed, so that at most 23 bits
// are ever buffered (zlib can be primed with all of them).
struct BitReader {
    PartsCursor bytes;
    uint32_t buf = 0;
    unsigned count = 0;

    bool fill(unsigned n) noexcept {
        while (count < n) {
            uint8_t b = 0;
            if (!bytes.next(b)) return false;
            buf |= uint32_t{b} << count;
            count += 8;
        }
        return true;
    }
    // n <= 16
    bool take(unsigned n, uint32_t& value) noexcept {
        if (!fill(n)) return false;
        value = buf & ((1u << n) - 1);
        buf >>= n;
        count -= n;
        return true;
    }
};

// A canonical Huffman code: how many codes of each length, and the symbols in code order.
struct Code {
    uint16_t count[16] = {};
    uint16_t symbol[320] = {};
};

// false when the lengths over-subscribe the code (zlib refuses such a header before the walk reads it).
bool build(Code& c, const uint8_t* lengths, unsigned n) noexcept {
    std::memset(c.count, 0, sizeof c.count);
    for (unsigned i = 0; i < n; ++i) ++c.count[lengths[i]];
    c.count[0] = 0;
    int left = 1;
    for (unsigned len = 1; len < 16; ++len) {
        left = 2 * left - c.count[len];
        if (left < 0) return false;
    }
    uint16_t offsets[16];
    offsets[1] = 0;
    for (unsigned len = 1; len < 15; ++len) offsets[len + 1] = static_cast<uint16_t>(offsets[len] + c.count[len]);
    for (unsigned i = 0; i < n; ++i) {
        if (lengths[i] != 0) c.symbol[offsets[lengths[i]]++] = static_cast<uint16_t>(i);
    }
    return true;
}

// The next symbol, or -1 when the bits match no code (an incomplete code's gap) or the input ends first.
int decode(BitReader& r, const Code& c) noexcept {
    r.fill(15);  // may fall short at the very end of the input
    uint32_t bits = r.buf;
    int code = 0, first = 0, index = 0;
    for (unsigned len = 1; len < 16 && len <= r.count; ++len) {
        code |= static_cast<int>(bits & 1);
        bits >>= 1;
        const int n = c.count[len];
        if (code - n < first) {
            r.buf >>= len;
            r.count -= len;
            return c.symbol[index + (code - first)];
        }
        index += n;
        first = (first + n) << 1;
        code <<= 1;
    }
    return -1;
}

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                        33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The codes of a fixed block: all 288 literal/length and 32 distance symbols, the last two of each invalid in use.
void build_fixed(Code& lit, Code& dist) noexcept {
    uint8_t lengths[320];
    for (unsigned i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    build(lit, lengths, 288);
    std::memset(lengths, 5, 32);
    build(dist, lengths, 32);
}

// A dynamic block's code tables, read after zlib has accepted them.
bool read_dynamic(BitReader& r, Code& lit, Code& dist) noexcept {
    uint32_t hlit = 0, hdist = 0, hclen = 0;
    if (!r.take(5, hlit) || !r.take(5, hdist) || !r.take(4, hclen)) return false;
    const unsigned nlen = hlit + 257, ndist = hdist + 1, ncode = hclen + 4;
    if (nlen > 286 || ndist > 30) return false;
    static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    uint8_t code_lengths[19] = {};
    for (unsigned i = 0; i < ncode; ++i) {
        uint32_t v = 0;
        if (!r.take(3, v)) return false;
        code_lengths[kOrder[i]] = static_cast<uint8_t>(v);
    }
    Code lencode;
    if (!build(lencode, code_lengths, 19)) return false;
    uint8_t lengths[320] = {};
    const unsigned total = nlen + ndist;
    unsigned i = 0;
    while (i < total) {
        const int sym = decode(r, lencode);
        if (sym < 0) return false;
        if (sym < 16) {
            lengths[i++] = static_cast<uint8_t>(sym);
            continue;
        }
        uint32_t extra = 0, repeat = 0;
        uint8_t value = 0;
        if (sym == 16) {
            if (i == 0 || !r.take(2, extra)) return false;
            value = lengths[i - 1];
            repeat = 3 + extra;
        } else if (sym == 17) {
            if (!r.take(3, extra)) return false;
            repeat = 3 + extra;
        } else {
            if (!r.take(7, extra)) return false;
            repeat = 11 + extra;
        }
        if (i + repeat > total) return false;
        while (repeat-- != 0) lengths[i++] = value;
    }
    if (lengths[256] == 0) return false;
    return build(lit, lengths, nlen) && build(dist, lengths + nlen, ndist);
}

enum class Judged { accepted, refused, undecided };

// Hands zlib the n (<= 32) buffered bits, the lowest first.
bool prime(z_stream& zs, uint32_t bits, unsigned n) noexcept {
    if (n > 16) {
        if (inflatePrime(&zs, 16, static_cast<int>(bits & 0xFFFF)) != Z_OK) return false;
        bits >>= 16;
        n -= 16;
    }
    return n == 0 || inflatePrime(&zs, static_cast<int>(n), static_cast<int>(bits & ((1u << n) - 1))) == Z_OK;
}

// zlib reads the block header that starts at the reader's position: primed with the buffered bits, then fed the
// rest of the input, it stops at the end of the header (Z_TREES) or refuses it.
Judged judge_header(z_stream& zs, const BitReader& r, ZlibFault* fault) noexcept {
    if (inflateReset(&zs) != Z_OK || !prime(zs, r.buf, r.count)) return Judged::undecided;
    PartsCursor in = r.bytes;
    uint8_t none[1] = {0};
    zs.next_out = none;
    zs.avail_out = 0;  // a header produces nothing
    for (;;) {
        const bool have = in.settle();
        const Span rest = in.rest();
        const uInt offered = static_cast<uInt>(rest.size() < UINT_MAX ? rest.size() : UINT_MAX);
        zs.next_in = have ? rest.data() : none;
        zs.avail_in = offered;
        const int rc = inflate(&zs, Z_TREES);
        if (rc == Z_DATA_ERROR) {
            record_zlib_fault(fault, rc, zs.msg);
            return Judged::refused;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) return Judged::undecided;
        if (zs.data_type & 256) return Judged::accepted;  // stopped at the start of the block's data
        if (!have || zs.avail_in != 0) return Judged::undecided;
        in.offset += offered;
    }
}

// With `marks`, each block start with at most `limit` bytes of output before it is recorded there, and the walk stops
// (undecided) at the first that has more.
WalkVerdict walk_blocks(z_stream& zs, const Span* parts, size_t nparts, ZlibFault* fault, BlockStart* marks = nullptr,
                        uint64_t limit = 0) noexcept {
    constexpr WalkVerdict undecided = WalkVerdict::undecided;
    BitReader r;
    r.bytes = {parts, nparts};
    if (!r.bytes.skip(2)) return undecided;
    Code fixed_lit, fixed_dist, dynamic_lit, dynamic_dist;
    build_fixed(fixed_lit, fixed_dist);
    uint64_t produced = 0;  // what zlib would have written so far: distances may reach back only that far
    for (;;) {
        if (marks) {
            if (produced > limit) return undecided;
            *marks = {r.bytes, r.buf, r.count, produced};
        }
        switch (judge_header(zs, r, fault)) {
            case Judged::accepted: break;
            case Judged::refused: return WalkVerdict::refused;
            case Judged::undecided: return undecided;
        }
        uint32_t last = 0, type = 0;
        if (!r.take(1, last) || !r.take(2, type)) return undecided;
        if (type == 0) {
            // Stored: from the next byte boundary, LEN and its complement, then LEN bytes.
            const unsigned pad = r.count % 8;
            r.buf >>= pad;
            r.count -= pad;
            uint32_t len = 0, nlen = 0;
            if (!r.take(16, len) || !r.take(16, nlen) || (len ^ 0xFFFFu) != nlen) return undecided;
            uint32_t rest = len;
            for (; rest != 0 && r.count != 0; --rest) {  // whole bytes still in the bit buffer come first
                r.buf >>= 8;
                r.count -= 8;
            }
            if (!r.bytes.skip(rest)) return undecided;
            produced += len;
        } else if (type == 1 || type == 2) {
            if (type == 2 && !read_dynamic(r, dynamic_lit, dynamic_dist)) return undecided;
            const Code& lit = type == 1 ? fixed_lit : dynamic_lit;
            const Code& dist = type == 1 ? fixed_dist : dynamic_dist;
            for (;;) {
                int sym = decode(r, lit);
                if (sym < 0) return undecided;
                if (sym < 256) {
                    ++produced;
                    continue;
                }
                if (sym == 256) break;
                sym -= 257;
                if (sym >= 29) return undecided;  // 286 and 287 (fixed blocks only): zlib's to name
                uint32_t extra = 0;
                if (!r.take(kLengthExtra[sym], extra)) return undecided;
                const uint32_t length = kLengthBase[sym] + extra;
                const int dsym = decode(r, dist);
                if (dsym < 0 || dsym >= 30 || !r.take(kDistanceExtra[dsym], extra)) return undecided;
                if (kDistanceBase[dsym] + extra > produced) return undecided;  // too far back
                produced += length;
            }
        } else {
            return undecided;  // zlib refuses block type 3 when it reads the header
        }
        if (last) return WalkVerdict::sound;
    }
}

}  // namespace

bool prime_at(z_stream_s& zs, const BlockStart& start) noexcept { return prime(zs, start.bits, start.count); }

bool find_last_sound_block(const Span* parts, size_t nparts, uint64_t limit, BlockStart& start) noexcept {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, -15) != Z_OK) return false;
    start.produced = 0;
    ZlibFault ignored;
    BlockStart mark;
    walk_blocks(zs, parts, nparts, &ignored, &mark, limit);
    inflateEnd(&zs);
    // Whatever the verdict, every block before the last mark was judged and walked; the first block has no output
    // before it and leaves nothing to skip.
    if (mark.produced == 0) return false;
    start = mark;
    return true;
}

WalkVerdict walk_deflate(const Span* parts, size_t nparts, ZlibFault* fault) noexcept {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, -15) != Z_OK) return WalkVerdict::undecided;  // raw: the walk reads from the first block
    const WalkVerdict verdict = walk_blocks(zs, parts, nparts, fault);
    inflateEnd(&zs);
    return verdict;
}

}  // namespace tavrel::png
