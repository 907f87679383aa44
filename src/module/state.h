// The module's state: every interpreter object the module keeps between calls, in one place. There is one module
// object per process (a second interpreter is refused at import), so there is one state, filled in by the module's
// initialisation and kept for the life of the process.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tavrel {

struct ModuleState {
    // The one module object, the interpreter that created it, and whether its body has run.
    PyObject* module = nullptr;
    std::int64_t interpreter_id = -1;
    bool initialised = false;

    // The Tavrel class and its constructor's parameter names (interned).
    PyTypeObject* image_type = nullptr;
    PyObject* ctor_names = nullptr;

    // Host modules, classes and functions the module calls.
    PyObject* builtins = nullptr;
    PyObject* struct_module = nullptr;
    PyObject* zlib_module = nullptr;
    PyObject* bytesio_class = nullptr;
    PyObject* path_class = nullptr;
    PyObject* buffered_reader = nullptr;  // io.BufferedReader, what open(path, "rb") returns
    PyObject* compress = nullptr;         // zlib.compress
    bool compress_in_process = false;     // zlib.compress is the host's own, over the very libz this module links
    PyObject* decompress = nullptr;       // zlib.decompress
    PyObject* pack = nullptr;             // struct.pack
    PyObject* unpack = nullptr;           // struct.unpack
    PyObject* png_signature = nullptr;    // the 8 signature bytes, also published as PNG_SIGNATURE

    // Interned names of the methods and attributes the module looks up.
    PyObject* name_read = nullptr;
    PyObject* name_seek = nullptr;
    PyObject* name_write = nullptr;
    PyObject* name_enter = nullptr;
    PyObject* name_exit = nullptr;
    PyObject* name_open = nullptr;
    PyObject* name_print = nullptr;
    PyObject* name_get = nullptr;
    PyObject* name_stream_to_image = nullptr;
    // The keys of the BMP header values, in their order: xppm, yppm, clrUsed, clrImportant.
    PyObject* bmp_keys[4] = {};
};

ModuleState& module_state() noexcept;

}  // namespace tavrel
