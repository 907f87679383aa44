// The one table of the module's messages: every codec error and every fixed message of the binding gets its Python
// exception here, and each message is written once, in this file.
#include "module/errors.h"

#include "module/host.h"
#include "module/image.h"
#include "module/pyref.h"

#include <zlib.h>

namespace tavrel::errors {
namespace {

// Messages the module raises with more than one exception type.
constexpr const char* index_size_message = "cannot fit 'int' into an index-sized integer";
constexpr const char* bytearray_index_message = "bytearray index out of range";

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
        case Message::source_type: return set(PyExc_TypeError, "source must be a file path or raw bytes");
        case Message::delete_dimension: return set(PyExc_NotImplementedError, "__del__");
        case Message::no_pickling: return set(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
        case Message::other_interpreter:
            return set(
                PyExc_ImportError,
                "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        case Message::reinitialised:
            return set(PyExc_RuntimeError,
                       "Module 'tavrel_ext' has already been imported. Re-initialisation is not supported.");
        case Message::bad_function_description: return set(PyExc_SystemError, "bad function description");
        case Message::too_many_to_pack: return set(PyExc_SystemError, "too many values to pack");
        case Message::integer_required: return set(PyExc_TypeError, "an integer is required");
        case Message::int32_above_maximum: return set(PyExc_OverflowError, "signed integer is greater than maximum");
        case Message::int32_below_minimum: return set(PyExc_OverflowError, "signed integer is less than minimum");
        case Message::index_size_index: return set(PyExc_IndexError, index_size_message);
        case Message::bytearray_index: return set(PyExc_IndexError, bytearray_index_message);
        case Message::index_size_overflow: return set(PyExc_OverflowError, index_size_message);
        case Message::negative_count: return set(PyExc_ValueError, "negative count");
        case Message::int_too_big: return set(PyExc_OverflowError, "int too big to convert");
    }
    return set(PyExc_SystemError, "unknown message");
}

std::nullptr_t raise_arity(const char* fname, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) noexcept {
    const bool too_few = given < min;
    const Py_ssize_t expected = too_few ? min : max;
    const char* word = min == max ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname, word, expected,
                 expected == 1 ? "" : "s", given);
    return nullptr;
}

std::nullptr_t raise_incorrect_type(const char* pname, const char* expected, PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", pname, expected,
                 Py_TYPE(got)->tp_name);
    return nullptr;
}

std::nullptr_t raise_keyword_not_string(const char* fname) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
    return nullptr;
}

std::nullptr_t raise_unexpected_keyword(const char* fname, PyObject* key) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", fname, key);
    return nullptr;
}

std::nullptr_t raise_multiple_values(const char* fname, PyObject* key) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for argument '%U'", fname, key);
    return nullptr;
}

std::nullptr_t raise_descriptor_needs_argument(const char* name, PyTypeObject* owner) noexcept {
    PyErr_Format(PyExc_TypeError, "descriptor '%s' of '%s' object needs an argument", name, owner->tp_name);
    return nullptr;
}

std::nullptr_t raise_descriptor_wrong_self(const char* name, PyTypeObject* owner, PyObject* self) noexcept {
    PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a '%s' object but received a '%.200s'", name,
                 owner->tp_name, Py_TYPE(self)->tp_name);
    return nullptr;
}

std::nullptr_t raise_too_many_values(Py_ssize_t expected) noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    return nullptr;
}

std::nullptr_t raise_too_few_values(Py_ssize_t got) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    return nullptr;
}

std::nullptr_t raise_not_enough_values(Py_ssize_t expected, Py_ssize_t got) noexcept {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", expected, got);
    return nullptr;
}

std::nullptr_t raise_not_iterable(PyObject* seq) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(seq)->tp_name);
    return nullptr;
}

std::nullptr_t raise_expected_type(const char* expected, PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got)->tp_name);
    return nullptr;
}

std::nullptr_t raise_int_returned_non_int(PyObject* result) noexcept {
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result)->tp_name);
    return nullptr;
}

std::nullptr_t raise_read_not_bytes(PyObject* data) noexcept {
    PyErr_Format(PyExc_TypeError, "read() should return bytes, not %.200s", Py_TYPE(data)->tp_name);
    return nullptr;
}

std::nullptr_t raise_cannot_convert(PyObject* obj, const char* type_name) noexcept {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, type_name);
    return nullptr;
}

std::nullptr_t raise_compress_not_bytes(PyObject* result) noexcept {
    PyErr_Format(PyExc_TypeError, "zlib.compress returned %.200s, not bytes", Py_TYPE(result)->tp_name);
    return nullptr;
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
        case png::Error::compress_failed:  // the host's zlib.compress is called and raises its own
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
        case bmp::Error::caller_failed: return nullptr;  // the exception of the stream or the binding stands
        case bmp::Error::negative_pixels: return raise(Message::negative_count);
        case bmp::Error::pixels_past_index: return raise(Message::index_size_overflow);
        // Errors whose exception the host raises from the values involved: their shims take those values.
        case bmp::Error::info_size_length:
        case bmp::Error::info_length:
        case bmp::Error::field_range:
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

std::nullptr_t raise_pack_error(const char* fmt, std::span<const long long> values) noexcept {
    constexpr std::size_t max_values = 8;
    Ref numbers[max_values];
    PyObject* args[max_values] = {};
    if (values.size() > max_values) return raise(Message::too_many_to_pack);
    for (std::size_t i = 0; i < values.size(); ++i) {
        numbers[i].reset(PyLong_FromLongLong(values[i]));
        if (!numbers[i]) return nullptr;
        args[i] = numbers[i].get();
    }
    const Ref unexpected = host::pack(fmt, args, static_cast<Py_ssize_t>(values.size()));
    if (unexpected) PyErr_Format(PyExc_SystemError, "struct.pack(%s) accepted values out of range", fmt);
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
