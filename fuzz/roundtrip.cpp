// libFuzzer harness over the writing side and its round trips, from plain C++ calls of the codec core. The input is
// read as a small image and a file to write it into: width, height, an alpha flag, a filter byte per row, IDAT part
// lengths, the block size and a failing loan for the block encoder, chunk records, and pixel bytes.
// - encode_scanlines gives the same scanlines with every kernel set the CPU runs, equal to a naive model of the
//   filters; encode_image gives them too, and so does encode_in_blocks over a row source that lends a fresh copy of
//   the buffers for each block and frees it when the loan ends (a read past the loan is an ASan report), stopping at
//   a loan that fails; first_bad_filter finds the first filter byte above 4;
// - reconstruct_image (every kernel set) turns the scanlines back into the pixels, alpha and filter bytes;
// - the scanlines compressed as the host's zlib.compress does and cut with cut_image_data (checked against the rule
//   split_sizes follows) give the file plan_file and put_file build from the chunk records, equal to a model of the
//   layout framed here with zlib's CRC, and the plain file of plan_plain_file and put_plain_file; the parts inflate
//   back with inflate_bounded; one byte less room is too_long, one byte more is wrong_length;
// - the BMP pixel array write_pixel_array builds reads back, row by row with bgr_row_to_rgb, to the same pixels; the
//   file write_bmp makes (in blocks or in one) is the packed headers, which parse back to the fields, and that array.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bmp/header.h"
#include "bmp/rows.h"
#include "bmp/writer.h"
#include "common.h"
#include "png/chunk.h"
#include "png/compress.h"
#include "png/decode.h"
#include "png/encode.h"
#include "png/filters.h"
#include "png/kernels.h"
#include "png/split.h"
#include "png/writer.h"

using namespace tavrel;
using fuzz::Block;

namespace {

// The image rows, each group handed out in a block of its exact size.
class MemRows final : public bmp::RowSource {
public:
    MemRows(const uint8_t* rgb, uint64_t width, uint64_t height) noexcept : rgb_(rgb), width_(width), height_(height) {}
    const uint8_t* rows(uint64_t first, uint64_t count, uint64_t) noexcept override {
        FUZZ_CHECK(first + count <= height_);
        taken_ = Block(rgb_ + first * width_ * 3, static_cast<size_t>(count * width_ * 3));
        return taken_.get();
    }
    void convert(Task task) noexcept override { task(); }

private:
    const uint8_t* rgb_;
    uint64_t width_, height_;
    Block taken_{0};
};

// The file, block after block.
class MemFile final : public bmp::BlockSink {
public:
    uint8_t* block(uint64_t size) noexcept override {
        block_ = Block(static_cast<size_t>(size));
        return block_.get();
    }
    bool put() noexcept override {
        bytes.insert(bytes.end(), block_.get(), block_.get() + block_.size);
        return true;
    }
    std::vector<uint8_t> bytes;

private:
    Block block_{0};
};

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    int64_t i64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
        return static_cast<int64_t>(v);
    }
};

const std::vector<png::Isa>& sets() {
    static const std::vector<png::Isa> s = fuzz::kernel_sets();
    return s;
}

// The IDAT sizes rule, written out: lengths <= 0 skipped, each part min(length, left), the last list entry takes all
// that is left, a remainder after the list is one more part.
std::vector<size_t> model_split(const std::vector<int64_t>& lengths, size_t total) {
    std::vector<size_t> out;
    size_t left = total;
    for (size_t i = 0; i < lengths.size() && left > 0; ++i) {
        if (lengths[i] <= 0) continue;
        size_t take = static_cast<uint64_t>(lengths[i]) < left ? static_cast<size_t>(lengths[i]) : left;
        if (i + 1 == lengths.size()) take = left;
        out.push_back(take);
        left -= take;
    }
    if (left > 0) out.push_back(left);
    return out;
}

