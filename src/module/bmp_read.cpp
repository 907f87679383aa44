// BMP reading: an uncompressed 24-bit BMP with a BITMAPINFOHEADER into the
// decoder result.
#include "bmp/bmp.h"
#include "module/errors.h"
#include "module/host.h"
#include "module/readers.h"
#include "module/state.h"
#include "module/unlocked.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tavrel {
namespace {

std::uint32_t le32(const std::uint8_t* p) noexcept {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
std::uint16_t le16(const std::uint8_t* p) noexcept { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::int32_t sle32(const std::uint8_t* p) noexcept { return static_cast<std::int32_t>(le32(p)); }

// Pixel buffers up to this size are allocated at once; larger ones grow as
// their rows actually arrive, so a header that claims a huge image over a
// short file never costs memory for rows that are not there.
constexpr std::uint64_t upfront_limit = std::uint64_t{64} << 20;

struct InfoHeader {
    std::int32_t width, height;
    std::uint16_t planes, bit_count;
    std::uint32_t compression;
    std::int32_t xppm, yppm;
    std::uint32_t clr_used, clr_important;
};

PyObject* make_meta(const InfoHeader& info) noexcept {
    Ref meta(PyDict_New());
    if (!meta) return nullptr;
    const struct {
        const char* key;
        PyObject* value;
    } entries[] = {
        {"xppm", PyLong_FromLong(info.xppm)},
        {"yppm", PyLong_FromLong(info.yppm)},
        {"clrUsed", PyLong_FromUnsignedLong(info.clr_used)},
        {"clrImportant", PyLong_FromUnsignedLong(info.clr_important)},
    };
    bool ok = true;
    for (const auto& e : entries) {
        Ref value(e.value);
        if (ok && (!value || PyDict_SetItemString(meta.get(), e.key, value.get()) < 0)) ok = false;
    }
    return ok ? meta.release() : nullptr;
}

// Stored bytes asked for per read call when the stream is one whose reads
// nobody can observe: a block of rows small enough to stay in cache, and to
// bound what a header that claims more rows than the file holds can cost.
constexpr std::uint64_t block_bytes = std::uint64_t{256} << 10;

// Reads the |height| stored rows into a new bytearray of image rows, top row
// first. `stride` is the stored row length, `row_bytes` = width * 3. Asks the
// stream for one row per read call, or for `rows_per_read` rows at a time.
Ref read_rows(PyObject* stream, std::uint64_t rows, std::uint64_t stride, std::uint64_t row_bytes, bool bottom_up,
              std::uint64_t rows_per_read) noexcept {
    const std::uint64_t total = rows * row_bytes;  // the caller checked that it fits Py_ssize_t
    const bool upfront = total <= upfront_limit;
    Ref pixels(PyByteArray_FromStringAndSize(nullptr, upfront ? static_cast<Py_ssize_t>(total) : 0));
    if (!pixels) return Ref();
    std::uint64_t filled = 0;  // bytes of the bytearray holding rows so far (growing path)
    for (std::uint64_t row = 0; row < rows;) {
        const std::uint64_t count = rows - row < rows_per_read ? rows - row : rows_per_read;
        const std::uint64_t want = stride * count;  // at most one block, or one row the caller measured
        Ref stored = host::read(stream, static_cast<long long>(want));
        if (!stored) return Ref();
        if (view_of(stored.get()).size < stride * count) {
            errors::raise(bmp::Error::short_pixels);
            return Ref();
        }
        if (!upfront) {
            // Grows geometrically (never past the final size), rows in stored order.
            const std::uint64_t need = filled + row_bytes * count;
            const auto have = static_cast<std::uint64_t>(PyByteArray_GET_SIZE(pixels.get()));
            if (need > have) {
                std::uint64_t grow = have * 2 > need ? have * 2 : need;
                if (grow > total) grow = total;
                if (PyByteArray_Resize(pixels.get(), static_cast<Py_ssize_t>(grow)) < 0) return Ref();
            }
        }
        // The stored rows are viewed only now, after the last call into Python.
        const ByteView src = view_of(stored.get());
        if (src.size < stride * count) {  // the stream changed a bytearray it handed out
            errors::raise(bmp::Error::short_pixels);
            return Ref();
        }
        auto* base = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
        const auto convert = [&]() noexcept {
            for (std::uint64_t k = 0; k < count; ++k, ++row) {
                std::uint64_t at = 0;
                if (upfront) {
                    at = (bottom_up ? rows - 1 - row : row) * row_bytes;
                } else {
                    at = filled;
                    filled += row_bytes;
                }
                bmp::bgr_row_to_rgb(src.data + k * stride, base + at, static_cast<std::size_t>(row_bytes / 3));
            }
        };
        // The new pixel buffer is this call's alone (nothing else holds it, and
        // the collector does not track bytearrays); an exact bytes object
        // cannot change. A large block of rows between the two is therefore
        // converted with the interpreter's lock released.
        without_lock(want >= off_lock_bytes && PyBytes_CheckExact(stored.get()), convert);
    }
    if (!upfront) {
        if (PyByteArray_Resize(pixels.get(), static_cast<Py_ssize_t>(total)) < 0) return Ref();
        if (bottom_up) {
            auto* base = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
            without_lock(true, [&] {
                bmp::reverse_rows(base, static_cast<std::size_t>(row_bytes), static_cast<std::size_t>(rows));
            });
        }
    }
    return pixels;
}

// True when `stream` is an io.BytesIO or a file opened with open(path, "rb")
// (exactly those types) whose read is the type's own, not replaced on the
// instance: its calls then have no effect but the bytes they return, so rows
// may be asked for in blocks rather than one by one. -1 on error.
int plain_reads(PyObject* stream) noexcept {
    PyTypeObject* type = Py_TYPE(stream);
    if (type != reinterpret_cast<PyTypeObject*>(host::bytesio_class()) &&
        std::strcmp(type->tp_name, "_io.BufferedReader") != 0) {
        return 0;
    }
    PyObject* const read_name = module_state().name_read;
    Ref bound(PyObject_GetAttr(stream, read_name));
    if (!bound) return -1;
    Ref own(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), read_name));
    if (!own) return -1;
    if (!PyCFunction_Check(bound.get()) || PyCFunction_GET_SELF(bound.get()) != stream ||
        Py_TYPE(own.get()) != &PyMethodDescr_Type) {
        return 0;
    }
    const auto* descr = reinterpret_cast<PyMethodDescrObject*>(own.get());
    return descr->d_method->ml_meth == PyCFunction_GET_FUNCTION(bound.get()) ? 1 : 0;
}

// True for an io.BytesIO or a file opened with open(path, "rb") (exactly those
// types), whose read(0) returns b"" and changes nothing, so that asking once
// tells the same as asking again.
bool inert_empty_read(PyObject* stream) noexcept {
    PyTypeObject* type = Py_TYPE(stream);
    return type == reinterpret_cast<PyTypeObject*>(host::bytesio_class()) ||
           std::strcmp(type->tp_name, "_io.BufferedReader") == 0;
}

}  // namespace

