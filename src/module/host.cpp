#include "module/host.h"
#include "common/pages.h"
#include "module/errors.h"
#include "module/state.h"
#include "module/unlocked.h"
#include "png/compress.h"

#include <zlib.h>

#if defined(__unix__) || defined(__APPLE__)
#include <dlfcn.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace tavrel::host {
namespace {

ModuleState& st() noexcept { return module_state(); }

bool intern(PyObject** slot, const char* text) noexcept {
    *slot = PyUnicode_InternFromString(text);
    return *slot != nullptr;
}

// from `module` import each of `names`, bound into `dict` as they arrive.
bool import_names(PyObject* dict, const char* module, std::initializer_list<const char*> names,
                  PyObject** keep_first = nullptr) noexcept {
    Ref mod(PyImport_ImportModule(module));
    if (!mod) return false;
    bool first = true;
    for (const char* name : names) {
        Ref value(PyObject_GetAttrString(mod.get(), name));
        if (!value || PyDict_SetItemString(dict, name, value.get()) < 0) return false;
        if (first && keep_first != nullptr) *keep_first = Ref::borrow(value.get()).release();
        first = false;
    }
    return true;
}

bool import_module(PyObject* dict, const char* name, PyObject** keep) noexcept {
    PyObject* mod = PyImport_ImportModule(name);
    if (mod == nullptr) return false;
    *keep = mod;
    return PyDict_SetItemString(dict, name, mod) == 0;
}

// Whether zlib.compress as bound is the host zlib module's own function and that module calls into the very libz
// this module links (the same zlibVersion, and its `deflate` symbol resolving to the function this module calls).
// Compressing here then gives the host's bytes exactly; anything unproven (a wrapped zlib.compress, a zlib built
// into the interpreter or linked statically, another platform) keeps the call to the host.
bool host_runs_our_libz(PyObject* zlib_module, PyObject* compress) noexcept {
#if defined(__unix__) || defined(__APPLE__)
    if (!PyCFunction_Check(compress) || PyCFunction_GET_SELF(compress) != zlib_module) return false;
    Ref version(PyObject_GetAttrString(zlib_module, "ZLIB_RUNTIME_VERSION"));
    const char* text = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    Ref file(text ? PyModule_GetFilenameObject(zlib_module) : nullptr);
    Ref path(file ? PyUnicode_EncodeFSDefault(file.get()) : nullptr);
    PyErr_Clear();  // only a proof of sameness is of interest here; any failure just keeps the host's call
    if (!path || std::strcmp(text, zlibVersion()) != 0) return false;
    void* handle = dlopen(PyBytes_AS_STRING(path.get()), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    const bool same = dlsym(handle, "deflate") == reinterpret_cast<void*>(&::deflate);
    dlclose(handle);
    return same;
#else
    (void)zlib_module;
    (void)compress;
    return false;
#endif
}

// zlib.compress(data) over an exact bytes object, made here with the lock released. An empty Ref with no error set:
// deflate failed, and the host's call must word it.
Ref compress_in_process(PyObject* data) noexcept {
    const auto size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(data));
    const std::uint64_t bound = png::compress_bound(size);
    if (bound < size || bound > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return Ref();
    Ref out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bound)));
    if (!out) {
        PyErr_Clear();
        return Ref();
    }
    const std::span<const std::uint8_t> in(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)), size);
    const std::span<std::uint8_t> dst(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get())), bound);
    advise_huge_pages(dst.data(), dst.size());
    // Both objects are exact bytes that only this call and its caller hold: nothing changes them meanwhile.
    const std::size_t written = without_lock(size >= off_lock_bytes, [&] { return png::compress_as_host(in, dst); });
    if (written == 0) return Ref();
    PyObject* raw = out.release();
    if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(written)) < 0) return Ref();  // raises MemoryError
    return Ref(raw);
}

Ref builtin(PyObject* name) noexcept {
    PyObject* value = PyObject_GetAttr(st().builtins, name);
    return Ref(value);
}

}  // namespace

