#include "module/unpack.h"

#include "module/errors.h"

namespace tavrel {

bool unpack_exactly(PyObject* seq, Ref* out, std::size_t n) noexcept {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size == static_cast<Py_ssize_t>(n)) {
            PyObject** items = PySequence_Fast_ITEMS(seq);
            for (std::size_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
            return true;
        }
    }
    Ref it(PyObject_GetIter(seq));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            errors::raise_not_iterable(seq);
        }
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        out[i].reset(PyIter_Next(it.get()));
        if (!out[i]) {
            if (PyErr_Occurred()) return false;
            errors::raise_not_enough_values(static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(i));
            return false;
        }
    }
    Ref extra(PyIter_Next(it.get()));
    if (extra) {
        errors::raise_too_many_values(static_cast<Py_ssize_t>(n));
        return false;
    }
    return !PyErr_Occurred();
}

bool unpack_three(PyObject* value, Ref* out) noexcept {
    const auto count_error = [](Py_ssize_t found) {
        if (found > 3) {
            errors::raise_too_many_values(3);
        } else {
            errors::raise_too_few_values(found);
        }
        return false;
    };
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        if (n != 3) return count_error(n);
        // New references: converting an item may run code that changes a list.
        PyObject** items = PySequence_Fast_ITEMS(value);
        for (int k = 0; k < 3; ++k) out[k] = Ref::borrow(items[k]);
        return true;
    }
    Ref it(PyObject_GetIter(value));
    if (!it) return false;
    for (Py_ssize_t k = 0; k < 3; ++k) {
        out[k].reset(PyIter_Next(it.get()));
        if (!out[k]) return PyErr_Occurred() ? false : count_error(k);
    }
    const Ref extra(PyIter_Next(it.get()));
    if (extra) return count_error(4);
    return !PyErr_Occurred();
}

}  // namespace tavrel
