// Opening images: Tavrel._streamToImage recognises the format from the first
// bytes and runs its decoder; Tavrel.open picks the stream for a source,
// builds the image through the class and writes the log line.
#include "module/errors.h"
#include "module/host.h"
#include "module/readers.h"
#include "module/state.h"
#include "module/tavrel_ext.h"
#include "module/unpack.h"

#include <cstring>

namespace tavrel {
namespace {

constexpr std::size_t result_items = 8;

PyObject* stream_to_image(PyObject* stream) noexcept {
    Ref signature = host::read(stream, 8);
    if (!signature) return nullptr;
    if (!host::seek(stream, 0)) return nullptr;
    // Viewed after the seek: a bytearray handed out by the stream may have
    // changed during that call.
    const ByteView sig = view_of(signature.get());
    const ByteView png = view_of(host::png_signature());
    if (sig.size >= png.size && std::memcmp(sig.data, png.data, png.size) == 0) return load_png(stream);
    if (sig.size >= 2 && sig.data[0] == 'B' && sig.data[1] == 'M') return load_bmp(stream);
    return errors::raise(errors::Message::unsupported_format);
}

PyObject* stream_to_image_impl(PyObject*, PyObject* const* args) { return stream_to_image(args[0]); }

// The decoder result for `stream`: through the class's own _streamToImage, so
// that a subclass may replace it; Tavrel's own one is called directly.
Ref decode_stream(PyObject* cls, PyObject* stream) noexcept {
    if (cls == reinterpret_cast<PyObject*>(image_type())) return Ref(stream_to_image(stream));
    PyObject* args[] = {cls, stream};
    return Ref(PyObject_VectorcallMethod(module_state().name_stream_to_image, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

// The text form of one value of the log line: a str as it is, anything else
// through format(value, "").
Ref text_of(PyObject* value) noexcept {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref(PyObject_Format(value, nullptr));
}

bool log_opened(PyObject* width, PyObject* height, PyObject* channels) noexcept {
    Ref w = text_of(width);
    Ref h = text_of(height);
    Ref c = text_of(channels);
    if (!w || !h || !c) return false;
    Ref line(PyUnicode_FromFormat("[Tavrel] Opened image: %Ux%U, channels=%U", w.get(), h.get(), c.get()));
    return line && host::print(line.get());
}

PyObject* open_impl(PyObject* cls, PyObject* const* args) {
    PyObject* source = args[0];
    if (PyObject_TypeCheck(source, image_type())) return Py_NewRef(source);

    Ref result;
    int is_path = PyUnicode_Check(source) ? 1 : PyObject_IsInstance(source, host::path_class());
    if (is_path < 0) return nullptr;
    if (is_path) {
        host::OpenFile file;
        if (!file.open(source, "rb")) return nullptr;
        result = decode_stream(cls, file.stream());
        // Leaves the with block: the file is closed also when decoding failed.
        if (!file.close() || !result) return nullptr;
    } else if (PyBytes_Check(source) || PyByteArray_Check(source)) {
        Ref stream(PyObject_CallOneArg(host::bytesio_class(), source));
        if (!stream) return nullptr;
        result = decode_stream(cls, stream.get());
        if (!result) return nullptr;
    } else {
        errors::raise(errors::Message::source_type);
        return nullptr;
    }

    // width, height, pixels, channels, alpha, chunks, bmp_meta, png_filters
    Ref item[result_items];
    if (!unpack_exactly(result.get(), item, result_items)) return nullptr;
    result.reset();
    Ref channels = std::move(item[3]);
    PyObject* seven[] = {item[0].get(), item[1].get(), item[2].get(), item[4].get(),
                         item[5].get(), item[6].get(), item[7].get()};

    Ref image;
    if (cls == reinterpret_cast<PyObject*>(image_type())) {
        // The decoder's objects are fresh and held only here: the image takes
        // them over rather than copying them again.
        Ref fresh[7];
        for (std::size_t i = 0; i < 7; ++i) fresh[i] = Ref::borrow(seven[i]);
        for (Ref& r : item) r.reset();
        for (std::size_t i = 0; i < 7; ++i) seven[i] = fresh[i].get();
        // Each object is now held by `fresh` alone, with the two ints apart.
        image.reset(image_adopt(seven));
        if (!image && PyErr_Occurred()) return nullptr;
        if (!image) image.reset(image_call_class(cls, seven));
        if (!image) return nullptr;
        if (!log_opened(seven[0], seven[1], channels.get())) return nullptr;
        return image.release();
    }
    image.reset(image_call_class(cls, seven));
    if (!image) return nullptr;
    if (image.get() != Py_None && !PyObject_TypeCheck(image.get(), image_type())) {
        errors::raise_cannot_convert(image.get(), "Vorlant.tavrel_ext.Tavrel");
        return nullptr;
    }
    if (!log_opened(item[0].get(), item[1].get(), channels.get())) return nullptr;
    return image.release();
}

constexpr Param stream_params[] = {{"stream"}};
constexpr Param open_params[] = {{"source", "ImageInput"}};

}  // namespace

const FuncSpec stream_to_image_spec = {
    "_streamToImage", "Tavrel", FuncKind::function, stream_params, 1, 0, nullptr, stream_to_image_impl,
};
const FuncSpec open_spec = {
    "open", "Tavrel", FuncKind::classmethod, open_params, 1, 0, "Tavrel", open_impl,
};

}  // namespace tavrel
