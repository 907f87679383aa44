// PNG writing from Python objects: `_makeChunk`, the plain writer, the IDAT splitter and the chunk-preserving writer.
// The scanlines, the layout and the bytes of every file are the codec core's (png/encode.h, png/writer.h); this file
// checks and reads the arguments, holds their exports while the core reads them, has the host's zlib.compress compress
// the image data, raises the core's errors through errors.cpp and writes the file. Both writers build the whole file
// in memory and open the output only once it is complete, so no failure before that point touches an existing file.
#include "common/pages.h"
#include "module/errors.h"
#include "module/host.h"
#include "module/tavrel_ext.h"
#include "module/unlocked.h"
#include "module/unpack.h"
#include "module/writers.h"
#include "png/chunk.h"
#include "png/compress.h"
#include "png/encode.h"
#include "png/writer.h"

#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace tavrel {
namespace {

// false, for the boolean returns of the functions below, once errors:: has raised.
bool raised(std::nullptr_t) noexcept { return false; }

// A new bytes object of `n` bytes that the caller fills in full.
Ref new_bytes(std::uint64_t n) noexcept {
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return Ref(PyErr_NoMemory());
    Ref out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    if (out) advise_huge_pages(PyBytes_AS_STRING(out.get()), static_cast<std::size_t>(n));
    return out;
}

std::uint8_t* bytes_data(PyObject* bytes) noexcept { return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)); }
std::size_t bytes_size(PyObject* bytes) noexcept { return static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)); }
png::Span bytes_span(PyObject* bytes) noexcept { return {bytes_data(bytes), bytes_size(bytes)}; }
png::Span buffer_span(const Buffer& b) noexcept { return {b.data(), static_cast<std::size_t>(b.size())}; }

// The host's struct.error of struct.pack(">I", n), for a chunk length past the 4-byte field.
std::nullptr_t raise_length_pack_error(std::uint64_t n) noexcept {
    const long long values[] = {static_cast<long long>(n)};
    return errors::raise_pack_error(">I", values);
}

// ---------------------------------------------------------------- _makeChunk

PyObject* make_chunk_impl(PyObject*, PyObject* const* args) {
    PyObject* type = args[0];  // both exactly bytes: the binder has checked
    PyObject* data = args[1];
    if (bytes_size(data) > png::max_chunk_data) return raise_length_pack_error(bytes_size(data));
    Ref out = new_bytes(png::chunk_size(bytes_size(type), bytes_size(data)));
    if (!out) return nullptr;
    png::put_chunk(bytes_data(out.get()), bytes_data(type), bytes_size(type), bytes_data(data), bytes_size(data));
    return out.release();
}

constexpr Param make_chunk_params[] = {
    {"chunkType", "bytes", ArgType::bytes},
    {"data", "bytes", ArgType::bytes},
};

// ------------------------------------------------------------------ encoding

// The pixels as a bytearray: a bytearray (or subclass) as it is, anything else
// copied into a new one. The byte count is checked again here: an object
// whose items are wider than a byte passed the length test with a different
// number of bytes.
Ref pixel_buffer(PyObject* pixels, std::uint64_t expected_bytes) noexcept {
    Ref buf = PyByteArray_Check(pixels) ? Ref::borrow(pixels) : Ref(PyByteArray_FromObject(pixels));
    if (!buf) return buf;
    if (static_cast<std::uint64_t>(PyByteArray_GET_SIZE(buf.get())) != expected_bytes) {
        return Ref(errors::raise(errors::Message::pixel_length));
    }
    return buf;
}

// The caller's pixels, alpha plane and filter types, exported for the core's encoders, every size taken from the
// export, not from an earlier len(). Exported once before any row is encoded, they are lent to the block encoder
// once; each later loan is of fresh exports, measured again, so that a buffer another thread resized while the lock
// was released gets the length error. Every loan ends before the lock is released.
class ExportedRows final : public png::RowSource {
public:
    ExportedRows(PyObject* pixels, PyObject* alpha, std::uint64_t npix) noexcept
        : pixels_(pixels), alpha_(alpha), npix_(npix) {}

