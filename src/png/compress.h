// The zlib stream of a buffer exactly as the host's zlib.compress(data) makes it, from the same libz.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "png/encode.h"

namespace tavrel::png {

// The most bytes compress_as_host can write for `size` input bytes (zlib's compressBound).
uint64_t compress_bound(uint64_t size) noexcept;

// Compresses input handed over in pieces into one zlib stream with zlib.compress's settings: level
// Z_DEFAULT_COMPRESSION, a 15-bit window, memory level 8, the default strategy. Without a flush between pieces deflate
// makes the same stream however its input is cut, so the result is zlib.compress of the pieces joined, byte for byte.
class HostDeflater final : public ScanlineSink {
public:
    // `out` must hold compress_bound of the whole input.
    explicit HostDeflater(std::span<uint8_t> out) noexcept;
    ~HostDeflater() override;
    HostDeflater(const HostDeflater&) = delete;
    HostDeflater(HostDeflater&&) = delete;
    HostDeflater& operator=(const HostDeflater&) = delete;
    HostDeflater& operator=(HostDeflater&&) = delete;

    // Compresses the next piece; `last` ends the stream. false once deflate has failed.
    bool put(std::span<const uint8_t> in, bool last) noexcept override;
    // The bytes of the finished stream in `out`; 0 when it is not finished or deflate failed (a zlib stream is never
    // empty), which the host's own call then words.
    size_t written() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// HostDeflater over `in` in one piece into `out` (at least compress_bound(in.size()) bytes): the bytes written, or 0.
size_t compress_as_host(std::span<const uint8_t> in, std::span<uint8_t> out) noexcept;

}  // namespace tavrel::png
