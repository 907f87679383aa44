// Walking a zlib stream's deflate blocks without producing their output, zlib itself judging each block header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "png/decode.h"

struct z_stream_s;  // zlib's z_stream

namespace tavrel::png {

enum class WalkVerdict { sound, refused, undecided };

// Walks the deflate data of the zlib stream parts[0..nparts) (its two header bytes are skipped: the caller has checked
// them as zlib does) to the end of its final block, decoding every symbol and copying no output. Each block header is
// first handed to zlib, primed at the header's bit position.
//   refused:   zlib refused a block header; its code and message are in *fault. Every block before it decoded as
//              zlib decodes it, so zlib reading the stream from the start stops there with that error.
//   sound:     zlib accepted every header, and every symbol was valid with every distance inside the output so far:
//              zlib decodes the deflate data to its end, and any correct inflater gets the same output.
//   undecided: anything else (an invalid symbol, a distance too far back, the input ending, no memory for zlib's
//              state); only zlib's own pass from the start can say what it makes of the stream.
// The cost is one table lookup per code bit and none per output byte, so a stream of runs that inflates to gigabytes
// walks in the time of its compressed size. Allocates only zlib's state.
WalkVerdict walk_deflate(const Span* parts, size_t nparts, ZlibFault* fault) noexcept;

// Where a block header starts: the input from the byte after the bits the walk had taken, those bits (`count` of
// them, the lowest first), and how many bytes the blocks before it inflate to.
struct BlockStart {
    PartsCursor bytes;
    uint32_t bits = 0;
    unsigned count = 0;
    uint64_t produced = 0;
};

// Walks the stream as walk_deflate does and finds the last block, not the first, whose header starts with at most
// `limit` bytes of output before it and every block before it sound by the walk's rules: zlib reading the stream from
// the start reaches that header with exactly that output and no error. false when there is no such block but the
// first (or zlib's state cannot be had).
bool find_last_sound_block(const Span* parts, size_t nparts, uint64_t limit, BlockStart& start) noexcept;

// Primes a raw inflater (reset, no output yet) with the bits `start` holds, so that it reads the block header there.
bool prime_at(z_stream_s& zs, const BlockStart& start) noexcept;

}  // namespace tavrel::png
