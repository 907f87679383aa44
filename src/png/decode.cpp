// Bounded inflation of split input (ISA-L where it can decide, zlib for every failure) and fused
// reconstruct-and-split of the image rows.
#include "png/decode.h"

#include <cstring>

#define ZLIB_CONST
#include <zlib.h>

#if TAVREL_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "png/filters.h"
#include "png/kernels.h"
#include "png/walk.h"

namespace tavrel::png {
namespace {

// Largest chunk handed to an inflater at once: zlib's and ISA-L's avail_in / avail_out counters are 32-bit. The tests
// build once with a tiny TAVREL_INFLATE_CHUNK so the chunk-boundary paths, otherwise reached only above 1 GiB, are
// exercised.
#ifndef TAVREL_INFLATE_CHUNK
#define TAVREL_INFLATE_CHUNK (size_t{1} << 30)
#endif
constexpr size_t kChunk = TAVREL_INFLATE_CHUNK;
static_assert(kChunk >= 1 && kChunk <= 0xFFFFFFFFu, "chunk must fit the inflaters' 32-bit counters");

// The parts as one byte sequence, at most kChunk bytes at a time.
struct InputCursor : PartsCursor {
    uint64_t fed = 0;  // the bytes handed out so far

    // The next non-empty piece of input; false when every part is used up.
    bool next(const uint8_t*& data, uint32_t& size) noexcept {
        Span piece;
        if (!next_piece(kChunk, piece)) return false;
        data = piece.data();
        size = static_cast<uint32_t>(piece.size());
        fed += size;
        return true;
    }

    bool refill(z_stream& zs) noexcept {
        const uint8_t* data = nullptr;
        uint32_t size = 0;
        if (!next(data, size)) return false;
        zs.next_in = data;
        zs.avail_in = size;
        return true;
    }
};

InflateStatus run_inflate(z_stream& zs, InputCursor& in, uint8_t* out, size_t expected, ZlibFault* fault) noexcept {
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
        if (rc != Z_OK && rc != Z_BUF_ERROR) {  // NEED_DICT, DATA, MEM, STREAM errors
            record_zlib_fault(fault, rc, zs.msg);
            return InflateStatus::stream_error;
        }
        // Z_BUF_ERROR just means no progress; with every input byte fed and nothing produced, the stream is truncated.
        if (wrote == 0 && zs.avail_in == 0 && !input_left) {
            record_zlib_fault(fault, Z_BUF_ERROR, nullptr);
            return InflateStatus::stream_error;
        }
    }
}

InflateStatus run_discard(z_stream& zs, InputCursor& in, ZlibFault* fault) noexcept {
    // inflate keeps its own window, so the output may be overwritten at once; a large block keeps the calls few.
    constexpr size_t kScratch = size_t{256} * 1024;
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[kScratch]);
    if (!scratch) {
        record_zlib_fault(fault, Z_MEM_ERROR, nullptr);
        return InflateStatus::stream_error;
    }
    bool input_left = true;
    for (;;) {
        if (zs.avail_in == 0 && input_left) input_left = in.refill(zs);
        zs.next_out = scratch.get();
        zs.avail_out = kScratch;
        const int rc = inflate(&zs, Z_NO_FLUSH);
        const size_t wrote = kScratch - zs.avail_out;
        if (rc == Z_STREAM_END) return InflateStatus::ok;
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            record_zlib_fault(fault, rc, zs.msg);
            return InflateStatus::stream_error;
        }
        if (wrote == 0 && zs.avail_in == 0 && !input_left) {
            record_zlib_fault(fault, Z_BUF_ERROR, nullptr);
            return InflateStatus::stream_error;
        }
    }
}

