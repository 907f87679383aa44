// Host services: the one place that reaches the interpreter's standard
// modules (zlib, struct), streams, files and standard output.
#pragma once

#include "module/pyref.h"

#include <cstddef>
#include <cstdint>

namespace tavrel::host {

// Imports and keeps the host modules and names the module publishes, binding
// each into `dict` as it arrives, in the order the module's namespace shows.
bool init(PyObject* dict) noexcept;

PyObject* struct_module() noexcept;  // borrowed
PyObject* zlib_module() noexcept;    // borrowed
PyObject* bytesio_class() noexcept;  // borrowed
PyObject* path_class() noexcept;     // borrowed
PyObject* png_signature() noexcept;  // borrowed bytes

// stream.read(n): the object returned, checked to be bytes-like with a length.
// From the host's buffered file reader a large n is read in pieces (same bytes).
Ref read(PyObject* stream, long long n) noexcept;
// stream.seek(position).
bool seek(PyObject* stream, long long position) noexcept;
// For an exact io.BytesIO whose read is the type's own: its contents (exact bytes, which nobody can change) and
// position, had through the type's own getvalue and tell, which change nothing its reads could see. A null Ref,
// with no exception set, for any other stream or when they cannot be had (the stream's reads then say why).
Ref bytesio_contents(PyObject* stream, Py_ssize_t& position) noexcept;
// Moves such a stream to `position` through the type's own seek, as its own reads would have.
bool bytesio_move(PyObject* stream, Py_ssize_t position) noexcept;
// stream.write(data).
bool write(PyObject* stream, PyObject* data) noexcept;
bool write(PyObject* stream, const void* data, std::size_t size) noexcept;

// zlib.compress(data) of the host, for a bytes-like object. When the host's zlib module is proven to run the very
// libz this module links, an exact bytes object is compressed here as the host would, with the lock released; any
// failure of deflate is left to the host's own call, which words it.
Ref compress(PyObject* data) noexcept;
// Whether compress runs in this process: the host's zlib module was proven to run the very libz this module links,
// so that a stream this module makes with it (png::HostDeflater) is the host's zlib.compress byte for byte.
bool compresses_in_process() noexcept;
// Lets the host's zlib.decompress raise its own error for `data`, which the
// module's inflater refused; returns false with that error set (or, should
// the host accept the data after all, with `fallback` raised as ValueError).
bool raise_decompress_error(PyObject* data, const char* fallback) noexcept;

// struct.pack(fmt, *args) / struct.unpack(fmt, data) of the host: used where
// the host's own struct.error must come out for values that do not fit.
Ref pack(const char* fmt, PyObject* const* args, Py_ssize_t nargs) noexcept;
Ref unpack(const char* fmt, PyObject* data) noexcept;

// print(text) with the host's built-in print.
bool print(PyObject* text) noexcept;

// True when open(path, ...) with the host's built-in open runs no Python code
// of the caller's: `path` is exactly a str and the built-in open is still
// io.open. -1 on error.
int open_is_plain(PyObject* path) noexcept;

// True when `stream` is exactly a buffered binary file writer, whose write()
// runs no Python code and keeps nothing it is given.
bool is_file_writer(PyObject* stream) noexcept;

// True when `stream` is exactly an io.BytesIO or a file opened with
// open(path, "rb"), whose read(0) returns b"" and changes nothing.
bool empty_reads_inert(PyObject* stream) noexcept;

// 1 when `stream` is one of those and its read is the type's own, not
// replaced on the instance: its reads then have no effect but the bytes they
// return. 0 otherwise, -1 on error.
int reads_unobserved(PyObject* stream) noexcept;

// A file opened with the host's built-in open(path, mode) and used as a
// context manager: entered on open, exited when close() is called or the
// holder goes away, with the pending exception (if any) passed to __exit__.
class OpenFile {
public:
    OpenFile() noexcept = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    OpenFile(OpenFile&&) = delete;
    OpenFile& operator=(OpenFile&&) = delete;
    ~OpenFile() { close(); }
    bool open(PyObject* path, const char* mode) noexcept;
    PyObject* stream() const noexcept { return stream_.get(); }
    // Leaves the context; returns false when an exception is pending afterwards.
    bool close() noexcept;

private:
    Ref manager_;
    Ref exit_;
    Ref stream_;
};

}  // namespace tavrel::host
