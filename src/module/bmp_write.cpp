// BMP writing: `_writeBmp`. Every header value is converted and packed, and
// the pixel buffer measured, before the output is opened; the file is then
// written in blocks of rows, or in one piece when opening it may run code.
#include "bmp/bmp.h"
#include "module/errors.h"
#include "module/host.h"
#include "module/state.h"
#include "module/tavrel_ext.h"
#include "module/unlocked.h"
#include "module/writers.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace tavrel {
namespace {

// The four header values that a BMP source supplies, in the order they are read.
struct MetaField {
    const char* key;
    long fallback;
};
constexpr MetaField meta_fields[] = {{"xppm", 2835}, {"yppm", 2835}, {"clrUsed", 0}, {"clrImportant", 0}};

// int(meta.get(key, default)) for each field, in order; defaults when meta is None.
bool read_meta(PyObject* meta, Ref (&values)[4]) noexcept {
    for (int i = 0; i < 4; ++i) {
        Ref fallback(PyLong_FromLong(meta_fields[i].fallback));
        if (!fallback) return false;
        if (meta == Py_None) {
            values[i] = std::move(fallback);
            continue;
        }
        Ref key(PyUnicode_FromString(meta_fields[i].key));
        if (!key) return false;
        PyObject* args[] = {meta, key.get(), fallback.get()};
        Ref got(PyObject_VectorcallMethod(module_state().name_get, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!got) return false;
        values[i] = Ref(PyNumber_Long(got.get()));
        if (!values[i]) return false;
    }
    return true;
}

// The resolution fields are read as signed 32-bit values and packed unsigned:
// a value from -2^31 to -1 is replaced by its 32-bit pattern, so that it is
// written as the bytes it was read from. Any other value is packed as it is
// (one past either end still gets the host's struct.error).
bool as_bit_pattern(Ref& value) noexcept {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v >= 0 || v < INT32_MIN) return true;
    value.reset(PyLong_FromLongLong(v + (1LL << 32)));
    return static_cast<bool>(value);
}

// Python's floor division by 4 of a value that may be negative.
std::int64_t floor_div4(std::int64_t v) noexcept { return v >= 0 ? v / 4 : -((-v + 3) / 4); }

PyObject* write_bmp_impl(PyObject*, PyObject* const* args) {
    std::int32_t width = 0, height = 0;
    if (!to_int32(args[1], &width) || !to_int32(args[2], &height)) return nullptr;
    return write_bmp(args[0], width, height, args[3], args[4]);
}

constexpr Param write_bmp_params[] = {{"path"}, {"width"}, {"height"}, {"pixels"}, {"meta"}};

// The two packed headers: 12 bytes after "BM", then the 40-byte info header.
struct Headers {
    const char* file;
    const char* info;
};

// The pixel buffer exported and measured anew (its size cannot change while
// exported): false with IndexError when it no longer holds the image.
bool export_pixels(PyObject* pix_buf, std::uint64_t needed, Buffer& rgb) noexcept {
    if (!rgb.acquire(pix_buf, PyBUF_SIMPLE)) return false;
    if (static_cast<std::uint64_t>(rgb.size()) < needed) {
        errors::raise(errors::Message::bytearray_index);
        return false;
    }
    return true;
}

// Writes the 54 header bytes at `out`.
void fill_headers(std::uint8_t* out, const Headers& headers) noexcept {
    out[0] = 'B';
    out[1] = 'M';
    std::memcpy(out + 2, headers.file, 12);
    std::memcpy(out + 14, headers.info, 40);
}

// Writes at `out` `count` stored rows made from the `count` image rows at
// `rows` (top row first), bottom-up.
void fill_rows(std::uint8_t* out, const std::uint8_t* rows, std::uint64_t w, std::uint64_t count) noexcept {
    bmp::write_pixel_array(rows, static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(count), out);
}

// Stored bytes per write call: a block small enough to stay in cache and to be
// reused by the allocator, instead of a second buffer of the file's size.
constexpr std::uint64_t block_bytes = std::uint64_t{256} << 10;

// Converts the stored rows [first, last) (stored row k being image row
// height-1-k) into `out`, with the headers when first is 0, a few rows at a
// time. The pixel buffer is exported only while rows are read from it, never
// across a call that can release the lock or run Python code: a large group
// of rows is copied into `scratch`, memory of this call's own, and converted
// from there with the lock released, so that other threads run meanwhile and
// can still resize the buffer (which is measured anew for every group).
bool convert_rows(PyObject* pix_buf, std::uint64_t needed, const Headers& headers, std::uint64_t w, std::uint64_t h,
                  std::uint64_t first, std::uint64_t last, std::uint8_t* out,
                  std::unique_ptr<std::uint8_t[]>& scratch) noexcept {
    const std::uint64_t stride = bmp::row_stride(w);
    const std::uint64_t row_bytes = w * 3;
    const std::uint64_t per_group = stride > 0 && stride < block_bytes ? block_bytes / stride : (stride > 0 ? 1 : h);
    std::uint64_t row = first;
    do {
        const std::uint64_t end = last - row <= per_group ? last : row + per_group;
        const std::uint64_t count = end - row;
        std::uint8_t* at = out + (row > 0 && first == 0 ? 54 : 0) + (row - first) * stride;
        if (row == 0) {
            fill_headers(at, headers);
            at += 54;
        }
        Buffer rgb;
        if (!export_pixels(pix_buf, needed, rgb)) return false;
        // Stored rows [row, end) are image rows [h - end, h - row).
        const std::uint8_t* rows = rgb.data() + (h - end) * row_bytes;
        if (count * stride >= off_lock_bytes) {
            if (!scratch) {
                const std::uint64_t group_max = per_group < h ? per_group : h;
                scratch.reset(new (std::nothrow) std::uint8_t[group_max * row_bytes]);
                if (!scratch) {
                    PyErr_NoMemory();
                    return false;
                }
            }
            std::memcpy(scratch.get(), rows, count * row_bytes);
            rgb.release();
            rows = scratch.get();
            without_lock(true, [&] { fill_rows(at, rows, w, count); });
        } else {
            fill_rows(at, rows, w, count);
        }
        row = end;
    } while (row < last);
    return true;
}

// Writes the headers and rows into `file` in blocks of rows, each built in a
// new bytes object of its own and written with the lock held. A stream other
// than a plain file writer (whose write runs no Python code and keeps
// nothing) gets the whole file in one call. Between blocks the pixel buffer
// is measured again: a buffer that no longer holds the image stops the
// writing with the IndexError of reading past its end.
PyObject* write_in_blocks(PyObject* path, PyObject* pix_buf, const Headers& headers, std::uint64_t w, std::uint64_t h,
                          std::uint64_t needed) noexcept {
    const std::uint64_t stride = bmp::row_stride(w);
    {
        // The buffer is checked before the file is opened, as it always was.
        Buffer rgb;
        if (!export_pixels(pix_buf, needed, rgb)) return nullptr;
    }
    host::OpenFile file;
    if (!file.open(path, "wb")) return nullptr;
    std::uint64_t per_block = h;
    if (host::is_file_writer(file.stream()) && stride > 0 && stride < block_bytes) per_block = block_bytes / stride;
    std::unique_ptr<std::uint8_t[]> scratch;
    bool ok = true;
    std::uint64_t row = 0;
    do {
        const std::uint64_t last = h - row <= per_block ? h : row + per_block;
        const std::uint64_t size = (row == 0 ? 54 : 0) + (last - row) * stride;
        Ref block(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        ok = block &&
             convert_rows(pix_buf, needed, headers, w, h, row, last,
                          reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(block.get())), scratch) &&
             host::write(file.stream(), block.get());
        row = last;
    } while (ok && row < h);
    const bool closed = file.close();
    if (!ok || !closed) return nullptr;
    Py_RETURN_NONE;
}

// Builds the whole file in one bytes object, for the one write call of write_file.
Ref build_file(PyObject* pix_buf, const Headers& headers, std::uint64_t w, std::uint64_t h, std::uint64_t needed,
               std::uint64_t pixel_array) noexcept {
    Ref file(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(54 + pixel_array)));
    if (!file) return file;
    std::unique_ptr<std::uint8_t[]> scratch;
    if (!convert_rows(pix_buf, needed, headers, w, h, 0, h,
                      reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(file.get())), scratch)) {
        return Ref();
    }
    return file;
}

}  // namespace

