// Owned references and small helpers shared by the binding layer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tavrel {

// Owns one strong reference (or none); releases it when it goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (may be null, which signals a raised error).
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(p_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

// Holds a buffer export for as long as a pointer into it is in use.
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&&) = delete;
    Buffer& operator=(Buffer&&) = delete;
    ~Buffer() { release(); }
    // Exports `obj` with `flags`; returns false with an exception set on failure.
    bool acquire(PyObject* obj, int flags) noexcept {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }
    void release() noexcept {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }
    const unsigned char* data() const noexcept { return static_cast<const unsigned char*>(view_.buf); }
    unsigned char* mutable_data() const noexcept { return static_cast<unsigned char*>(view_.buf); }
    Py_ssize_t size() const noexcept { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace tavrel