    // Exports the pixels and the alpha plane: false with the length error or the host's buffer error.
    bool export_samples() noexcept {
        if (!rgb_.acquire(pixels_, PyBUF_SIMPLE)) return false;
        if (static_cast<std::uint64_t>(rgb_.size()) != npix_ * 3)
            return raised(errors::raise(errors::Message::pixel_length));
        if (alpha_ == Py_None) return true;
        if (!alpha_view_.acquire(alpha_, PyBUF_WRITABLE)) return false;
        return static_cast<std::uint64_t>(alpha_view_.size()) == npix_ ||
               raised(errors::raise(errors::Message::alpha_length));
    }

    // Measures and exports the filter types (None: none), one for each of `height` rows, each at most 4.
    bool export_filters(PyObject* filter_types, std::uint32_t height) noexcept {
        if (filter_types == Py_None) return true;
        const Py_ssize_t count = PyObject_Size(filter_types);
        if (count < 0) return false;
        if (count != height) return raised(errors::raise(errors::Message::filter_count));
        if (!filter_view_.acquire(filter_types, PyBUF_WRITABLE)) return false;
        if (filter_view_.size() != height) return raised(errors::raise(errors::Message::filter_count));
        const std::size_t bad = png::first_bad_filter(filter_view_.data(), height);
        has_filters_ = true;
        return bad == height || raised(errors::raise(png::Error::bad_filter, {filter_view_.data()[bad]}));
    }

    bool has_filters() const noexcept { return has_filters_; }
    png::LentRows held() const noexcept {
        return {rgb_.data(), alpha_ != Py_None ? alpha_view_.data() : nullptr,
                has_filters_ ? filter_view_.data() : nullptr};
    }

    bool lend(png::LentRows& rows) noexcept override {
        if (lent_ && !export_samples()) return false;
        rows = held();
        lent_ = true;
        return true;
    }

    void end_loan() noexcept override {
        filter_view_.release();
        rgb_.release();
        alpha_view_.release();
    }

    void run(std::uint64_t, Task task) noexcept override { without_lock(true, task); }

private:
    PyObject* pixels_;
    PyObject* alpha_;
    std::uint64_t npix_;
    Buffer rgb_, alpha_view_, filter_view_;  // released in the reverse order on every way out
    bool has_filters_ = false;
    bool lent_ = false;
};

// Encodes the scanlines of the image `header` describes, into a new bytes object, or, with `compressed`, into the
// host's zlib stream of them (a new bytes object in *compressed; left empty, with no error, when deflate failed, for
// the host's own call to word it). `alpha` and `filter_types` must be writable byte buffers (or None); everything is
// refused before any row is encoded. A large image is encoded in blocks with the lock released, and then compressed
// as it is encoded: its scanlines never exist whole.
Ref encode_rows(const png::ImageHeader& header, PyObject* alpha, PyObject* filter_types, PyObject* pix_buf,
                Ref* compressed = nullptr) noexcept {
    ExportedRows rows(pix_buf, alpha, std::uint64_t{header.width} * header.height);
    if (!rows.export_samples() || !rows.export_filters(filter_types, header.height)) return Ref();
    std::uint64_t total = 0;
    if (!png::scanlines_size(header.width, header.height, header.has_alpha, total)) return Ref(PyErr_NoMemory());
    const bool in_blocks = total >= off_lock_bytes && header.width > 0;
    if (compressed && in_blocks) {
        const std::uint64_t bound = png::compress_bound(total);
        if (bound < total) return Ref(PyErr_NoMemory());
        Ref out = new_bytes(bound);
        if (!out) return Ref();
        png::HostDeflater sink({bytes_data(out.get()), bytes_size(out.get())});
        const png::Error e =
            png::encode_in_blocks(rows, header.width, header.height, header.has_alpha, rows.has_filters(), sink);
        if (e == png::Error::compress_failed) return Ref::borrow(Py_None);
        if (e != png::Error::ok) return Ref(errors::raise(e));
        PyObject* raw = out.release();
        if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(sink.written())) < 0) return Ref();  // raises MemoryError
        compressed->reset(raw);
        return Ref::borrow(Py_None);
    }
    Ref raw = new_bytes(total);
    if (!raw) return Ref();
    const png::LentRows held = rows.held();
    const png::Error e = in_blocks ? png::encode_in_blocks(rows, header.width, header.height, header.has_alpha,
                                                           rows.has_filters(), bytes_data(raw.get()))
                                   : png::encode_image(held.rgb, held.alpha, held.filters, header.width, header.height,
                                                       bytes_data(raw.get()));
    if (e != png::Error::ok) return Ref(errors::raise(e));
    return raw;
}