// The zlib pass: out == nullptr runs the stream keeping nothing.
InflateStatus inflate_with_zlib(const Span* parts, size_t nparts, uint8_t* out, size_t expected,
                                ZlibFault* fault) noexcept {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    const int rc = inflateInit(&zs);
    if (rc != Z_OK) {
        record_zlib_fault(fault, rc, nullptr);
        return InflateStatus::stream_error;
    }
    InputCursor in{{parts, nparts}};
    const InflateStatus st = out ? run_inflate(zs, in, out, expected, fault) : run_discard(zs, in, fault);
    inflateEnd(&zs);
    return st;
}

#if TAVREL_HAVE_ISAL
// The first two bytes of the stream pass zlib's own header checks (deflate, a window of at most 32 KiB, the check
// bits, no preset dictionary): ISA-L is then never the one to accept a header zlib refuses.
bool header_as_zlib_takes_it(const Span* parts, size_t nparts) noexcept {
    uint8_t head[2];
    if (first_bytes(parts, nparts, head, 2) < 2) return false;
    const unsigned cmf = head[0], flg = head[1];
    return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0 && (flg & 0x20) == 0;
}

struct FreeState {
    void operator()(inflate_state* s) const noexcept { std::free(s); }
};

std::unique_ptr<inflate_state, FreeState> new_isal_state() noexcept {
    std::unique_ptr<inflate_state, FreeState> st(static_cast<inflate_state*>(std::malloc(sizeof(inflate_state))));
    if (st) {
        isal_inflate_init(st.get());
        st->crc_flag = ISAL_ZLIB;
    }
    return st;
}

// What an ISA-L pass settles: the stream is sound, or its deflate data ran to the end under a wrong checksum, or
// nothing, and zlib decides from the start.
enum class IsalVerdict { undecided, ok, bad_check };

// ISA-L over the parts fed one by one, straight into out. ok only when the stream ends (checksum verified) with
// exactly `expected` bytes; bad_check when its deflate data ends within out under a wrong checksum; anything else, a
// failure to allocate included, is left to zlib. `produced`: the bytes of out it wrote.
IsalVerdict inflate_exact_with_isal(const Span* parts, size_t nparts, uint8_t* out, size_t expected,
                                    size_t& produced) noexcept {
    constexpr IsalVerdict undecided = IsalVerdict::undecided;
    produced = 0;
    if (!out || expected == 0 || !header_as_zlib_takes_it(parts, nparts)) return undecided;
    auto st = new_isal_state();
    if (!st) return undecided;
    st->next_out = out;
    st->avail_out = static_cast<uint32_t>(expected < kChunk ? expected : kChunk);
    InputCursor in{{parts, nparts}};
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    bool input_left = in.next(data, size);
    st->next_in = const_cast<uint8_t*>(data);  // ISA-L only reads through it
    st->avail_in = input_left ? size : 0;
    for (;;) {
        const uint32_t offered = st->avail_out, fed = st->avail_in;
        const int rc = isal_inflate(st.get());
        produced += offered - st->avail_out;
        if (rc == ISAL_INCORRECT_CHECKSUM) return IsalVerdict::bad_check;
        if (rc != ISAL_DECOMP_OK) return undecided;
        if (st->avail_out == offered && st->avail_in == fed && st->avail_in != 0) return undecided;  // no progress
        if (st->block_state == ISAL_BLOCK_FINISH) return produced == expected ? IsalVerdict::ok : undecided;
        if (st->avail_out == 0) {
            // Output full but the stream goes on: too long or damaged, zlib's to say. Otherwise the next stretch of
            // out, contiguous with what came before, so back-references reach it.
            if (produced >= expected) return undecided;
            const size_t room = expected - produced;
            st->avail_out = static_cast<uint32_t>(room < kChunk ? room : kChunk);
        } else if (st->avail_in == 0) {
            if (!input_left) return undecided;  // input used up and one call made on it: truncated
            input_left = in.next(data, size);
            st->next_in = const_cast<uint8_t*>(data);
            st->avail_in = input_left ? size : 0;
        }
    }
}

