#include "module/function.h"
#include "module/errors.h"

#include <cstring>

namespace tavrel {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncSpec* spec;
    PyTypeObject* owner;    // the class of a method or class method (its self is checked against it), or null
    PyObject* names;        // tuple of interned parameter names
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module;       // str
    PyObject* annotations;  // dict
    PyObject* defaults;     // tuple, or None
};

const char* expected_name(ArgType t) noexcept {
    switch (t) {
        case ArgType::tuple: return "tuple";
        case ArgType::str: return "str";
        case ArgType::bytes:
        case ArgType::bytes_or_none: return "bytes";
        case ArgType::list_or_none: return "list";
        case ArgType::any: break;
    }
    return "object";
}

bool type_fits(ArgType t, PyObject* v) noexcept {
    switch (t) {
        case ArgType::any: return true;
        case ArgType::tuple: return PyTuple_CheckExact(v);
        case ArgType::str: return PyUnicode_CheckExact(v);
        case ArgType::bytes: return PyBytes_CheckExact(v);
        case ArgType::bytes_or_none: return v == Py_None || PyBytes_CheckExact(v);
        case ArgType::list_or_none: return v == Py_None || PyList_CheckExact(v);
    }
    return false;
}

// Index of keyword `key` among `names`, or -1.
Py_ssize_t find_name(PyObject* names, PyObject* key) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(names, i) == key) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(names, i), key) == 0) return i;
    }
    return -1;
}

bool bind_keyword(const char* fname, PyObject* names, PyObject* key, PyObject* value, PyObject** out) noexcept {
    if (!PyUnicode_Check(key)) {
        errors::raise_keyword_not_string(fname);
        return false;
    }
    const Py_ssize_t idx = find_name(names, key);
    if (idx < 0) {
        errors::raise_unexpected_keyword(fname, key);
        return false;
    }
    if (out[idx] != nullptr) {
        errors::raise_multiple_values(fname, key);
        return false;
    }
    out[idx] = value;
    return true;
}

inline FunctionObject* as_function(PyObject* o) noexcept { return reinterpret_cast<FunctionObject*>(o); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(callable);
    const FuncSpec& s = *f->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (s.kind != FuncKind::function) {
        if (nargs < 1) {
            return errors::raise_descriptor_needs_argument(s.name, f->owner);
        }
        self = args[0];
        ++args;
        --nargs;
        if (s.kind == FuncKind::method && !PyObject_TypeCheck(self, f->owner)) {
            return errors::raise_descriptor_wrong_self(s.name, f->owner, self);
        }
    }
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == s.nparams) {
        // The common call: every parameter given by position, in order.
        for (std::size_t i = 0; i < s.nparams; ++i) {
            if (!type_fits(s.params[i].type, args[i])) {
                return errors::raise_incorrect_type(s.params[i].name, expected_name(s.params[i].type), args[i]);
            }
        }
        return s.impl(self, args);
    }
    PyObject* bound[max_params] = {};
    if (!bind_arguments(s.name, f->names, s.params, s.nparams, s.nparams - s.ndefaults, args, nargs, kwnames, nullptr,
                        bound)) {
        return nullptr;
    }
    return s.impl(self, bound);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->owner);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->names);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->annotations); }
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }

// Builds an inspect.Signature: the implicit first parameter of a method or
// class method is part of it, so that binding drops it as for Python functions.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    const FuncSpec& s = *f->spec;
    Ref inspect(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature(parameter ? PyObject_GetAttrString(inspect.get(), "Signature") : nullptr);
    Ref kind(signature ? PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD") : nullptr);
    if (!kind) return nullptr;
    const Py_ssize_t implicit = s.kind == FuncKind::function ? 0 : 1;
    Ref params(PyList_New(0));
    if (!params) return nullptr;
    const Py_ssize_t total = implicit + static_cast<Py_ssize_t>(s.nparams);
    for (Py_ssize_t i = 0; i < total; ++i) {
        const char* pname = nullptr;
        const char* annotation = nullptr;
        bool has_default = false;
        if (i < implicit) {
            pname = s.kind == FuncKind::classmethod ? "cls" : "self";
        } else {
            const auto j = static_cast<std::size_t>(i - implicit);
            pname = s.params[j].name;
            annotation = s.params[j].annotation;
            has_default = j >= s.nparams - s.ndefaults;
        }
        Ref kwargs(PyDict_New());
        if (!kwargs) return nullptr;
        if (has_default && PyDict_SetItemString(kwargs.get(), "default", Py_None) < 0) return nullptr;
        if (annotation != nullptr) {
            Ref text(PyUnicode_FromString(annotation));
            if (!text || PyDict_SetItemString(kwargs.get(), "annotation", text.get()) < 0) return nullptr;
        }
        Ref name(PyUnicode_FromString(pname));
        if (!name) return nullptr;
        Ref posargs(PyTuple_Pack(2, name.get(), kind.get()));
        if (!posargs) return nullptr;
        Ref p(PyObject_Call(parameter.get(), posargs.get(), kwargs.get()));
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    Ref kwargs(PyDict_New());
    if (!kwargs) return nullptr;
    if (s.return_annotation != nullptr) {
        Ref text(PyUnicode_FromString(s.return_annotation));
        if (!text || PyDict_SetItemString(kwargs.get(), "return_annotation", text.get()) < 0) return nullptr;
    }
    Ref posargs(PyTuple_Pack(1, params.get()));
    if (!posargs) return nullptr;
    return PyObject_Call(signature.get(), posargs.get(), kwargs.get());
}

// Pickles by reference, as Python functions do.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A static type: the remaining slots are filled in by function_type_init().
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// The header macro reads as the first field, as in CPython's own type objects.
// clang-format off
PyTypeObject function_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "Vorlant.tavrel_ext.function",   // tp_name
    sizeof(FunctionObject),           // tp_basicsize
};
// clang-format on
#pragma GCC diagnostic pop

}  // namespace

