// The PNG reading pipeline, top to bottom: read_png reads the signature, then read_chunks frames every chunk
// (read_chunk), unpacks the header and keeps the image data; check_header refuses what the decoder does not handle,
// and decode_image inflates the image data into the pixel buffer and reconstructs its rows there.
#include "png/reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/checked.h"
#include "common/pages.h"
#include "png/chunk.h"

namespace tavrel::png {
namespace {

// The largest size any buffer can have: a longer image data stream, or larger inflated data, cannot be held.
constexpr uint64_t max_size = PTRDIFF_MAX;

uint32_t be32(const uint8_t* p) noexcept {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// f() run through source.run, which may let other work go on beside it.
template <class F>
auto run(ByteSource& source, uint64_t size, F f) noexcept {
    decltype(f()) result{};
    auto task = [&] { result = f(); };
    source.run(size, Task(task));
    return result;
}

bool is_type(std::span<const uint8_t> type, const char (&name)[5]) noexcept {
    return type.size() == 4 && std::memcmp(type.data(), name, 4) == 0;
}

// CRC-32 over the chunk's type and data. Fixed data is summed through run; data that may change is summed at once,
// while no other code can run.
uint32_t chunk_crc(ByteSource& source) noexcept {
    const std::span<const uint8_t> type = source.view(Field::type).bytes;
    const FieldBytes data = source.view(Field::data);
    const uint32_t head = crc32(type.data(), type.size());
    const auto sum = [&] { return crc32(data.bytes.data(), data.bytes.size(), head); };
    return data.fixed ? run(source, data.bytes.size(), sum) : sum();
}

struct FreeDeleter {
    void operator()(uint8_t* p) const noexcept { std::free(p); }
};
using RawBuffer = std::unique_ptr<uint8_t[], FreeDeleter>;

// Working memory of the reader's own: null when `size` bytes cannot be had.
RawBuffer work_buffer(uint64_t size) noexcept {
    if (size > max_size) return nullptr;
    return RawBuffer(static_cast<uint8_t*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1)));
}

// The seven IHDR fields; `seen` once an IHDR has been unpacked.
struct Header {
    bool seen = false;
    uint32_t width = 0, height = 0;
    uint8_t depth = 0, color = 0, compression = 0, filter = 0, interlace = 0;
};

// Unpacks IHDR data: width and height (32-bit big-endian, each below 2^31), then five one-byte fields.
Error unpack_ihdr(std::span<const uint8_t> data, Header& h, ReadResult& result) noexcept {
    if (data.size() != 13) return Error::ihdr_size;
    const uint32_t width = be32(data.data());
    const uint32_t height = be32(data.data() + 4);
    for (const uint32_t field : {width, height}) {
        if (field > INT32_MAX) {
            result.field = field;
            return Error::dimension_overflow;
        }
    }
    h = {true, width, height, data[8], data[9], data[10], data[11], data[12]};
    return Error::ok;
}

// The zlib stream of the IDAT chunks, part by part as they are read and handed to the inflater in that order, never
// joined. The sink keeps each part's bytes unchanged until the image data is released.
class ImageData {
public:
    explicit ImageData(ImageSink& sink) noexcept : sink_(sink) {}

    // Adds the data of the IDAT chunk just read.
    Error add(ByteSource& source) noexcept {
        const uint64_t n = source.view(Field::data).bytes.size();
        if (n == 0) return Error::ok;
        uint64_t total = 0;
        if (add_overflows(size_, n, &total) || total > max_size) return Error::out_of_memory;
        std::span<const uint8_t> kept;
        if (!sink_.keep_image_data(kept)) return Error::caller_failed;
        try {
            // A part that follows the previous one in memory extends it: the inflater takes longer runs faster.
            if (!parts_.empty() && parts_.back().data() + parts_.back().size() == kept.data()) {
                parts_.back() = {parts_.back().data(), parts_.back().size() + kept.size()};
            } else {
                parts_.push_back(kept);
            }
        } catch (const std::bad_alloc&) {
            return Error::out_of_memory;
        }
        size_ = total;
        return Error::ok;
    }

    const Span* parts() const noexcept { return parts_.data(); }
    size_t count() const noexcept { return parts_.size(); }
    uint64_t size() const noexcept { return size_; }

    // The first two bytes of the stream (fewer when it is shorter) into result.head.
    void head(ReadResult& result) const noexcept {
        result.head_size = first_bytes(parts_.data(), parts_.size(), result.head, 2);
    }