// A stream the fast pass failed on late is judged by zlib from the last block the walk finds sound among those the
// pass got through, rather than inflated again from the start, when walking the compressed bytes is cheaper than
// inflating what the pass wrote: the walk decodes bit by bit, about as costly per compressed byte as zlib is per 10
// output bytes, so only data inflating 16 times its size or more is walked.
bool worth_resuming(const Span* parts, size_t nparts, size_t produced) noexcept {
    uint64_t compressed = 0;
    for (size_t i = 0; i < nparts; ++i) compressed += parts[i].size();
    return produced >= size_t{1} << 20 && produced / 16 >= compressed;
}

// zlib from the block header at `at`, given the output before it (out[0..at.produced), written by a pass over sound
// blocks) as its window, then the stream's Adler-32 checked over all of out as zlib checks it: the status and fault a
// zlib pass from the start gives. false when zlib's state cannot be had.
bool resume_with_zlib(const BlockStart& at, uint8_t* out, size_t expected, InflateStatus& status,
                      ZlibFault* fault) noexcept {
    const auto done = static_cast<size_t>(at.produced);
    if (done > expected) return false;
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, -15) != Z_OK) return false;
    constexpr size_t kWindow = size_t{32} * 1024;
    const size_t window = done < kWindow ? done : kWindow;
    if (inflateSetDictionary(&zs, out + done - window, static_cast<uInt>(window)) != Z_OK || !prime_at(zs, at)) {
        inflateEnd(&zs);
        return false;
    }
    InputCursor in{at.bytes};
    status = run_inflate(zs, in, out + done, expected - done, fault);
    const uint64_t total = done + zs.total_out;
    // At the end of the deflate data zlib may hold whole bytes of what follows in its bit buffer.
    const uint64_t held = static_cast<unsigned>(zs.data_type & 63) / 8;
    const uint64_t consumed = in.fed - zs.avail_in - held;
    inflateEnd(&zs);
    if (status != InflateStatus::ok && status != InflateStatus::wrong_length) return true;
    PartsCursor trailer = at.bytes;
    uint8_t check[4];
    size_t have = 0;
    if (trailer.skip(static_cast<size_t>(consumed))) {
        while (have < 4 && trailer.next(check[have])) ++have;
    }
    if (have < 4) {  // the stream ends inside its checksum
        record_zlib_fault(fault, Z_BUF_ERROR, nullptr);
        status = InflateStatus::stream_error;
    } else if (isal_adler32(1, out, total) !=
               (uint32_t{check[0]} << 24 | uint32_t{check[1]} << 16 | uint32_t{check[2]} << 8 | check[3])) {
        record_zlib_fault(fault, Z_DATA_ERROR, "incorrect data check");
        status = InflateStatus::stream_error;
    }
    return true;
}

// ISA-L over the parts, keeping only the last 32 KiB of output that back-references may reach. ok when the stream
// ends cleanly with its checksum verified, bad_check when it ends with a wrong one.
IsalVerdict discard_with_isal(const Span* parts, size_t nparts) noexcept {
    constexpr IsalVerdict undecided = IsalVerdict::undecided;
    if (!header_as_zlib_takes_it(parts, nparts)) return undecided;
    constexpr size_t kHistory = size_t{32} * 1024;  // deflate's largest distance
    constexpr size_t kBlock = size_t{1024} * 1024;
    std::unique_ptr<uint8_t[]> ring(new (std::nothrow) uint8_t[kHistory + kBlock]);
    auto st = new_isal_state();
    if (!ring || !st) return undecided;
    st->next_out = ring.get();
    st->avail_out = kHistory + kBlock;
    InputCursor in{{parts, nparts}};
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    bool input_left = in.next(data, size);
    st->next_in = const_cast<uint8_t*>(data);
    st->avail_in = input_left ? size : 0;
    for (;;) {
        const uint32_t offered = st->avail_out, fed = st->avail_in;
        const int rc = isal_inflate(st.get());
        if (rc == ISAL_INCORRECT_CHECKSUM) return IsalVerdict::bad_check;
        if (rc != ISAL_DECOMP_OK) return undecided;
        if (st->block_state == ISAL_BLOCK_FINISH) return IsalVerdict::ok;
        if (st->avail_out == offered && st->avail_in == fed && st->avail_in != 0) return undecided;  // no progress
        if (st->avail_out == 0) {
            // The window's last 32 KiB move to the front, where the next output follows them.
            std::memmove(ring.get(), ring.get() + kBlock, kHistory);
            st->next_out = ring.get() + kHistory;
            st->avail_out = kBlock;
        } else if (st->avail_in == 0) {
            if (!input_left) return undecided;
            input_left = in.next(data, size);
            st->next_in = const_cast<uint8_t*>(data);
            st->avail_in = input_left ? size : 0;
        }
    }
}

