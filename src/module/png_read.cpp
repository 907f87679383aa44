// PNG reading from a Python stream: `_readChunk`, and the decoder that turns a stream into the decoder result. The
// reading itself is the codec core's (png/reader.h); this file gives it the stream's read(n) (or, from an io.BytesIO
// nobody observes, views into its contents), keeps the objects the stream returned and the chunk records, allocates
// the result's bytearrays and turns the core's errors into exceptions.
#include "common/pages.h"
#include "module/bytearray.h"
#include "module/errors.h"
#include "module/host.h"
#include "module/readers.h"
#include "module/tavrel_ext.h"
#include "module/unlocked.h"
#include "png/reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace tavrel {
namespace {

using png::Field;

// The fields of a chunk as the objects (bytes or bytearray) the stream's read(n) returned.
class StreamSource final : public png::ByteSource {
public:
    explicit StreamSource(PyObject* stream) noexcept : stream_(stream) {}

    bool read(Field field, std::uint64_t n) noexcept override {
        Ref& slot = slot_of(field);
        slot = host::read(stream_, static_cast<long long>(n));
        return static_cast<bool>(slot);
    }

    // A bytes object cannot change; a bytearray may be the stream's own, which it or another thread may change.
    png::FieldBytes view(Field field) noexcept override {
        PyObject* object = slot_of(field).get();
        const ByteView v = view_of(object);
        return {{v.data, v.size}, PyBytes_Check(object) != 0};
    }

    void run(std::uint64_t size, Task task) noexcept override { without_lock(size >= off_lock_bytes, task); }

    PyObject* object(Field field) noexcept { return slot_of(field).get(); }
    Ref take(Field field) noexcept { return std::move(slot_of(field)); }
    void clear(Field field) noexcept { slot_of(field).reset(); }

    // A large bytes data field (`data`, its view) is kept as the object itself, in `held`.
    bool keep_whole(const png::FieldBytes& data, std::vector<Ref>& held, std::span<const std::uint8_t>& kept) {
        if (!data.fixed || data.bytes.size() < kept_whole) return false;
        held.emplace_back();  // may throw std::bad_alloc, before anything is taken
        held.back() = take(Field::data);
        kept = data.bytes;
        return true;
    }

private:
    static constexpr std::size_t kept_whole = std::size_t{1} << 20;  // bytes parts from this size on are not copied

    Ref& slot_of(Field field) noexcept { return fields_[static_cast<std::size_t>(field)]; }

    PyObject* stream_;
    Ref fields_[png::field_count];
};

// The fields of a chunk as views into the contents of an exact io.BytesIO whose reads nobody observes: what its
// read(n) calls would return, without making an object of each (one is made only for what the chunk records and
// the errors hold). The contents are a bytes object, which nobody can change, held for as long as the source lives.
// The stream's position follows the reads before the lock is ever released and when the source is done, through the
// type's own seek, so that nothing else can see it differ from where the reads would have left it.
class MemorySource final : public png::ByteSource {
public:
    MemorySource(PyObject* stream, Ref contents, Py_ssize_t position) noexcept
        : stream_(stream),
          contents_(std::move(contents)),
          data_(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(contents_.get()))),
          size_(static_cast<std::uint64_t>(PyBytes_GET_SIZE(contents_.get()))),
          cursor_(static_cast<std::uint64_t>(position)),
          synced_(cursor_) {}

    // As BytesIO.read(n): up to n bytes from the position, which moves past them; none past the end, where the
    // position stays.
    bool read(Field field, std::uint64_t n) noexcept override {
        const std::uint64_t left = cursor_ < size_ ? size_ - cursor_ : 0;
        const std::uint64_t got = n < left ? n : left;
        spans_[index(field)] = {left ? data_ + cursor_ : data_, static_cast<std::size_t>(got)};
        objects_[index(field)].reset();
        cursor_ += got;
        return true;
    }

    png::FieldBytes view(Field field) noexcept override { return {spans_[index(field)], true}; }

    void run(std::uint64_t size, Task task) noexcept override { without_lock(size >= off_lock_bytes && sync(), task); }