bool init(PyObject* dict) noexcept {
    if (!intern(&st().name_read, "read") || !intern(&st().name_seek, "seek") || !intern(&st().name_write, "write") ||
        !intern(&st().name_enter, "__enter__") || !intern(&st().name_exit, "__exit__") ||
        !intern(&st().name_open, "open") || !intern(&st().name_print, "print") || !intern(&st().name_get, "get") ||
        !intern(&st().name_stream_to_image, "_streamToImage")) {
        return false;
    }
    const char* const bmp_keys[] = {"xppm", "yppm", "clrUsed", "clrImportant"};
    for (std::size_t i = 0; i < std::size(bmp_keys); ++i) {
        if (!intern(&st().bmp_keys[i], bmp_keys[i])) return false;
    }
    st().builtins = PyImport_ImportModule("builtins");
    if (st().builtins == nullptr) return false;
    if (!import_module(dict, "struct", &st().struct_module) || !import_module(dict, "zlib", &st().zlib_module))
        return false;
    if (!import_names(dict, "io", {"BytesIO"}, &st().bytesio_class)) return false;
    if (!import_names(dict, "pathlib", {"Path"}, &st().path_class)) return false;
    if (!import_names(dict, "typing", {"List", "Sequence", "Tuple", "Union"})) return false;
    st().compress = PyObject_GetAttrString(st().zlib_module, "compress");
    st().compress_in_process = st().compress && host_runs_our_libz(st().zlib_module, st().compress);
    st().decompress = st().compress ? PyObject_GetAttrString(st().zlib_module, "decompress") : nullptr;
    st().pack = st().decompress ? PyObject_GetAttrString(st().struct_module, "pack") : nullptr;
    st().unpack = st().pack ? PyObject_GetAttrString(st().struct_module, "unpack") : nullptr;
    if (st().unpack == nullptr) return false;
    Ref io(PyImport_ImportModule("io"));
    st().buffered_reader = io ? PyObject_GetAttrString(io.get(), "BufferedReader") : nullptr;
    if (st().buffered_reader == nullptr) return false;
    st().png_signature = PyBytes_FromStringAndSize("\x89PNG\r\n\x1a\n", 8);
    return st().png_signature != nullptr && PyDict_SetItemString(dict, "PNG_SIGNATURE", st().png_signature) == 0;
}

PyObject* struct_module() noexcept { return st().struct_module; }
PyObject* zlib_module() noexcept { return st().zlib_module; }
PyObject* bytesio_class() noexcept { return st().bytesio_class; }
PyObject* path_class() noexcept { return st().path_class; }
PyObject* png_signature() noexcept { return st().png_signature; }