PyObject* load_bmp(PyObject* stream) noexcept {
    Ref file_header = host::read(stream, 14);
    if (!file_header) return nullptr;
    std::uint32_t pixel_offset = 0;
    {
        const ByteView v = view_of(file_header.get());
        if (v.size < 14 || v.data[0] != 'B' || v.data[1] != 'M') return errors::raise(bmp::Error::bad_file_header);
        pixel_offset = le32(v.data + 10);
    }

    Ref size_field = host::read(stream, 4);
    if (!size_field) return nullptr;
    {
        const ByteView v = view_of(size_field.get());
        if (v.size < 4) return errors::raise(bmp::Error::short_info_header);
        if (v.size != 4) return errors::raise_unpack_error("<I", size_field.get());
        if (le32(v.data) != 40) return errors::raise(bmp::Error::bad_info_size);
    }

    Ref rest = host::read(stream, 36);
    if (!rest) return nullptr;
    InfoHeader info{};
    {
        const ByteView v = view_of(rest.get());
        if (v.size != 36) return errors::raise_unpack_error("<iiHHIIiiII", rest.get());
        const std::uint8_t* p = v.data;
        info = {sle32(p),      sle32(p + 4),  le16(p + 8),  le16(p + 10), le32(p + 12),
                sle32(p + 20), sle32(p + 24), le32(p + 28), le32(p + 32)};
    }
    if (info.planes != 1 || info.bit_count != 24 || info.compression != 0) {
        return errors::raise(bmp::Error::bad_format);
    }

    // The buffer size, width * |height| * 3, decides as bytearray(n) would:
    // negative is refused, beyond an index-sized integer overflows.
    const std::int64_t abs_height = info.height < 0 ? -static_cast<std::int64_t>(info.height) : info.height;
    const __int128 total = static_cast<__int128>(info.width) * abs_height * 3;
    if (total < 0) return errors::raise(errors::Message::negative_count);
    if (total > PY_SSIZE_T_MAX) return errors::raise(errors::Message::index_size_overflow);

    if (!host::seek(stream, pixel_offset)) return nullptr;
    // With a non-negative width (any other one has made an empty buffer by now,
    // with no rows to read) the stride is width * 3 rounded up to 4 bytes.
    Ref pixels;
    if (total == 0) {
        pixels.reset(PyByteArray_FromStringAndSize(nullptr, 0));
        if (!pixels) return nullptr;
        if (info.width == 0) {
            // Each stored row is empty, and is still asked for. The streams
            // that open hands us answer a request for no bytes with b"" and
            // no other effect, so they are asked once: a 54-byte file may
            // claim 2^31 rows.
            const std::int64_t asks = abs_height > 0 && inert_empty_read(stream) ? 1 : abs_height;
            for (std::int64_t row = 0; row < asks; ++row) {
                Ref stored = host::read(stream, 0);
                if (!stored) return nullptr;
            }
        }
    } else {
        const auto width = static_cast<std::uint64_t>(info.width);
        const std::uint64_t stride = bmp::row_stride(width);
        const int plain = plain_reads(stream);
        if (plain < 0) return nullptr;
        const std::uint64_t per_read = plain && stride < block_bytes ? block_bytes / stride : 1;
        pixels =
            read_rows(stream, static_cast<std::uint64_t>(abs_height), stride, width * 3, info.height > 0, per_read);
        if (!pixels) return nullptr;
    }

    Ref meta(make_meta(info));
    if (!meta) return nullptr;
    Ref result(PyTuple_New(8));
    if (!result) return nullptr;
    PyObject* items[8] = {PyLong_FromLong(info.width),
                          PyLong_FromLongLong(abs_height),
                          pixels.release(),
                          PyLong_FromLong(3),
                          Py_NewRef(Py_None),
                          Py_NewRef(Py_None),
                          meta.release(),
                          Py_NewRef(Py_None)};
    bool ok = true;
    for (Py_ssize_t i = 0; i < 8; ++i) {
        if (items[i] == nullptr) ok = false;
        PyTuple_SET_ITEM(result.get(), i, items[i]);  // a null slot is skipped when the tuple is freed
    }
    return ok ? result.release() : nullptr;
}

}  // namespace tavrel
