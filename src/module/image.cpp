#include "module/image.h"
#include "module/errors.h"
#include "module/state.h"

#include <climits>

namespace tavrel {

PyTypeObject* image_type() noexcept { return module_state().image_type; }

namespace {

constexpr Param ctor_params[] = {
    {"width"}, {"height"}, {"pixels"}, {"alpha"}, {"png_chunks"}, {"bmp_header"}, {"png_filters"},
};
constexpr std::size_t ctor_nparams = sizeof(ctor_params) / sizeof(ctor_params[0]);

// Length of `obj` as the host measures it; -1 with an exception set.
Py_ssize_t length_of(PyObject* obj) noexcept { return PyObject_Size(obj); }

// Whether a measured length equals npix * k, without forming a product that
// overflows: a negative or oversized npix never matches.
bool length_matches(Py_ssize_t length, long long npix, long long k) noexcept {
    return npix >= 0 && npix <= PY_SSIZE_T_MAX / k && length == npix * k;
}

// A new bytearray copied from `obj`, checked to hold `expected` bytes, which the
// caller has already seen as len(obj): an object whose items are wider than a
// byte would otherwise leave a buffer of another length behind the check.
PyObject* copy_bytes(PyObject* obj, long long expected, errors::Message message) noexcept {
    Ref copy(PyByteArray_FromObject(obj));
    if (!copy) return nullptr;
    if (PyByteArray_GET_SIZE(copy.get()) != expected) return errors::raise(message);
    return copy.release();
}

PyObject* image_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ImageObject* img = as_image(self.get());
    img->width = 0;
    img->height = 0;
    img->pixels = Py_None;
    img->alpha = Py_None;
    img->png_chunks = Py_None;
    img->png_filters = Py_None;
    img->bmp_header = Py_None;

    PyObject* a[ctor_nparams];
    if (!bind_arguments("Tavrel", module_state().ctor_names, ctor_params, ctor_nparams, 3, &PyTuple_GET_ITEM(args, 0),
                        PyTuple_GET_SIZE(args), nullptr, kwds, a)) {
        return nullptr;
    }
    // Keyword values are borrowed from `kwds`, a dictionary that a caller in C
    // may share with Python code: the arguments are held here, since
    // measuring and copying them runs code that could empty that dictionary.
    Ref held[ctor_nparams];
    for (std::size_t i = 0; i < ctor_nparams; ++i) held[i] = Ref::borrow(a[i]);
    std::int32_t width = 0, height = 0;
    if (!to_int32(a[0], &width) || !to_int32(a[1], &height)) return nullptr;
    const long long npix = static_cast<long long>(width) * height;  // exact: |w*h| <= 2^62

    const Py_ssize_t plen = length_of(a[2]);
    if (plen < 0) return nullptr;
    if (!length_matches(plen, npix, 3)) {
        return errors::raise(errors::Message::pixel_length);
    }
    img->width = width;
    img->height = height;
    PyObject* pixels = copy_bytes(a[2], npix * 3, errors::Message::pixel_length);
    if (pixels == nullptr) return nullptr;
    img->pixels = pixels;

    if (a[3] != Py_None) {
        const Py_ssize_t alen = length_of(a[3]);
        if (alen < 0) return nullptr;
        if (!length_matches(alen, npix, 1)) {
            return errors::raise(errors::Message::alpha_length);
        }
        PyObject* alpha = copy_bytes(a[3], npix, errors::Message::alpha_length);
        if (alpha == nullptr) return nullptr;
        img->alpha = alpha;
    }
    if (a[4] != Py_None) {
        PyObject* chunks = PySequence_List(a[4]);
        if (chunks == nullptr) return nullptr;
        img->png_chunks = chunks;
    }
    if (a[6] != Py_None) {
        const Py_ssize_t flen = length_of(a[6]);
        if (flen < 0) return nullptr;
        if (flen != height) {
            return errors::raise(errors::Message::filter_count);
        }
        PyObject* filters = copy_bytes(a[6], height, errors::Message::filter_count);
        if (filters == nullptr) return nullptr;
        img->png_filters = filters;
    }
    if (a[5] != Py_None) {
        PyObject* header = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), a[5]);
        if (header == nullptr) return nullptr;
        img->bmp_header = header;
    }
    return self.release();
}