// Lends the image's buffers to encode_in_blocks as fresh copies, freed when the loan ends; the loan numbered fail_at
// (from 1; 0 for none) fails.
class CopyingRows final : public png::RowSource {
public:
    CopyingRows(const Block& rgb, const Block* alpha, const Block* filters, unsigned fail_at)
        : rgb_(rgb), alpha_(alpha), filters_(filters), fail_at_(fail_at) {}

    bool lend(png::LentRows& rows) noexcept override {
        FUZZ_CHECK(!rgb_copy_);
        if (++loans == fail_at_) return false;
        rgb_copy_ = std::make_unique<Block>(rgb_.get(), rgb_.size);
        if (alpha_) alpha_copy_ = std::make_unique<Block>(alpha_->get(), alpha_->size);
        if (filters_ && loans == 1) filters_copy_ = std::make_unique<Block>(filters_->get(), filters_->size);
        rows = {rgb_copy_->get(), alpha_copy_ ? alpha_copy_->get() : nullptr,
                filters_copy_ ? filters_copy_->get() : nullptr};
        return true;
    }
    void end_loan() noexcept override {
        FUZZ_CHECK(rgb_copy_);
        rgb_copy_.reset();
        alpha_copy_.reset();
        filters_copy_.reset();
    }
    void run(uint64_t, Task task) noexcept override {
        FUZZ_CHECK(!rgb_copy_);
        task();
    }

    unsigned loans = 0;

private:
    const Block& rgb_;
    const Block* alpha_;
    const Block* filters_;
    unsigned fail_at_;
    std::unique_ptr<Block> rgb_copy_, alpha_copy_, filters_copy_;
};

// The framing of a chunk, written out: length, type, data, zlib's CRC over type and data.
void model_chunk(std::string& out, const std::string& type, const std::string& data) {
    const auto put32 = [&](uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out += static_cast<char>(v >> s);
    };
    put32(static_cast<uint32_t>(data.size()));
    const std::string td = type + data;
    out += td;
    put32(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(td.data()), static_cast<uInt>(td.size()))));
}

std::string str(png::Span s) { return {reinterpret_cast<const char*>(s.data()), s.size()}; }

// The file a writer lays out, written out: the records in order, the IDAT parts (one empty part when there are
// none) at the first IDAT record or else before the first IEND or else at the end, the IHDR made from the image.
std::string model_file(const std::vector<png::KeptChunk>& records, const std::vector<png::Span>& parts, uint32_t width,
                       uint32_t height, bool rgba) {
    std::string out = "\x89PNG\r\n\x1a\n";
    bool placed = false;
    const auto put_parts = [&] {
        if (parts.empty()) model_chunk(out, "IDAT", "");
        for (png::Span p : parts) model_chunk(out, "IDAT", str(p));
        placed = true;
    };
    for (const png::KeptChunk& r : records) {
        if (!placed && (r.role == png::ChunkRole::image_data || r.is_end)) put_parts();
        if (r.role == png::ChunkRole::header) {
            std::string ihdr;
            for (uint32_t v : {width, height})
                for (int s = 24; s >= 0; s -= 8) ihdr += static_cast<char>(v >> s);
            ihdr += std::string{8, static_cast<char>(rgba ? 6 : 2), 0, 0, 0};
            model_chunk(out, "IHDR", ihdr);
        } else if (r.role == png::ChunkRole::kept) {
            model_chunk(out, str(r.type), str(r.data));
        }
    }
    if (!placed) put_parts();
    return out;
}