#endif

}  // namespace

void record_zlib_fault(ZlibFault* fault, int code, const char* message) noexcept {
    if (!fault) return;
    fault->code = code;
    fault->message[0] = '\0';
    if (message) {
        std::strncpy(fault->message, message, sizeof fault->message - 1);
        fault->message[sizeof fault->message - 1] = '\0';
    }
}

const char* inflate_backend() noexcept {
#if TAVREL_HAVE_ISAL
    return "isa-l";
#else
    return "zlib";
#endif
}

InflateStatus inflate_bounded(const Span* parts, size_t nparts, uint8_t* out, size_t expected,
                              ZlibFault* fault) noexcept {
    if (!parts) nparts = 0;
    if (!out) expected = 0;
    uint8_t none[1];
#if TAVREL_HAVE_ISAL
    size_t produced = 0;
    const IsalVerdict verdict = inflate_exact_with_isal(parts, nparts, out, expected, produced);
    if (verdict == IsalVerdict::ok) return InflateStatus::ok;
    const bool walk = worth_resuming(parts, nparts, produced);
    if (verdict == IsalVerdict::bad_check && walk) {
        // Where zlib takes the deflate data, its output is what ISA-L wrote, within out: zlib then stops at the
        // checksum, before it looks at the length.
        switch (walk_deflate(parts, nparts, fault)) {
            case WalkVerdict::sound:
                record_zlib_fault(fault, Z_DATA_ERROR, "incorrect data check");
                return InflateStatus::stream_error;
            case WalkVerdict::refused: return InflateStatus::stream_error;
            case WalkVerdict::undecided: break;
        }
    }
    if (walk) {
        BlockStart at;
        InflateStatus status = InflateStatus::stream_error;
        if (find_last_sound_block(parts, nparts, produced, at) && resume_with_zlib(at, out, expected, status, fault))
            return status;
    }
#endif
    return inflate_with_zlib(parts, nparts, out ? out : none, expected, fault);
}

InflateStatus inflate_discard(const Span* parts, size_t nparts, ZlibFault* fault) noexcept {
    if (!parts) nparts = 0;
#if TAVREL_HAVE_ISAL
    const IsalVerdict verdict = discard_with_isal(parts, nparts);
    switch (verdict) {
        case IsalVerdict::undecided: break;
        case IsalVerdict::ok:
        case IsalVerdict::bad_check: {
            // ISA-L accepts some code sets that zlib refuses, and a checksum can be made to match what it inflates
            // from them: the walk, with zlib reading every block header, says whether zlib takes the deflate data.
            // If it does, the output is the same and so is the checksum's verdict.
            const bool sound_check = verdict == IsalVerdict::ok;
            switch (walk_deflate(parts, nparts, fault)) {
                case WalkVerdict::sound:
                    if (sound_check) return InflateStatus::ok;
                    record_zlib_fault(fault, Z_DATA_ERROR, "incorrect data check");
                    return InflateStatus::stream_error;
                case WalkVerdict::refused: return InflateStatus::stream_error;
                case WalkVerdict::undecided: break;
            }
            break;
        }
    }
#endif
    return inflate_with_zlib(parts, nparts, nullptr, 0, fault);
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
