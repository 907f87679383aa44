// Pixel access: Tavrel.getPixel and Tavrel.putPixel on the RGB buffer.
//
// Coordinates that are plain ints and a buffer that is a bytearray take a
// direct path over the buffer's bytes, with every index checked against the
// buffer's current size. Anything else goes through the interpreter's own
// comparisons, arithmetic and indexing, so that odd coordinate objects and
// reassigned fields behave exactly as the same Python expressions would.
#include "module/errors.h"
#include "module/tavrel_ext.h"
#include "module/unpack.h"

#include <climits>
#include <cstdint>

namespace tavrel {
namespace {

PyObject* small_int(long v) noexcept { return PyLong_FromLong(v); }

using errors::raise_too_few_values;
using errors::raise_too_many_values;

// The two items of `coords` (exactly a tuple, checked by the binder).
bool unpack_coords(PyObject* coords, PyObject** x, PyObject** y) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(coords);
    if (n > 2) {
        raise_too_many_values(2);
        return false;
    }
    if (n < 2) {
        raise_too_few_values(n);
        return false;
    }
    *x = PyTuple_GET_ITEM(coords, 0);
    *y = PyTuple_GET_ITEM(coords, 1);
    return true;
}

// An exact int that fits a long long.
bool plain_int(PyObject* o, long long* out) noexcept {
    if (!PyLong_CheckExact(o)) return false;
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        *out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
        return true;
    }
    int overflow = 0;
    *out = PyLong_AsLongLongAndOverflow(o, &overflow);
    return overflow == 0;  // an exact int cannot fail otherwise
}

// Where a pixel's three bytes start: either a byte offset known to be in
// range of an exact bytearray (`direct`), or an index object to use with the
// interpreter's indexing.
struct Location {
    bool direct = false;
    Py_ssize_t offset = 0;
    Ref index;
};

// 0 <= x < width and 0 <= y < height, as one chained comparison that stops at
// the first false part, then the byte index (y * width + x) * 3.
bool locate(ImageObject* img, PyObject* x, PyObject* y, Location& loc) noexcept {
    long long xi = 0, yi = 0;
    if (plain_int(x, &xi) && plain_int(y, &yi)) {
        if (!(0 <= xi && xi < img->width && 0 <= yi && yi < img->height)) {
            errors::raise(errors::Message::pixel_bounds);
            return false;
        }
        // Both below 2^31, so the index is below 3 * 2^62 and fits 64 bits.
        const std::uint64_t index =
            (static_cast<std::uint64_t>(yi) * static_cast<std::uint64_t>(img->width) + static_cast<std::uint64_t>(xi)) *
            3u;
        PyObject* pixels = img->pixels;
        if (PyByteArray_CheckExact(pixels) && index + 2 < static_cast<std::uint64_t>(PyByteArray_GET_SIZE(pixels))) {
            loc.direct = true;
            loc.offset = static_cast<Py_ssize_t>(index);
            return true;
        }
        loc.index.reset(PyLong_FromUnsignedLongLong(index));
        return static_cast<bool>(loc.index);
    }

    Ref zero(small_int(0));
    Ref width(PyLong_FromLong(img->width));
    Ref height(PyLong_FromLong(img->height));
    if (!zero || !width || !height) return false;
    const struct {
        PyObject* left;
        PyObject* right;
    } parts[] = {{zero.get(), x}, {x, width.get()}, {zero.get(), y}, {y, height.get()}};
    for (std::size_t i = 0; i < 4; ++i) {
        const int ok = PyObject_RichCompareBool(parts[i].left, parts[i].right, i % 2 == 0 ? Py_LE : Py_LT);
        if (ok < 0) return false;
        if (!ok) {
            errors::raise(errors::Message::pixel_bounds);
            return false;
        }
    }
    // The fields are read again: the comparisons may have run Python code.
    Ref w(PyLong_FromLong(img->width));
    Ref three(small_int(3));
    if (!w || !three) return false;
    Ref row(PyNumber_Multiply(y, w.get()));
    if (!row) return false;
    Ref pixel(PyNumber_Add(row.get(), x));
    if (!pixel) return false;
    loc.index.reset(PyNumber_Multiply(pixel.get(), three.get()));
    return static_cast<bool>(loc.index);
}

// index + k, for the interpreter's indexing.
Ref shifted(PyObject* index, long k) noexcept {
    if (k == 0) return Ref::borrow(index);
    Ref step(small_int(k));
    if (!step) return Ref();
    return Ref(PyNumber_Add(index, step.get()));
}

PyObject* get_pixel_impl(PyObject* self, PyObject* const* args) {
    ImageObject* img = as_image(self);
    PyObject *x = nullptr, *y = nullptr;
    if (!unpack_coords(args[0], &x, &y)) return nullptr;
    Location loc;
    if (!locate(img, x, y, loc)) return nullptr;
    if (loc.direct) {
        // The bytes are taken before anything is allocated.
        const auto* p = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(img->pixels)) + loc.offset;
        const unsigned char r = p[0], g = p[1], b = p[2];
        PyObject* rgb = PyTuple_New(3);
        if (rgb == nullptr) return nullptr;
        // Values 0..255 are the interpreter's cached small ints: these never fail.
        PyTuple_SET_ITEM(rgb, 0, PyLong_FromLong(r));
        PyTuple_SET_ITEM(rgb, 1, PyLong_FromLong(g));
        PyTuple_SET_ITEM(rgb, 2, PyLong_FromLong(b));
        return rgb;
    }
    Ref values[3];
    for (long k = 0; k < 3; ++k) {
        Ref index = shifted(loc.index.get(), k);
        if (!index) return nullptr;
        // The buffer is held while it is indexed: the index's __index__ may
        // assign another buffer to the image, dropping the image's reference.
        Ref buffer = Ref::borrow(img->pixels);
        values[k].reset(PyObject_GetItem(buffer.get(), index.get()));
        if (!values[k]) return nullptr;
    }
    return PyTuple_Pack(3, values[0].get(), values[1].get(), values[2].get());
}