void roundtrip(const uint8_t* data, size_t size) {
    Input in{data, size};
    const uint32_t width = in.byte() % 67;
    const uint32_t height = in.byte() % 35;
    const bool rgba = in.byte() & 1;
    const size_t bpp = rgba ? 4 : 3;
    std::vector<uint8_t> filters(height);
    for (auto& f : filters) f = in.byte();
    std::vector<int64_t> lengths(in.byte() % 6);
    for (auto& l : lengths) l = in.i64() % 300;
    const uint64_t block_size = 1 + in.byte() % 64 * 8;
    const unsigned fail_at = in.byte() % 8;
    // Chunk records: an IDAT, an IHDR, an IEND, or a chunk of four type bytes and up to 19 data bytes of the input.
    static constexpr uint8_t iend[4] = {'I', 'E', 'N', 'D'};
    std::vector<png::KeptChunk> records(in.byte() % 7);
    for (auto& r : records) {
        switch (in.byte() % 4) {
            case 0: r.role = png::ChunkRole::image_data; break;
            case 1: r.role = png::ChunkRole::header; break;
            case 2: r = {png::ChunkRole::kept, true, png::Span(iend), {}}; break;
            default: {
                const size_t want = 4 + in.byte() % 20;
                const size_t start = std::min(in.pos, size), n = std::min(size - start, want);
                r.type = png::Span(data + start, std::min<size_t>(n, 4));
                r.data = png::Span(data + start + r.type.size(), n - r.type.size());
                in.pos = start + n;
            }
        }
    }
    // Pixels and alpha from the rest of the input, repeated as needed.
    const size_t npixels = size_t{width} * height;
    Block rgb(npixels * 3), alpha(rgba ? npixels : 0);
    const size_t rest = in.pos < size ? size - in.pos : 0;
    for (size_t i = 0; i < rgb.size; ++i) rgb.get()[i] = rest ? data[in.pos + i % rest] : 0;
    for (size_t i = 0; i < alpha.size; ++i) alpha.get()[i] = rest ? data[in.pos + (rgb.size + i) % rest] : 0;

    // Filter bytes above 4 are refused before encoding; the harness folds them into range and goes on.
    size_t bad = height;
    for (size_t y = 0; y < height; ++y)
        if (filters[y] > 4) {
            bad = y;
            break;
        }
    FUZZ_CHECK(png::first_bad_filter(filters.data(), height) == bad);
    FUZZ_CHECK(png::first_bad_filter(nullptr, height) == height);
    for (auto& f : filters) f %= 5;
    const Block filt(filters.data(), filters.size());

    // Naive scanlines.
    const size_t len = size_t{width} * bpp;
    const size_t total = size_t{height} * (len + 1);
    std::vector<uint8_t> want(total), cur(len), prev;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            std::memcpy(&cur[size_t{x} * bpp], rgb.get() + (size_t{y} * width + x) * 3, 3);
            if (rgba) cur[size_t{x} * 4 + 3] = alpha.get()[size_t{y} * width + x];
        }
        uint8_t* dst = want.data() + y * (len + 1);
        dst[0] = filters[y];
        for (size_t i = 0; i < len; ++i) {
            const int a = i >= bpp ? cur[i - bpp] : 0, b = prev.empty() ? 0 : prev[i];
            const int c = !prev.empty() && i >= bpp ? prev[i - bpp] : 0;
            dst[1 + i] = static_cast<uint8_t>(cur[i] - fuzz::naive_predict(filters[y], a, b, c));
        }
        prev = cur;
    }

    for (png::Isa isa : sets()) {
        png::use_isa(isa);
        Block out(total), scratch(2 * len);
        png::encode_scanlines(rgb.get(), rgba ? alpha.get() : nullptr, filt.get(), width, height, out.get(),
                              rgba ? scratch.get() : nullptr);
        FUZZ_CHECK(total == 0 || std::memcmp(out.get(), want.data(), total) == 0);

        Block back_rgb(npixels * 3), back_alpha(rgba ? npixels : 0), back_filters(height);
        const png::ReconstructResult rr = png::reconstruct_image(out.get(), width, height, rgba ? 4 : 3, back_rgb.get(),
                                                                 rgba ? back_alpha.get() : nullptr, back_filters.get());
        FUZZ_CHECK(rr.ok);
        FUZZ_CHECK(npixels == 0 || std::memcmp(back_rgb.get(), rgb.get(), npixels * 3) == 0);
        FUZZ_CHECK(!rgba || npixels == 0 || std::memcmp(back_alpha.get(), alpha.get(), npixels) == 0);
        FUZZ_CHECK(height == 0 || std::memcmp(back_filters.get(), filt.get(), height) == 0);
    }
    png::use_isa(png::best_isa());
    // Without filter bytes every row is written with filter 0.
    {
        Block out(total), scratch(2 * len);
        png::encode_scanlines(rgb.get(), rgba ? alpha.get() : nullptr, nullptr, width, height, out.get(),
                              rgba ? scratch.get() : nullptr);
        for (uint32_t y = 0; y < height; ++y) FUZZ_CHECK(out.get()[y * (len + 1)] == 0);
    }
    {
        Block out(total);
        FUZZ_CHECK(png::encode_image(rgb.get(), rgba ? alpha.get() : nullptr, filt.get(), width, height, out.get()) ==
                   png::Error::ok);
        FUZZ_CHECK(total == 0 || std::memcmp(out.get(), want.data(), total) == 0);
    }
    {
        Block out(total);
        CopyingRows source(rgb, rgba ? &alpha : nullptr, &filt, fail_at);
        const png::Error e = png::encode_in_blocks(source, width, height, rgba, true, out.get(), block_size);
        const uint64_t rows_per_block = width == 0 ? height : std::max<uint64_t>(1, block_size / (width * 3));
        const uint64_t blocks = height == 0 ? 0 : (height + rows_per_block - 1) / rows_per_block;
        if (fail_at != 0 && fail_at <= blocks) {
            FUZZ_CHECK(e == png::Error::caller_failed && source.loans == fail_at);
        } else {
            FUZZ_CHECK(e == png::Error::ok && source.loans == blocks);
            FUZZ_CHECK(total == 0 || std::memcmp(out.get(), want.data(), total) == 0);
        }
    }

    // Compression as the host does it, the IDAT split, the two file layouts and the inflation back.
    uLongf clen = compressBound(total);
    std::vector<uint8_t> z(clen);
    FUZZ_CHECK(compress2(z.data(), &clen, want.data(), total, Z_DEFAULT_COMPRESSION) == Z_OK);
    z.resize(clen);
    {
        // Deflated block by block as it is encoded: the same stream.
        std::vector<uint8_t> pieces(compressBound(total));
        png::HostDeflater sink(pieces);
        CopyingRows source(rgb, rgba ? &alpha : nullptr, &filt, 0);
        FUZZ_CHECK(png::encode_in_blocks(source, width, height, rgba, true, sink, block_size) == png::Error::ok);
        FUZZ_CHECK(sink.written() == z.size() && std::memcmp(pieces.data(), z.data(), z.size()) == 0);
    }
    std::vector<png::Span> cut;
    FUZZ_CHECK(png::cut_image_data(z, lengths, cut) == png::Error::ok);
    std::vector<size_t> sizes;
    png::split_sizes(lengths.data(), lengths.size(), z.size(), sizes);
    FUZZ_CHECK(sizes == model_split(lengths, z.size()) && sizes.size() == cut.size());
    const png::ImageHeader header{width, height, rgba};
    std::vector<Block> parts;
    std::vector<png::Span> spans;
    for (size_t i = 0, off = 0; i < cut.size(); off += sizes[i++]) {
        FUZZ_CHECK(cut[i].data() == z.data() + off && cut[i].size() == sizes[i] && sizes[i] > 0);
        parts.emplace_back(cut[i].data(), cut[i].size());
        spans.push_back({parts.back().get(), parts.back().size});
    }
    {
        const png::FileLayout layout = png::plan_file(records, spans);
        FUZZ_CHECK(layout.error == png::Error::ok);
        Block file(layout.size);
        png::put_file(file.get(), layout, records, spans, header);
        FUZZ_CHECK(str({file.get(), file.size}) == model_file(records, spans, width, height, rgba));
    }
    {
        const png::FileLayout layout = png::plan_plain_file(z);
        FUZZ_CHECK(layout.error == png::Error::ok && layout.size == 57 + z.size());
        Block file(layout.size);
        png::put_plain_file(file.get(), layout, z, header);
        const png::Span whole(z);
        const std::vector<png::KeptChunk> plain = {{png::ChunkRole::header, false, {}, {}},
                                                   {png::ChunkRole::kept, true, png::Span(iend), {}}};
        FUZZ_CHECK(str({file.get(), file.size}) == model_file(plain, {whole}, width, height, rgba));
    }
    {
        Block raw(total);
        FUZZ_CHECK(png::inflate_bounded(spans.data(), spans.size(), raw.get(), total) == png::InflateStatus::ok);
        FUZZ_CHECK(total == 0 || std::memcmp(raw.get(), want.data(), total) == 0);
    }
    if (total > 0) {
        Block small(total - 1);
        FUZZ_CHECK(png::inflate_bounded(spans.data(), spans.size(), small.get(), total - 1) ==
                   png::InflateStatus::too_long);
    }
    {
        Block big(total + 1);
        FUZZ_CHECK(png::inflate_bounded(spans.data(), spans.size(), big.get(), total + 1) ==
                   png::InflateStatus::wrong_length);
    }
    FUZZ_CHECK(png::inflate_discard(spans.data(), spans.size()) == png::InflateStatus::ok);

    // BMP: the written pixel array reads back to the same pixels; the padding is zero.
    const size_t stride = static_cast<size_t>(bmp::row_stride(width));
    Block arr(stride * height);
    bmp::write_pixel_array(rgb.get(), width, height, arr.get());
    if (width > 0) {
        for (uint32_t k = 0; k < height; ++k) {
            const uint8_t* row = arr.get() + size_t{k} * stride;
            for (size_t i = size_t{width} * 3; i < stride; ++i) FUZZ_CHECK(row[i] == 0);
            const Block src(row, size_t{width} * 3);
            Block px(size_t{width} * 3);
            bmp::bgr_row_to_rgb(src.get(), px.get(), width);
            FUZZ_CHECK(std::memcmp(px.get(), rgb.get() + size_t{height - 1 - k} * width * 3, size_t{width} * 3) == 0);
        }
    }
    const bmp::Headers headers = bmp::pack_headers({int32_t(width), int32_t(height), -1, 2835, 0, int64_t{1} << 31});
    FUZZ_CHECK(headers.error == bmp::Error::ok && headers.layout.pixel_array == stride * height);
    uint32_t offset = 0;
    bmp::Info info;
    const std::span<const uint8_t> packed(headers.bytes);
    FUZZ_CHECK(bmp::parse_file_header(packed.first(14), offset) == bmp::Error::ok && offset == 54);
    FUZZ_CHECK(bmp::parse_info_size(packed.subspan(14, 4)) == bmp::Error::ok);
    FUZZ_CHECK(bmp::parse_info(packed.subspan(18), info) == bmp::Error::ok);
    FUZZ_CHECK(info.width == int32_t(width) && info.height == int32_t(height) && info.xppm == -1 && info.yppm == 2835 &&
               info.clr_used == 0 && info.clr_important == uint32_t{1} << 31);
    for (bool in_blocks : {false, true}) {
        MemRows rows(rgb.get(), width, height);
        MemFile file;
        FUZZ_CHECK(bmp::write_bmp(headers, rows, file, in_blocks) == bmp::Error::ok);
        FUZZ_CHECK(file.bytes.size() == 54 + arr.size && std::memcmp(file.bytes.data(), headers.bytes, 54) == 0);
        FUZZ_CHECK(arr.size == 0 || std::memcmp(file.bytes.data() + 54, arr.get(), arr.size) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    roundtrip(data, size);
    return 0;
}
