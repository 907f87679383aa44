// The image object: an RGB pixel buffer with an optional alpha plane and what
// the writers reuse of the file it came from.
#pragma once

#include "module/function.h"

#include <cstdint>

namespace tavrel {

struct ImageObject {
    PyObject_HEAD
    std::int32_t width;
    std::int32_t height;
    PyObject* pixels;       // exactly a bytearray, or None
    PyObject* alpha;        // any object; a bytearray or None in practice
    PyObject* png_chunks;   // any object; a list or None in practice
    PyObject* png_filters;  // any object; a bytearray or None in practice
    PyObject* bmp_header;   // any object; a dict or None in practice
};

inline ImageObject* as_image(PyObject* o) noexcept { return reinterpret_cast<ImageObject*>(o); }

// The class, created once at import; borrowed by everything else.
PyTypeObject* image_type() noexcept;

// Creates the class for `module`; a new reference, or null on error.
PyObject* image_create_type(PyObject* module) noexcept;

// Converts `v` to a signed 32-bit integer: an int as is, anything else through
// __int__; TypeError "an integer is required" without one, OverflowError
// outside the range.
bool to_int32(PyObject* v, std::int32_t* out) noexcept;

// Builds an image by calling `cls` with the seven constructor arguments.
PyObject* image_call_class(PyObject* cls, PyObject* const* seven) noexcept;

extern const FuncSpec image_copy_spec;

}  // namespace tavrel

namespace tavrel {

// Builds a plain Tavrel that takes over the decoder's fresh objects instead of
// copying them: for Tavrel.open on the class itself, where nothing else can
// hold them. Returns null without an exception set when the objects are not
// what a fresh decoder result holds (the caller then builds it the usual way).
PyObject* image_adopt(PyObject* const* seven) noexcept;

}  // namespace tavrel
