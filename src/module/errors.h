// Every exception the module raises with a message of its own, and the shims that have the host raise its own
// error (struct, zlib, conversions) where a value does not fit. The messages themselves are written once, in
// errors.cpp. Each raise_* leaves the exception set and returns nullptr, so that callers can return it.
#pragma once

#include "bmp/error.h"
#include "png/decode.h"
#include "png/error.h"

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace tavrel::errors {

// The module's own fixed messages, outside the codecs.
enum class Message {
    // Opening.
    unsupported_format,  // ValueError: neither PNG nor BMP
    // Image fields, checked by the constructor and the writers.
    pixel_length,  // ValueError
    alpha_length,  // ValueError
    filter_count,  // ValueError
    pixel_bounds,  // ValueError: getPixel/putPixel coordinates
    source_type,   // TypeError: Tavrel.open of something that is no path, bytes or image
    // The image object.
    delete_dimension,  // NotImplementedError: del of width or height
    no_pickling,       // TypeError: __reduce__ and __setstate__
    // Import.
    other_interpreter,         // ImportError
    reinitialised,             // RuntimeError
    bad_function_description,  // SystemError: a function object described inconsistently
    too_many_to_pack,          // SystemError: more values than the packing helper takes
    // Conversions and indexing, worded as the host words them.
    integer_required,     // TypeError
    int32_above_maximum,  // OverflowError
    int32_below_minimum,  // OverflowError
    index_size_index,     // IndexError: an index past Py_ssize_t
    bytearray_index,      // IndexError: a bytearray index out of range
    index_size_overflow,  // OverflowError: a buffer size past Py_ssize_t
    negative_count,       // ValueError: a negative buffer size
    int_too_big,          // OverflowError: a chunk length past the 4-byte field, as int.to_bytes refuses it
};

// Extra facts some codec errors carry into their message.
struct Detail {
    unsigned filter = 0;  // png::Error::bad_filter: the offending filter type
};

std::nullptr_t raise(Message m) noexcept;

// Argument binding: the messages of CPython's own functions and method descriptors.
std::nullptr_t raise_arity(const char* fname, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) noexcept;
std::nullptr_t raise_incorrect_type(const char* pname, const char* expected, PyObject* got) noexcept;
std::nullptr_t raise_keyword_not_string(const char* fname) noexcept;
std::nullptr_t raise_unexpected_keyword(const char* fname, PyObject* key) noexcept;
std::nullptr_t raise_multiple_values(const char* fname, PyObject* key) noexcept;
std::nullptr_t raise_descriptor_needs_argument(const char* name, PyTypeObject* owner) noexcept;
std::nullptr_t raise_descriptor_wrong_self(const char* name, PyTypeObject* owner, PyObject* self) noexcept;

// Unpacking a fixed number of items: the module's own wording of a too long or too short sequence, and the
// interpreter's wording of an assignment `a, b, ... = seq`.
std::nullptr_t raise_too_many_values(Py_ssize_t expected) noexcept;
std::nullptr_t raise_too_few_values(Py_ssize_t got) noexcept;
std::nullptr_t raise_not_enough_values(Py_ssize_t expected, Py_ssize_t got) noexcept;
std::nullptr_t raise_not_iterable(PyObject* seq) noexcept;

// Types of values, worded as the host words them.
std::nullptr_t raise_expected_type(const char* expected, PyObject* got) noexcept;  // "Expected bytearray, got ..."
std::nullptr_t raise_int_returned_non_int(PyObject* result) noexcept;
std::nullptr_t raise_read_not_bytes(PyObject* data) noexcept;
std::nullptr_t raise_cannot_convert(PyObject* obj, const char* type_name) noexcept;
std::nullptr_t raise_compress_not_bytes(PyObject* result) noexcept;  // what zlib.compress returned is no bytes
std::nullptr_t raise(png::Error e, const Detail& detail = {}) noexcept;
std::nullptr_t raise(bmp::Error e) noexcept;

// The host's own errors, raised for the values involved.
// struct.error of struct.unpack(fmt, data), for data whose length does not fit fmt.
std::nullptr_t raise_unpack_error(const char* fmt, PyObject* data) noexcept;
// struct.error of struct.pack(fmt, *values), for values that do not fit fmt.
std::nullptr_t raise_pack_error(const char* fmt, std::span<const long long> values) noexcept;
// OverflowError of the conversion to a signed 32-bit integer, for a value that does not fit it.
std::nullptr_t raise_int32_overflow(std::uint32_t value) noexcept;
// zlib.error as the host's zlib module builds it from the code and message zlib refused the image data with;
// `start` is the data's first (at most two) bytes, for the host's own message on a truncated stream.
std::nullptr_t raise_zlib_error(const png::ZlibFault& fault, std::span<const std::uint8_t> start) noexcept;

}  // namespace tavrel::errors
