// Tavrel.save and Tavrel.saveBmp: each picks a file writer and hands it the
// image's own fields. The choice follows what the image kept of its source,
// never the file name.
#include "module/tavrel_ext.h"
#include "module/writers.h"

namespace tavrel {
namespace {

// The image's fields, held for the whole call: writing runs host code
// (len(), buffer exports, comparisons) that may reassign them.
struct Fields {
    std::int32_t width;
    std::int32_t height;
    Ref pixels, alpha, png_chunks, png_filters, bmp_header;

    explicit Fields(PyObject* self) noexcept
        : width(as_image(self)->width),
          height(as_image(self)->height),
          pixels(Ref::borrow(as_image(self)->pixels)),
          alpha(Ref::borrow(as_image(self)->alpha)),
          png_chunks(Ref::borrow(as_image(self)->png_chunks)),
          png_filters(Ref::borrow(as_image(self)->png_filters)),
          bmp_header(Ref::borrow(as_image(self)->bmp_header)) {}
};

// Kept chunks win over a kept BMP header; an image with neither is a plain PNG.
PyObject* save_impl(PyObject* self, PyObject* const* args) {
    const Fields f(self);
    if (f.png_chunks.get() != Py_None) {
        return write_png_with_chunks(args[0], f.width, f.height, f.pixels.get(), f.alpha.get(), f.png_chunks.get(),
                                     f.png_filters.get());
    }
    if (f.bmp_header.get() != Py_None) {
        return write_bmp(args[0], f.width, f.height, f.pixels.get(), f.bmp_header.get());
    }
    return write_png(args[0], f.width, f.height, f.pixels.get(), f.alpha.get(), f.png_filters.get());
}

PyObject* save_bmp_impl(PyObject* self, PyObject* const* args) {
    const Fields f(self);
    return write_bmp(args[0], f.width, f.height, f.pixels.get(), f.bmp_header.get());
}

constexpr Param path_param[] = {{"path", "str", ArgType::str}};

}  // namespace

const FuncSpec save_spec = {"save", "Tavrel", FuncKind::method, path_param, 1, 0, "None", save_impl};
const FuncSpec save_bmp_spec = {"saveBmp", "Tavrel", FuncKind::method, path_param, 1, 0, "None", save_bmp_impl};

}  // namespace tavrel
