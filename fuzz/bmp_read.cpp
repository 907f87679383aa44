// libFuzzer harness over the BMP reading pipeline of the codec core (bmp::read_bmp), checked against a naive model of
// the file layout written from its definition: the error, the kept header fields, the exact sequence of reads and
// seeks, and the pixels.
//
// The source works like io.BytesIO (a read past the end returns what is left, a seek past the end is allowed) and
// hands every read out in a heap block of exactly its size, so that a read one byte past the bytes returned is seen;
// the sink's buffer is exact-size too. Each input runs with rows read one by one and the buffer made at once, and with
// rows read in blocks and the buffer grown (a small threshold, so that both run on small inputs), under every kernel
// set this CPU runs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bmp/reader.h"
#include "common.h"

using namespace tavrel;
using fuzz::Block;

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// One call to the source: a read of n bytes, or (n < 0) a seek to -1 - n.
using Op = int64_t;

class MemSource final : public bmp::ByteSource {
public:
    MemSource(const uint8_t* data, size_t size, bool blocks, bool inert) noexcept
        : data_(data), size_(size), blocks_(blocks), inert_(inert) {}

    bool read(uint64_t n) noexcept override {
        const size_t left = pos_ < size_ ? size_ - pos_ : 0;
        const size_t got = n < left ? static_cast<size_t>(n) : left;
        last_ = Block(data_ + (pos_ < size_ ? pos_ : size_), got);
        pos_ += got;
        ops.push_back(static_cast<Op>(n));
        return true;
    }
    bmp::ReadBytes view() noexcept override { return {{last_.get(), last_.size}, (ops.size() & 1) != 0}; }
    bool seek(uint64_t position) noexcept override {
        pos_ = static_cast<size_t>(position);
        ops.push_back(-1 - static_cast<Op>(position));
        return true;
    }
    bool empty_reads_inert() noexcept override { return inert_; }
    bool reads_unobserved(bool& yes) noexcept override {
        yes = blocks_;
        return true;
    }
    void run(uint64_t, Task task) noexcept override { task(); }

    std::vector<Op> ops;

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool blocks_, inert_;
    Block last_{0};
};

class MemSink final : public bmp::PixelSink {
public:
    bool resize(uint64_t size, uint8_t*& data) noexcept override {
        Block grown(static_cast<size_t>(size));
        std::memcpy(grown.get(), pixels.get(), std::min(pixels.size, grown.size));
        pixels = std::move(grown);
        data = pixels.get();
        return true;
    }
    Block pixels{0};
};

// What read_bmp must do with an input, from the layout alone.
struct Model {
    bmp::Error error = bmp::Error::ok;
    int32_t width = 0, height = 0, xppm = 0, yppm = 0;
    uint32_t used = 0, important = 0;
    uint64_t rows = 0;
    std::vector<Op> ops;
    std::vector<uint8_t> pixels;
};

Model model(const uint8_t* data, size_t size, bool blocks, bool inert) {
    Model m;
    m.ops = {14};
    if (size < 14 || data[0] != 'B' || data[1] != 'M') return m.error = bmp::Error::bad_file_header, m;
    m.ops.push_back(4);
    if (size < 18) return m.error = bmp::Error::short_info_header, m;
    if (le32(data + 14) != 40) return m.error = bmp::Error::bad_info_size, m;
    m.ops.push_back(36);
    if (size < 54) return m.error = bmp::Error::info_length, m;
    const uint8_t* p = data + 18;
    m.width = static_cast<int32_t>(le32(p));
    m.height = static_cast<int32_t>(le32(p + 4));
    m.xppm = static_cast<int32_t>(le32(p + 20));
    m.yppm = static_cast<int32_t>(le32(p + 24));
    m.used = le32(p + 28);
    m.important = le32(p + 32);
    if (le16(p + 8) != 1 || le16(p + 10) != 24 || le32(p + 12) != 0) return m.error = bmp::Error::bad_format, m;
    m.rows = m.height < 0 ? 0 - static_cast<uint64_t>(static_cast<int64_t>(m.height)) : uint64_t(m.height);
    const __int128 total = static_cast<__int128>(m.width) * m.rows * 3;
    if (total < 0) return m.error = bmp::Error::negative_pixels, m;
    if (total > INT64_MAX) return m.error = bmp::Error::pixels_past_index, m;
    const uint64_t offset = le32(data + 10);
    m.ops.push_back(-1 - static_cast<Op>(offset));
    if (total == 0) {
        const uint64_t asks = m.width != 0 ? 0 : (m.rows > 0 && inert ? 1 : m.rows);
        m.ops.insert(m.ops.end(), asks, 0);
        return m;
    }
    const uint64_t stride = (static_cast<uint64_t>(m.width) * 3 + 3) / 4 * 4;
    const uint64_t per_read = blocks && stride < (256u << 10) ? (256u << 10) / stride : 1;
    for (uint64_t row = 0; row < m.rows; row += per_read) {
        const uint64_t want = stride * std::min(per_read, m.rows - row);
        m.ops.push_back(static_cast<Op>(want));
        if (offset + stride * row + want > size) return m.error = bmp::Error::short_pixels, m;
    }
    const uint64_t w = static_cast<uint64_t>(m.width);
    m.pixels.resize(static_cast<size_t>(total));
    for (uint64_t k = 0; k < m.rows; ++k) {
        const uint64_t y = m.height > 0 ? m.rows - 1 - k : k;
        for (uint64_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) m.pixels[(y * w + x) * 3 + c] = data[offset + k * stride + x * 3 + 2 - c];
    }
    return m;
}

void check(const uint8_t* data, size_t size, bool blocks, bool inert, uint64_t upfront) {
    Model want = model(data, size, blocks, true);
    if (!inert && want.rows <= 65536)
        want = model(data, size, blocks, false);  // one empty read per row claimed
    else
        inert = true;
    MemSource source(data, size, blocks, inert);
    MemSink sink;
    const bmp::ReadResult got = bmp::read_bmp(source, sink, upfront);
    FUZZ_CHECK(got.error == want.error);
    FUZZ_CHECK(source.ops == want.ops);
    if (want.error != bmp::Error::ok) return;
    const bmp::Info& i = got.info;
    FUZZ_CHECK(i.width == want.width && i.height == want.height && got.rows == want.rows);
    FUZZ_CHECK(i.xppm == want.xppm && i.yppm == want.yppm && i.clr_used == want.used &&
               i.clr_important == want.important);
    FUZZ_CHECK(sink.pixels.size == want.pixels.size());
    FUZZ_CHECK(want.pixels.empty() || std::memcmp(sink.pixels.get(), want.pixels.data(), want.pixels.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<png::Isa> isas = fuzz::kernel_sets();
    for (png::Isa isa : isas) {
        png::use_isa(isa);
        check(data, size, false, true, bmp::upfront_bytes);
        check(data, size, true, false, 4096);
    }
    png::use_isa(png::best_isa());
    return 0;
}
