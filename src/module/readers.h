// The two file decoders behind Tavrel._streamToImage. Module-internal: not
// published, reachable only through opening an image.
#pragma once

#include "module/host.h"
#include "module/pyref.h"

#include <cstddef>
#include <cstdint>

namespace tavrel {

// Each returns the 8-tuple decoder result (width, height, pixels, channels,
// alpha, chunks, bmp_meta, png_filters) as a new reference, or null with an
// exception set. The stream is positioned at the file's first byte.
PyObject* load_png(PyObject* stream) noexcept;
PyObject* load_bmp(PyObject* stream) noexcept;

// The decoder result of `items`, new references (or null, after a failure), which it takes over: a new 8-tuple, or
// null when any item is or the tuple cannot be made.
inline PyObject* decoder_result(PyObject* const (&items)[8]) noexcept {
    Ref result(PyTuple_New(8));
    bool ok = static_cast<bool>(result);
    for (Py_ssize_t i = 0; i < 8; ++i) {
        if (items[i] == nullptr) ok = false;
        if (result) {
            PyTuple_SET_ITEM(result.get(), i, items[i]);  // a null slot is skipped when the tuple is freed
        } else {
            Py_XDECREF(items[i]);
        }
    }
    return ok ? result.release() : nullptr;
}

// Start and length of a bytes or bytearray object (as host::read returns
// them). Valid only until the next call back into Python.
struct ByteView {
    const std::uint8_t* data;
    std::size_t size;
};

inline ByteView view_of(PyObject* bytes_like) noexcept {
    if (PyBytes_Check(bytes_like)) {
        return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes_like)),
                static_cast<std::size_t>(PyBytes_GET_SIZE(bytes_like))};
    }
    return {reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(bytes_like)),
            static_cast<std::size_t>(PyByteArray_GET_SIZE(bytes_like))};
}

}  // namespace tavrel
