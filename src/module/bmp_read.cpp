// BMP reading from a Python stream into the decoder result. The reading itself is the codec core's (bmp/reader.h);
// this file gives it the stream's read(n) and seek, allocates the pixel bytearray, builds the header dictionary and
// the result, and turns the core's errors into exceptions.
#include "bmp/reader.h"
#include "module/errors.h"
#include "module/host.h"
#include "module/readers.h"
#include "module/state.h"
#include "module/unlocked.h"

#include <cstdint>

namespace tavrel {
namespace {

// The stream, and the object (bytes or bytearray) its last read(n) returned.
class StreamSource final : public bmp::ByteSource {
public:
    explicit StreamSource(PyObject* stream) noexcept : stream_(stream) {}

    bool read(std::uint64_t n) noexcept override {
        last_.reset();
        last_ = host::read(stream_, static_cast<long long>(n));
        return static_cast<bool>(last_);
    }
    // An exact bytes object cannot change; a bytearray may be the stream's own, which it may change.
    bmp::ReadBytes view() noexcept override {
        const ByteView v = view_of(last_.get());
        return {{v.data, v.size}, PyBytes_CheckExact(last_.get()) != 0};
    }
    bool seek(std::uint64_t position) noexcept override {
        return host::seek(stream_, static_cast<long long>(position));
    }
    bool empty_reads_inert() noexcept override { return host::empty_reads_inert(stream_); }
    bool reads_unobserved(bool& yes) noexcept override {
        const int plain = host::reads_unobserved(stream_);
        yes = plain > 0;
        return plain >= 0;
    }
    void run(std::uint64_t size, Task task) noexcept override { without_lock(size >= off_lock_bytes, task); }

    PyObject* last() const noexcept { return last_.get(); }

private:
    PyObject* stream_;
    Ref last_;
};

// The pixel bytearray, this call's alone until the result holds it (the collector does not track bytearrays).
class PixelArray final : public bmp::PixelSink {
public:
    bool resize(std::uint64_t size, std::uint8_t*& data) noexcept override {
        if (!pixels_) {
            pixels_.reset(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        } else if (PyByteArray_Resize(pixels_.get(), static_cast<Py_ssize_t>(size)) < 0) {
            return false;
        }
        if (!pixels_) return false;
        data = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(pixels_.get()));
        return true;
    }
    PyObject* take() noexcept { return pixels_.release(); }

private:
    Ref pixels_;
};

// The header values a BMP source supplies, as a new dictionary with its keys in order.
PyObject* make_meta(const bmp::Info& info) noexcept {
    Ref meta(PyDict_New());
    PyObject* const values[] = {PyLong_FromLong(info.xppm), PyLong_FromLong(info.yppm),
                                PyLong_FromUnsignedLong(info.clr_used), PyLong_FromUnsignedLong(info.clr_important)};
    bool ok = static_cast<bool>(meta);
    for (std::size_t i = 0; i < 4; ++i) {
        Ref value(values[i]);
        if (ok && (!value || PyDict_SetItem(meta.get(), module_state().bmp_keys[i], value.get()) < 0)) ok = false;
    }
    return ok ? meta.release() : nullptr;
}

PyObject* raise_read_error(bmp::Error e, const StreamSource& source) noexcept {
    switch (e) {
        case bmp::Error::info_size_length: return errors::raise_unpack_error("<I", source.last());
        case bmp::Error::info_length: return errors::raise_unpack_error("<iiHHIIiiII", source.last());
        default: return errors::raise(e);
    }
}

}  // namespace

PyObject* load_bmp(PyObject* stream) noexcept {
    StreamSource source(stream);
    PixelArray pixels;
    const bmp::ReadResult r = bmp::read_bmp(source, pixels);
    if (r.error != bmp::Error::ok) return raise_read_error(r.error, source);
    Ref meta(make_meta(r.info));
    if (!meta) return nullptr;
    return decoder_result({PyLong_FromLong(r.info.width), PyLong_FromUnsignedLongLong(r.rows), pixels.take(),
                           PyLong_FromLong(3), Py_NewRef(Py_None), Py_NewRef(Py_None), meta.release(),
                           Py_NewRef(Py_None)});
}

}  // namespace tavrel
