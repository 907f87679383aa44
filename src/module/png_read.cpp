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

// Inflates the zlib stream of the joined IDAT parts (a list of bytes) into a
// new buffer of exactly `expected` bytes; null with the exception set when the
// stream is corrupt or inflates to another length.
RawBuffer inflate_image_data(PyObject* parts, std::uint64_t expected) noexcept {
    const Py_ssize_t nparts = PyList_GET_SIZE(parts);
    std::unique_ptr<png::Span[]> spans(new (std::nothrow) png::Span[nparts > 0 ? nparts : 1]);
    if (!spans) {
        PyErr_NoMemory();
        return nullptr;
    }
    std::uint64_t compressed = 0;
    for (Py_ssize_t i = 0; i < nparts; ++i) {
        PyObject* part = PyList_GET_ITEM(parts, i);
        spans[i] = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(part)),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(part))};
        compressed += spans[i].size;
    }
    if (inflate_bound(compressed) < expected) {
        // The data cannot fill the image the header claims: only whether the
        // stream is sound is left to decide, and nothing is kept for that.
        if (png::inflate_discard(spans.get(), static_cast<std::size_t>(nparts)) == png::InflateStatus::ok) {
            value_error("Malformed PNG image data");
        } else {
            raise_stream_error(parts);
        }
        return nullptr;
    }
    if (expected > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return nullptr;
    }
    RawBuffer raw(static_cast<std::uint8_t*>(std::malloc(expected > 0 ? expected : 1)));
    if (!raw) {
        PyErr_NoMemory();
        return nullptr;
    }
    switch (png::inflate_bounded(spans.get(), static_cast<std::size_t>(nparts), raw.get(), expected)) {
        case png::InflateStatus::ok:
            return raw;
        case png::InflateStatus::too_long:
        case png::InflateStatus::wrong_length:
            value_error("Malformed PNG image data");
            return nullptr;
        case png::InflateStatus::stream_error:
            raw.reset();
            raise_stream_error(parts);
            return nullptr;
    }
    return nullptr;
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
    Ref parts(PyList_New(0));
    if (!chunks || !parts) return nullptr;
    for (;;) {
        Ref type, data;
        const ChunkRead r = read_chunk(stream, type, data);
        if (r == ChunkRead::error) return nullptr;
        if (r == ChunkRead::end) break;
        if (type_is(type.get(), "IHDR") && !unpack_ihdr(data.get(), h)) return nullptr;
        const bool is_end = type_is(type.get(), "IEND");
        if (type_is(type.get(), "IDAT")) {
            Ref part = PyBytes_Check(data.get())
                           ? std::move(data)
                           : Ref(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(data.get()),
                                                           PyByteArray_GET_SIZE(data.get())));
            if (!part) return nullptr;
            const Py_ssize_t n = PyBytes_GET_SIZE(part.get());
            if (PyList_Append(parts.get(), part.get()) < 0) return nullptr;
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
    RawBuffer raw = inflate_image_data(parts.get(), expected);
    if (!raw) return nullptr;
    parts.reset();

    const std::uint64_t npixels = width * height;
    Ref pixels = uninitialised_bytearray(npixels * 3);
    if (!pixels) return nullptr;
    Ref alpha = channels == 4 ? uninitialised_bytearray(npixels) : Ref::borrow(Py_None);
    if (!alpha) return nullptr;
    Ref filters = uninitialised_bytearray(height);
    if (!filters) return nullptr;
    const png::ReconstructResult rr = png::reconstruct_image(
        raw.get(), static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), channels,
        bytes_of(pixels), channels == 4 ? bytes_of(alpha) : nullptr, bytes_of(filters));
    if (!rr.ok) {
        PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %u", rr.bad_filter);
        return nullptr;
    }
    raw.reset();

    Ref result(PyTuple_New(8));
    if (!result) return nullptr;
    PyObject* items[8] = {PyLong_FromLong(h.width),  PyLong_FromLong(h.height), pixels.release(),
                          PyLong_FromLong(static_cast<long>(channels)), alpha.release(), chunks.release(),
                          Py_NewRef(Py_None), filters.release()};
    bool ok = true;
    for (Py_ssize_t i = 0; i < 8; ++i) {
        if (items[i] == nullptr) ok = false;
        PyTuple_SET_ITEM(result.get(), i, items[i]);  // a null slot is skipped when the tuple is freed
    }
    return ok ? result.release() : nullptr;
}

}  // namespace tavrel
