// Module definition and initialisation: multi-phase, one interpreter per
// process, one module object for the life of the process.
#include "module/errors.h"
#include "module/host.h"
#include "module/state.h"
#include "module/tavrel_ext.h"

namespace tavrel {
namespace {

ModuleState the_state;

ModuleState& st() noexcept { return the_state; }

struct Member {
    const FuncSpec* spec;
    bool is_static;
    bool is_class;
};

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (st().interpreter_id == -1) {
        st().interpreter_id = current;
    } else if (st().interpreter_id != current) {
        return errors::raise(errors::Message::other_interpreter);
    }
    if (st().module != nullptr) return Py_NewRef(st().module);
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name.get());
    if (module == nullptr) return nullptr;
    st().module = Py_NewRef(module);
    return module;
}

bool add_function(PyObject* dict, const FuncSpec& spec) {
    Ref fn(make_function(spec, nullptr));
    return fn && PyDict_SetItemString(dict, spec.name, fn.get()) == 0;
}

bool add_member(PyObject* type_dict, const Member& m) {
    Ref fn(make_function(*m.spec, st().image_type));
    if (!fn) return false;
    if (m.is_static || m.is_class) {
        PyTypeObject* wrapper = m.is_static ? &PyStaticMethod_Type : &PyClassMethod_Type;
        fn.reset(PyObject_CallOneArg(reinterpret_cast<PyObject*>(wrapper), fn.get()));
        if (!fn) return false;
    }
    return PyDict_SetItemString(type_dict, m.spec->name, fn.get()) == 0;
}

int module_exec_body(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (!function_type_init()) return -1;

    Ref type(image_create_type(module));
    if (!type || PyDict_SetItemString(dict, "Tavrel", type.get()) < 0) return -1;
    Py_INCREF(type.get());  // the class is kept for the life of the process

    if (!host::init(dict)) return -1;

    // ImageInput = Union[str, Path, bytes, bytearray, "Tavrel"]
    Ref union_name(PyDict_GetItemString(dict, "Union") ? Py_NewRef(PyDict_GetItemString(dict, "Union")) : nullptr);
    if (!union_name) return -1;
    Ref forward(PyUnicode_FromString("Tavrel"));
    if (!forward) return -1;
    Ref members(PyTuple_Pack(5, reinterpret_cast<PyObject*>(&PyUnicode_Type), host::path_class(),
                             reinterpret_cast<PyObject*>(&PyBytes_Type), reinterpret_cast<PyObject*>(&PyByteArray_Type),
                             forward.get()));
    if (!members) return -1;
    Ref alias(PyObject_GetItem(union_name.get(), members.get()));
    if (!alias || PyDict_SetItemString(dict, "ImageInput", alias.get()) < 0) return -1;

    static const FuncSpec* const functions[] = {
        &read_chunk_spec, &make_chunk_spec, &write_png_spec, &split_idat_payload_spec, &write_png_with_chunks_spec,
        &write_bmp_spec,
    };
    for (const FuncSpec* spec : functions) {
        if (!add_function(dict, *spec)) return -1;
    }

    static const Member members_in_order[] = {
        {&stream_to_image_spec, true, false}, {&open_spec, false, true},        {&get_pixel_spec, false, false},
        {&put_pixel_spec, false, false},      {&image_copy_spec, false, false}, {&save_spec, false, false},
        {&save_bmp_spec, false, false},
    };
    PyObject* type_dict = st().image_type->tp_dict;
    for (const Member& m : members_in_order) {
        if (!add_member(type_dict, m)) return -1;
    }
    PyType_Modified(st().image_type);
    return 0;
}

int module_exec(PyObject* module) {
    if (st().initialised) {
        if (module == st().module) return 0;
        errors::raise(errors::Message::reinitialised);
        return -1;
    }
    if (module_exec_body(module) < 0) {
        // A failed import leaves no module behind: the next import starts afresh.
        Py_CLEAR(st().module);
        return -1;
    }
    st().initialised = true;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tavrel_ext",
    nullptr,  // no docstring
    0,        // no per-module state
    nullptr,  // every function is created by the module body
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

ModuleState& module_state() noexcept { return the_state; }

}  // namespace tavrel

PyMODINIT_FUNC PyInit_tavrel_ext(void) { return PyModuleDef_Init(&tavrel::module_def); }