// What both writers compute before they look at a file: the header of the
// image being written and its compressed image data.
struct Encoded {
    png::ImageHeader header;
    Ref compressed;
};

// Validates the lengths, checks the IHDR fields, encodes the rows and
// compresses them with the host's zlib.compress, in that order.
bool encode_and_compress(std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* alpha,
                         PyObject* filter_types, Encoded& out) noexcept {
    const long long expected = static_cast<long long>(width) * height;  // exact: |w*h| <= 2^62
    const Py_ssize_t plen = PyObject_Size(pixels);
    if (plen < 0) return false;
    // A length never matches a negative or oversized product (whose * 3 would wrap).
    if (expected < 0 || expected > PY_SSIZE_T_MAX / 3 || plen != expected * 3)
        return raised(errors::raise(errors::Message::pixel_length));
    const bool has_alpha = alpha != Py_None;
    if (has_alpha) {
        const Py_ssize_t alen = PyObject_Size(alpha);
        if (alen < 0) return false;
        if (alen != expected) return raised(errors::raise(errors::Message::alpha_length));
    }
    if (width < 0 || height < 0) {  // the lengths still match: the host's struct.error of packing the IHDR
        const long long fields[] = {width, height, 8, has_alpha ? 6 : 2, 0, 0, 0};
        return raised(errors::raise_pack_error(">IIBBBBB", fields));
    }
    out.header = {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), has_alpha};
    Ref pix_buf = pixel_buffer(pixels, static_cast<std::uint64_t>(expected) * 3);
    if (!pix_buf) return false;
    Ref raw = encode_rows(out.header, alpha, filter_types, pix_buf.get(),
                          host::compresses_in_process() ? &out.compressed : nullptr);
    if (!raw) return false;
    if (out.compressed) return true;
    if (raw.get() == Py_None) {  // deflate failed: the scanlines once more, for the host's own call to word why
        raw = encode_rows(out.header, alpha, filter_types, pix_buf.get());
        if (!raw) return false;
    }
    out.compressed = host::compress(raw.get());
    if (!out.compressed) return false;
    if (!PyBytes_Check(out.compressed.get())) return raised(errors::raise_compress_not_bytes(out.compressed.get()));
    return true;
}

// ------------------------------------------------------------------ _writePng

PyObject* write_png_impl(PyObject*, PyObject* const* args) {
    std::int32_t width = 0, height = 0;
    if (!to_int32(args[1], &width) || !to_int32(args[2], &height)) return nullptr;
    return write_png(args[0], width, height, args[3], args[4], args[5]);
}

constexpr Param write_png_params[] = {
    {"path"}, {"width"}, {"height"}, {"pixels"}, {"alpha"}, {"filter_types"},
};

// ------------------------------------------------------- _split_idat_payload

// The entries of `lengths` (a list) as 64-bit integers: 1 when every one is an exact int that fits, 0 when some
// entry is not (the host's arithmetic cuts then), -1 with MemoryError.
int int_lengths(PyObject* lengths, std::vector<std::int64_t>& out) noexcept {
    const Py_ssize_t count = PyList_GET_SIZE(lengths);
    try {
        out.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(lengths, i);
        int overflow = 0;
        if (!PyLong_CheckExact(item)) return 0;
        out[static_cast<std::size_t>(i)] = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow != 0) return 0;
    }
    return 1;
}

