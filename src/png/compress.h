// The zlib stream of a buffer exactly as the host's zlib.compress(data) makes it, from the same libz.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tavrel::png {

// The most bytes compress_as_host can write for `size` input bytes (zlib's compressBound).
uint64_t compress_bound(uint64_t size) noexcept;

// Compresses `in` into `out` (at least compress_bound(in.size()) bytes) as zlib.compress does: level
// Z_DEFAULT_COMPRESSION, a 15-bit window, memory level 8, the default strategy, the input fed in pieces of at most
// UINT_MAX bytes with Z_FINISH on the last. The bytes written, or 0 when deflate failed (a zlib stream is never
// empty), which the host's own call then words.
size_t compress_as_host(std::span<const uint8_t> in, std::span<uint8_t> out) noexcept;

}  // namespace tavrel::png
