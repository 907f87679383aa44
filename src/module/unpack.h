// Unpacking a Python iterable into a fixed number of new references, with the interpreter's messages.
#pragma once

#include "module/pyref.h"

#include <cstddef>

namespace tavrel {

// `a, b, ... = seq` for `n` names: the interpreter's messages for a non-iterable and for too few or too many values.
bool unpack_exactly(PyObject* seq, Ref* out, std::size_t n) noexcept;

// The three items of `value`: a tuple or list by its length, anything else by iterating it (taking at most a fourth
// item to tell it has too many), with the module's "need more than" / "too many values" messages.
bool unpack_three(PyObject* value, Ref* out) noexcept;

}  // namespace tavrel
