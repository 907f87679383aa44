// The file writers behind Tavrel.save and Tavrel.saveBmp, and the published
// functions that wrap them. Each returns None (a new reference) or null with
// an exception set; `width` and `height` are already converted.
#pragma once

#include "module/pyref.h"

#include <cstdint>

namespace tavrel {

// A plain PNG: IHDR, one IDAT, IEND.
PyObject* write_png(PyObject* path, std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* alpha,
                    PyObject* filter_types) noexcept;

// A PNG in the layout of the chunk records it kept from its source; a false
// `chunks` falls back to write_png.
PyObject* write_png_with_chunks(PyObject* path, std::int32_t width, std::int32_t height, PyObject* pixels,
                                PyObject* alpha, PyObject* chunks, PyObject* filter_types) noexcept;

// A 24-bit bottom-up BMP; `meta` (None or an object with get()) supplies the
// resolution and colour-count fields.
PyObject* write_bmp(PyObject* path, std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* meta) noexcept;

// Opens `path` with the host's open(path, "wb") and writes `contents` in one
// call; the file is closed on every way out.
PyObject* write_file(PyObject* path, PyObject* contents) noexcept;

}  // namespace tavrel
