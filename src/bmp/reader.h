// BMP reading, from the stream's first byte to the image rows: the two headers and their checks, the size of the
// pixel buffer in arithmetic that cannot wrap, the seek to the pixel data and the stored rows, converted to R,G,B
// rows top row first. The bytes come through a ByteSource and the pixels go to a PixelSink, both implemented by the
// caller, which also owns the pixel buffer.
#pragma once

#include <cstdint>
#include <span>

#include "bmp/error.h"
#include "bmp/header.h"
#include "common/task.h"

namespace tavrel::bmp {

// Pixel buffers up to this size are allocated at once; larger ones grow as their rows actually arrive, so that a
// header that claims a huge image over a short file never costs memory for rows that are not there.
inline constexpr uint64_t upfront_bytes = uint64_t{64} << 20;

// The bytes a read returned. `fixed` when nothing can change them; otherwise whoever handed them out may change them
// whenever the source lets other code run.
struct ReadBytes {
    std::span<const uint8_t> bytes;
    bool fixed;
};

// Where a reader's bytes come from, and where its long computations run. Each call that returns false has reported
// why.
class ByteSource {
public:
    // Reads up to n bytes, in place of what the last read returned; fewer only at the end of the stream.
    virtual bool read(uint64_t n) noexcept = 0;
    // The bytes the last read returned: valid until the next call.
    virtual ReadBytes view() noexcept = 0;
    // Moves to `position`, from the start of the stream.
    virtual bool seek(uint64_t position) noexcept = 0;
    // True when a read of no bytes returns none and has no other effect, so that one such read tells all.
    virtual bool empty_reads_inert() noexcept = 0;
    // Sets `yes` when reads have no effect but the bytes they return, so that rows may be asked for in blocks.
    virtual bool reads_unobserved(bool& yes) noexcept = 0;
    // Runs `task`, a computation over about `size` bytes that touches only the pixel buffer and fixed bytes. The
    // source may let other work run beside a long one.
    virtual void run(uint64_t size, Task task) noexcept = 0;

    virtual ~ByteSource() = default;

protected:
    ByteSource() = default;
    ByteSource(const ByteSource&) = default;
    ByteSource(ByteSource&&) = default;
    ByteSource& operator=(const ByteSource&) = default;
    ByteSource& operator=(ByteSource&&) = default;
};

// Holds the pixel buffer, seen by no one else until read_bmp returns.
class PixelSink {
public:
    // Makes the buffer `size` bytes long, its first bytes kept (the first call creates it); `data` is then where it
    // starts, until the next resize.
    virtual bool resize(uint64_t size, uint8_t*& data) noexcept = 0;

    virtual ~PixelSink() = default;

protected:
    PixelSink() = default;
    PixelSink(const PixelSink&) = default;
    PixelSink(PixelSink&&) = default;
    PixelSink& operator=(const PixelSink&) = default;
    PixelSink& operator=(PixelSink&&) = default;
};

struct ReadResult {
    Error error = Error::ok;
    Info info;          // ok: the info header's kept fields
    uint64_t rows = 0;  // ok: |height|
};

// Reads a BMP stream: 14 bytes of file header, 4 bytes of info header size, its other 36 bytes (one read each), the
// checks of each, the pixel buffer's size (width * |height| * 3), the seek to the pixel data offset, then the stored
// rows, row_stride(width) bytes each, one read per row or, when the source's reads are unobserved, per block of rows.
// A width of 0 reads |height| empty rows (one, when such reads are inert). On success the sink holds the R,G,B rows,
// top row first; pixel buffers above `upfront` bytes grow with the rows read.
ReadResult read_bmp(ByteSource& source, PixelSink& sink, uint64_t upfront = upfront_bytes) noexcept;

}  // namespace tavrel::bmp