PyObject* write_bmp(PyObject* path, std::int32_t width, std::int32_t height, PyObject* pixels,
                    PyObject* meta) noexcept {
    // Row stride, pixel array and file sizes as the host's ints compute them,
    // so that a negative or oversized value reaches the packing as it is.
    const std::int64_t stride = floor_div4(std::int64_t{width} * 3 + 3) * 4;
    Ref stride_obj(PyLong_FromLongLong(stride));
    Ref height_obj(PyLong_FromLong(height));
    Ref width_obj(PyLong_FromLong(width));
    Ref header_bytes(PyLong_FromLong(54));
    if (!stride_obj || !height_obj || !width_obj || !header_bytes) return nullptr;
    Ref array_size(PyNumber_Multiply(stride_obj.get(), height_obj.get()));
    if (!array_size) return nullptr;
    Ref file_size(PyNumber_Add(header_bytes.get(), array_size.get()));
    if (!file_size) return nullptr;

    Ref meta_values[4];
    if (!read_meta(meta, meta_values)) return nullptr;
    if (!as_bit_pattern(meta_values[0]) || !as_bit_pattern(meta_values[1])) return nullptr;

    Ref pix_buf = PyByteArray_Check(pixels) ? Ref::borrow(pixels) : Ref(PyByteArray_FromObject(pixels));
    if (!pix_buf) return nullptr;

    Ref zero(PyLong_FromLong(0));
    Ref one(PyLong_FromLong(1));
    Ref bits(PyLong_FromLong(24));
    Ref info_size(PyLong_FromLong(40));
    if (!zero || !one || !bits || !info_size) return nullptr;
    PyObject* file_args[] = {file_size.get(), zero.get(), zero.get(), header_bytes.get()};
    Ref file_header = host::pack("<IHHI", file_args, 4);
    if (!file_header) return nullptr;
    PyObject* info_args[] = {info_size.get(),      width_obj.get(),      height_obj.get(),    one.get(),
                             bits.get(),           zero.get(),           array_size.get(),    meta_values[0].get(),
                             meta_values[1].get(), meta_values[2].get(), meta_values[3].get()};
    Ref info_header = host::pack("<IIIHHIIIIII", info_args, 11);
    if (!info_header) return nullptr;
    if (!PyBytes_Check(file_header.get()) || PyBytes_GET_SIZE(file_header.get()) != 12 ||
        !PyBytes_Check(info_header.get()) || PyBytes_GET_SIZE(info_header.get()) != 40) {
        PyErr_SetString(PyExc_SystemError, "struct.pack returned a BMP header of the wrong size");
        return nullptr;
    }

    // The packing has refused negative sizes and an image size past 32 bits.
    const auto w = static_cast<std::uint64_t>(width);
    const auto h = static_cast<std::uint64_t>(height);
    const std::uint64_t pixel_array = bmp::row_stride(w) * h;
    const std::uint64_t needed = w * h * 3;
    const auto have = static_cast<std::uint64_t>(PyByteArray_GET_SIZE(pix_buf.get()));
    if (have < needed) {
        // The error of reading the first byte past the end of the buffer.
        Ref past(PyByteArray_Type.tp_as_sequence->sq_item(pix_buf.get(), PyByteArray_GET_SIZE(pix_buf.get())));
        if (past) PyErr_SetString(PyExc_SystemError, "bytearray read past its end");
        return nullptr;
    }

    Headers headers{PyBytes_AS_STRING(file_header.get()), PyBytes_AS_STRING(info_header.get())};
    const int plain = host::open_is_plain(path);
    if (plain < 0) return nullptr;
    if (plain) return write_in_blocks(path, pix_buf.get(), headers, w, h, needed);

    Ref file = build_file(pix_buf.get(), headers, w, h, needed, pixel_array);
    if (!file) return nullptr;
    return write_file(path, file.get());
}

const FuncSpec write_bmp_spec = {
    "_writeBmp", nullptr, FuncKind::function, write_bmp_params, 5, 1, "None", write_bmp_impl,
};

}  // namespace tavrel