    PyObject* object(Field field) noexcept {
        Ref& slot = objects_[index(field)];
        if (!slot) {
            const std::span<const std::uint8_t> b = spans_[index(field)];
            slot.reset(
                PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size())));
        }
        return slot.get();
    }
    Ref take(Field field) noexcept {
        object(field);
        return std::move(objects_[index(field)]);
    }
    void clear(Field field) noexcept {
        objects_[index(field)].reset();
        spans_[index(field)] = {};
    }

    // A large data field (`data`, its view) stays where it is, in the contents this source holds.
    static bool keep_whole(const png::FieldBytes& data, std::vector<Ref>&,
                           std::span<const std::uint8_t>& kept) noexcept {
        if (data.bytes.size() < kept_in_place) return false;
        kept = data.bytes;
        return true;
    }

    // Moves the stream to where the reads left it. false, with the error kept for finish(), when that failed.
    bool sync() noexcept {
        if (cursor_ == synced_) return true;
        if (failure_) return false;
        if (!host::bytesio_move(stream_, static_cast<Py_ssize_t>(cursor_))) {
            failure_.reset(PyErr_GetRaisedException());
            return false;
        }
        synced_ = cursor_;
        return true;
    }

    // Brings the stream's position up to date once the reading is over, `failed` or not: false with an exception
    // set when the reading failed (its own exception) or the position could not be moved.
    bool finish(bool failed) noexcept {
        PyObject* pending = failed ? PyErr_GetRaisedException() : nullptr;
        sync();
        if (pending != nullptr) {
            PyErr_SetRaisedException(pending);  // the reading's own exception comes first
            return false;
        }
        if (!failure_) return true;
        PyErr_SetRaisedException(failure_.release());
        return false;
    }

private:
    // Runs this long are handed to the inflater in place; shorter ones are gathered into the reader's blocks.
    static constexpr std::size_t kept_in_place = std::size_t{64} * 1024;

    static std::size_t index(Field field) noexcept { return static_cast<std::size_t>(field); }

    PyObject* stream_;
    Ref contents_;
    const std::uint8_t* data_;
    std::uint64_t size_;
    std::uint64_t cursor_, synced_;
    std::span<const std::uint8_t> spans_[png::field_count];
    Ref objects_[png::field_count];
    Ref failure_;
};

// Raises the exception for a core error `e`, with the facts of it in `r`; `source` holds the fields read last.
template <class Source>
PyObject* raise_read_error(png::Error e, Source& source, const png::ReadResult& r = {}) noexcept {
    switch (e) {
        case png::Error::ihdr_size: {
            PyObject* data = source.object(Field::data);
            return data != nullptr ? errors::raise_unpack_error(">IIBBBBB", data) : nullptr;
        }
        case png::Error::dimension_overflow: return errors::raise_int32_overflow(r.field);
        case png::Error::stream_error: return errors::raise_zlib_error(r.fault, {r.head, r.head_size});
        default: return errors::raise(e, {r.filter});
    }
}

PyObject* read_chunk_impl(PyObject*, PyObject* const* args) {
    StreamSource source(args[0]);
    const png::ChunkRead chunk = png::read_chunk(source);
    if (chunk.error != png::Error::ok) return raise_read_error(chunk.error, source);
    if (chunk.end) {
        Ref empty(PyBytes_FromStringAndSize(nullptr, 0));
        return empty ? PyTuple_Pack(2, empty.get(), empty.get()) : nullptr;
    }
    return PyTuple_Pack(2, source.object(Field::type), source.object(Field::data));
}

constexpr Param read_chunk_params[] = {{"stream"}};

struct FreeDeleter {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
};
using RawBuffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;

// What the core reads from a source, gathered into the decoder result's objects. A large fixed part of the image
// data is kept where it is (a bytes object of its own, or the contents of a MemorySource). Smaller parts, and every
// bytearray (which its stream may still hold and change), are copied one after another into blocks of the module's own
// and their objects let go at once: the allocator then reuses one object's memory for the next read instead of holding
// thousands of small ones, and the inflater gets long runs of input rather than a stream cut every few kilobytes. Every
// part stays unchanged while the inflater reads it with the lock released.
template <class Source>
class PngReader final : public png::ImageSink {
public:
    explicit PngReader(Source& source) noexcept : source_(source) {}

    bool start() noexcept {
        chunks_.reset(PyList_New(0));
        return static_cast<bool>(chunks_);
    }

    // The chunk's fields are let go once it is recorded.
    bool record_chunk(std::uint64_t length, bool image_data) noexcept override {
        Ref type = source_.take(Field::type);
        if (!type) return false;
        Ref data;
        if (!image_data) {
            data = source_.take(Field::data);
            if (!data) return false;
        }
        source_.clear(Field::data);
        source_.clear(Field::length);
        source_.clear(Field::crc);
        Ref record(
            Py_BuildValue("(OOn)", type.get(), image_data ? Py_None : data.get(), static_cast<Py_ssize_t>(length)));
        return record && PyList_Append(chunks_.get(), record.get()) == 0;
    }

