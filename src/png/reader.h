// PNG reading, from the stream's first byte to the image rows: the signature, the chunk framing and its CRC check,
// the header checks, the chunk records, the collection of the image data and its decoding (bounded inflation, rows
// reconstructed in place, the alpha samples split off). The bytes come through a ByteSource and everything read goes
// to an ImageSink, both implemented by the caller, which also allocates every buffer the image fills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/task.h"
#include "png/decode.h"
#include "png/error.h"

namespace tavrel::png {

// The first eight bytes of every PNG stream.
inline constexpr uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// The fields a stream is read in, one read each: the signature once, then the four fields of every chunk.
enum class Field { signature, length, type, data, crc };
inline constexpr size_t field_count = 5;

// The bytes a field holds. `fixed` when nothing can change them before the field is read again; otherwise whoever
// handed them out may change them whenever the source lets other code run.
struct FieldBytes {
    std::span<const uint8_t> bytes;
    bool fixed;
};

// Where a reader's bytes come from, and where its long computations run.
class ByteSource {
public:
    // Reads up to n bytes into `field`, in place of what it held; fewer only at the end of the stream. false when the
    // source failed (it has reported why).
    virtual bool read(Field field, uint64_t n) noexcept = 0;
    // The bytes `field` holds now: valid until the next read or run.
    virtual FieldBytes view(Field field) noexcept = 0;
    // Runs `task`, a computation over about `size` bytes that touches no memory anyone else can change meanwhile
    // (the reader's buffers, kept image data, fixed fields). The source may let other work run beside a long one.
    virtual void run(uint64_t size, Task task) noexcept = 0;

    virtual ~ByteSource() = default;

protected:
    ByteSource() = default;
    ByteSource(const ByteSource&) = default;
    ByteSource(ByteSource&&) = default;
    ByteSource& operator=(const ByteSource&) = default;
    ByteSource& operator=(ByteSource&&) = default;
};

// The buffers a decoded image fills.
enum class ImageBuffer { filters, pixels, alpha };

// What receives a read image: its chunk records, the image data kept until it is inflated, its buffers. Each call
// that returns false (or null) has reported why.
class ImageSink {
public:
    // Records the chunk just read, from the type and data fields as they are now: `length` is its data's, which the
    // record leaves out when the chunk is image data. After this the reader looks at neither field again.
    virtual bool record_chunk(uint64_t length, bool image_data) noexcept = 0;
    // Keeps the data field of the chunk just read (image data, not empty) as the next part of the image data. `kept`
    // is where its bytes stay, unchanged, until drop_image_data, also while a ByteSource::run lets other code run.
    // A part whose bytes start right where the previous part's end is taken to continue the same buffer.
    virtual bool keep_image_data(std::span<const uint8_t>& kept) noexcept = 0;
    // Releases every part kept: the image data has been inflated.
    virtual void drop_image_data() noexcept = 0;
    // A new buffer of `size` bytes, seen by no one else until read_png returns; its contents are the reader's to write.
    virtual uint8_t* allocate(ImageBuffer which, uint64_t size) noexcept = 0;
    // Cuts the pixel buffer to its first `size` bytes, its allocation included.
    virtual bool shrink_pixels(uint64_t size) noexcept = 0;

    virtual ~ImageSink() = default;

protected:
    ImageSink() = default;
    ImageSink(const ImageSink&) = default;
    ImageSink(ImageSink&&) = default;
    ImageSink& operator=(const ImageSink&) = default;
    ImageSink& operator=(ImageSink&&) = default;
};

// How reading one chunk ended: `end` (with ok) when the stream ended cleanly at a chunk boundary.
struct ChunkRead {
    Error error = Error::ok;
    bool end = false;
};

// Reads one chunk: its length, type, data and CRC, one read each and in that order, then checks the CRC over type
// and data. The type and data stay in their fields.
ChunkRead read_chunk(ByteSource& source) noexcept;

// What read_png found: the image, or the error with the facts its message is made of.
struct ReadResult {
    Error error = Error::ok;
    uint32_t width = 0, height = 0;  // ok: each below 2^31
    unsigned channels = 0;           // ok: 3 (RGB) or 4 (RGBA)
    uint32_t field = 0;              // dimension_overflow: the IHDR field as read
    unsigned filter = 0;             // bad_filter: the filter type of the first row that has a bad one
    ZlibFault fault;                 // stream_error: what zlib said
    uint8_t head[2] = {};            // stream_error: the image data's first bytes, head_size of them (at most two)
    size_t head_size = 0;
};

// Reads a PNG stream: the signature, then chunks up to IEND or the end of the stream (each one recorded, the IDAT
// data kept as image data), the header checks, and the decoding. On success the sink holds the filter type of every
// row (`height` bytes), the RGB samples (width*height*3 bytes, top row first) and, for RGBA, the alpha samples
// (width*height bytes). The image data is inflated into the pixel buffer, the rows reconstructed there and the
// buffer cut to the RGB samples: memory follows the image, never what the header claims before the data is seen.
ReadResult read_png(ByteSource& source, ImageSink& sink) noexcept;

}  // namespace tavrel::png