// int(v) & 0xFF.
bool channel_byte(PyObject* v, unsigned char* out) noexcept {
    long long small = 0;
    if (plain_int(v, &small)) {
        *out = static_cast<unsigned char>(static_cast<unsigned long long>(small) & 0xFFu);
        return true;
    }
    Ref number(PyLong_CheckExact(v) ? Py_NewRef(v) : PyNumber_Long(v));
    if (!number) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (overflow == 0) {
        if (value == -1 && PyErr_Occurred()) return false;
        *out = static_cast<unsigned char>(static_cast<unsigned long long>(value) & 0xFFu);
        return true;
    }
    Ref mask(small_int(0xFF));
    if (!mask) return false;
    Ref low(PyNumber_And(number.get(), mask.get()));
    if (!low) return false;
    const long byte = PyLong_AsLong(low.get());
    if (byte == -1 && PyErr_Occurred()) return false;
    *out = static_cast<unsigned char>(byte);
    return true;
}

// Stores the three bytes of a pixel whose index is an integer-like object:
// the index is resolved once (its __index__ runs once), then the three bytes
// are checked against the buffer as it is after that, as bytearray indexing
// checks each of them (a negative index counts from the end), and stored with
// no Python code in between, so that the pixel is changed whole or not at all.
PyObject* store_resolved(const Ref& buffer, const Location& loc, const unsigned char* bytes) noexcept {
    const Py_ssize_t first = PyNumber_AsSsize_t(loc.index.get(), PyExc_IndexError);
    if (first == -1 && PyErr_Occurred()) return nullptr;
    if (first > PY_SSIZE_T_MAX - 2) {
        return errors::raise(errors::Message::index_size_index);
    }
    const Py_ssize_t size = PyByteArray_GET_SIZE(buffer.get());
    Py_ssize_t at[3];
    for (int k = 2; k >= 0; --k) {  // the last byte first, as the check before the stores always was
        Py_ssize_t i = first + k;
        if (i < 0) i += size;
        if (i < 0 || i >= size) {
            return errors::raise(errors::Message::bytearray_index);
        }
        at[k] = i;
    }
    auto* p = reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(buffer.get()));
    for (int k = 0; k < 3; ++k) p[at[k]] = bytes[k];
    Py_RETURN_NONE;
}

PyObject* put_pixel_impl(PyObject* self, PyObject* const* args) {
    ImageObject* img = as_image(self);
    PyObject *x = nullptr, *y = nullptr;
    if (!unpack_coords(args[0], &x, &y)) return nullptr;
    Location loc;
    if (!locate(img, x, y, loc)) return nullptr;
    Ref rgb[3];
    if (!unpack_three(args[1], rgb)) return nullptr;
    // All three channels are converted before any is stored, so a channel
    // that fails to convert leaves the pixel as it was.
    unsigned char bytes[3];
    for (int k = 0; k < 3; ++k) {
        if (!channel_byte(rgb[k].get(), &bytes[k])) return nullptr;
    }
    // The conversions may have run Python code that replaced or resized the
    // buffer: the fast path is taken only when it still holds the pixel.
    if (loc.direct && PyByteArray_CheckExact(img->pixels) && loc.offset + 2 < PyByteArray_GET_SIZE(img->pixels)) {
        auto* p = reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(img->pixels)) + loc.offset;
        p[0] = bytes[0];
        p[1] = bytes[1];
        p[2] = bytes[2];
        Py_RETURN_NONE;
    }
    if (!loc.index) {
        loc.index.reset(PyLong_FromSsize_t(loc.offset));
        if (!loc.index) return nullptr;
    }
    Ref buffer = Ref::borrow(img->pixels);
    if (PyByteArray_CheckExact(buffer.get()) && PyIndex_Check(loc.index.get()))
        return store_resolved(buffer, loc, bytes);
    // Anything else cannot store a byte into a bytearray (its first store
    // fails), or has a buffer that is not one: the interpreter's own indexing.
    Ref index[3];
    for (long k = 0; k < 3; ++k) {
        index[k] = shifted(loc.index.get(), k);
        if (!index[k]) return nullptr;
    }
    // A bytearray too short for the whole pixel refuses it before the first
    // store, with the error indexing its last byte gives.
    if (PyByteArray_Check(buffer.get())) {
        Ref last(PyObject_GetItem(buffer.get(), index[2].get()));
        if (!last) return nullptr;
    }
    for (int k = 0; k < 3; ++k) {
        Ref v(PyLong_FromLong(bytes[k]));
        if (!v || PyObject_SetItem(buffer.get(), index[k].get(), v.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr Param get_params[] = {{"coords", "Tuple[int, int]", ArgType::tuple}};
constexpr Param put_params[] = {{"coords", "Tuple[int, int]", ArgType::tuple}, {"value", "Sequence[int]"}};

}  // namespace

const FuncSpec get_pixel_spec = {
    "getPixel", "Tavrel", FuncKind::method, get_params, 1, 0, "Tuple[int, int, int]", get_pixel_impl,
};
const FuncSpec put_pixel_spec = {
    "putPixel", "Tavrel", FuncKind::method, put_params, 2, 0, "None", put_pixel_impl,
};

}  // namespace tavrel
