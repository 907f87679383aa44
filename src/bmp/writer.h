// BMP writing: the packed headers and the image rows as stored rows, bottom-up, in blocks that the caller writes
// out. The rows come from a RowSource and the blocks go to a BlockSink, both implemented by the caller, which also
// allocates every buffer.
#pragma once

#include <cstdint>

#include "bmp/error.h"
#include "bmp/header.h"
#include "common/task.h"

namespace tavrel::bmp {

// The image's pixel buffer. Each call that returns false (or null) has reported why.
class RowSource {
public:
    // The image rows [first, first + count), top row first, width * 3 bytes each, for a conversion into `size`
    // stored bytes: valid until `convert` returns. Null when the buffer no longer holds the image.
    virtual const uint8_t* rows(uint64_t first, uint64_t count, uint64_t size) noexcept = 0;
    // Runs `task`, the conversion of the rows taken last (which writes only into the block being filled), then lets
    // those rows go. The source may let other work run beside a long one.
    virtual void convert(Task task) noexcept = 0;

    virtual ~RowSource() = default;

protected:
    RowSource() = default;
    RowSource(const RowSource&) = default;
    RowSource(RowSource&&) = default;
    RowSource& operator=(const RowSource&) = default;
    RowSource& operator=(RowSource&&) = default;
};

// Where the file's bytes go, block after block.
class BlockSink {
public:
    // A new block of `size` bytes, the next part of the file, for the writer to fill.
    virtual uint8_t* block(uint64_t size) noexcept = 0;
    // Writes out the block just filled.
    virtual bool put() noexcept = 0;

    virtual ~BlockSink() = default;

protected:
    BlockSink() = default;
    BlockSink(const BlockSink&) = default;
    BlockSink(BlockSink&&) = default;
    BlockSink& operator=(const BlockSink&) = default;
    BlockSink& operator=(BlockSink&&) = default;
};

// Writes the file of `headers` (packed without error): the headers and the stored rows (stored row k being image row
// height - 1 - k) in blocks of about block_bytes when `in_blocks`, else in one block; the headers open the first
// block. Within a block the rows are taken from `rows` a block's worth at a time.
Error write_bmp(const Headers& headers, RowSource& rows, BlockSink& sink, bool in_blocks) noexcept;

}  // namespace tavrel::bmp