// The splitting rules over Python objects, for lengths holding anything but
// ints of 64 bits: every comparison, subtraction and slice is the host's, so
// an entry that cannot take part raises the host's own error.
PyObject* split_generic(PyObject* data, PyObject* lengths, Py_ssize_t count) noexcept {
    Ref parts(PyList_New(0));
    Ref offset(PyLong_FromLong(0));
    Ref zero(PyLong_FromLong(0));
    Ref total(PyLong_FromSsize_t(PyBytes_GET_SIZE(data)));
    if (!parts || !offset || !zero || !total) return nullptr;
    for (Py_ssize_t idx = 0; idx < count; ++idx) {
        // Comparisons may run code that shrinks the list: the host's IndexError then.
        Ref length = Ref::borrow(PyList_GetItem(lengths, idx));
        if (!length) return nullptr;
        const int used_up = PyObject_RichCompareBool(offset.get(), total.get(), Py_GE);
        if (used_up < 0) return nullptr;
        if (used_up) break;
        const int skip = PyObject_RichCompareBool(length.get(), zero.get(), Py_LE);
        if (skip < 0) return nullptr;
        if (skip) continue;
        Ref left(PyNumber_Subtract(total.get(), offset.get()));
        if (!left) return nullptr;
        // The last part takes what is left; the others min(length, left): the first unless the second is smaller.
        // Borrowed from `left` or `length`, which both live to the end of this iteration.
        PyObject* take = left.get();
        if (idx != count - 1) {
            const int smaller = PyObject_RichCompareBool(left.get(), length.get(), Py_LT);
            if (smaller < 0) return nullptr;
            if (!smaller) take = length.get();
        }
        Ref end(PyNumber_Add(offset.get(), take));
        if (!end) return nullptr;
        Ref bounds(PySlice_New(offset.get(), end.get(), nullptr));
        if (!bounds) return nullptr;
        Ref part(PyObject_GetItem(data, bounds.get()));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
        offset = std::move(end);
    }
    const int short_of_total = PyObject_RichCompareBool(offset.get(), total.get(), Py_LT);
    if (short_of_total < 0) return nullptr;
    if (short_of_total) {
        Ref bounds(PySlice_New(offset.get(), nullptr, nullptr));
        if (!bounds) return nullptr;
        Ref rest(PyObject_GetItem(data, bounds.get()));
        if (!rest || PyList_Append(parts.get(), rest.get()) < 0) return nullptr;
    }
    return parts.release();
}

// Cuts `data` (bytes) by the IDAT sizes in `lengths` (a list) into `parts`: pieces of `data` when every length is an
// exact int of 64 bits, else the bytes objects the host's arithmetic slices, a list held in `sliced`.
bool split_parts(PyObject* data, PyObject* lengths, Ref& sliced, std::vector<png::Span>& parts) noexcept {
    std::vector<std::int64_t> ints;
    const int exact = int_lengths(lengths, ints);
    if (exact < 0) return false;
    if (exact) {
        const png::Error e = png::cut_image_data(bytes_span(data), ints, parts);
        return e == png::Error::ok || raised(errors::raise(e));
    }
    sliced.reset(split_generic(data, lengths, PyList_GET_SIZE(lengths)));
    if (!sliced) return false;
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sliced.get()); ++i) {
            PyObject* part = PyList_GET_ITEM(sliced.get(), i);
            if (!PyBytes_Check(part)) return raised(errors::raise_expected_type("bytes", part));
            parts.push_back(bytes_span(part));
        }
    } catch (const std::bad_alloc&) {
        return raised(errors::raise(png::Error::out_of_memory));
    }
    return true;
}

// The parts of `data` (bytes) that `lengths` (a list) asks for: a new list of bytes.
PyObject* split_idat_payload(PyObject* data, PyObject* lengths) noexcept {
    Ref sliced;
    std::vector<png::Span> parts;
    if (!split_parts(data, lengths, sliced, parts)) return nullptr;
    if (sliced) return sliced.release();
    Ref list(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        PyObject* part = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(parts[i].data()),
                                                   static_cast<Py_ssize_t>(parts[i].size()));
        if (part == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), part);
    }
    return list.release();
}