int image_traverse(PyObject* self, visitproc visit, void* arg) {
    ImageObject* img = as_image(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(img->alpha);
    Py_VISIT(img->png_chunks);
    Py_VISIT(img->png_filters);
    Py_VISIT(img->bmp_header);
    return 0;
}

// Breaking a cycle leaves None in the four fields of any type.
int image_clear(PyObject* self) {
    ImageObject* img = as_image(self);
    Py_SETREF(img->alpha, Py_None);
    Py_SETREF(img->png_chunks, Py_None);
    Py_SETREF(img->png_filters, Py_None);
    Py_SETREF(img->bmp_header, Py_None);
    return 0;
}

// Freeing an image may free another one held in a field, and so on down a
// chain of any length: the trashcan defers the deeper ones, so that the C
// stack stays bounded (the cyclic collector's clearing ends up here as well).
void image_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, image_dealloc)
    ImageObject* img = as_image(self);
    Py_CLEAR(img->pixels);
    Py_CLEAR(img->alpha);
    Py_CLEAR(img->png_chunks);
    Py_CLEAR(img->png_filters);
    Py_CLEAR(img->bmp_header);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

PyObject* get_size(PyObject* self, void*) {
    ImageObject* img = as_image(self);
    return Py_BuildValue("(ii)", img->width, img->height);
}

PyObject* get_width(PyObject* self, void*) { return PyLong_FromLong(as_image(self)->width); }
PyObject* get_height(PyObject* self, void*) { return PyLong_FromLong(as_image(self)->height); }

int set_dimension(std::int32_t* field, PyObject* value) {
    if (value == nullptr) {
        errors::raise(errors::Message::delete_dimension);
        return -1;
    }
    std::int32_t v = 0;
    if (!to_int32(value, &v)) return -1;
    *field = v;
    return 0;
}

int set_width(PyObject* self, PyObject* value, void*) { return set_dimension(&as_image(self)->width, value); }
int set_height(PyObject* self, PyObject* value, void*) { return set_dimension(&as_image(self)->height, value); }

PyObject* get_pixels(PyObject* self, void*) { return Py_NewRef(as_image(self)->pixels); }

int set_pixels(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyByteArray_CheckExact(value)) {
        errors::raise_expected_type("bytearray", value);
        return -1;
    }
    Py_SETREF(as_image(self)->pixels, Py_NewRef(value));
    return 0;
}

// The four fields that hold any object: read as stored, assigned as given,
// deleted to None. `closure` is the field's offset in the record.
PyObject* get_field(PyObject* self, void* closure) {
    auto** slot =
        reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<std::intptr_t>(closure));
    return Py_NewRef(*slot);
}

