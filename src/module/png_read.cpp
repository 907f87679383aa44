// PNG reading: `_readChunk`, and the decoder that turns a PNG stream into the
// decoder result. Every chunk, the decoder's included, goes through
// read_chunk below.
#include "module/host.h"
#include "module/readers.h"
#include "module/tavrel_ext.h"
#include "png/decode.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace tavrel {
namespace {

std::uint32_t be32(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

Py_ssize_t ssize(std::size_t n) noexcept { return static_cast<Py_ssize_t>(n); }

PyObject* value_error(const char* message) noexcept {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

enum class ChunkRead { chunk, end, error };

// Reads one chunk: length, type, data and CRC, in that order, each with one
// read call, then verifies the CRC over type and data. `end` when the stream
// ended cleanly at a chunk boundary.
ChunkRead read_chunk(PyObject* stream, Ref& type, Ref& data) noexcept {
    Ref length_bytes = host::read(stream, 4);
    if (!length_bytes) return ChunkRead::error;
    const ByteView lb = view_of(length_bytes.get());
    if (lb.size == 0) return ChunkRead::end;
    if (lb.size != 4) {
        value_error("Unexpected EOF while reading chunk length");
        return ChunkRead::error;
    }
    const std::uint32_t length = be32(lb.data);

    type = host::read(stream, 4);
    if (!type) return ChunkRead::error;
    if (view_of(type.get()).size != 4) {
        value_error("Unexpected EOF while reading chunk type");
        return ChunkRead::error;
    }
    data = host::read(stream, length);
    if (!data) return ChunkRead::error;
    if (view_of(data.get()).size != length) {
        value_error("Unexpected EOF while reading chunk data");
        return ChunkRead::error;
    }
    Ref crc = host::read(stream, 4);
    if (!crc) return ChunkRead::error;
    const ByteView stored = view_of(crc.get());
    if (stored.size != 4) {
        value_error("Unexpected EOF while reading chunk CRC");
        return ChunkRead::error;
    }
    // Views taken after the last call into the stream: a bytearray it handed
    // out earlier may have changed since, so nothing is assumed of its size.
    const ByteView t = view_of(type.get());
    const ByteView d = view_of(data.get());
    const std::uint32_t actual = host::crc32(d.data, d.size, host::crc32(t.data, t.size));
    if (be32(stored.data) != actual) {
        value_error("Corrupted PNG chunk detected");
        return ChunkRead::error;
    }
    return ChunkRead::chunk;
}

PyObject* read_chunk_impl(PyObject*, PyObject* const* args) {
    Ref type, data;
    switch (read_chunk(args[0], type, data)) {
        case ChunkRead::error: return nullptr;
        case ChunkRead::end: {
            Ref empty(PyBytes_FromStringAndSize(nullptr, 0));
            return empty ? PyTuple_Pack(2, empty.get(), empty.get()) : nullptr;
        }
        case ChunkRead::chunk: break;
    }
    return PyTuple_Pack(2, type.get(), data.get());
}

constexpr Param read_chunk_params[] = {{"stream"}};

// The seven IHDR fields; `seen` is false until an IHDR has been unpacked
// (all fields unset).
struct Header {
    bool seen = false;
    std::int32_t width = -1, height = -1;
    std::int32_t depth = -1, color = -1, compression = -1, filter = -1, interlace = -1;
};

// A field unpacked as unsigned 32-bit, held as signed 32-bit: 2^31 and more
// raise the host's OverflowError as the conversion to int32 does.
bool to_signed(std::uint32_t value, std::int32_t* out) noexcept {
    if (value <= INT32_MAX) {
        *out = static_cast<std::int32_t>(value);
        return true;
    }
    Ref number(PyLong_FromUnsignedLong(value));
    return number && to_int32(number.get(), out);
}

// Unpacks IHDR data as ">IIBBBBB"; any length but 13 gets the host's struct.error.
bool unpack_ihdr(PyObject* data, Header& h) noexcept {
    const ByteView v = view_of(data);
    if (v.size != 13) {
        raise_unpack_error(">IIBBBBB", data);
        return false;
    }
    std::int32_t width = 0, height = 0;
    if (!to_signed(be32(v.data), &width) || !to_signed(be32(v.data + 4), &height)) return false;
    h.width = width;
    h.height = height;
    h.depth = v.data[8];
    h.color = v.data[9];
    h.compression = v.data[10];
    h.filter = v.data[11];
    h.interlace = v.data[12];
    h.seen = true;
    return true;
}

bool type_is(PyObject* type, const char (&name)[5]) noexcept {
    const ByteView v = view_of(type);
    return v.size == 4 && std::memcmp(v.data, name, 4) == 0;
}

// Appends `item` to `list`, consuming the reference.
bool append(PyObject* list, Ref item) noexcept { return item && PyList_Append(list, item.get()) == 0; }

struct FreeDeleter {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
};
using RawBuffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;

// The zlib stream of the IDAT chunks, joined as they are read: a lone IDAT
// chunk is kept as the bytes object read, and from the second one on the data
// is appended to one growing buffer, so that each chunk's bytes are dropped
// once copied and the inflater gets the stream in one piece.
class ImageData {
public:
    // Appends the data of one IDAT chunk (bytes or bytearray); false with
    // MemoryError set.
    bool add(Ref data) noexcept {
        const ByteView v = view_of(data.get());
        if (v.size == 0) return true;
        if (!first_ && size_ == 0 && PyBytes_Check(data.get())) {
            first_ = std::move(data);
            return true;
        }
        if (first_) {
            const ByteView f = view_of(first_.get());
            if (!append(f.data, f.size)) return false;
            first_.reset();
        }
        return append(v.data, v.size);
    }

    png::Span span() const noexcept {
        if (first_) {
            const ByteView f = view_of(first_.get());
            return {f.data, f.size};
        }
        return {joined_.get(), size_};
    }

    // The stream as a list of one bytes object (empty when there is no data),
    // for the host's zlib to replay.
    Ref as_list() const noexcept {
        Ref list(PyList_New(0));
        if (!list) return list;
        if (first_) return PyList_Append(list.get(), first_.get()) == 0 ? std::move(list) : Ref();
        if (size_ == 0) return list;
        Ref joined(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(joined_.get()), ssize(size_)));
        if (!joined || PyList_Append(list.get(), joined.get()) < 0) return Ref();
        return list;
    }

    void release() noexcept {
        first_.reset();
        joined_.reset();
        size_ = capacity_ = 0;
    }

private:
    bool append(const std::uint8_t* data, std::size_t n) noexcept {
        std::size_t need = 0;
        if (__builtin_add_overflow(size_, n, &need) || need > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            return false;
        }
        if (need > capacity_) {
            // Doubling: the pages past the data are never touched, and a
            // large block grows by remapping rather than copying.
            std::size_t grow = capacity_ > need / 2 ? capacity_ * 2 : need;
            if (grow < need || grow > static_cast<std::size_t>(PY_SSIZE_T_MAX)) grow = need;
            auto* p = static_cast<std::uint8_t*>(std::realloc(joined_.get(), grow));
            if (p == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            static_cast<void>(joined_.release());
            joined_.reset(p);
            capacity_ = grow;
        }
        std::memcpy(joined_.get() + size_, data, n);
        size_ = need;
        return true;
    }

    Ref first_;
    RawBuffer joined_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Deflate cannot expand its input by more than 1032:1, so a stream of
// `compressed` bytes never inflates past this; a header that claims more than
// the data could hold never makes us allocate for it.
std::uint64_t inflate_bound(std::uint64_t compressed) noexcept {
    std::uint64_t bound = 0;
    if (__builtin_mul_overflow(compressed, std::uint64_t{1032}, &bound) ||
        __builtin_add_overflow(bound, std::uint64_t{1024}, &bound)) {
        return UINT64_MAX;
    }
    return bound;
}

// Output the host produces per call while it replays a faulty stream: a
// stream may inflate to gigabytes before its fault shows.
constexpr long long replay_step = 1 << 22;

// Has the host's zlib find the fault of the joined IDAT parts (a list of
// bytes), which the inflater refused, so that the host's own zlib.error comes
// out unchanged. A decompressor object is fed part by part with bounded
// output, dropped as it comes. A stream that runs out of input without an
// error is truncated; its start is truncated in the same way, and the host's
// zlib.decompress is shown that (at most two bytes) for its message.
void raise_stream_error(PyObject* parts) noexcept {
    PyObject* zlib = host::zlib_module();
    Ref decompressor(PyObject_CallMethod(zlib, "decompressobj", nullptr));
    if (!decompressor) return;
    Ref step(PyLong_FromLongLong(replay_step));
    Ref decompress(PyUnicode_InternFromString("decompress"));
    if (!step || !decompress) return;
    char head[2];
    Py_ssize_t head_size = 0;
    const Py_ssize_t nparts = PyList_GET_SIZE(parts);
    bool ended = false;
    for (Py_ssize_t i = 0; i < nparts && !ended; ++i) {
        Ref input = Ref::borrow(PyList_GET_ITEM(parts, i));
        for (Py_ssize_t k = 0; k < PyBytes_GET_SIZE(input.get()) && head_size < 2; ++k) {
            head[head_size++] = PyBytes_AS_STRING(input.get())[k];
        }
        // Until this part is used up and a step came back short of full (a
        // full one may leave output pending inside the decompressor).
        for (bool full = true; PyBytes_GET_SIZE(input.get()) > 0 || full;) {
            PyObject* args[] = {decompressor.get(), input.get(), step.get()};
            Ref out(PyObject_VectorcallMethod(decompress.get(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            if (!out) return;  // the host's own error
            full = PyBytes_Check(out.get()) && PyBytes_GET_SIZE(out.get()) >= replay_step;
            Ref eof(PyObject_GetAttrString(decompressor.get(), "eof"));
            if (!eof) return;
            const int at_end = PyObject_IsTrue(eof.get());
            if (at_end < 0) return;
            if (at_end) {
                ended = true;
                break;
            }
            input.reset(PyObject_GetAttrString(decompressor.get(), "unconsumed_tail"));
            if (!input) return;
            if (!PyBytes_Check(input.get())) {
                PyErr_SetString(PyExc_SystemError, "zlib decompressor left a tail that is not bytes");
                return;
            }
        }
    }
    if (ended) {
        // The host found the stream sound after all: no fault of its own to report.
        value_error("Malformed PNG image data");
        return;
    }
    Ref start(PyBytes_FromStringAndSize(head, head_size));
    if (start) host::raise_decompress_error(start.get(), "Malformed PNG image data");
}

// Replays the stream with the host's zlib for its own error (see raise_stream_error).
void raise_stream_error(const ImageData& data) noexcept {
    Ref parts = data.as_list();
    if (parts) raise_stream_error(parts.get());
}

// Checks that the zlib stream can fill `expected` bytes, the size of the
// inflated image data; false with the exception set when it cannot (after
// having the stream's soundness decided) or when no buffer can hold them.
bool check_image_data_size(const ImageData& data, std::uint64_t expected) noexcept {
    const png::Span span = data.span();
    if (inflate_bound(span.size) < expected) {
        // The data cannot fill the image the header claims: only whether the
        // stream is sound is left to decide, and nothing is kept for that.
        if (png::inflate_discard(&span, 1) == png::InflateStatus::ok) {
            value_error("Malformed PNG image data");
        } else {
            raise_stream_error(data);
        }
        return false;
    }
    if (expected > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// Inflates the zlib stream into out[0..expected); false with the exception
// set when the stream is corrupt or inflates to another length.
bool inflate_image_data(const ImageData& data, std::uint8_t* out, std::uint64_t expected) noexcept {
    const png::Span span = data.span();
    switch (png::inflate_bounded(&span, 1, out, expected)) {
        case png::InflateStatus::ok: return true;
        case png::InflateStatus::too_long:
        case png::InflateStatus::wrong_length: value_error("Malformed PNG image data"); return false;
        case png::InflateStatus::stream_error: raise_stream_error(data); return false;
    }
    return false;
}

// A new bytearray of `n` bytes whose contents the caller writes in full.
Ref uninitialised_bytearray(std::uint64_t n) noexcept {
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return Ref();
    }
    return Ref(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
}

std::uint8_t* bytes_of(const Ref& bytearray) noexcept {
    return reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(bytearray.get()));
}

// Cuts a bytearray made by uninitialised_bytearray down to its first n bytes
// (0 < n <= its size), its allocation included, so that it is exactly what
// uninitialised_bytearray(n) would have made. Shrinking a block in place
// cannot fail in practice; if it does, MemoryError.
bool shrink_bytearray(const Ref& bytearray, std::uint64_t n) noexcept {
    auto* o = reinterpret_cast<PyByteArrayObject*>(bytearray.get());
    auto* p = static_cast<char*>(PyObject_Realloc(o->ob_bytes, static_cast<std::size_t>(n) + 1));
    if (p == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    o->ob_bytes = o->ob_start = p;
    o->ob_alloc = static_cast<Py_ssize_t>(n) + 1;
    Py_SET_SIZE(o, static_cast<Py_ssize_t>(n));
    p[n] = '\0';
    return true;
}

}  // namespace

const FuncSpec read_chunk_spec = {
    "_readChunk", nullptr, FuncKind::function, read_chunk_params, 1, 0, "Tuple[bytes, bytes]", read_chunk_impl,
};

PyObject* load_png(PyObject* stream) noexcept {
    Ref signature = host::read(stream, 8);
    if (!signature) return nullptr;
    {
        const ByteView sig = view_of(signature.get());
        const ByteView want = view_of(host::png_signature());
        if (sig.size != want.size || std::memcmp(sig.data, want.data, want.size) != 0) {
            return value_error("Unsupported PNG signature");
        }
    }

    // The chunk loop: every chunk is recorded, IDAT by its length only, its
    // data kept aside as it was read for the one inflation after the loop.
    Header h;
    Ref chunks(PyList_New(0));
    if (!chunks) return nullptr;
    ImageData image_data;
    for (;;) {
        Ref type, data;
        const ChunkRead r = read_chunk(stream, type, data);
        if (r == ChunkRead::error) return nullptr;
        if (r == ChunkRead::end) break;
        if (type_is(type.get(), "IHDR") && !unpack_ihdr(data.get(), h)) return nullptr;
        const bool is_end = type_is(type.get(), "IEND");
        if (type_is(type.get(), "IDAT")) {
            const Py_ssize_t n = ssize(view_of(data.get()).size);
            if (!image_data.add(std::move(data))) return nullptr;
            if (!append(chunks.get(), Ref(Py_BuildValue("(OOn)", type.get(), Py_None, n)))) return nullptr;
        } else {
            const Py_ssize_t n = ssize(view_of(data.get()).size);
            if (!append(chunks.get(), Ref(Py_BuildValue("(OOn)", type.get(), data.get(), n)))) return nullptr;
        }
        if (is_end) break;
    }

    if (!h.seen) return value_error("Incomplete PNG header information");
    if (h.depth != 8) return value_error("Only 8-bit PNG images are supported");
    if (h.color != 2 && h.color != 6) return value_error("Only RGB/RGBA PNG images are supported");
    if (h.compression != 0 || h.filter != 0 || h.interlace != 0) {
        return value_error("Unsupported PNG configuration (compression/filter/interlace)");
    }

    // Width and height are below 2^31, so none of these products wraps.
    const unsigned channels = h.color == 2 ? 3 : 4;
    const auto width = static_cast<std::uint64_t>(h.width);
    const auto height = static_cast<std::uint64_t>(h.height);
    std::uint64_t expected = 0;
    if (__builtin_mul_overflow(height, width * channels + 1, &expected)) {
        return value_error("Malformed PNG image data");
    }
    if (!check_image_data_size(image_data, expected)) return nullptr;

    const std::uint64_t npixels = width * height;
    Ref pixels, alpha = Ref::borrow(Py_None);
    Ref filters = uninitialised_bytearray(height);
    if (!filters) return nullptr;
    png::ReconstructResult rr{true, 0, 0};
    if (npixels > 0) {
        // The image data inflates into the pixel buffer itself, whose rows are
        // then reconstructed in place, the filter bytes (and alpha samples)
        // taken out, and the buffer cut to the RGB samples.
        pixels = uninitialised_bytearray(expected);
        if (!pixels) return nullptr;
        if (!inflate_image_data(image_data, bytes_of(pixels), expected)) return nullptr;
        image_data.release();
        if (channels == 4) alpha = uninitialised_bytearray(npixels);
        if (!alpha) return nullptr;
        const std::uint64_t row_bytes = width * channels + 1;
        RawBuffer rows(static_cast<std::uint8_t*>(std::malloc(2 * row_bytes)));
        if (!rows) {
            PyErr_NoMemory();
            return nullptr;
        }
        const auto w32 = static_cast<std::uint32_t>(width);
        const auto h32 = static_cast<std::uint32_t>(height);
        rr = channels == 4 ? png::reconstruct_rgba_in_place(bytes_of(pixels), w32, h32, bytes_of(alpha),
                                                            bytes_of(filters), rows.get())
                           : png::reconstruct_rgb_in_place(bytes_of(pixels), w32, h32, bytes_of(filters), rows.get());
        if (rr.ok && !shrink_bytearray(pixels, npixels * 3)) return nullptr;
    } else {
        // No pixels: the image data is the filter bytes alone (or nothing).
        RawBuffer raw(static_cast<std::uint8_t*>(std::malloc(expected > 0 ? expected : 1)));
        if (!raw) {
            PyErr_NoMemory();
            return nullptr;
        }
        if (!inflate_image_data(image_data, raw.get(), expected)) return nullptr;
        image_data.release();
        pixels = uninitialised_bytearray(0);
        if (!pixels) return nullptr;
        if (channels == 4) alpha = uninitialised_bytearray(0);
        if (!alpha) return nullptr;
        rr = png::reconstruct_image(raw.get(), static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                                    channels, nullptr, nullptr, bytes_of(filters));
    }
    if (!rr.ok) {
        PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %u", rr.bad_filter);
        return nullptr;
    }

    Ref result(PyTuple_New(8));
    if (!result) return nullptr;
    PyObject* items[8] = {PyLong_FromLong(h.width), PyLong_FromLong(h.height),
                          pixels.release(),         PyLong_FromLong(static_cast<long>(channels)),
                          alpha.release(),          chunks.release(),
                          Py_NewRef(Py_None),       filters.release()};
    bool ok = true;
    for (Py_ssize_t i = 0; i < 8; ++i) {
        if (items[i] == nullptr) ok = false;
        PyTuple_SET_ITEM(result.get(), i, items[i]);  // a null slot is skipped when the tuple is freed
    }
    return ok ? result.release() : nullptr;
}

}  // namespace tavrel
