// PNG writing: `_makeChunk`, the scanline encoder, the plain writer, the IDAT
// splitter and the chunk-preserving writer. Both writers build the whole file
// in memory, validation, encoding and compression included, and open the
// output only once it is complete, so no failure before that point touches an
// existing file.
#include "common/checked.h"
#include "module/errors.h"
#include "module/host.h"
#include "module/tavrel_ext.h"
#include "module/unlocked.h"
#include "module/writers.h"
#include "png/chunk.h"
#include "png/encode.h"
#include "png/split.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace tavrel {
namespace {

// Raises the message's ValueError; false, for the writers' boolean returns.
bool value_error(errors::Message message) noexcept {
    errors::raise(message);
    return false;
}

// A new bytes object of `n` bytes that the caller fills in full.
Ref new_bytes(std::uint64_t n) noexcept {
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return Ref();
    }
    return Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
}

std::uint8_t* bytes_data(PyObject* bytes) noexcept { return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)); }
std::size_t bytes_size(PyObject* bytes) noexcept { return static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)); }

// Lets the host's struct.pack(">I", value) raise its own struct.error for a
// length that does not fit the field.
bool raise_length_pack_error(std::uint64_t value) noexcept {
    Ref n(PyLong_FromUnsignedLongLong(value));
    if (!n) return false;
    PyObject* args[] = {n.get()};
    Ref packed = host::pack(">I", args, 1);
    if (packed) PyErr_SetString(PyExc_SystemError, "struct.pack accepted a chunk length past 32 bits");
    return false;
}

// The length field as int.to_bytes(4, "big") writes it, refusing as it does.
bool check_length_field(std::uint64_t length) noexcept {
    if (length <= png::max_chunk_data) return true;
    PyErr_SetString(PyExc_OverflowError, "int too big to convert");
    return false;
}