    void release() noexcept {
        sink_.drop_image_data();
        parts_.clear();
        size_ = 0;
    }

private:
    ImageSink& sink_;
    std::vector<Span> parts_;
    uint64_t size_ = 0;
};

// Every chunk up to IEND or a clean end of the stream: each is recorded, IDAT by its length only, its data kept as
// image data. A later IHDR replaces an earlier one.
Error read_chunks(ByteSource& source, ImageSink& sink, Header& h, ImageData& data, ReadResult& result) noexcept {
    for (;;) {
        const ChunkRead chunk = read_chunk(source);
        if (chunk.error != Error::ok) return chunk.error;
        if (chunk.end) return Error::ok;
        // The type as it is now, looked at before the sink runs code of its own.
        const std::span<const uint8_t> type = source.view(Field::type).bytes;
        if (is_type(type, "IHDR")) {
            const Error e = unpack_ihdr(source.view(Field::data).bytes, h, result);
            if (e != Error::ok) return e;
        }
        const bool is_end = is_type(type, "IEND");
        const bool is_data = is_type(type, "IDAT");
        const uint64_t length = source.view(Field::data).bytes.size();
        if (is_data) {
            const Error e = data.add(source);
            if (e != Error::ok) return e;
        }
        if (!sink.record_chunk(length, is_data)) return Error::caller_failed;
        if (is_end) return Error::ok;
    }
}

// What the decoder handles: an IHDR, 8-bit RGB or RGBA samples, the standard compression and filter method, no
// interlacing.
Error check_header(const Header& h) noexcept {
    if (!h.seen) return Error::no_header;
    if (h.depth != 8) return Error::bad_depth;
    if (h.color != 2 && h.color != 6) return Error::bad_color;
    if (h.compression != 0 || h.filter != 0 || h.interlace != 0) return Error::bad_configuration;
    return Error::ok;
}

// Deflate cannot expand its input by more than 1032:1, so a stream of `compressed` bytes never inflates past this;
// a header that claims more than the data could hold never makes us allocate for it.
uint64_t inflate_bound(uint64_t compressed) noexcept {
    uint64_t bound = 0;
    if (mul_overflows(compressed, uint64_t{1032}, &bound) || add_overflows(bound, uint64_t{1024}, &bound)) {
        return UINT64_MAX;
    }
    return bound;
}

Error stream_error(const ImageData& data, const ZlibFault& fault, ReadResult& result) noexcept {
    result.fault = fault;
    data.head(result);
    return Error::stream_error;
}

// The image data cannot fill the image the header claims: only whether the stream is sound is left to decide, and
// nothing of its output is kept for that.
Error refuse_short_data(ByteSource& source, const ImageData& data, ReadResult& result) noexcept {
    ZlibFault fault;
    const InflateStatus st =
        run(source, data.size(), [&] { return inflate_discard(data.parts(), data.count(), &fault); });
    return st == InflateStatus::ok ? Error::malformed_data : stream_error(data, fault, result);
}

// Inflates the image data into out[0..expected), which no other code sees yet.
Error inflate_image_data(ByteSource& source, const ImageData& data, uint8_t* out, uint64_t expected,
                         ReadResult& result) noexcept {
    ZlibFault fault;
    const InflateStatus st = run(source, std::max(data.size(), expected), [&] {
        return inflate_bounded(data.parts(), data.count(), out, static_cast<size_t>(expected), &fault);
    });
    switch (st) {
        case InflateStatus::ok: return Error::ok;
        case InflateStatus::too_long:
        case InflateStatus::wrong_length: return Error::malformed_data;
        case InflateStatus::stream_error: return stream_error(data, fault, result);
    }
    return Error::malformed_data;
}

// Inflates the image data and reconstructs its rows into the sink's buffers. The image data inflates into the pixel
// buffer itself, whose rows are then reconstructed in place, the filter bytes (and alpha samples) taken out, and the
// buffer cut to the RGB samples. The parts of the image data are released as soon as they are inflated.
Error decode_image(ByteSource& source, ImageSink& sink, ImageData& data, const Header& h, ReadResult& result) noexcept {
    // Width and height are below 2^31, so none of these products wraps.
    const unsigned channels = h.color == 2 ? 3 : 4;
    const uint64_t width = h.width;
    const uint64_t height = h.height;
    const uint64_t row_bytes = width * channels + 1;
    uint64_t expected = 0;
    if (mul_overflows(height, row_bytes, &expected)) return Error::malformed_data;
    if (inflate_bound(data.size()) < expected) return refuse_short_data(source, data, result);
    if (expected > max_size) return Error::out_of_memory;

    uint8_t* const filters = sink.allocate(ImageBuffer::filters, height);
    if (filters == nullptr) return Error::caller_failed;
    const uint64_t npixels = width * height;
    ReconstructResult rows{true, 0, 0};
    if (npixels > 0) {
        uint8_t* const pixels = sink.allocate(ImageBuffer::pixels, expected);
        if (pixels == nullptr) return Error::caller_failed;
        advise_huge_pages(pixels, expected);
        const Error e = inflate_image_data(source, data, pixels, expected, result);
        if (e != Error::ok) return e;
        data.release();
        uint8_t* alpha = nullptr;
        if (channels == 4 && (alpha = sink.allocate(ImageBuffer::alpha, npixels)) == nullptr)
            return Error::caller_failed;
        advise_huge_pages(alpha, npixels);  // nothing for nullptr (RGB)
        const RawBuffer work = work_buffer(2 * row_bytes);
        if (!work) return Error::out_of_memory;
        rows = run(source, expected, [&] {
            return channels == 4 ? reconstruct_rgba_in_place(pixels, h.width, h.height, alpha, filters, work.get())
                                 : reconstruct_rgb_in_place(pixels, h.width, h.height, filters, work.get());
        });
        if (rows.ok && !sink.shrink_pixels(npixels * 3)) return Error::caller_failed;
    } else {
        // No pixels: the image data is the filter bytes alone (or nothing).
        const RawBuffer raw = work_buffer(expected);
        if (!raw) return Error::out_of_memory;
        const Error e = inflate_image_data(source, data, raw.get(), expected, result);
        if (e != Error::ok) return e;
        data.release();
        if (sink.allocate(ImageBuffer::pixels, 0) == nullptr) return Error::caller_failed;
        if (channels == 4 && sink.allocate(ImageBuffer::alpha, 0) == nullptr) return Error::caller_failed;
        rows = run(source, expected, [&] {
            return reconstruct_image(raw.get(), h.width, h.height, channels, nullptr, nullptr, filters);
        });
    }
    if (!rows.ok) {
        result.filter = rows.bad_filter;
        return Error::bad_filter;
    }
    result.width = h.width;
    result.height = h.height;
    result.channels = channels;
    return Error::ok;
}

Error read_image(ByteSource& source, ImageSink& sink, ReadResult& result) noexcept {
    if (!source.read(Field::signature, sizeof signature)) return Error::caller_failed;
    const std::span<const uint8_t> start = source.view(Field::signature).bytes;
    if (start.size() != sizeof signature || std::memcmp(start.data(), signature, sizeof signature) != 0) {
        return Error::bad_signature;
    }
    Header h;
    ImageData data(sink);
    Error e = read_chunks(source, sink, h, data, result);
    if (e == Error::ok) e = check_header(h);
    if (e == Error::ok) e = decode_image(source, sink, data, h, result);
    return e;
}

}  // namespace

