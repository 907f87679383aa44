// PNG reading: `_readChunk`, and the decoder that turns a PNG stream into the
// decoder result. Every chunk, the decoder's included, goes through
// read_chunk below.
#include "common/checked.h"
#include "module/host.h"
#include "module/readers.h"
#include "module/tavrel_ext.h"
#include "module/unlocked.h"
#include "png/decode.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <zlib.h>

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

// CRC-32 over a chunk's type and data. Long data of a bytes object is summed with the lock released: it cannot
// change, and the reference held keeps it alive. A bytearray may be the stream's own, which another thread could
// change meanwhile, so it is summed with the lock held.
std::uint32_t chunk_crc(PyObject* type, PyObject* data) noexcept {
    const ByteView t = view_of(type);
    const ByteView d = view_of(data);
    const std::uint32_t head = host::crc32(t.data, t.size);
    return without_lock(d.size >= off_lock_bytes && PyBytes_Check(data),
                        [&] { return host::crc32(d.data, d.size, head); });
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
    const std::uint32_t actual = chunk_crc(type.get(), data.get());
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

// The zlib stream of the IDAT chunks, kept part by part as they are read and
// handed to the inflater in that order, never joined. A bytes object is kept
// as read; a bytearray (which its stream may still hold and change) is copied
// into a block of the module's own. So every part stays unchanged while the
// inflater reads it with the lock released.
class ImageData {
public:
    // Appends the data of one IDAT chunk (bytes or bytearray); false with
    // MemoryError set.
    bool add(Ref data) noexcept {
        const ByteView v = view_of(data.get());
        if (v.size == 0) return true;
        std::size_t total = 0;
        if (add_overflows(size_, v.size, &total) || total > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            return false;
        }
        Part part;
        if (PyBytes_Check(data.get())) {
            part.span = {v.data, v.size};
            part.bytes = std::move(data);
        } else {
            part.copy.reset(static_cast<std::uint8_t*>(std::malloc(v.size)));
            if (!part.copy) {
                PyErr_NoMemory();
                return false;
            }
            std::memcpy(part.copy.get(), v.data, v.size);
            part.span = {part.copy.get(), v.size};
        }
        try {
            spans_.push_back(part.span);
            parts_.push_back(std::move(part));
        } catch (const std::bad_alloc&) {
            if (spans_.size() > parts_.size()) spans_.pop_back();
            PyErr_NoMemory();
            return false;
        }
        size_ = total;
        return true;
    }

    const png::Span* spans() const noexcept { return spans_.data(); }
    std::size_t count() const noexcept { return spans_.size(); }
    std::size_t size() const noexcept { return size_; }

    // The first two bytes of the stream (fewer when it is shorter), for the
    // host's message on a truncated stream.
    Ref head() const noexcept {
        char head[2];
        Py_ssize_t n = 0;
        for (const png::Span& s : spans_) {
            for (std::size_t k = 0; k < s.size && n < 2; ++k) head[n++] = static_cast<char>(s.data[k]);
        }
        return Ref(PyBytes_FromStringAndSize(head, n));
    }

    void release() noexcept {
        spans_.clear();
        parts_.clear();
        size_ = 0;
    }

private:
    struct Part {
        png::Span span{nullptr, 0};
        Ref bytes;
        RawBuffer copy;
    };
    std::vector<Part> parts_;
    std::vector<png::Span> spans_;
    std::size_t size_ = 0;
};

// Deflate cannot expand its input by more than 1032:1, so a stream of
// `compressed` bytes never inflates past this; a header that claims more than
// the data could hold never makes us allocate for it.
std::uint64_t inflate_bound(std::uint64_t compressed) noexcept {
    std::uint64_t bound = 0;
    if (mul_overflows(compressed, std::uint64_t{1032}, &bound) || add_overflows(bound, std::uint64_t{1024}, &bound)) {
        return UINT64_MAX;
    }
    return bound;
}

// Raises the error the host's zlib module raises for the stream zlib refused
// with `fault`: zlib.error built as the host builds it from zlib's code and
// message ("Error <code> while decompressing data[: <message>]"). A truncated
// stream is truncated from its start on as well, and the host's
// zlib.decompress is shown those (at most two) bytes for its own message.
void raise_stream_error(const ImageData& data, const png::ZlibFault& fault) noexcept {
    if (fault.code == Z_MEM_ERROR) {
        PyErr_NoMemory();
        return;
    }
    if (fault.code == Z_BUF_ERROR) {
        Ref start = data.head();
        if (start) host::raise_decompress_error(start.get(), "Malformed PNG image data");
        return;
    }
    const char* message = fault.message[0] != '\0'       ? fault.message
                          : fault.code == Z_STREAM_ERROR ? "inconsistent stream state"
                          : fault.code == Z_DATA_ERROR   ? "invalid input data"
                                                         : nullptr;
    Ref error(PyObject_GetAttrString(host::zlib_module(), "error"));
    if (!error) return;
    if (message != nullptr) {
        PyErr_Format(error.get(), "Error %d while decompressing data: %.200s", fault.code, message);
    } else {
        PyErr_Format(error.get(), "Error %d while decompressing data", fault.code);
    }
}

// Whether the stream's work goes on with the lock released.
bool off_lock(const ImageData& data, std::uint64_t expected) noexcept {
    return data.size() >= off_lock_bytes || expected >= off_lock_bytes;
}

// Checks that the zlib stream can fill `expected` bytes, the size of the
// inflated image data; false with the exception set when it cannot (after
// having the stream's soundness decided) or when no buffer can hold them.
bool check_image_data_size(const ImageData& data, std::uint64_t expected) noexcept {
    if (inflate_bound(data.size()) < expected) {
        // The data cannot fill the image the header claims: only whether the
        // stream is sound is left to decide, and nothing is kept for that.
        png::ZlibFault fault;
        const png::InflateStatus st =
            without_lock(off_lock(data, 0), [&] { return png::inflate_discard(data.spans(), data.count(), &fault); });
        if (st == png::InflateStatus::ok) {
            value_error("Malformed PNG image data");
        } else {
            raise_stream_error(data, fault);
        }
        return false;
    }
    if (expected > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// Inflates the zlib stream into out[0..expected), memory of the module's own
// that no other code can see yet; false with the exception set when the
// stream is corrupt or inflates to another length.
bool inflate_image_data(const ImageData& data, std::uint8_t* out, std::uint64_t expected) noexcept {
    png::ZlibFault fault;
    const png::InflateStatus st = without_lock(off_lock(data, expected), [&] {
        return png::inflate_bounded(data.spans(), data.count(), out, expected, &fault);
    });
    switch (st) {
        case png::InflateStatus::ok: return true;
        case png::InflateStatus::too_long:
        case png::InflateStatus::wrong_length: value_error("Malformed PNG image data"); return false;
        case png::InflateStatus::stream_error: raise_stream_error(data, fault); return false;
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
    if (mul_overflows(height, width * channels + 1, &expected)) {
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
        // The three buffers are new and seen by no other code yet.
        std::uint8_t* const px = bytes_of(pixels);
        std::uint8_t* const al = channels == 4 ? bytes_of(alpha) : nullptr;
        std::uint8_t* const fl = bytes_of(filters);
        rr = without_lock(expected >= off_lock_bytes, [&] {
            return channels == 4 ? png::reconstruct_rgba_in_place(px, w32, h32, al, fl, rows.get())
                                 : png::reconstruct_rgb_in_place(px, w32, h32, fl, rows.get());
        });
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
        std::uint8_t* const fl = bytes_of(filters);
        rr = without_lock(expected >= off_lock_bytes, [&] {
            return png::reconstruct_image(raw.get(), static_cast<std::uint32_t>(width),
                                          static_cast<std::uint32_t>(height), channels, nullptr, nullptr, fl);
        });
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
