#include "module/bytearray.h"

namespace tavrel {

bool shrink_bytearray(PyObject* bytearray, std::size_t n) noexcept {
    auto* o = reinterpret_cast<PyByteArrayObject*>(bytearray);
    auto* p = static_cast<char*>(PyObject_Realloc(o->ob_bytes, n + 1));
    if (p == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    o->ob_bytes = o->ob_start = p;
    o->ob_alloc = static_cast<Py_ssize_t>(n) + 1;
    Py_SET_SIZE(o, static_cast<Py_ssize_t>(n));
    p[n] = '\0';
    return true;
}

}  // namespace tavrel
