// PNG image-data encoding core: building the filtered scanlines that get compressed into IDAT, from buffers the caller
// holds still for the whole encoding or, block by block, from buffers it lends for one block's copy at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/task.h"
#include "png/error.h"

namespace tavrel::png {

// Index of the first filter byte > 4 in filters[0..height), or height when all are valid (nullptr means all 0).
size_t first_bad_filter(const uint8_t* filters, size_t height) noexcept;

// The bytes of the scanlines of a width x height image, a filter byte before each row of width*(3 or 4) samples:
// false when they cannot be counted in 64 bits.
bool scanlines_size(uint32_t width, uint32_t height, bool has_alpha, uint64_t& size) noexcept;

// Writes height rows of (filter byte, row filtered with it) into out (exactly height*(1+width*bpp) bytes), bpp 4 when
// alpha is non-null (pixels R,G,B from rgb then alpha[y*width+x]) else 3. filters nullptr means filter 0 everywhere;
// every filter byte must be <= 4. scratch holds 2*width*bpp bytes and is used only when alpha is non-null.
// The rows may be a block out of a taller image: prev_rgb (and prev_alpha with alpha) is then the row above the
// block, the predictor of its first row; nullptr for the image's first row.
void encode_scanlines(const uint8_t* rgb, const uint8_t* alpha, const uint8_t* filters, uint32_t width, uint32_t height,
                      uint8_t* out, uint8_t* scratch, const uint8_t* prev_rgb = nullptr,
                      const uint8_t* prev_alpha = nullptr) noexcept;

// encode_scanlines over a whole image, with working memory of its own: out_of_memory when that cannot be had.
Error encode_image(const uint8_t* rgb, const uint8_t* alpha, const uint8_t* filters, uint32_t width, uint32_t height,
                   uint8_t* out) noexcept;

// The image's buffers as a RowSource lends them: rgb (width*height*3 bytes), alpha (width*height bytes, null without
// alpha) and filters (height bytes, null without filter types; looked at on the first loan only).
struct LentRows {
    const uint8_t* rgb = nullptr;
    const uint8_t* alpha = nullptr;
    const uint8_t* filters = nullptr;
};

// Where encode_in_blocks gets its rows from, and where it runs the encoding of each block.
class RowSource {
public:
    // Lends the image's buffers until end_loan. false when they cannot be lent (the source has reported why).
    virtual bool lend(LentRows& rows) noexcept = 0;
    // Ends the loan: nothing lent is looked at again.
    virtual void end_loan() noexcept = 0;
    // Runs `task`, a computation over about `size` bytes of the encoder's own memory and of the output, which nobody
    // else sees; the source may let other work run beside it.
    virtual void run(uint64_t size, Task task) noexcept = 0;

    virtual ~RowSource() = default;

protected:
    RowSource() = default;
    RowSource(const RowSource&) = default;
    RowSource(RowSource&&) = default;
    RowSource& operator=(const RowSource&) = default;
    RowSource& operator=(RowSource&&) = default;
};

// Where encode_in_blocks puts each block of scanlines when it does not write them into one buffer.
class ScanlineSink {
public:
    // Takes the next block of scanlines (the image's last when `last`); it runs inside RowSource::run, beside other
    // work, and touches only memory nobody else sees. false when it failed.
    virtual bool put(std::span<const uint8_t> block, bool last) noexcept = 0;

    virtual ~ScanlineSink() = default;

protected:
    ScanlineSink() = default;
    ScanlineSink(const ScanlineSink&) = default;
    ScanlineSink(ScanlineSink&&) = default;
    ScanlineSink& operator=(const ScanlineSink&) = default;
    ScanlineSink& operator=(ScanlineSink&&) = default;
};

// Rows are encoded in blocks of about this many RGB input bytes.
inline constexpr uint64_t block_bytes = uint64_t{1} << 20;

// Writes the scanlines of encode_scanlines into out (scanlines_size bytes) block by block: the filter types (when
// has_filters) and each block's rows are copied out of one loan, which ends before the block is encoded from the copies
// through source.run; a block's first row is predicted from the copy of the previous block's last row, so that every
// row written is a row of some state of the image even when it changes between loans. caller_failed when a loan
// failed, out_of_memory.
Error encode_in_blocks(RowSource& source, uint32_t width, uint32_t height, bool has_alpha, bool has_filters,
                       uint8_t* out, uint64_t block_size = block_bytes) noexcept;

// The same blocks handed to `sink` one after another, each in four pieces encoded into one piece buffer of the
// encoder's own: the scanlines never exist whole. compress_failed when the sink failed.
Error encode_in_blocks(RowSource& source, uint32_t width, uint32_t height, bool has_alpha, bool has_filters,
                       ScanlineSink& sink, uint64_t block_size = block_bytes) noexcept;

}  // namespace tavrel::png