// Sums chunk sizes into a file size, refusing one that no buffer can hold.
bool add_size(std::uint64_t& total, std::uint64_t n) noexcept {
    if (add_overflows(total, n, &total)) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- _makeChunk

PyObject* make_chunk_impl(PyObject*, PyObject* const* args) {
    PyObject* type = args[0];  // both exactly bytes: the binder has checked
    PyObject* data = args[1];
    if (bytes_size(data) > png::max_chunk_data) {
        raise_length_pack_error(bytes_size(data));
        return nullptr;
    }
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

// The IHDR data of an 8-bit image, packed by the host so that a negative width
// or height gets the host's struct.error.
Ref pack_ihdr(std::int32_t width, std::int32_t height, bool has_alpha) noexcept {
    Ref w(PyLong_FromLong(width));
    Ref h(PyLong_FromLong(height));
    Ref depth(PyLong_FromLong(8));
    Ref color(PyLong_FromLong(has_alpha ? 6 : 2));
    Ref zero(PyLong_FromLong(0));
    if (!w || !h || !depth || !color || !zero) return Ref();
    PyObject* args[] = {w.get(), h.get(), depth.get(), color.get(), zero.get(), zero.get(), zero.get()};
    Ref ihdr = host::pack(">IIBBBBB", args, 7);
    if (ihdr && (!PyBytes_Check(ihdr.get()) || PyBytes_GET_SIZE(ihdr.get()) != 13)) {
        PyErr_SetString(PyExc_SystemError, "struct.pack returned an IHDR of the wrong size");
        return Ref();
    }
    return ihdr;
}

// The pixels as a bytearray: a bytearray (or subclass) as it is, anything else
// copied into a new one. The byte count is checked again here: an object
// whose items are wider than a byte passed the length test with a different
// number of bytes.
Ref pixel_buffer(PyObject* pixels, std::uint64_t expected_bytes) noexcept {
    Ref buf = PyByteArray_Check(pixels) ? Ref::borrow(pixels) : Ref(PyByteArray_FromObject(pixels));
    if (!buf) return buf;
    if (static_cast<std::uint64_t>(PyByteArray_GET_SIZE(buf.get())) != expected_bytes) {
        value_error(errors::Message::pixel_length);
        return Ref();
    }
    return buf;
}

// Rows are encoded in blocks of about this many input bytes, each copied out of the caller's buffers first.
constexpr std::uint64_t block_bytes = 1 << 20;

// Encodes the rows of a large image block by block with the interpreter lock released, holding no export of the
// caller's objects meanwhile: with the lock held, the block's rows and the row above it are copied out of fresh
// exports of the pixels and alpha, which are then released; the rows are filtered from the copies, the lock
// released, into `raw` (the module's new bytes object, seen by nobody else). rgb and alpha_view hold the first
// exports, checked by the caller; a buffer another thread resized meanwhile gets the length error. The filter
// types (filter_view, unexported when there are none) are copied first.
bool encode_in_blocks(std::int32_t width, std::int32_t height, PyObject* pix_buf, PyObject* alpha, Buffer& filter_view,
                      Buffer& rgb, Buffer& alpha_view, PyObject* raw, std::uint8_t* scratch) noexcept {
    const auto w = static_cast<std::uint64_t>(width);
    const auto h = static_cast<std::uint64_t>(height);
    const bool has_alpha = alpha != Py_None;
    const std::uint64_t rgb_row = w * 3;
    const std::uint64_t out_row = w * (has_alpha ? 4 : 3) + 1;
    std::uint64_t rows_per_block = block_bytes / rgb_row;
    if (rows_per_block == 0) rows_per_block = 1;
    if (rows_per_block > h) rows_per_block = h;
    std::vector<std::uint8_t> filters, rgb_copy, alpha_copy;
    try {
        if (filter_view.data() != nullptr) filters.assign(filter_view.data(), filter_view.data() + h);
        rgb_copy.resize((rows_per_block + 1) * rgb_row);
        if (has_alpha) alpha_copy.resize((rows_per_block + 1) * w);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    filter_view.release();
    std::uint8_t* out = bytes_data(raw);
    for (std::uint64_t y0 = 0; y0 < h; y0 += rows_per_block) {
        const std::uint64_t n = h - y0 < rows_per_block ? h - y0 : rows_per_block;
        const std::uint64_t first = y0 == 0 ? 0 : y0 - 1;  // the row above the block is its first row's predictor
        if (y0 > 0) {
            if (!rgb.acquire(pix_buf, PyBUF_SIMPLE)) return false;
            if (static_cast<std::uint64_t>(rgb.size()) != w * h * 3) return value_error(errors::Message::pixel_length);
            if (has_alpha) {
                if (!alpha_view.acquire(alpha, PyBUF_WRITABLE)) return false;
                if (static_cast<std::uint64_t>(alpha_view.size()) != w * h)
                    return value_error(errors::Message::alpha_length);
            }
        }
        std::memcpy(rgb_copy.data(), rgb.data() + first * rgb_row, (y0 + n - first) * rgb_row);
        if (has_alpha) std::memcpy(alpha_copy.data(), alpha_view.data() + first * w, (y0 + n - first) * w);
        rgb.release();
        alpha_view.release();
        const std::uint64_t skip = y0 - first;
        const std::uint8_t* block_rgb = rgb_copy.data() + skip * rgb_row;
        const std::uint8_t* block_alpha = has_alpha ? alpha_copy.data() + skip * w : nullptr;
        const std::uint8_t* prev_rgb = skip ? rgb_copy.data() : nullptr;
        const std::uint8_t* prev_alpha = skip && has_alpha ? alpha_copy.data() : nullptr;
        const std::uint8_t* block_filters = filters.empty() ? nullptr : filters.data() + y0;
        std::uint8_t* dst = out + y0 * out_row;
        Unlocked unlocked(true);
        png::encode_scanlines(block_rgb, block_alpha, block_filters, static_cast<std::uint32_t>(w),
                              static_cast<std::uint32_t>(n), dst, scratch, prev_rgb, prev_alpha);
    }
    return true;
}

// Encodes the scanlines of a `width` x `height` image (both non-negative)
// into a new bytes object of exactly height * (1 + width * channels) bytes,
// each row its filter byte and its samples filtered with that type. `alpha`
// and `filter_types` must be writable byte buffers (or None); everything is
// refused before any row is encoded.
Ref encode_image(std::int32_t width, std::int32_t height, PyObject* alpha, PyObject* filter_types,
                 PyObject* pix_buf) noexcept {
    const auto w = static_cast<std::uint64_t>(width);
    const auto h = static_cast<std::uint64_t>(height);
    const std::uint64_t npix = w * h;

    // Exports are held until the rows are written, and every size is taken
    // from the exported view, not from an earlier len().
    Buffer rgb;
    if (!rgb.acquire(pix_buf, PyBUF_SIMPLE)) return Ref();
    if (static_cast<std::uint64_t>(rgb.size()) != npix * 3) {
        value_error(errors::Message::pixel_length);
        return Ref();
    }
    Buffer alpha_view;
    if (alpha != Py_None) {
        if (!alpha_view.acquire(alpha, PyBUF_WRITABLE)) return Ref();
        if (static_cast<std::uint64_t>(alpha_view.size()) != npix) {
            value_error(errors::Message::alpha_length);
            return Ref();
        }
    }
    Buffer filter_view;
    if (filter_types != Py_None) {
        const Py_ssize_t count = PyObject_Size(filter_types);
        if (count < 0) return Ref();
        if (count != height) {
            value_error(errors::Message::filter_count);
            return Ref();
        }
        if (!filter_view.acquire(filter_types, PyBUF_WRITABLE)) return Ref();
        if (filter_view.size() != height) {
            value_error(errors::Message::filter_count);
            return Ref();
        }
        const std::size_t bad = png::first_bad_filter(filter_view.data(), h);
        if (bad < h) {
            errors::raise(png::Error::bad_filter, {filter_view.data()[bad]});
            return Ref();
        }
    }

    const std::uint64_t channels = alpha != Py_None ? 4 : 3;
    const std::uint64_t row = w * channels;  // below 2^34
    std::uint64_t total = 0;
    if (mul_overflows(h, row + 1, &total)) {
        PyErr_NoMemory();
        return Ref();
    }
    Ref raw = new_bytes(total);
    if (!raw) return Ref();
    std::unique_ptr<std::uint8_t[]> scratch;
    if (alpha != Py_None) {
        scratch.reset(new (std::nothrow) std::uint8_t[2 * row + 1]);
        if (!scratch) {
            PyErr_NoMemory();
            return Ref();
        }
    }
    if (total >= off_lock_bytes && row > 0) {
        if (!encode_in_blocks(width, height, pix_buf, alpha, filter_view, rgb, alpha_view, raw.get(), scratch.get())) {
            return Ref();
        }
        return raw;
    }
    png::encode_scanlines(rgb.data(), alpha != Py_None ? alpha_view.data() : nullptr,
                          filter_types != Py_None ? filter_view.data() : nullptr, static_cast<std::uint32_t>(w),
                          static_cast<std::uint32_t>(h), bytes_data(raw.get()), scratch.get());
    return raw;
}

// What both writers compute before they look at a file: the IHDR data of the
// image being written and its compressed image data.
struct Encoded {
    Ref ihdr;
    Ref compressed;
};

// Validates the lengths, packs the IHDR, encodes the rows and compresses them
// with the host's zlib.compress, in that order.
bool encode_and_compress(std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* alpha,
                         PyObject* filter_types, Encoded& out) noexcept {
    const long long expected = static_cast<long long>(width) * height;  // exact: |w*h| <= 2^62
    const Py_ssize_t plen = PyObject_Size(pixels);
    if (plen < 0) return false;
    // A length never matches a negative or oversized product (whose * 3 would wrap).
    if (expected < 0 || expected > PY_SSIZE_T_MAX / 3 || plen != expected * 3)
        return value_error(errors::Message::pixel_length);
    if (alpha != Py_None) {
        const Py_ssize_t alen = PyObject_Size(alpha);
        if (alen < 0) return false;
        if (alen != expected) return value_error(errors::Message::alpha_length);
    }
    out.ihdr = pack_ihdr(width, height, alpha != Py_None);
    if (!out.ihdr) return false;
    // From here on width and height are known to be non-negative.
    Ref pix_buf = pixel_buffer(pixels, static_cast<std::uint64_t>(expected) * 3);
    if (!pix_buf) return false;
    Ref raw = encode_image(width, height, alpha, filter_types, pix_buf.get());
    if (!raw) return false;
    out.compressed = host::compress(raw.get());
    if (!out.compressed) return false;
    if (!PyBytes_Check(out.compressed.get())) {
        PyErr_Format(PyExc_TypeError, "zlib.compress returned %.200s, not bytes",
                     Py_TYPE(out.compressed.get())->tp_name);
        return false;
    }
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
        // Comparisons may run code that shrinks the list.
        if (idx >= PyList_GET_SIZE(lengths)) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return nullptr;
        }
        Ref length = Ref::borrow(PyList_GET_ITEM(lengths, idx));
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

PyObject* split_impl(PyObject*, PyObject* const* args) {
    // None passes the type check but has no length; data is measured first.
    for (int i = 0; i < 2; ++i) {
        if (args[i] == Py_None) {
            PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
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
bool unpack3(PyObject* record, Ref (&out)[3]) noexcept {
    auto count_error = [](Py_ssize_t found) {
        if (found > 3) {
            errors::raise_too_many_values(3);
        } else {
            errors::raise_too_few_values(found);
        }
        return false;
    };
    if (PyTuple_CheckExact(record) || PyList_CheckExact(record)) {
        const Py_ssize_t n = Py_SIZE(record);
        if (n != 3) return count_error(n);
        PyObject** items = PySequence_Fast_ITEMS(record);
        for (int i = 0; i < 3; ++i) out[i] = Ref::borrow(items[i]);
        return true;
    }
    Ref it(PyObject_GetIter(record));
    if (!it) return false;
    for (int i = 0; i < 3; ++i) {
        out[i] = Ref(PyIter_Next(it.get()));
        if (!out[i]) return PyErr_Occurred() ? false : count_error(i);
    }
    Ref extra(PyIter_Next(it.get()));
    if (extra) return count_error(4);
    return !PyErr_Occurred();
}

enum class RecordKind : std::uint8_t { idat, ihdr, other };

// What one chunk record contributes to the file, its buffers exported until
// the file is built.
struct Record {
    RecordKind kind = RecordKind::other;
    bool is_iend = false;
    Buffer type;
    Buffer data;
    bool has_data = false;
    bool immutable = false;  // type and data (if any) are exact bytes objects, which no other code can change
};

// 1, 0 or -1 (error): whether `type` equals the four letters, by the host's ==.
int type_equals(PyObject* type, const char (&name)[5]) noexcept {
    Ref want(PyBytes_FromStringAndSize(name, 4));
    if (!want) return -1;
    return PyObject_RichCompareBool(type, want.get(), Py_EQ);
}

// Reads one record: unpacks it, classifies it, collects an IDAT length and
// exports the type and data of a chunk that is written as kept.
bool read_record(PyObject* record, PyObject* lengths, Record& r) noexcept {
    Ref items[3];
    if (!unpack3(record, items)) return false;
    const int idat = type_equals(items[0].get(), "IDAT");
    if (idat < 0) return false;
    if (idat) {
        r.kind = RecordKind::idat;
        return PyList_Append(lengths, items[2].get()) == 0;
    }
    const int ihdr = type_equals(items[0].get(), "IHDR");
    if (ihdr < 0) return false;
    if (ihdr) {
        r.kind = RecordKind::ihdr;  // rewritten from the image being written
        return true;
    }
    const int iend = type_equals(items[0].get(), "IEND");
    if (iend < 0) return false;
    r.is_iend = iend != 0;
    r.immutable =
        PyBytes_CheckExact(items[0].get()) && (items[1].get() == Py_None || PyBytes_CheckExact(items[1].get()));
    if (!r.type.acquire(items[0].get(), PyBUF_SIMPLE)) return false;
    if (items[1].get() != Py_None) {
        if (!r.data.acquire(items[1].get(), PyBUF_SIMPLE)) return false;
        r.has_data = true;
        if (!check_length_field(static_cast<std::uint64_t>(r.data.size()))) return false;
    }
    return true;
}

struct Part {
    const std::uint8_t* data;
    std::size_t size;
};

std::size_t put_ihdr(std::uint8_t* out, Part ihdr) noexcept {
    return png::put_chunk(out, reinterpret_cast<const std::uint8_t*>("IHDR"), 4, ihdr.data, ihdr.size);
}

std::size_t put_parts(std::uint8_t* out, const std::vector<Part>& parts) noexcept {
    std::size_t n = 0;
    for (const Part& part : parts) {
        n += png::put_chunk(out + n, reinterpret_cast<const std::uint8_t*>("IDAT"), 4, part.data, part.size);
    }
    return n;
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
    PyObject* compressed = enc.compressed.get();
    if (bytes_size(compressed) > png::max_chunk_data) {
        raise_length_pack_error(bytes_size(compressed));
        return nullptr;
    }
    PyObject* signature = host::png_signature();
    const std::uint64_t total = bytes_size(signature) + png::chunk_size(4, 13) +
                                png::chunk_size(4, bytes_size(compressed)) + png::chunk_size(4, 0);
    Ref file = new_bytes(total);
    if (!file) return nullptr;
    std::uint8_t* p = bytes_data(file.get());
    std::memcpy(p, bytes_data(signature), bytes_size(signature));
    p += bytes_size(signature);
    p += put_ihdr(p, {bytes_data(enc.ihdr.get()), bytes_size(enc.ihdr.get())});
    // The compressed data is the module's own bytes object, the file a new one: framed (copy and CRC) off the lock.
    const std::uint8_t* cdata = bytes_data(compressed);
    const std::size_t csize = bytes_size(compressed);
    {
        Unlocked unlocked(csize >= off_lock_bytes);
        p += png::put_chunk(p, reinterpret_cast<const std::uint8_t*>("IDAT"), 4, cdata, csize);
    }
    png::put_chunk(p, reinterpret_cast<const std::uint8_t*>("IEND"), 4, nullptr, 0);
    enc.compressed.reset();
    return write_file(path, file.get());
}

PyObject* split_idat_payload(PyObject* data, PyObject* lengths) noexcept {
    const Py_ssize_t count = PyList_GET_SIZE(lengths);
    std::unique_ptr<std::int64_t[]> wanted(new (std::nothrow) std::int64_t[count > 0 ? count : 1]);
    if (!wanted) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(lengths, i);
        int overflow = 0;
        const long long v = PyLong_CheckExact(item) ? PyLong_AsLongLongAndOverflow(item, &overflow) : 0;
        if (!PyLong_CheckExact(item) || overflow != 0) return split_generic(data, lengths, count);
        wanted[i] = v;
    }
    std::vector<std::size_t> sizes;
    try {
        png::split_sizes(wanted.get(), static_cast<std::size_t>(count), bytes_size(data), sizes);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Ref parts(PyList_New(static_cast<Py_ssize_t>(sizes.size())));
    if (!parts) return nullptr;
    const char* src = PyBytes_AS_STRING(data);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        PyObject* part = PyBytes_FromStringAndSize(src, static_cast<Py_ssize_t>(sizes[i]));
        if (part == nullptr) return nullptr;
        PyList_SET_ITEM(parts.get(), static_cast<Py_ssize_t>(i), part);
        src += sizes[i];
    }
    return parts.release();
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
    std::unique_ptr<Record[]> recs(new (std::nothrow) Record[nrec > 0 ? nrec : 1]);
    if (!recs) return PyErr_NoMemory();
    Ref lengths(PyList_New(0));
    if (!lengths) return nullptr;
    for (Py_ssize_t i = 0; i < nrec; ++i) {
        Ref record = Ref::borrow(PyList_GET_ITEM(records.get(), i));  // the list is ours alone
        if (!read_record(record.get(), lengths.get(), recs[i])) return nullptr;
    }

    Ref parts(split_idat_payload(enc.compressed.get(), lengths.get()));
    if (!parts) return nullptr;
    if (PyList_GET_SIZE(parts.get()) == 0 && PyList_Append(parts.get(), enc.compressed.get()) < 0) return nullptr;
    enc.compressed.reset();

    // The new IDAT sequence stands where the first IDAT record stood, or just
    // before the first IEND when no IDAT record comes earlier, else at the end.
    Py_ssize_t idat_at = nrec;
    for (Py_ssize_t i = 0; i < nrec; ++i) {
        if (recs[i].kind == RecordKind::idat || recs[i].is_iend) {
            idat_at = i;
            break;
        }
    }

    PyObject* signature = host::png_signature();
    std::uint64_t total = bytes_size(signature);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
        const std::size_t n = bytes_size(PyList_GET_ITEM(parts.get(), i));
        if (!check_length_field(n) || !add_size(total, png::chunk_size(4, n))) return nullptr;
    }
    for (Py_ssize_t i = 0; i < nrec; ++i) {
        const Record& r = recs[i];
        std::uint64_t n = 0;
        switch (r.kind) {
            case RecordKind::idat: continue;
            case RecordKind::ihdr: n = png::chunk_size(4, 13); break;
            case RecordKind::other:
                n = png::chunk_size(static_cast<std::uint64_t>(r.type.size()),
                                    r.has_data ? static_cast<std::uint64_t>(r.data.size()) : 0);
                break;
        }
        if (!add_size(total, n)) return nullptr;
    }

    // The file is framed off the lock when it is large and every export held is of an exact bytes object (the
    // chunks an opened image keeps are), which no other thread can change; the IDAT parts are the module's own.
    std::vector<Part> part_spans;
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
            PyObject* part = PyList_GET_ITEM(parts.get(), i);
            part_spans.push_back({bytes_data(part), bytes_size(part)});
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    bool release = total >= off_lock_bytes;
    for (Py_ssize_t i = 0; i < nrec && release; ++i) {
        if (recs[i].kind == RecordKind::other && !recs[i].immutable) release = false;
    }

    Ref file = new_bytes(total);
    if (!file) return nullptr;
    std::uint8_t* p = bytes_data(file.get());
    std::memcpy(p, bytes_data(signature), bytes_size(signature));
    p += bytes_size(signature);
    // Taken with the lock held: nothing of a Python object is read while it is released.
    const Part ihdr = {bytes_data(enc.ihdr.get()), bytes_size(enc.ihdr.get())};
    {
        Unlocked unlocked(release);
        for (Py_ssize_t i = 0; i <= nrec; ++i) {
            if (i == idat_at) p += put_parts(p, part_spans);
            if (i == nrec) break;
            const Record& r = recs[i];
            switch (r.kind) {
                case RecordKind::idat: break;  // all of the image data went out at idat_at
                case RecordKind::ihdr: p += put_ihdr(p, ihdr); break;
                case RecordKind::other:
                    p += png::put_chunk(p, r.type.data(), static_cast<std::size_t>(r.type.size()),
                                        r.has_data ? r.data.data() : nullptr,
                                        r.has_data ? static_cast<std::size_t>(r.data.size()) : 0);
                    break;
            }
        }
    }
    recs.reset();  // exports end before any code runs for the file
    parts.reset();
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