bool bind_arguments(const char* fname, PyObject* names, const Param* params, std::size_t nparams, std::size_t nrequired,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* kwdict,
                    PyObject** out) noexcept {
    const auto np = static_cast<Py_ssize_t>(nparams);
    const auto nreq = static_cast<Py_ssize_t>(nrequired);
    if (nargs > np) {
        errors::raise_arity(fname, nreq, np, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < np; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t given = nargs;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!bind_keyword(fname, names, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
        }
        given += nkw;
    }
    if (kwdict != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwdict, &pos, &key, &value)) {
            if (!bind_keyword(fname, names, key, value, out)) return false;
            ++given;
        }
    }
    for (Py_ssize_t i = 0; i < np; ++i) {
        if (out[i] != nullptr) continue;
        if (i < nreq) {
            errors::raise_arity(fname, nreq, np, given);
            return false;
        }
        out[i] = Py_None;
    }
    for (Py_ssize_t i = 0; i < np; ++i) {
        if (!type_fits(params[i].type, out[i])) {
            errors::raise_incorrect_type(params[i].name, expected_name(params[i].type), out[i]);
            return false;
        }
    }
    return true;
}

PyObject* intern_names(const Param* params, std::size_t nparams) noexcept {
    Ref names(PyTuple_New(static_cast<Py_ssize_t>(nparams)));
    if (!names) return nullptr;
    for (std::size_t i = 0; i < nparams; ++i) {
        PyObject* n = PyUnicode_InternFromString(params[i].name);
        if (n == nullptr) return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), n);
    }
    return names.release();
}

bool function_type_init() noexcept {
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION;
    function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    function_type.tp_call = PyVectorcall_Call;
    function_type.tp_descr_get = function_descr_get;
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_repr = function_repr;
    function_type.tp_getset = function_getset;
    function_type.tp_methods = function_methods;
    return PyType_Ready(&function_type) == 0;
}

PyObject* make_function(const FuncSpec& spec, PyTypeObject* owner) noexcept {
    if (spec.nparams > max_params || spec.ndefaults > spec.nparams || (spec.kind != FuncKind::function && !owner)) {
        return errors::raise(errors::Message::bad_function_description);
    }
    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
    if (f == nullptr) return nullptr;
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->owner = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(owner)));
    f->names = f->name = f->qualname = f->module = f->annotations = f->defaults = nullptr;
    Ref holder(reinterpret_cast<PyObject*>(f));
    f->names = intern_names(spec.params, spec.nparams);
    f->name = PyUnicode_InternFromString(spec.name);
    f->qualname = spec.owner ? PyUnicode_FromFormat("%s.%s", spec.owner, spec.name) : Py_XNewRef(f->name);
    f->module = PyUnicode_InternFromString("Vorlant.tavrel_ext");
    f->annotations = PyDict_New();
    if (!f->names || !f->name || !f->qualname || !f->module || !f->annotations) return nullptr;
    for (std::size_t i = 0; i < spec.nparams; ++i) {
        if (spec.params[i].annotation == nullptr) continue;
        Ref text(PyUnicode_FromString(spec.params[i].annotation));
        if (!text || PyDict_SetItemString(f->annotations, spec.params[i].name, text.get()) < 0) return nullptr;
    }
    if (spec.return_annotation != nullptr) {
        Ref text(PyUnicode_FromString(spec.return_annotation));
        if (!text || PyDict_SetItemString(f->annotations, "return", text.get()) < 0) return nullptr;
    }
    if (spec.ndefaults == 0) {
        f->defaults = Py_NewRef(Py_None);
    } else {
        f->defaults = PyTuple_New(static_cast<Py_ssize_t>(spec.ndefaults));
        if (!f->defaults) return nullptr;
        for (std::size_t i = 0; i < spec.ndefaults; ++i) {
            PyTuple_SET_ITEM(f->defaults, static_cast<Py_ssize_t>(i), Py_NewRef(Py_None));
        }
    }
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return holder.release();
}

}  // namespace tavrel