namespace {

// One stream.read(n) call, its result checked to be bytes or a bytearray.
Ref read_once(PyObject* stream, long long n) noexcept {
    Ref count(PyLong_FromLongLong(n));
    if (!count) return Ref();
    PyObject* args[] = {stream, count.get()};
    Ref data(PyObject_VectorcallMethod(st().name_read, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!data) return data;
    if (!PyBytes_Check(data.get()) && !PyByteArray_Check(data.get())) {
        errors::raise_read_not_bytes(data.get());
        return Ref();
    }
    return data;
}

Py_ssize_t size_of(PyObject* bytes_like) noexcept {
    return PyBytes_Check(bytes_like) ? PyBytes_GET_SIZE(bytes_like) : PyByteArray_GET_SIZE(bytes_like);
}

// The host's buffered file reader reserves the whole size asked for before it
// reads: a length field in a file of a few bytes would commit gigabytes (and
// fail outright under a memory limit). From such a file, larger reads are
// made in pieces of this size, which give the same bytes: a piece that comes
// back short is the end of the file.
constexpr long long file_read_piece = 16LL << 20;

// Grows (or cuts) the bytes object held by `bytes`, which nothing else holds,
// to `size` bytes; false with MemoryError (and `bytes` empty) on failure.
bool resize_bytes(Ref& bytes, long long size) noexcept {
    PyObject* p = bytes.release();
    if (_PyBytes_Resize(&p, static_cast<Py_ssize_t>(size)) < 0) return false;
    bytes.reset(p);
    return true;
}

// The pieces are copied, as they arrive, into one bytes object that grows by
// doubling up to n (the pages past the data are not touched until a piece
// lands there, and a large block grows by remapping rather than copying), and
// is cut to the bytes read at the end: the result costs its own size and one
// piece, never the size claimed.
Ref read_in_pieces(PyObject* stream, long long n) noexcept {
    Ref first = read_once(stream, file_read_piece);
    if (!first || size_of(first.get()) < file_read_piece) return first;
    long long capacity = n < 2 * file_read_piece ? n : 2 * file_read_piece;
    Ref joined(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
    if (!joined) return Ref();
    long long got = size_of(first.get());
    std::memcpy(PyBytes_AS_STRING(joined.get()),
                PyBytes_Check(first.get()) ? PyBytes_AS_STRING(first.get()) : PyByteArray_AS_STRING(first.get()),
                static_cast<std::size_t>(got));
    first.reset();
    while (got < n) {
        const long long ask = n - got < file_read_piece ? n - got : file_read_piece;
        Ref piece = read_once(stream, ask);
        if (!piece) return Ref();
        const long long size = size_of(piece.get());
        if (size > n - got) {  // more than asked for: kept, as the pieces always were
            if (!resize_bytes(joined, got + size)) return Ref();
            capacity = got + size;
        } else if (got + size > capacity) {
            const long long grow = capacity > n / 2 ? n : 2 * capacity;
            if (!resize_bytes(joined, grow)) return Ref();
            capacity = grow;
        }
        // Viewed only now, after the last call into Python.
        const char* from =
            PyBytes_Check(piece.get()) ? PyBytes_AS_STRING(piece.get()) : PyByteArray_AS_STRING(piece.get());
        std::memcpy(PyBytes_AS_STRING(joined.get()) + got, from, static_cast<std::size_t>(size_of(piece.get())));
        got += size;
        if (size < ask) break;
    }
    if (got != capacity && !resize_bytes(joined, got)) return Ref();
    return joined;
}

}  // namespace

Ref read(PyObject* stream, long long n) noexcept {
    if (n > file_read_piece && Py_IS_TYPE(stream, reinterpret_cast<PyTypeObject*>(st().buffered_reader))) {
        return read_in_pieces(stream, n);
    }
    return read_once(stream, n);
}

bool seek(PyObject* stream, long long position) noexcept {
    Ref pos(PyLong_FromLongLong(position));
    if (!pos) return false;
    PyObject* args[] = {stream, pos.get()};
    Ref result(PyObject_VectorcallMethod(st().name_seek, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return static_cast<bool>(result);
}

namespace {

// type(stream).name(stream[, arg]): the type's own method, whatever the instance holds.
Ref call_own(PyObject* stream, const char* name, PyObject* arg = nullptr) noexcept {
    Ref method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(stream)), name));
    if (!method) return Ref();
    PyObject* args[] = {stream, arg};
    return Ref(PyObject_Vectorcall(method.get(), args, arg != nullptr ? 2 : 1, nullptr));
}

}  // namespace

Ref bytesio_contents(PyObject* stream, Py_ssize_t& position) noexcept {
    if (!Py_IS_TYPE(stream, reinterpret_cast<PyTypeObject*>(st().bytesio_class))) return Ref();
    const int plain = reads_unobserved(stream);
    Ref pos = plain > 0 ? call_own(stream, "tell") : Ref();
    Ref contents = pos ? call_own(stream, "getvalue") : Ref();
    position = contents && PyLong_Check(pos.get()) ? PyLong_AsSsize_t(pos.get()) : -1;
    if (position < 0 || !PyBytes_CheckExact(contents.get())) {
        PyErr_Clear();  // a closed stream, say: its first read raises the same again
        return Ref();
    }
    return contents;
}

bool bytesio_move(PyObject* stream, Py_ssize_t position) noexcept {
    Ref pos(PyLong_FromSsize_t(position));
    return pos && call_own(stream, "seek", pos.get());
}

bool write(PyObject* stream, PyObject* data) noexcept {
    PyObject* args[] = {stream, data};
    Ref result(PyObject_VectorcallMethod(st().name_write, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return static_cast<bool>(result);
}

bool write(PyObject* stream, const void* data, std::size_t size) noexcept {
    Ref bytes(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
    return bytes && write(stream, bytes.get());
}

bool compresses_in_process() noexcept { return st().compress_in_process; }

Ref compress(PyObject* data) noexcept {
    if (st().compress_in_process && PyBytes_CheckExact(data)) {
        Ref done = compress_in_process(data);
        if (done || PyErr_Occurred()) return done;
    }
    return Ref(PyObject_CallOneArg(st().compress, data));
}

bool raise_decompress_error(PyObject* data, const char* fallback) noexcept {
    Ref result(PyObject_CallOneArg(st().decompress, data));
    if (!result) return false;
    PyErr_SetString(PyExc_ValueError, fallback);
    return false;
}

Ref pack(const char* fmt, PyObject* const* args, Py_ssize_t nargs) noexcept {
    PyObject* all[16];
    if (nargs > 15) {
        errors::raise(errors::Message::too_many_to_pack);
        return Ref();
    }
    Ref format(PyUnicode_FromString(fmt));
    if (!format) return Ref();
    all[0] = format.get();
    for (Py_ssize_t i = 0; i < nargs; ++i) all[i + 1] = args[i];
    return Ref(PyObject_Vectorcall(st().pack, all, static_cast<size_t>(nargs + 1), nullptr));
}

Ref unpack(const char* fmt, PyObject* data) noexcept {
    Ref format(PyUnicode_FromString(fmt));
    if (!format) return Ref();
    PyObject* args[] = {format.get(), data};
    return Ref(PyObject_Vectorcall(st().unpack, args, 2, nullptr));
}

bool print(PyObject* text) noexcept {
    Ref fn(builtin(st().name_print));
    if (!fn) return false;
    Ref result(PyObject_CallOneArg(fn.get(), text));
    return static_cast<bool>(result);
}

int open_is_plain(PyObject* path) noexcept {
    if (!PyUnicode_CheckExact(path)) return 0;
    Ref io(PyImport_ImportModule("io"));
    if (!io) return -1;
    Ref io_open(PyObject_GetAttr(io.get(), st().name_open));
    if (!io_open) return -1;
    Ref fn(builtin(st().name_open));
    if (!fn) return -1;
    return fn.get() == io_open.get() ? 1 : 0;
}

bool is_file_writer(PyObject* stream) noexcept {
    return std::strcmp(Py_TYPE(stream)->tp_name, "_io.BufferedWriter") == 0;
}

bool empty_reads_inert(PyObject* stream) noexcept {
    return Py_IS_TYPE(stream, reinterpret_cast<PyTypeObject*>(st().bytesio_class)) ||
           Py_IS_TYPE(stream, reinterpret_cast<PyTypeObject*>(st().buffered_reader));
}

int reads_unobserved(PyObject* stream) noexcept {
    if (!empty_reads_inert(stream)) return 0;
    Ref bound(PyObject_GetAttr(stream, st().name_read));
    if (!bound) return -1;
    Ref own(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(stream)), st().name_read));
    if (!own) return -1;
    if (!PyCFunction_Check(bound.get()) || PyCFunction_GET_SELF(bound.get()) != stream ||
        Py_TYPE(own.get()) != &PyMethodDescr_Type) {
        return 0;
    }
    const auto* descr = reinterpret_cast<PyMethodDescrObject*>(own.get());
    return descr->d_method->ml_meth == PyCFunction_GET_FUNCTION(bound.get()) ? 1 : 0;
}

bool OpenFile::open(PyObject* path, const char* mode) noexcept {
    close();
    Ref fn(builtin(st().name_open));
    if (!fn) return false;
    Ref mode_text(PyUnicode_FromString(mode));
    if (!mode_text) return false;
    PyObject* args[] = {path, mode_text.get()};
    Ref manager(PyObject_Vectorcall(fn.get(), args, 2, nullptr));
    if (!manager) return false;
    // As a with statement does: look up __exit__ first, then enter.
    Ref exit(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(manager.get())), st().name_exit));
    Ref enter(exit ? PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(manager.get())), st().name_enter) : nullptr);
    if (!enter) return false;
    Ref stream(PyObject_CallOneArg(enter.get(), manager.get()));
    if (!stream) return false;
    manager_ = std::move(manager);
    exit_ = std::move(exit);
    stream_ = std::move(stream);
    return true;
}

bool OpenFile::close() noexcept {
    if (!manager_) return !PyErr_Occurred();
    Ref manager = std::move(manager_);
    Ref exit = std::move(exit_);
    stream_.reset();
    PyObject* pending = PyErr_GetRaisedException();
    if (pending == nullptr) {
        PyObject* args[] = {manager.get(), Py_None, Py_None, Py_None};
        Ref result(PyObject_Vectorcall(exit.get(), args, 4, nullptr));
        return static_cast<bool>(result);
    }
    Ref exc(pending);
    Ref tb(PyException_GetTraceback(pending));
    PyObject* args[] = {manager.get(), reinterpret_cast<PyObject*>(Py_TYPE(pending)), pending, tb ? tb.get() : Py_None};
    Ref result(PyObject_Vectorcall(exit.get(), args, 4, nullptr));
    if (!result) {
        // An error while closing replaces the pending one, which becomes its context.
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetContext(raised, exc.release());
        PyErr_SetRaisedException(raised);
        return false;
    }
    // The module's own work failed: its exception goes on whatever __exit__
    // answered (the host's files never suppress one).
    PyErr_SetRaisedException(exc.release());
    return false;
}

}  // namespace tavrel::host