PyObject* split_impl(PyObject*, PyObject* const* args) {
    // None passes the type check but has no length: the host's len() error, for data first.
    for (int i = 0; i < 2; ++i) {
        if (args[i] == Py_None) {
            PyObject_Size(Py_None);
            return nullptr;
        }
    }
    return split_idat_payload(args[0], args[1]);
}

constexpr Param split_params[] = {
    {"data", nullptr, ArgType::bytes_or_none},
    {"lengths", nullptr, ArgType::list_or_none},
};

// ------------------------------------------------------- _writePngWithChunks

// Unpacks `record` into exactly three values, as `a, b, c = record` does.
// 1, 0 or -1 (error): whether `type` equals the four letters, by the host's ==.
int type_equals(PyObject* type, const char (&name)[5]) noexcept {
    Ref want(PyBytes_FromStringAndSize(name, 4));
    if (!want) return -1;
    return PyObject_RichCompareBool(type, want.get(), Py_EQ);
}

// The exports of a kept chunk's type and data, held until the file is built.
struct KeptExports {
    Buffer type;
    Buffer data;
    bool immutable = true;  // type and data (if any) are exact bytes objects, which no other code can change
};

// Reads one record: unpacks it, tells its role by the host's == on its type, collects an IDAT length and exports the
// type and data of a chunk that is written as kept.
bool read_record(PyObject* record, PyObject* lengths, KeptExports& ex, png::KeptChunk& chunk) noexcept {
    Ref items[3];
    if (!unpack_three(record, items)) return false;
    const int idat = type_equals(items[0].get(), "IDAT");
    if (idat < 0) return false;
    if (idat) {
        chunk.role = png::ChunkRole::image_data;
        return PyList_Append(lengths, items[2].get()) == 0;
    }
    const int ihdr = type_equals(items[0].get(), "IHDR");
    if (ihdr < 0) return false;
    if (ihdr) {
        chunk.role = png::ChunkRole::header;  // rewritten from the image being written
        return true;
    }
    const int iend = type_equals(items[0].get(), "IEND");
    if (iend < 0) return false;
    chunk.is_end = iend != 0;
    ex.immutable =
        PyBytes_CheckExact(items[0].get()) && (items[1].get() == Py_None || PyBytes_CheckExact(items[1].get()));
    if (!ex.type.acquire(items[0].get(), PyBUF_SIMPLE)) return false;
    chunk.type = buffer_span(ex.type);
    if (items[1].get() != Py_None) {
        if (!ex.data.acquire(items[1].get(), PyBUF_SIMPLE)) return false;
        // The length field as int.to_bytes(4, "big") writes it, refusing as it does.
        if (static_cast<std::uint64_t>(ex.data.size()) > png::max_chunk_data)
            return raised(errors::raise(errors::Message::int_too_big));
        chunk.data = buffer_span(ex.data);
    }
    return true;
}

PyObject* write_png_with_chunks_impl(PyObject*, PyObject* const* args) {
    std::int32_t width = 0, height = 0;
    if (!to_int32(args[1], &width) || !to_int32(args[2], &height)) return nullptr;
    return write_png_with_chunks(args[0], width, height, args[3], args[4], args[5], args[6]);
}

constexpr Param write_png_with_chunks_params[] = {
    {"path"}, {"width"}, {"height"}, {"pixels"}, {"alpha"}, {"chunks"}, {"filter_types"},
};

}  // namespace

// The whole file in one write, opened only now that it is complete.
PyObject* write_file(PyObject* path, PyObject* contents) noexcept {
    host::OpenFile file;
    if (!file.open(path, "wb")) return nullptr;
    const bool wrote = host::write(file.stream(), contents);
    const bool closed = file.close();
    if (!wrote || !closed) return nullptr;
    Py_RETURN_NONE;
}

