// Cutting a new bytearray down once it is filled.
#pragma once

#include <Python.h>

#include <cstddef>

namespace tavrel {

// Cuts `bytearray`, made by PyByteArray_FromStringAndSize(nullptr, m) and seen by no other code yet, to its first n
// bytes (0 < n <= m), its allocation included, so that it is exactly what PyByteArray_FromStringAndSize(nullptr, n)
// would have made. Shrinking a block in place cannot fail in practice; if it does, false with MemoryError.
bool shrink_bytearray(PyObject* bytearray, std::size_t n) noexcept;

}  // namespace tavrel