int set_field(PyObject* self, PyObject* value, void* closure) {
    auto** slot =
        reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<std::intptr_t>(closure));
    Py_SETREF(*slot, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

#define TAVREL_FIELD(name, member) \
    { name, get_field, set_field, nullptr, reinterpret_cast<void*>(offsetof(ImageObject, member)) }

PyGetSetDef image_getset[] = {
    {"size", get_size, nullptr, nullptr, nullptr},
    {"width", get_width, set_width, nullptr, nullptr},
    {"height", get_height, set_height, nullptr, nullptr},
    {"_pixels", get_pixels, set_pixels, nullptr, nullptr},
    TAVREL_FIELD("_alpha", alpha),
    TAVREL_FIELD("_png_chunks", png_chunks),
    TAVREL_FIELD("_png_filters", png_filters),
    TAVREL_FIELD("_bmp_header", bmp_header),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef TAVREL_FIELD

PyObject* image_reduce(PyObject*, PyObject*) { return errors::raise(errors::Message::no_pickling); }

PyObject* image_setstate(PyObject*, PyObject*) { return errors::raise(errors::Message::no_pickling); }

PyMethodDef image_methods[] = {
    {"__reduce__", image_reduce, METH_NOARGS, nullptr},
    {"__setstate__", image_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot image_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Tavrel(width, height, pixels, alpha=None, png_chunks=None, bmp_header=None, png_filters=None)\n"
                       "--\n\n"
                       "A minimal RGB image held in memory, with an optional alpha plane.")},
    {Py_tp_new, reinterpret_cast<void*>(image_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(image_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(image_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(image_clear)},
    {Py_tp_getset, image_getset},
    {Py_tp_methods, image_methods},
    {0, nullptr},
};

PyType_Spec image_spec = {
    "Vorlant.tavrel_ext.Tavrel",
    sizeof(ImageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    image_slots,
};

// copy(): a plain Tavrel built through the constructor from copies of the
// fields, so the constructor's checks apply to the current values.
PyObject* image_copy(PyObject* self, PyObject* const*) {
    ImageObject* img = as_image(self);
    Ref whole(PySlice_New(nullptr, nullptr, nullptr));
    if (!whole) return nullptr;
    // Each field is held while it is sliced or copied: that runs the field's
    // own code, which may reassign the field and drop the image's reference.
    auto slice_or_none = [&](PyObject* borrowed) -> PyObject* {
        Ref field = Ref::borrow(borrowed);
        if (field.get() == Py_None) return Py_NewRef(Py_None);
        return PyObject_GetItem(field.get(), whole.get());
    };
    Ref alpha(slice_or_none(img->alpha));
    if (!alpha) return nullptr;
    Ref chunks(slice_or_none(img->png_chunks));
    if (!chunks) return nullptr;
    Ref filters(slice_or_none(img->png_filters));
    if (!filters) return nullptr;
    Ref source_header = Ref::borrow(img->bmp_header);
    Ref header(source_header.get() == Py_None
                   ? Py_NewRef(Py_None)
                   : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), source_header.get()));
    if (!header) return nullptr;
    Ref width(PyLong_FromLong(img->width));
    Ref height(PyLong_FromLong(img->height));
    if (!width || !height) return nullptr;
    Ref pixels(PyObject_GetItem(img->pixels, whole.get()));
    if (!pixels) return nullptr;
    PyObject* seven[] = {width.get(),  height.get(), pixels.get(), alpha.get(),
                         chunks.get(), header.get(), filters.get()};
    return image_call_class(reinterpret_cast<PyObject*>(image_type()), seven);
}

}  // namespace

const FuncSpec image_copy_spec = {"copy", "Tavrel", FuncKind::method, nullptr, 0, 0, "Tavrel", image_copy};

bool to_int32(PyObject* v, std::int32_t* out) noexcept {
    Ref number;
    if (!PyLong_Check(v)) {
        PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
        if (nb == nullptr || nb->nb_int == nullptr) {
            errors::raise(errors::Message::integer_required);
            return false;
        }
        number.reset(nb->nb_int(v));
        if (!number) return false;
        if (!PyLong_Check(number.get())) {
            errors::raise_int_returned_non_int(number.get());
            return false;
        }
        v = number.get();
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow > 0 || value > INT_MAX) {
        errors::raise(errors::Message::int32_above_maximum);
        return false;
    }
    if (overflow < 0 || value < INT_MIN) {
        errors::raise(errors::Message::int32_below_minimum);
        return false;
    }
    *out = static_cast<std::int32_t>(value);
    return true;
}

PyObject* image_call_class(PyObject* cls, PyObject* const* seven) noexcept {
    return PyObject_Vectorcall(cls, seven, 7, nullptr);
}

namespace {

// An object only the caller holds, of exactly `type` (or None when allowed).
bool fresh(PyObject* o, PyTypeObject* type, bool none_ok) noexcept {
    if (o == Py_None) return none_ok;
    return Py_IS_TYPE(o, type) && Py_REFCNT(o) == 1;
}

}  // namespace

PyObject* image_adopt(PyObject* const* seven) noexcept {
    PyObject* const w = seven[0];
    PyObject* const h = seven[1];
    if (!PyLong_CheckExact(w) || !PyLong_CheckExact(h)) return nullptr;
    std::int32_t width = 0, height = 0;
    if (!to_int32(w, &width) || !to_int32(h, &height)) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* const pixels = seven[2];
    PyObject* const alpha = seven[3];
    PyObject* const chunks = seven[4];
    PyObject* const header = seven[5];
    PyObject* const filters = seven[6];
    if (!fresh(pixels, &PyByteArray_Type, false) || !fresh(alpha, &PyByteArray_Type, true) ||
        !fresh(chunks, &PyList_Type, true) || !fresh(header, &PyDict_Type, true) ||
        !fresh(filters, &PyByteArray_Type, true)) {
        return nullptr;
    }
    const long long npix = static_cast<long long>(width) * height;
    if (width < 0 || height < 0 || !length_matches(PyByteArray_GET_SIZE(pixels), npix, 3) ||
        (alpha != Py_None && PyByteArray_GET_SIZE(alpha) != npix) ||
        (filters != Py_None && PyByteArray_GET_SIZE(filters) != height)) {
        return nullptr;
    }
    PyObject* self = image_type()->tp_alloc(image_type(), 0);
    if (self == nullptr) return nullptr;
    ImageObject* img = as_image(self);
    img->width = width;
    img->height = height;
    img->pixels = Py_NewRef(pixels);
    img->alpha = Py_NewRef(alpha);
    img->png_chunks = Py_NewRef(chunks);
    img->png_filters = Py_NewRef(filters);
    img->bmp_header = Py_NewRef(header);
    return self;
}

PyObject* image_create_type(PyObject* module) noexcept {
    if (module_state().ctor_names == nullptr) {
        module_state().ctor_names = intern_names(ctor_params, ctor_nparams);
        if (module_state().ctor_names == nullptr) return nullptr;
    }
    PyObject* type = PyType_FromModuleAndSpec(module, &image_spec, nullptr);
    if (type == nullptr) return nullptr;
    module_state().image_type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace tavrel