PyObject* write_png(PyObject* path, std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* alpha,
                    PyObject* filter_types) noexcept {
    Encoded enc;
    if (!encode_and_compress(width, height, pixels, alpha, filter_types, enc)) return nullptr;
    const png::Span data = bytes_span(enc.compressed.get());
    const png::FileLayout layout = png::plan_plain_file(data);
    if (layout.error == png::Error::chunk_too_long) return raise_length_pack_error(data.size());
    if (layout.error != png::Error::ok) return errors::raise(layout.error);
    Ref file = new_bytes(layout.size);
    if (!file) return nullptr;
    // The compressed data is the module's own bytes object, the file a new one: framed (copy and CRC) off the lock.
    without_lock(data.size() >= off_lock_bytes,
                 [&] { png::put_plain_file(bytes_data(file.get()), layout, data, enc.header); });
    enc.compressed.reset();
    return write_file(path, file.get());
}

PyObject* write_png_with_chunks(PyObject* path, std::int32_t width, std::int32_t height, PyObject* pixels,
                                PyObject* alpha, PyObject* chunks, PyObject* filter_types) noexcept {
    const int present = PyObject_IsTrue(chunks);
    if (present < 0) return nullptr;
    if (!present) return write_png(path, width, height, pixels, alpha, filter_types);

    Encoded enc;
    if (!encode_and_compress(width, height, pixels, alpha, filter_types, enc)) return nullptr;

    // Every record is read before the file is opened: one that cannot be
    // unpacked or written fails here, wherever it stands in the list.
    Ref records(PySequence_List(chunks));
    if (!records) return nullptr;
    const Py_ssize_t nrec = PyList_GET_SIZE(records.get());
    std::vector<png::KeptChunk> kept;
    try {
        kept.resize(static_cast<std::size_t>(nrec));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    std::unique_ptr<KeptExports[]> exports(new (std::nothrow) KeptExports[nrec > 0 ? nrec : 1]);
    if (!exports) return PyErr_NoMemory();
    Ref lengths(PyList_New(0));
    if (!lengths) return nullptr;
    for (Py_ssize_t i = 0; i < nrec; ++i) {
        Ref record = Ref::borrow(PyList_GET_ITEM(records.get(), i));  // the list is ours alone
        if (!read_record(record.get(), lengths.get(), exports[i], kept[static_cast<std::size_t>(i)])) return nullptr;
    }

    Ref held;
    std::vector<png::Span> parts;
    if (!split_parts(enc.compressed.get(), lengths.get(), held, parts)) return nullptr;
    const png::FileLayout layout = png::plan_file(kept, parts);
    if (layout.error == png::Error::chunk_too_long) return errors::raise(errors::Message::int_too_big);
    if (layout.error != png::Error::ok) return errors::raise(layout.error);

    // The file is framed off the lock when it is large and every export held is of an exact bytes object (the
    // chunks an opened image keeps are), which no other thread can change; the IDAT parts are the module's own.
    bool release = layout.size >= off_lock_bytes;
    for (Py_ssize_t i = 0; i < nrec && release; ++i) release = exports[i].immutable;
    Ref file = new_bytes(layout.size);
    if (!file) return nullptr;
    without_lock(release, [&] { png::put_file(bytes_data(file.get()), layout, kept, parts, enc.header); });
    exports.reset();  // exports end before any code runs for the file
    held.reset();
    enc.compressed.reset();
    return write_file(path, file.get());
}

const FuncSpec make_chunk_spec = {
    "_makeChunk", nullptr, FuncKind::function, make_chunk_params, 2, 0, "bytes", make_chunk_impl,
};
const FuncSpec write_png_spec = {
    "_writePng", nullptr, FuncKind::function, write_png_params, 6, 2, "None", write_png_impl,
};
const FuncSpec split_idat_payload_spec = {
    "_split_idat_payload", nullptr, FuncKind::function, split_params, 2, 0, nullptr, split_impl,
};
const FuncSpec write_png_with_chunks_spec = {
    "_writePngWithChunks",      nullptr, FuncKind::function, write_png_with_chunks_params, 7, 1, nullptr,
    write_png_with_chunks_impl,
};

}  // namespace tavrel
