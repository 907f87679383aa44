// The module's own function object: one small type that carries the name,
// qualified name, annotations, defaults and argument binding of every module
// function and class member, called through vectorcall.
#pragma once

#include "module/pyref.h"

#include <cstddef>
#include <cstdint>

namespace tavrel {

// A parameter declared with a built-in type accepts exactly that type.
enum class ArgType : std::uint8_t { any, tuple, str, bytes, bytes_or_none, list_or_none };

struct Param {
    const char* name = nullptr;
    const char* annotation = nullptr;  // stored unevaluated, as text; null: none
    ArgType type = ArgType::any;
};

enum class FuncKind : std::uint8_t {
    function,     // no implicit first argument
    method,       // receives an instance as `self` (checked to be one of its owner class)
    classmethod,  // receives the class as `cls`; wrapped in classmethod by its owner
};

// Called with the implicit first argument (or null) and exactly `nparams`
// borrowed arguments, omitted trailing ones already replaced by None.
using Impl = PyObject* (*)(PyObject* self, PyObject* const* args);

inline constexpr std::size_t max_params = 8;

struct FuncSpec {
    const char* name;
    const char* owner;  // class name for members ("Tavrel"), null for module functions
    FuncKind kind;
    const Param* params;
    std::size_t nparams;    // not counting self or cls
    std::size_t ndefaults;  // trailing parameters that default to None
    const char* return_annotation;
    Impl impl;
};

// Makes the type ready; call once at import.
bool function_type_init() noexcept;
// A new function object for `spec` (which must outlive it); null on error. `owner` is the class a method or class
// method belongs to (a method's self must be an instance of it); null for a module function.
PyObject* make_function(const FuncSpec& spec, PyTypeObject* owner) noexcept;

// Interned parameter names for the binder: a tuple of `nparams` str objects.
PyObject* intern_names(const Param* params, std::size_t nparams) noexcept;

// Binds positional arguments and keywords onto `out[0..nparams)`, fills omitted
// optional parameters with None and applies the exact-type checks. Keywords
// come either as vectorcall `kwnames` (values after the positionals) or as a
// dict. Returns false with TypeError set when the call does not fit.
bool bind_arguments(const char* fname, PyObject* names, const Param* params, std::size_t nparams, std::size_t nrequired,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* kwdict,
                    PyObject** out) noexcept;

}  // namespace tavrel
