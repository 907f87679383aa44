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
    pixel_length,   // ValueError
    alpha_length,   // ValueError
    filter_count,   // ValueError
    pixel_bounds,   // ValueError: getPixel/putPixel coordinates
};

// Extra facts some codec errors carry into their message.
struct Detail {
    unsigned filter = 0;  // png::Error::bad_filter: the offending filter type
};

std::nullptr_t raise(Message m) noexcept;
std::nullptr_t raise(png::Error e, const Detail& detail = {}) noexcept;
std::nullptr_t raise(bmp::Error e) noexcept;

// The host's own errors, raised for the values involved.
// struct.error of struct.unpack(fmt, data), for data whose length does not fit fmt.
std::nullptr_t raise_unpack_error(const char* fmt, PyObject* data) noexcept;
// OverflowError of the conversion to a signed 32-bit integer, for a value that does not fit it.
std::nullptr_t raise_int32_overflow(std::uint32_t value) noexcept;
// zlib.error as the host's zlib module builds it from the code and message zlib refused the image data with;
// `start` is the data's first (at most two) bytes, for the host's own message on a truncated stream.
std::nullptr_t raise_zlib_error(const png::ZlibFault& fault, std::span<const std::uint8_t> start) noexcept;

}  // namespace tavrel::errors