    bool keep_image_data(std::span<const std::uint8_t>& kept) noexcept override {
        const png::FieldBytes field = source_.view(Field::data);
        const ByteView v{field.bytes.data(), field.bytes.size()};
        try {
            if (source_.keep_whole(field, parts_, kept)) return true;
            if (blocks_.empty() || block_size_ - block_used_ < v.size) {
                block_size_ = std::max(v.size, next_block_);
                next_block_ = std::min(2 * next_block_, max_block);
                RawBuffer block(static_cast<std::uint8_t*>(std::malloc(block_size_)));
                if (!block) {
                    PyErr_NoMemory();
                    return false;
                }
                advise_huge_pages(block.get(), block_size_);
                blocks_.push_back(std::move(block));
                block_used_ = 0;
            }
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        std::uint8_t* const at = blocks_.back().get() + block_used_;
        // Fixed bytes are held in their field: a large part is copied with the lock released (the block's fresh
        // pages are faulted in by the copy).
        auto copy = [&] { std::memcpy(at, v.data, v.size); };
        source_.run(field.fixed ? v.size : 0, Task(copy));
        block_used_ += v.size;
        kept = {at, v.size};
        source_.clear(Field::data);
        return true;
    }

    void drop_image_data() noexcept override {
        parts_.clear();
        blocks_.clear();
        block_used_ = block_size_ = 0;
    }

    // Bytearrays whose contents the reader writes in full.
    std::uint8_t* allocate(png::ImageBuffer which, std::uint64_t size) noexcept override {
        if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            return nullptr;
        }
        Ref& slot = buffers_[static_cast<std::size_t>(which)];
        slot.reset(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        return slot ? reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(slot.get())) : nullptr;
    }

    bool shrink_pixels(std::uint64_t size) noexcept override {
        return shrink_bytearray(buffers_[static_cast<std::size_t>(png::ImageBuffer::pixels)].get(),
                                static_cast<std::size_t>(size));
    }

    // The 8-tuple (width, height, pixels, channels, alpha, chunks, bmp_meta, png_filters) of a read image.
    PyObject* result(const png::ReadResult& r) noexcept {
        PyObject* alpha = buffer(png::ImageBuffer::alpha);
        return decoder_result({PyLong_FromUnsignedLong(r.width), PyLong_FromUnsignedLong(r.height),
                               buffer(png::ImageBuffer::pixels), PyLong_FromUnsignedLong(r.channels),
                               alpha != nullptr ? alpha : Py_NewRef(Py_None), chunks_.release(), Py_NewRef(Py_None),
                               buffer(png::ImageBuffer::filters)});
    }

private:
    static constexpr std::size_t max_block = std::size_t{16} << 20;

    PyObject* buffer(png::ImageBuffer which) noexcept { return buffers_[static_cast<std::size_t>(which)].release(); }

    Source& source_;
    Ref chunks_;
    std::vector<Ref> parts_;         // bytes objects kept whole
    std::vector<RawBuffer> blocks_;  // the copied parts, in order
    std::size_t block_used_ = 0, block_size_ = 0;
    std::size_t next_block_ = std::size_t{1} << 20;
    Ref buffers_[3];  // by png::ImageBuffer
};

}  // namespace

const FuncSpec read_chunk_spec = {
    "_readChunk", nullptr, FuncKind::function, read_chunk_params, 1, 0, "Tuple[bytes, bytes]", read_chunk_impl,
};

namespace {

template <class Source>
PyObject* load_from(Source& source) noexcept {
    PngReader<Source> reader(source);
    if (!reader.start()) return nullptr;
    const png::ReadResult r = png::read_png(source, reader);
    if (r.error != png::Error::ok) return raise_read_error(r.error, source, r);
    return reader.result(r);
}

}  // namespace

PyObject* load_png(PyObject* stream) noexcept {
    Py_ssize_t position = 0;
    Ref contents = host::bytesio_contents(stream, position);
    if (!contents) {
        StreamSource source(stream);
        return load_from(source);
    }
    MemorySource source(stream, std::move(contents), position);
    Ref result(load_from(source));
    if (!source.finish(!result)) return nullptr;
    return result.release();
}

}  // namespace tavrel
