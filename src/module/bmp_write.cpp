// BMP writing: `_writeBmp`. The header values are read from `meta`, and the headers checked and packed by the codec
// core (bmp/writer.h), before the output is opened; the core then makes the file in blocks of rows, which this file
// writes as they are made, or in one piece when opening the file may run code.
#include "bmp/writer.h"
#include "module/errors.h"
#include "module/host.h"
#include "module/state.h"
#include "module/tavrel_ext.h"
#include "module/unlocked.h"
#include "module/writers.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace tavrel {
namespace {

// int(meta.get(key, default)) for xppm, yppm, clrUsed and clrImportant, in that order (the defaults when meta is
// None), each as the nearest 64-bit value.
bool read_meta(PyObject* meta, std::int64_t (&values)[4]) noexcept {
    constexpr long defaults[] = {2835, 2835, 0, 0};
    for (std::size_t i = 0; i < 4; ++i) {
        values[i] = defaults[i];
        if (meta == Py_None) continue;
        Ref fallback(PyLong_FromLong(defaults[i]));
        if (!fallback) return false;
        PyObject* args[] = {meta, module_state().bmp_keys[i], fallback.get()};
        Ref got(PyObject_VectorcallMethod(module_state().name_get, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        Ref value(got ? PyNumber_Long(got.get()) : nullptr);
        if (!value) return false;
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
        values[i] = overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : v;
    }
    return true;
}

// The caller's pixel buffer, exported only while rows are read from it, never across a call that can release the
// lock or run Python code, and measured anew at every export (its size cannot change while exported).
class PixelRows final : public bmp::RowSource {
public:
    PixelRows(PyObject* pixels, const bmp::Layout& layout) noexcept
        : pixels_(pixels), needed_(layout.image_bytes), row_bytes_(layout.width * 3) {}

    // Exports the buffer into `rgb`: false with the IndexError of reading past its end when it no longer holds the
    // image.
    bool measure(Buffer& rgb) const noexcept {
        if (!rgb.acquire(pixels_, PyBUF_SIMPLE)) return false;
        if (static_cast<std::uint64_t>(rgb.size()) >= needed_) return true;
        rgb.release();
        errors::raise(errors::Message::bytearray_index);
        return false;
    }

    // A large group of rows is copied into memory of this call's own and converted from there with the lock
    // released, so that other threads run meanwhile and can still resize the buffer.
    const std::uint8_t* rows(std::uint64_t first, std::uint64_t count, std::uint64_t size) noexcept override {
        if (!measure(rgb_)) return nullptr;
        const std::uint8_t* at = rgb_.data() + first * row_bytes_;
        apart_ = size >= off_lock_bytes;
        if (!apart_) return at;
        const std::uint64_t bytes = count * row_bytes_;
        if (scratch_size_ < bytes) {
            scratch_.reset(new (std::nothrow) std::uint8_t[bytes]);
            scratch_size_ = scratch_ ? bytes : 0;
        }
        if (scratch_) std::memcpy(scratch_.get(), at, bytes);
        rgb_.release();
        if (!scratch_) PyErr_NoMemory();
        return scratch_.get();
    }

    void convert(Task task) noexcept override {
        without_lock(apart_, task);
        rgb_.release();
    }

private:
    PyObject* pixels_;
    std::uint64_t needed_, row_bytes_;
    Buffer rgb_;
    bool apart_ = false;
    std::unique_ptr<std::uint8_t[]> scratch_;
    std::uint64_t scratch_size_ = 0;
};

// Each block a new bytes object, written to `stream` once filled; without a stream the (one) block is kept.
class Blocks final : public bmp::BlockSink {
public:
    explicit Blocks(PyObject* stream) noexcept : stream_(stream) {}

    std::uint8_t* block(std::uint64_t size) noexcept override {
        block_.reset(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        return block_ ? reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(block_.get())) : nullptr;
    }
    bool put() noexcept override {
        if (stream_ == nullptr) return true;
        const bool ok = host::write(stream_, block_.get());
        block_.reset();
        return ok;
    }
    PyObject* kept() const noexcept { return block_.get(); }

private:
    PyObject* stream_;
    Ref block_;
};

PyObject* write_bmp_impl(PyObject*, PyObject* const* args) {
    std::int32_t width = 0, height = 0;
    if (!to_int32(args[1], &width) || !to_int32(args[2], &height)) return nullptr;
    return write_bmp(args[0], width, height, args[3], args[4]);
}

constexpr Param write_bmp_params[] = {{"path"}, {"width"}, {"height"}, {"pixels"}, {"meta"}};

}  // namespace

PyObject* write_bmp(PyObject* path, std::int32_t width, std::int32_t height, PyObject* pixels,
                    PyObject* meta) noexcept {
    std::int64_t values[4];
    if (!read_meta(meta, values)) return nullptr;
    Ref pix_buf = PyByteArray_Check(pixels) ? Ref::borrow(pixels) : Ref(PyByteArray_FromObject(pixels));
    if (!pix_buf) return nullptr;
    const bmp::Headers headers = bmp::pack_headers({width, height, values[0], values[1], values[2], values[3]});
    if (headers.error != bmp::Error::ok) {
        const long long value = headers.bad_value;
        return errors::raise_pack_error("<I", {&value, 1});
    }
    if (static_cast<std::uint64_t>(PyByteArray_GET_SIZE(pix_buf.get())) < headers.layout.image_bytes) {
        return errors::raise(errors::Message::bytearray_index);
    }

    PixelRows rows(pix_buf.get(), headers.layout);
    const int plain = host::open_is_plain(path);
    if (plain < 0) return nullptr;
    if (!plain) {
        Blocks file(nullptr);
        if (bmp::write_bmp(headers, rows, file, false) != bmp::Error::ok) return nullptr;
        return write_file(path, file.kept());
    }
    {
        Buffer rgb;  // the buffer is checked before the file is opened
        if (!rows.measure(rgb)) return nullptr;
    }
    host::OpenFile file;
    if (!file.open(path, "wb")) return nullptr;
    Blocks blocks(file.stream());
    const bool ok = bmp::write_bmp(headers, rows, blocks, host::is_file_writer(file.stream())) == bmp::Error::ok;
    const bool closed = file.close();
    if (!ok || !closed) return nullptr;
    Py_RETURN_NONE;
}

const FuncSpec write_bmp_spec = {
    "_writeBmp", nullptr, FuncKind::function, write_bmp_params, 5, 1, "None", write_bmp_impl,
};

}  // namespace tavrel
