// The one table of the module's messages: every codec error and every fixed message of the binding gets its Python
// exception here, and each message is written once, in this file.
#include "module/errors.h"

#include "module/host.h"
#include "module/image.h"
#include "module/pyref.h"

#include <zlib.h>

namespace tavrel::errors {
namespace {

std::nullptr_t set(PyObject* type, const char* message) noexcept {
    PyErr_SetString(type, message);
    return nullptr;
}

}  // namespace

// ------------------------------------------------------------------ the binding's own messages

std::nullptr_t raise(Message m) noexcept {
    switch (m) {
        case Message::unsupported_format: return set(PyExc_ValueError, "Unsupported image format");
        case Message::pixel_length: return set(PyExc_ValueError, "Pixel data length does not match image dimensions");
        case Message::alpha_length:
            return set(PyExc_ValueError, "Alpha channel length does not match image dimensions");
        case Message::filter_count: return set(PyExc_ValueError, "PNG filter count does not match image height");
        case Message::pixel_bounds: return set(PyExc_ValueError, "Pixel coordinate out of bounds");
    }
    return set(PyExc_SystemError, "unknown message");
}

// ------------------------------------------------------------------ PNG

namespace {
constexpr char malformed_png[] = "Malformed PNG image data";
}  // namespace

std::nullptr_t raise(png::Error e, const Detail& detail) noexcept {
    switch (e) {
        case png::Error::caller_failed: return nullptr;  // the exception of the stream or the binding stands
        case png::Error::bad_signature: return set(PyExc_ValueError, "Unsupported PNG signature");
        case png::Error::eof_chunk_length: return set(PyExc_ValueError, "Unexpected EOF while reading chunk length");
        case png::Error::eof_chunk_type: return set(PyExc_ValueError, "Unexpected EOF while reading chunk type");
        case png::Error::eof_chunk_data: return set(PyExc_ValueError, "Unexpected EOF while reading chunk data");
        case png::Error::eof_chunk_crc: return set(PyExc_ValueError, "Unexpected EOF while reading chunk CRC");
        case png::Error::bad_crc: return set(PyExc_ValueError, "Corrupted PNG chunk detected");
        case png::Error::no_header: return set(PyExc_ValueError, "Incomplete PNG header information");
        case png::Error::bad_depth: return set(PyExc_ValueError, "Only 8-bit PNG images are supported");
        case png::Error::bad_color: return set(PyExc_ValueError, "Only RGB/RGBA PNG images are supported");
        case png::Error::bad_configuration:
            return set(PyExc_ValueError, "Unsupported PNG configuration (compression/filter/interlace)");
        case png::Error::malformed_data: return set(PyExc_ValueError, malformed_png);
        case png::Error::bad_filter:
            PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %u", detail.filter);
            return nullptr;
        case png::Error::out_of_memory: PyErr_NoMemory(); return nullptr;
        // Errors whose exception the host raises from the values involved: their shims take those values.
        case png::Error::ihdr_size:
        case png::Error::dimension_overflow:
        case png::Error::stream_error:
        case png::Error::chunk_too_long:
        case png::Error::ok: break;
    }
    return set(PyExc_SystemError, "PNG error without a message of its own");
}

// ------------------------------------------------------------------ BMP

std::nullptr_t raise(bmp::Error e) noexcept {
    switch (e) {
        case bmp::Error::bad_file_header: return set(PyExc_ValueError, "Unsupported BMP header");
        case bmp::Error::short_info_header: return set(PyExc_ValueError, "Corrupted BMP DIB header");
        case bmp::Error::bad_info_size: return set(PyExc_ValueError, "Only BITMAPINFOHEADER BMP files are supported");
        case bmp::Error::bad_format: return set(PyExc_ValueError, "Only uncompressed 24-bit BMP files are supported");
        case bmp::Error::short_pixels: return set(PyExc_ValueError, "Incomplete BMP pixel data");
        case bmp::Error::out_of_memory: PyErr_NoMemory(); return nullptr;
        case bmp::Error::ok: break;
    }
    return set(PyExc_SystemError, "BMP error without a message of its own");
}

// ------------------------------------------------------------------ the host's own messages
// (shims: the host raises its error for the values involved, or the module words it exactly as the host does)

std::nullptr_t raise_unpack_error(const char* fmt, PyObject* data) noexcept {
    const Ref unexpected = host::unpack(fmt, data);
    if (unexpected) PyErr_Format(PyExc_SystemError, "struct.unpack(%s) accepted a buffer of the wrong size", fmt);
    return nullptr;
}

std::nullptr_t raise_int32_overflow(std::uint32_t value) noexcept {
    const Ref number(PyLong_FromUnsignedLong(value));
    std::int32_t converted = 0;
    if (number && to_int32(number.get(), &converted)) set(PyExc_SystemError, "a 32-bit value out of range converted");
    return nullptr;
}

std::nullptr_t raise_zlib_error(const png::ZlibFault& fault, std::span<const std::uint8_t> start) noexcept {
    if (fault.code == Z_MEM_ERROR) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (fault.code == Z_BUF_ERROR) {
        // A truncated stream is truncated from its start on as well: the host's zlib.decompress words its message
        // for those bytes.
        const Ref head(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(start.data()),
                                                 static_cast<Py_ssize_t>(start.size())));
        if (head) host::raise_decompress_error(head.get(), malformed_png);
        return nullptr;
    }
    const char* message = fault.message[0] != '\0'       ? fault.message
                          : fault.code == Z_STREAM_ERROR ? "inconsistent stream state"
                          : fault.code == Z_DATA_ERROR   ? "invalid input data"
                                                         : nullptr;
    const Ref error(PyObject_GetAttrString(host::zlib_module(), "error"));
    if (!error) return nullptr;
    if (message != nullptr) {
        PyErr_Format(error.get(), "Error %d while decompressing data: %.200s", fault.code, message);
    } else {
        PyErr_Format(error.get(), "Error %d while decompressing data", fault.code);
    }
    return nullptr;
}

}  // namespace tavrel::errors
