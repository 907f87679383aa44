// libFuzzer harness over the BMP reading path, in the order the extension's reader takes it, from plain C++ calls of
// the codec core: file header, info header size, the info header fields and their checks, the size of the pixel
// buffer in arithmetic that cannot wrap, the seek to the pixel offset, then one read per stored row and the row
// conversion.
//
// Each stored row is copied into a block of exactly width*3 bytes (the least the reader hands the converter), so a
// converter that reads one byte past the pixels is caught even where the row's padding would hide it. The rows are
// placed both ways the reader places them (straight into their final position for small images; in stored order into
// a growing buffer followed by reverse_rows for large ones), here with a small threshold so that both run on small
// inputs, and both results must equal a naive B,G,R -> R,G,B model.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bmp/bmp.h"
#include "common.h"

using namespace tavrel;
using fuzz::Block;

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Stands in for the reader's 64 MiB limit between the two placements.
constexpr uint64_t kUpfrontLimit = 4096;

// A forward reader over the input, like io.BytesIO: a read past the end returns what is left.
struct Stream {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    size_t read(size_t n, const uint8_t** at) {
        const size_t left = pos < size ? size - pos : 0;
        const size_t got = n < left ? n : left;
        *at = data + (pos < size ? pos : size);
        pos += got;
        return got;
    }
};

void decode(const uint8_t* data, size_t size) {
    Stream s{data, size};
    const uint8_t* p;
    if (s.read(14, &p) < 14 || p[0] != 'B' || p[1] != 'M') return;  // "Unsupported BMP header"
    const uint32_t pixel_offset = le32(p + 10);
    if (s.read(4, &p) < 4) return;    // "Corrupted BMP DIB header"
    if (le32(p) != 40) return;        // "Only BITMAPINFOHEADER ..."
    if (s.read(36, &p) < 36) return;  // struct.error
    const int32_t width = static_cast<int32_t>(le32(p));
    const int32_t height = static_cast<int32_t>(le32(p + 4));
    if (le16(p + 8) != 1 || le16(p + 10) != 24 || le32(p + 12) != 0) return;  // "Only uncompressed 24-bit ..."

    const int64_t abs_height = height < 0 ? -static_cast<int64_t>(height) : height;
    const __int128 total = static_cast<__int128>(width) * abs_height * 3;
    if (total < 0) return;          // bytearray's "negative count"
    if (total > INT64_MAX) return;  // OverflowError
    s.pos = pixel_offset;           // seeking past the end is allowed; reads then come back empty
    if (total == 0) return;         // width 0 only asks for empty rows

    const uint64_t rows = static_cast<uint64_t>(abs_height);
    const uint64_t stride = bmp::row_stride(static_cast<uint64_t>(width));
    const uint64_t row_bytes = static_cast<uint64_t>(width) * 3;
    FUZZ_CHECK(stride >= row_bytes && stride - row_bytes < 4 && stride % 4 == 0);
    // Every row must be there before anything is allocated for it: the input is at most a few hundred KiB.
    const bool bottom_up = height > 0;
    std::vector<Block> stored;
    for (uint64_t row = 0; row < rows; ++row) {
        if (s.read(stride, &p) < stride) return;  // "Incomplete BMP pixel data"
        stored.emplace_back(p, row_bytes);
    }

    const size_t n = static_cast<size_t>(total);
    const size_t w = static_cast<size_t>(width);
    // The model: stored row k is image row rows-1-k when bottom-up, k otherwise; each B,G,R becomes R,G,B.
    std::vector<uint8_t> want(n);
    for (uint64_t row = 0; row < rows; ++row) {
        const uint64_t y = bottom_up ? rows - 1 - row : row;
        const uint8_t* src = stored[row].get();
        for (size_t x = 0; x < w; ++x) {
            want[y * row_bytes + 3 * x] = src[3 * x + 2];
            want[y * row_bytes + 3 * x + 1] = src[3 * x + 1];
            want[y * row_bytes + 3 * x + 2] = src[3 * x];
        }
    }

    // Straight placement, with every kernel set this CPU runs.
    if (total <= kUpfrontLimit * 4) {
        static const std::vector<png::Isa> isas = fuzz::kernel_sets();
        for (png::Isa isa : isas) {
            png::use_isa(isa);
            Block direct(n);
            for (uint64_t row = 0; row < rows; ++row) {
                const uint64_t at = (bottom_up ? rows - 1 - row : row) * row_bytes;
                bmp::bgr_row_to_rgb(stored[row].get(), direct.get() + at, w);
            }
            FUZZ_CHECK(std::memcmp(direct.get(), want.data(), n) == 0);
        }
        png::use_isa(png::best_isa());
    }
    // Growing placement in stored order, then the rows reversed.
    if (static_cast<uint64_t>(total) > kUpfrontLimit / 4) {
        std::vector<uint8_t> grown;
        uint64_t filled = 0;
        for (uint64_t row = 0; row < rows; ++row) {
            const uint64_t need = filled + row_bytes;
            if (need > grown.size()) {
                uint64_t grow = grown.size() * 2 > need ? grown.size() * 2 : need;
                if (grow > n) grow = n;
                grown.resize(grow);
                grown.shrink_to_fit();
            }
            Block out(row_bytes);  // exact size, so a store past the row is seen
            bmp::bgr_row_to_rgb(stored[row].get(), out.get(), w);
            std::memcpy(grown.data() + filled, out.get(), row_bytes);
            filled = need;
        }
        FUZZ_CHECK(filled == n && grown.size() == n);
        Block flipped(grown.data(), n);
        if (bottom_up) bmp::reverse_rows(flipped.get(), static_cast<size_t>(row_bytes), static_cast<size_t>(rows));
        FUZZ_CHECK(std::memcmp(flipped.get(), want.data(), n) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    decode(data, size);
    return 0;
}