ChunkRead read_chunk(ByteSource& source) noexcept {
    if (!source.read(Field::length, 4)) return {Error::caller_failed};
    const std::span<const uint8_t> length_field = source.view(Field::length).bytes;
    if (length_field.empty()) return {Error::ok, true};
    if (length_field.size() != 4) return {Error::eof_chunk_length};
    const uint32_t length = be32(length_field.data());

    if (!source.read(Field::type, 4)) return {Error::caller_failed};
    if (source.view(Field::type).bytes.size() != 4) return {Error::eof_chunk_type};
    if (!source.read(Field::data, length)) return {Error::caller_failed};
    if (source.view(Field::data).bytes.size() != length) return {Error::eof_chunk_data};
    if (!source.read(Field::crc, 4)) return {Error::caller_failed};
    const std::span<const uint8_t> crc_field = source.view(Field::crc).bytes;
    if (crc_field.size() != 4) return {Error::eof_chunk_crc};
    const uint32_t stored = be32(crc_field.data());
    // Type and data are viewed only now, after the last read: a field handed out earlier may have changed since, so
    // nothing is assumed of its size.
    if (chunk_crc(source) != stored) return {Error::bad_crc};
    return {};
}

ReadResult read_png(ByteSource& source, ImageSink& sink) noexcept {
    ReadResult result;
    result.error = read_image(source, sink, result);
    return result;
}

}  // namespace tavrel::png
