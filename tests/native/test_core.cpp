// Native checks for the codec cores: filters against a naive byte-wise model, the full scanline/zlib round trip,
// bounded inflation outcomes, IDAT part sizing and the BMP row helpers. Prints each failure; exit status 1 if any.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include <zlib.h>

#include "bmp/header.h"
#include "bmp/rows.h"
#include "png/chunk.h"
#include "png/compress.h"
#include "png/decode.h"
#include "png/encode.h"
#include "png/filters.h"
#include "png/kernels.h"
#include "png/split.h"

using namespace tavrel;
using Bytes = std::vector<uint8_t>;

static int failures = 0;
#define CHECK(cond, ...)                                                 \
    do {                                                                 \
        if (!(cond)) {                                                   \
            ++failures;                                                  \
            std::printf("FAIL %s:%d: %s | ", __FILE__, __LINE__, #cond); \
            std::printf(__VA_ARGS__);                                    \
            std::printf("\n");                                           \
        }                                                                \
    } while (0)

static std::mt19937 rng(12345);
static Bytes random_bytes(size_t n) {
    Bytes b(n);
    for (auto& v : b) v = static_cast<uint8_t>(rng());
    return b;
}

// ---- naive models, written from the filter rules ----
static int naive_paeth(int a, int b, int c) {
    int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}
static int predict(unsigned f, int a, int b, int c) {
    switch (f) {
        case 1: return a;
        case 2: return b;
        case 3: return (a + b) / 2;
        case 4: return naive_paeth(a, b, c);
        default: return 0;
    }
}
// rec: reconstructed row so far; prev: previous reconstructed row (never null here).
static Bytes naive_unfilter(unsigned f, size_t bpp, const Bytes& filt, const Bytes& prev) {
    Bytes r(filt.size());
    for (size_t i = 0; i < r.size(); ++i) {
        int a = i >= bpp ? r[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
        r[i] = static_cast<uint8_t>(filt[i] + predict(f, a, b, c));
    }
    return r;
}
static Bytes naive_filter(unsigned f, size_t bpp, const Bytes& cur, const Bytes& prev) {
    Bytes o(cur.size());
    for (size_t i = 0; i < o.size(); ++i) {
        int a = i >= bpp ? cur[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
        o[i] = static_cast<uint8_t>(cur[i] - predict(f, a, b, c));
    }
    return o;
}

static void test_paeth_and_average() {
    long bad = 0;
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b)
            for (int c = 0; c < 256; ++c)
                if (png::paeth(uint8_t(a), uint8_t(b), uint8_t(c)) != naive_paeth(a, b, c)) ++bad;
    CHECK(bad == 0, "%ld paeth mismatches", bad);
    for (size_t bpp : {1, 3, 4, 5}) {  // a = b = 255 must predict 255, not an 8-bit wrapped sum
        Bytes prev(2 * bpp, 0), row(2 * bpp, 0), out(2 * bpp);
        for (size_t i = 0; i < bpp; ++i) {
            row[i] = 255;
            prev[bpp + i] = 255;
        }
        png::unfilter_row(3, bpp, row.data(), prev.data(), row.size());
        CHECK(row[bpp] == 255, "bpp %zu: average of 255,255 gave %d", bpp, row[bpp]);
        png::filter_row(3, bpp, row.data(), prev.data(), out.data(), out.size());
        CHECK(out[bpp] == 0, "bpp %zu: filtered %d", bpp, out[bpp]);
    }
}

static void test_filter_rows() {
    for (unsigned f = 0; f <= 4; ++f)
        for (size_t bpp : {3, 4, 1, 6})
            for (size_t len : {0, 1, 3, 4, 5, 17, 1000})
                for (bool first : {true, false}) {
                    Bytes cur = random_bytes(len), prev = first ? Bytes(len, 0) : random_bytes(len), out(len);
                    const uint8_t* pp = first ? nullptr : prev.data();
                    png::filter_row(f, bpp, cur.data(), pp, out.data(), len);
                    CHECK(out == naive_filter(f, bpp, cur, prev), "filter_row f%u bpp%zu len%zu first%d", f, bpp, len,
                          first);
                    Bytes model = naive_unfilter(f, bpp, out, prev);
                    CHECK(model == cur, "naive model round trip f%u bpp%zu len%zu", f, bpp, len);
                    Bytes row = out;
                    CHECK(png::unfilter_row(f, bpp, row.data(), pp, len), "rejected f%u", f);
                    CHECK(row == cur, "unfilter_row f%u bpp%zu len%zu first%d", f, bpp, len, first);
                    Bytes noise = random_bytes(len), rec = noise;  // arbitrary filtered input, not only our own output
                    png::unfilter_row(f, bpp, rec.data(), pp, len);
                    CHECK(rec == naive_unfilter(f, bpp, noise, prev), "unfilter noise f%u bpp%zu len%zu", f, bpp, len);
                }
    Bytes row = random_bytes(8), keep = row;
    CHECK(!png::unfilter_row(5, 3, row.data(), nullptr, 8) && row == keep, "filter 5 must be rejected untouched");
    CHECK(!png::unfilter_row(255, 4, row.data(), nullptr, 8) && row == keep, "filter 255 must be rejected untouched");
}

// Every kernel set this CPU runs, scalar first.
static std::vector<png::Isa> isas() {
    std::vector<png::Isa> out;
    for (png::Isa isa : {png::Isa::scalar, png::Isa::sse2, png::Isa::sse41})
        if (png::use_isa(isa) == isa) out.push_back(isa);
    png::use_isa(png::best_isa());
    return out;
}

// Each kernel against the naive model over random rows, every filter, widths 0..70, with and without a previous
// row. Inputs sit at the very end of their allocations and outputs are followed by guard bytes, so overreads show
// up under the sanitizer build and overwrites everywhere.
static void test_row_kernels() {
    const size_t guard = 16;
    for (png::Isa isa : isas()) {
        png::use_isa(isa);
        const png::RowKernels& k = png::row_kernels();
        const char* name = png::isa_name(isa);
        for (size_t w = 0; w <= 70; ++w)
            for (unsigned f = 0; f <= 4; ++f)
                for (bool first : {true, false})
                    for (int rep = 0; rep < 3; ++rep) {
                        const size_t l3 = 3 * w, l4 = 4 * w;
                        Bytes prev3 = first ? Bytes(l3, 0) : random_bytes(l3),
                              prev4 = first ? Bytes(l4, 0) : random_bytes(l4);
                        std::vector<uint8_t> src3 = random_bytes(l3), src4 = random_bytes(l4);
                        // RGB: out of place into a guarded buffer
                        Bytes dst(l3 + guard, 0xEE);
                        k.unfilter_rgb(f, src3.data(), first ? nullptr : prev3.data(), dst.data(), w);
                        Bytes want = naive_unfilter(f, 3, src3, prev3);
                        CHECK(Bytes(dst.begin(), dst.begin() + l3) == want && dst[l3] == 0xEE && dst.back() == 0xEE,
                              "%s unfilter_rgb f%u w%zu first%d", name, f, w, first);
                        // RGBA: in place, then split
                        Bytes row = src4, rgb(l3 + guard, 0xEE), al(w + guard, 0xEE);
                        k.unfilter_rgba(f, row.data(), first ? nullptr : prev4.data(), rgb.data(), al.data(), w);
                        want = naive_unfilter(f, 4, src4, prev4);
                        bool ok = row == want && rgb[l3] == 0xEE && al[w] == 0xEE;
                        for (size_t x = 0; x < w; ++x)
                            ok &= rgb[3 * x] == want[4 * x] && rgb[3 * x + 1] == want[4 * x + 1] &&
                                  rgb[3 * x + 2] == want[4 * x + 2] && al[x] == want[4 * x + 3];
                        CHECK(ok, "%s unfilter_rgba f%u w%zu first%d", name, f, w, first);
                        // filtering, both pixel sizes
                        for (size_t bpp : {3, 4}) {
                            const Bytes& cur = bpp == 3 ? src3 : src4;
                            const Bytes& pv = bpp == 3 ? prev3 : prev4;
                            Bytes out(cur.size() + guard, 0xEE);
                            k.filter(f, bpp, cur.data(), first ? nullptr : pv.data(), out.data(), cur.size());
                            CHECK(Bytes(out.begin(), out.begin() + cur.size()) == naive_filter(f, bpp, cur, pv) &&
                                      out[cur.size()] == 0xEE,
                                  "%s filter f%u bpp%zu w%zu first%d", name, f, bpp, w, first);
                        }
                    }
        for (size_t w = 0; w <= 70; ++w) {
            Bytes rgb = random_bytes(3 * w), al = random_bytes(w), dst(4 * w + guard, 0xEE);
            k.join_rgba(rgb.data(), al.data(), dst.data(), w);
            bool ok = dst[4 * w] == 0xEE;
            for (size_t x = 0; x < w; ++x)
                ok &= dst[4 * x] == rgb[3 * x] && dst[4 * x + 1] == rgb[3 * x + 1] &&
                      dst[4 * x + 2] == rgb[3 * x + 2] && dst[4 * x + 3] == al[x];
            CHECK(ok, "%s join_rgba w%zu", name, w);
        }
    }
    png::use_isa(png::best_isa());
}

// Paeth through the kernels over every (a, b, c) triple: rows whose previous row alternates c and b, so pixel 2m+1
// sees a = m, b, c and pixel 2m+2 sees a = 255-m, c, b. The filter sees the triples directly; reconstruction sees them
// because it must give back the row that the naive filter was fed.
static void test_paeth_kernels_exhaustive() {
    const size_t px = 513, len = 4 * px;
    Bytes cur(len), prev(len), out(len), row(len), rgb(3 * px), al(px);
    for (png::Isa isa : isas()) {
        png::use_isa(isa);
        const png::RowKernels& k = png::row_kernels();
        long bad = 0;
        for (int b = 0; b < 256; ++b)
            for (int cbase = 0; cbase < 256; cbase += 4) {
                for (size_t j = 0; j < px; ++j)
                    for (size_t ch = 0; ch < 4; ++ch) {
                        prev[4 * j + ch] = uint8_t(j % 2 ? b : cbase + ch);
                        cur[4 * j + ch] = uint8_t(j % 2 == 0 ? j / 2 : 255 - j / 2);
                    }
                k.filter(4, 4, cur.data(), prev.data(), out.data(), len);
                Bytes want = naive_filter(4, 4, cur, prev);
                if (out != want) ++bad;
                row = want;
                k.unfilter_rgba(4, row.data(), prev.data(), rgb.data(), al.data(), px);
                if (row != cur) ++bad;
            }
        CHECK(bad == 0, "%s: %ld Paeth rows differ", png::isa_name(isa), bad);
    }
    png::use_isa(png::best_isa());
}

static Bytes zcompress(const Bytes& in, int level = 6) {
    uLongf n = compressBound(in.size());
    Bytes out(n);
    if (compress2(out.data(), &n, in.data(), in.size(), level) != Z_OK) std::abort();
    out.resize(n);
    return out;
}
static png::InflateStatus inflate_whole(const Bytes& z, Bytes& out) {
    png::Span s{z.data(), z.size()};
    return png::inflate_bounded(&s, 1, out.data(), out.size());
}

static void test_png_round_trip() {
    for (png::Isa isa : isas()) {
        png::use_isa(isa);
        for (int ch : {3, 4})
            for (uint32_t w : {0u, 1u, 2u, 7u, 16u, 33u})
                for (uint32_t h : {0u, 1u, 5u})
                    for (bool with_filters : {true, false}) {
                        const size_t bpp = ch, len = w * bpp, n = size_t(w) * h;
                        Bytes rgb = random_bytes(n * 3), alpha = random_bytes(n), filters(h);
                        for (uint32_t y = 0; y < h; ++y) filters[y] = uint8_t((y * 3 + w) % 5);
                        const uint8_t* fl = with_filters ? filters.data() : nullptr;
                        const uint8_t* al = ch == 4 ? alpha.data() : nullptr;
                        CHECK(png::first_bad_filter(fl, h) == h, "valid filters flagged");
                        Bytes raw(h * (1 + len)), scratch(2 * len + 1);
                        png::encode_scanlines(rgb.data(), al, fl, w, h, raw.data(), scratch.data());
                        Bytes prev(len, 0);  // check each encoded row against the naive filter of the unfiltered row
                        for (uint32_t y = 0; y < h; ++y) {
                            Bytes cur(len);
                            for (uint32_t x = 0; x < w; ++x) {
                                std::memcpy(&cur[x * bpp], &rgb[(size_t(y) * w + x) * 3], 3);
                                if (ch == 4) cur[x * bpp + 3] = alpha[size_t(y) * w + x];
                            }
                            unsigned f = with_filters ? filters[y] : 0;
                            const uint8_t* rowp = raw.data() + y * (1 + len);
                            CHECK(rowp[0] == f && Bytes(rowp + 1, rowp + 1 + len) == naive_filter(f, bpp, cur, prev),
                                  "encoded row %u ch%d w%u h%u", y, ch, w, h);
                            prev = cur;
                        }
                        Bytes z = zcompress(raw), back(raw.size() + 1, 0xEE);
                        png::Span s{z.data(), z.size()};
                        CHECK(png::inflate_bounded(&s, 1, back.data(), raw.size()) == png::InflateStatus::ok,
                              "inflate");
                        CHECK(back.back() == 0xEE, "inflate wrote past the end");
                        const Bytes inflated = back;  // RGBA rows are reconstructed in place
                        const size_t g = 8;           // guard bytes after each output
                        Bytes orgb(n * 3 + g, 0xEE), oal(n + g, 0xEE), ofl(h + g, 0xEE);
                        auto res = png::reconstruct_image(back.data(), w, h, ch, orgb.data(),
                                                          ch == 4 ? oal.data() : nullptr, ofl.data());
                        CHECK(res.ok, "reconstruct ch%d w%u h%u", ch, w, h);
                        CHECK(Bytes(orgb.begin(), orgb.begin() + n * 3) == rgb, "rgb ch%d w%u h%u", ch, w, h);
                        if (ch == 4) CHECK(Bytes(oal.begin(), oal.begin() + n) == alpha, "alpha w%u h%u", w, h);
                        for (uint32_t y = 0; y < h; ++y)
                            CHECK(ofl[y] == (with_filters ? filters[y] : 0), "filter byte %u", y);
                        CHECK(orgb[n * 3] == 0xEE && oal[n] == 0xEE && ofl[h] == 0xEE, "output overrun");
                        {
                            // In place: the RGB pixels land over the inflated rows, which end later.
                            Bytes buf = inflated, rows(2 * (1 + len)), ifl(h + g, 0xEE), ial(n + g, 0xEE);
                            auto ip = ch == 3 ? png::reconstruct_rgb_in_place(buf.data(), w, h, ifl.data(), rows.data())
                                              : png::reconstruct_rgba_in_place(buf.data(), w, h, ial.data(), ifl.data(),
                                                                               rows.data());
                            CHECK(ip.ok && Bytes(buf.begin(), buf.begin() + n * 3) == rgb, "in place ch%d w%u h%u", ch,
                                  w, h);
                            if (ch == 4)
                                CHECK(Bytes(ial.begin(), ial.begin() + n) == alpha && ial[n] == 0xEE, "in place alpha");
                            CHECK(Bytes(ifl.begin(), ifl.begin() + h) == Bytes(ofl.begin(), ofl.begin() + h) &&
                                      ifl[h] == 0xEE && buf.back() == 0xEE,
                                  "in place filters / overrun ch%d w%u h%u", ch, w, h);
                        }
                    }
    }
    png::use_isa(png::best_isa());
    Bytes fl = {0, 4, 3, 5, 9};
    CHECK(png::first_bad_filter(fl.data(), 5) == 3, "first_bad_filter");
    CHECK(png::first_bad_filter(nullptr, 7) == 7, "first_bad_filter null");
}

// Lends the buffers as they are; the loan numbered fail_at (from 1; 0 for none) fails.
struct LendingRows final : png::RowSource {
    png::LentRows rows;
    unsigned fail_at = 0, loans = 0;
    bool out = false;
    bool lend(png::LentRows& r) noexcept override {
        if (++loans == fail_at) return false;
        r = rows;
        if (loans > 1) r.filters = nullptr;  // looked at on the first loan only
        out = true;
        return true;
    }
    void end_loan() noexcept override { out = false; }
    void run(uint64_t, Task task) noexcept override {
        if (out) ++failures;  // encoding while a loan is out
        task();
    }
};

// Block by block, each block's first row predicted from the row above it, as the whole image at once; deflated
// block by block, the stream of the whole image deflated in one piece.
static void test_encode_in_blocks() {
    for (bool rgba : {false, true})
        for (uint64_t block : {1u, 5u, 21u, 22u, 100u, 5000u, 1u << 20}) {
            // A small image, and a larger one of a few repeated rows, whose matches cross the blocks.
            const uint32_t w = block == 5000 ? 301 : 7, h = block == 5000 ? 200 : 9;
            Bytes rgb = random_bytes(w * h * 3), alpha = random_bytes(w * h);
            for (size_t i = w * 3 * 4; i < rgb.size(); ++i) rgb[i] = rgb[i % (w * 3 * 4)];
            Bytes filters(h);
            for (uint32_t y = 0; y < h; ++y) filters[y] = uint8_t(y % 5);
            uint64_t size = 0;
            CHECK(png::scanlines_size(w, h, rgba, size) && size == h * (1 + w * (rgba ? 4 : 3)), "size");
            Bytes whole(size), blocks(size);
            const uint8_t* al = rgba ? alpha.data() : nullptr;
            CHECK(png::encode_image(rgb.data(), al, filters.data(), w, h, whole.data()) == png::Error::ok, "whole");
            LendingRows src;
            src.rows = {rgb.data(), al, filters.data()};
            CHECK(png::encode_in_blocks(src, w, h, rgba, true, blocks.data(), block) == png::Error::ok &&
                      blocks == whole && !src.out,
                  "blocks of %llu bytes, rgba %d", static_cast<unsigned long long>(block), rgba);
            Bytes one(png::compress_bound(size)), pieces(one.size());
            const size_t n = png::compress_as_host(whole, one);
            LendingRows again;
            again.rows = src.rows;
            png::HostDeflater sink(pieces);
            CHECK(png::encode_in_blocks(again, w, h, rgba, true, sink, block) == png::Error::ok && n > 0 &&
                      sink.written() == n && std::memcmp(one.data(), pieces.data(), n) == 0,
                  "deflated in blocks of %llu bytes, rgba %d", static_cast<unsigned long long>(block), rgba);
            LendingRows failing;
            failing.rows = src.rows;
            failing.fail_at = 2;
            const png::Error e = png::encode_in_blocks(failing, w, h, rgba, true, blocks.data(), block);
            CHECK(e == (src.loans >= 2 ? png::Error::caller_failed : png::Error::ok), "failing loan");
        }
}

static void test_reconstruct_bad_filter() {
    for (unsigned ch : {3u, 4u})
        for (uint32_t w : {0u, 3u}) {
            const size_t len = w * ch;
            Bytes raw = random_bytes(3 * (1 + len));
            raw[0] = 1;
            raw[1 + len] = 4;
            raw[2 * (1 + len)] = 5;
            Bytes copy = raw;
            Bytes rgb(w * 3 * 3, 0xEE), alpha(w * 3, 0xEE), fl(3, 0xEE);
            auto res =
                png::reconstruct_image(raw.data(), w, 3, ch, rgb.data(), ch == 4 ? alpha.data() : nullptr, fl.data());
            CHECK(!res.ok && res.bad_row == 2 && res.bad_filter == 5, "ch%u w%u: ok%d row%zu f%u", ch, w, res.ok,
                  res.bad_row, res.bad_filter);
            CHECK(fl[0] == 1 && fl[1] == 4, "filters of good rows");
            Bytes r0 = Bytes(copy.begin() + 1, copy.begin() + 1 + len), zero(len, 0);
            r0 = naive_unfilter(1, ch, r0, zero);
            Bytes r1 = naive_unfilter(4, ch, Bytes(copy.begin() + 2 + len, copy.begin() + 2 + 2 * len), r0);
            for (uint32_t x = 0; x < w; ++x)
                for (int k = 0; k < 3; ++k) {
                    CHECK(rgb[x * 3 + k] == r0[x * ch + k] && rgb[(w + x) * 3 + k] == r1[x * ch + k], "good rows rgb");
                }
            if (ch == 4 && w) CHECK(alpha[0] == r0[3] && alpha[w] == r1[3], "good rows alpha");
        }
    for (uint32_t w : {0u, 3u}) {
        const size_t len = w * 3;
        Bytes raw = random_bytes(3 * (1 + len));
        raw[0] = 2;
        raw[1 + len] = 1;
        raw[2 * (1 + len)] = 6;
        Bytes rgb(w * 3 * 3), fl(3, 0xEE), row(1 + len);
        CHECK(png::reconstruct_image(Bytes(raw).data(), w, 3, 3, rgb.data(), nullptr, nullptr).ok == false, "model");
        auto res = png::reconstruct_rgb_in_place(raw.data(), w, 3, fl.data(), row.data());
        CHECK(!res.ok && res.bad_row == 2 && res.bad_filter == 6 && fl[0] == 2 && fl[1] == 1 && fl[2] == 0xEE,
              "in place bad filter w%u", w);
        CHECK(Bytes(raw.begin(), raw.begin() + 2 * len) == Bytes(rgb.begin(), rgb.begin() + 2 * len),
              "in place good rows w%u", w);
    }
    for (uint32_t w : {0u, 3u}) {
        const size_t len = w * 4;
        Bytes raw = random_bytes(3 * (1 + len));
        raw[0] = 4;
        raw[1 + len] = 3;
        raw[2 * (1 + len)] = 9;
        Bytes rgb(w * 3 * 3), alpha(w * 3), al(w * 3), fl(3, 0xEE), rows(2 * (1 + len));
        CHECK(!png::reconstruct_image(Bytes(raw).data(), w, 3, 4, rgb.data(), alpha.data(), nullptr).ok, "model");
        auto res = png::reconstruct_rgba_in_place(raw.data(), w, 3, al.data(), fl.data(), rows.data());
        CHECK(!res.ok && res.bad_row == 2 && res.bad_filter == 9 && fl[0] == 4 && fl[1] == 3 && fl[2] == 0xEE,
              "rgba in place bad filter w%u", w);
        CHECK(Bytes(raw.begin(), raw.begin() + 2 * w * 3) == Bytes(rgb.begin(), rgb.begin() + 2 * w * 3) &&
                  Bytes(al.begin(), al.begin() + 2 * w) == Bytes(alpha.begin(), alpha.begin() + 2 * w),
              "rgba in place good rows w%u", w);
    }
    Bytes raw = {7};
    auto res = png::reconstruct_image(raw.data(), 0, 1, 3, nullptr, nullptr, nullptr);
    CHECK(!res.ok && res.bad_row == 0 && res.bad_filter == 7, "zero-width bad row");
}

static void test_inflate() {
    using S = png::InflateStatus;
    Bytes data = random_bytes(3000);
    for (size_t i = 0; i < 1500; ++i) data[i] = uint8_t(i % 7);  // compressible half
    Bytes z = zcompress(data);
    Bytes out(data.size());
    CHECK(inflate_whole(z, out) == S::ok && out == data, "exact size");
    Bytes shorter(data.size() - 1 + 16, 0xEE);
    png::Span s{z.data(), z.size()};
    CHECK(png::inflate_bounded(&s, 1, shorter.data(), data.size() - 1) == S::too_long, "one byte too long");
    CHECK(shorter[data.size() - 1] == 0xEE, "wrote past expected");
    Bytes longer(data.size() + 1);
    CHECK(inflate_whole(z, longer) == S::wrong_length, "fewer bytes than expected");
    Bytes trailing = z;
    trailing.insert(trailing.end(), {1, 2, 3});
    CHECK(inflate_whole(trailing, out) == S::ok && out == data, "data after the stream is ignored");
    CHECK(png::inflate_bounded(&s, 1, nullptr, 0) == S::too_long, "expected 0 but data present");
    Bytes empty_z = zcompress({}), nothing;
    CHECK(inflate_whole(empty_z, nothing) == S::ok, "empty stream, expected 0");

    Bytes trunc(z.begin(), z.end() - 1), mid(z.begin(), z.begin() + z.size() / 2), bad_sum = z;
    bad_sum.back() ^= 1;
    CHECK(inflate_whole(trunc, out) == S::stream_error, "missing checksum byte");
    CHECK(inflate_whole(mid, out) == S::stream_error, "truncated midway");
    CHECK(inflate_whole(bad_sum, out) == S::stream_error, "bad checksum");
    // The checksum is only reached after the last byte, so a wrong one does not hide a length mismatch found earlier;
    // a stream that ends short is reported broken before its length is.
    png::Span bs_span{bad_sum.data(), bad_sum.size()};
    CHECK(png::inflate_bounded(&bs_span, 1, shorter.data(), data.size() - 1) == S::too_long, "bad checksum, too long");
    CHECK(inflate_whole(bad_sum, longer) == S::stream_error, "bad checksum, fewer bytes than expected");
    Bytes split_bad(bad_sum);  // the same through several parts (the joined-copy path of a one-shot inflater)
    png::Span halves[3] = {{split_bad.data(), 5}, {}, {split_bad.data() + 5, split_bad.size() - 5}};
    CHECK(png::inflate_bounded(halves, 3, out.data(), out.size()) == S::stream_error, "bad checksum in parts");
    png::Span good_halves[2] = {{z.data(), z.size() / 3}, {z.data() + z.size() / 3, z.size() - z.size() / 3}};
    Bytes two(data.size() + 8, 0xEE);
    CHECK(png::inflate_bounded(good_halves, 2, two.data(), data.size()) == S::ok &&
              Bytes(two.begin(), two.begin() + data.size()) == data && two[data.size()] == 0xEE,
          "two parts");
    std::fill(two.begin(), two.end(), 0xEE);
    CHECK(png::inflate_bounded(good_halves, 2, two.data(), data.size() - 1) == S::too_long &&
              two[data.size() - 1] == 0xEE,
          "two parts, too long");
    CHECK(png::inflate_bounded(nullptr, 0, out.data(), out.size()) == S::stream_error, "no parts");
    png::Span none;
    CHECK(png::inflate_bounded(&none, 1, out.data(), out.size()) == S::stream_error, "one empty part");
    Bytes garbage = random_bytes(500);
    garbage[0] = 0xFF;
    CHECK(inflate_whole(garbage, out) == S::stream_error, "garbage");

    Bytes small(700);
    for (size_t i = 0; i < small.size(); ++i) small[i] = uint8_t(i * i % 251);
    Bytes zs = zcompress(small, 9);
    for (size_t k = 0; k <= zs.size(); ++k) {  // every cut point, with empty parts around it
        png::Span parts[5] = {{}, {zs.data(), k}, {zs.data(), 0}, {zs.data() + k, zs.size() - k}, {}};
        Bytes o(small.size());
        CHECK(png::inflate_bounded(parts, 5, o.data(), o.size()) == S::ok && o == small, "cut at %zu", k);
        if (k < zs.size()) {  // dropping the tail part must be reported as a broken stream
            CHECK(png::inflate_bounded(parts, 2, o.data(), o.size()) == S::stream_error, "tail dropped at %zu", k);
        }
    }
    std::vector<png::Span> bytewise;
    for (size_t i = 0; i < zs.size(); ++i) {
        bytewise.push_back({zs.data() + i, 1});
        if (i % 3 == 0) bytewise.push_back({});
    }
    Bytes o(small.size());
    CHECK(png::inflate_bounded(bytewise.data(), bytewise.size(), o.data(), o.size()) == S::ok && o == small,
          "1-byte parts");

    // A stream of 1 GiB of zeros: must stop as soon as the small output is full.
    z_stream d{};
    deflateInit(&d, 1);
    Bytes zeros(1 << 20, 0), bomb;
    Bytes buf(1 << 16);
    for (int i = 0; i < 1024; ++i) {
        d.next_in = zeros.data();
        d.avail_in = uInt(zeros.size());
        int flush = i == 1023 ? Z_FINISH : Z_NO_FLUSH;
        do {
            d.next_out = buf.data();
            d.avail_out = uInt(buf.size());
            deflate(&d, flush);
            bomb.insert(bomb.end(), buf.data(), buf.data() + (buf.size() - d.avail_out));
        } while (d.avail_out == 0);
    }
    deflateEnd(&d);
    Bytes target(4096 + 64, 0xEE);
    png::Span bs{bomb.data(), bomb.size()};
    S st = png::inflate_bounded(&bs, 1, target.data(), 4096);
    CHECK(st == S::too_long, "bomb status %d", int(st));
    bool guard_ok = true;
    for (size_t i = 4096; i < target.size(); ++i) guard_ok &= target[i] == 0xEE;
    CHECK(guard_ok, "bomb wrote past expected");
}

// Deflate bits, least significant first; Huffman codes are written most significant bit first.
struct BitWriter {
    Bytes bytes;
    uint32_t acc = 0;
    int n = 0;
    void put(uint32_t v, int k) {
        for (int i = 0; i < k; ++i) {
            acc |= ((v >> i) & 1u) << n;
            if (++n == 8) {
                bytes.push_back(uint8_t(acc));
                acc = 0;
                n = 0;
            }
        }
    }
    void code(uint32_t c, int len) {
        for (int i = len - 1; i >= 0; --i) put((c >> i) & 1u, 1);
    }
    void fixed_litlen(int sym) {
        if (sym < 144)
            code(0x30 + sym, 8);
        else if (sym < 256)
            code(0x190 + sym - 144, 9);
        else if (sym < 280)
            code(sym - 256, 7);
        else
            code(0xC0 + sym - 280, 8);
    }
    // The zlib stream: header, these deflate bits, and the Adler-32 of `content`.
    Bytes zlib(const Bytes& content) {
        if (n) {
            bytes.push_back(uint8_t(acc));
            acc = 0;
            n = 0;
        }
        Bytes z(2 + bytes.size());
        z[0] = 0x78;
        z[1] = 0x9C;
        std::copy(bytes.begin(), bytes.end(), z.begin() + 2);
        const uint32_t a = adler32(1, content.data(), uInt(content.size()));
        for (int i = 3; i >= 0; --i) z.push_back(uint8_t(a >> (8 * i)));
        return z;
    }
};

// Streams that break the deflate format in ways zlib refuses. The zlib inflater must call them broken, whatever
// their checksum says. A faster inflater may decode some of them (give the fixed code's symbols 286 and 287 a meaning,
// take up to 288/32 code lengths); there the check is only that nothing is written past the output.
static void test_inflate_format_violations() {
    std::vector<std::pair<const char*, std::pair<Bytes, Bytes>>> cases;
    {  // fixed code: three literals, then the reserved length symbol 286
        BitWriter w;
        w.put(1, 1);
        w.put(1, 2);
        for (int i = 0; i < 3; ++i) w.fixed_litlen('A');
        w.fixed_litlen(286);
        w.code(0, 5);
        w.fixed_litlen(256);
        Bytes content(3 + 258, 'A');
        cases.push_back({"length symbol 286", {w.zlib(content), content}});
    }
    {  // fixed code: a match with the reserved distance symbol 30
        BitWriter w;
        w.put(1, 1);
        w.put(1, 2);
        for (int i = 0; i < 3; ++i) w.fixed_litlen('A');
        w.fixed_litlen(257);
        w.code(30, 5);
        w.put(0, 13);
        w.fixed_litlen(256);
        Bytes content(6, 'A');
        cases.push_back({"distance symbol 30", {w.zlib(content), content}});
    }
    {  // dynamic block declaring 32 distance codes (at most 30 exist)
        BitWriter w;
        w.put(1, 1);
        w.put(2, 2);
        w.put(0, 5);
        w.put(31, 5);
        w.put(15, 4);
        int plen[19] = {0};
        plen[0] = 2;
        plen[1] = 2;
        plen[18] = 1;  // code-length code: 18 -> 0, 0 -> 10, 1 -> 11
        const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        for (int i = 0; i < 19; ++i) w.put(plen[order[i]], 3);
        auto pre = [&](int sym) {
            if (sym == 18)
                w.code(0, 1);
            else
                w.code(sym == 0 ? 2 : 3, 2);
        };
        pre(18);
        w.put(65 - 11, 7);
        pre(1);  // 'A' gets length 1
        pre(18);
        w.put(138 - 11, 7);
        pre(18);
        w.put(52 - 11, 7);  // up to 255: zero
        pre(1);
        pre(1);
        pre(1);  // end of block, distance codes 0 and 1
        pre(18);
        w.put(30 - 11, 7);
        w.code(0, 1);
        w.code(0, 1);
        w.code(1, 1);  // 'A', 'A', end of block
        Bytes content(2, 'A');
        cases.push_back({"32 distance codes", {w.zlib(content), content}});
    }
    const bool strict = std::strcmp(png::inflate_backend(), "zlib") == 0;
    for (auto& [name, zc] : cases) {
        auto& [z, content] = zc;
        Bytes out(content.size() + 16, 0xEE);
        png::Span sp{z.data(), z.size()};
        const png::InflateStatus st = png::inflate_bounded(&sp, 1, out.data(), content.size());
        if (strict) CHECK(st == png::InflateStatus::stream_error, "%s: status %d", name, int(st));
        CHECK(out[content.size()] == 0xEE, "%s: wrote past the output", name);
    }
}

// zlib's own verdict on a whole stream, the model of inflate_bounded's status: any byte past `expected` makes it too
// long (zlib works front to back, so that is seen before any later fault), else the stream must end cleanly.
static png::InflateStatus zlib_verdict(const Bytes& z, size_t expected) {
    z_stream s{};
    inflateInit(&s);
    Bytes out(expected + 1);
    s.next_in = const_cast<uint8_t*>(z.data());
    s.avail_in = uInt(z.size());
    s.next_out = out.data();
    s.avail_out = uInt(out.size());
    const int rc = inflate(&s, Z_FINISH);
    const size_t produced = out.size() - s.avail_out;
    inflateEnd(&s);
    if (produced > expected) return png::InflateStatus::too_long;
    if (rc == Z_STREAM_END) return produced == expected ? png::InflateStatus::ok : png::InflateStatus::wrong_length;
    return png::InflateStatus::stream_error;
}

// Randomly damaged streams (bit flips, overwritten bytes, truncation) of stored, fixed and dynamic blocks, inflated
// with the exact size and sizes around it. With zlib the status must always be zlib's verdict. ISA-L may accept a
// few damaged streams that zlib refuses but whose checksum still matches (such as more than 286/30 codes or codes
// zlib reserves); that is the only difference allowed.
static void test_inflate_damaged_streams() {
    std::mt19937 r(99);
    const bool strict = std::strcmp(png::inflate_backend(), "zlib") == 0;
    long cases = 0, lenient = 0, wrong = 0;
    for (int base = 0; base < 24; ++base) {
        Bytes data(50 + r() % 3000);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = base % 3 == 0 ? uint8_t(r()) : base % 3 == 1 ? uint8_t(i % 13) : uint8_t((i * i) >> 3);
        const Bytes z = zcompress(data, base % 10);
        for (int m = 0; m < 800; ++m) {
            Bytes y = z;
            for (unsigned k = 0, n = 1 + r() % 3; k < n; ++k) {
                const size_t p = r() % y.size();
                switch (r() % 3) {
                    case 0: y[p] ^= uint8_t(1u << (r() % 8)); break;
                    case 1: y[p] = uint8_t(r()); break;
                    default: y.resize(p + 1); break;
                }
            }
            for (long d : {0L, -1L, 1L, -7L}) {
                const size_t expected = data.size() + d;
                Bytes out(expected + 8, 0xEE);
                png::Span sp{y.data(), y.size()};
                const png::InflateStatus got = png::inflate_bounded(&sp, 1, out.data(), expected);
                const png::InflateStatus want = zlib_verdict(y, expected);
                ++cases;
                if (out[expected] != 0xEE) ++wrong;
                if (got == want) continue;
                if (!strict && got == png::InflateStatus::ok && want == png::InflateStatus::stream_error &&
                    Bytes(out.begin(), out.begin() + expected) == data) {
                    ++lenient;
                } else {
                    ++wrong;
                    if (wrong < 4)
                        std::printf("base %d mutation %d size %+ld: status %d, zlib %d\n", base, m, d, int(got),
                                    int(want));
                }
            }
        }
    }
    CHECK(wrong == 0, "%ld of %ld damaged streams differ from zlib's verdict (%ld accepted by the fast inflater only)",
          wrong, cases, lenient);
}

static void test_split() {
    struct Case {
        std::vector<int64_t> in;
        std::vector<size_t> want;
    };
    const Case cases[] = {
        {{30, 30, 30}, {30, 30, 40}},
        {{30, 30, 50}, {30, 30, 40}},
        {{100}, {100}},
        {{150}, {100}},
        {{200, 200}, {100}},
        {{}, {100}},
        {{30, 0}, {30, 70}},
        {{10, 0, 10}, {10, 90}},
        {{40, 40, 0, 0}, {40, 40, 20}},
        {{0, 0}, {100}},
        {{-1, 50}, {100}},
    };
    for (const auto& c : cases) {
        std::vector<size_t> got;
        png::split_sizes(c.in.data(), c.in.size(), 100, got);
        CHECK(got == c.want, "split case of %zu lengths gave %zu parts", c.in.size(), got.size());
    }
    std::vector<size_t> got = {7};  // appends, and total 0 adds nothing
    int64_t l[] = {5};
    png::split_sizes(l, 1, 0, got);
    CHECK(got == std::vector<size_t>{7}, "total 0");
}

static void test_bmp() {
    const uint64_t strides[] = {0, 4, 8, 12, 12, 16};
    for (uint64_t w = 0; w < 6; ++w) CHECK(bmp::row_stride(w) == strides[w], "stride %llu", (unsigned long long)w);
    CHECK(bmp::row_stride(uint64_t{1} << 33) == (uint64_t{3} << 33), "64-bit stride");
    for (png::Isa isa : isas()) {
        png::use_isa(isa);
        for (size_t w = 0; w < 70; ++w) {  // covers the multi-pixel steps and every tail length
            // The source ends its allocation, so an overread shows under the sanitizer build.
            const Bytes src_block = random_bytes(w * 3);
            std::unique_ptr<uint8_t[]> src(new uint8_t[w * 3]);
            std::copy(src_block.begin(), src_block.end(), src.get());
            Bytes dst(w * 3 + 4, 0xEE);
            bmp::bgr_row_to_rgb(src.get(), dst.data(), w);
            bool ok = dst[w * 3] == 0xEE;
            for (size_t x = 0; x < w; ++x)
                ok &= dst[3 * x] == src[3 * x + 2] && dst[3 * x + 1] == src[3 * x + 1] && dst[3 * x + 2] == src[3 * x];
            CHECK(ok, "bgr_row_to_rgb %s width %zu", png::isa_name(isa), w);
        }
    }
    png::use_isa(png::best_isa());
    for (size_t rows : {0, 1, 4, 5}) {
        Bytes b(rows * 3);
        for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i);
        bmp::reverse_rows(b.data(), 3, rows);
        bool ok = true;
        for (size_t r = 0; r < rows; ++r)
            for (size_t k = 0; k < 3; ++k) ok &= b[r * 3 + k] == uint8_t((rows - 1 - r) * 3 + k);
        CHECK(ok, "reverse_rows %zu", rows);
    }
    Bytes rgb2 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, out2(16, 0xEE);
    bmp::write_pixel_array(rgb2.data(), 2, 2, out2.data());
    CHECK(out2 == Bytes({9, 8, 7, 12, 11, 10, 0, 0, 3, 2, 1, 6, 5, 4, 0, 0}), "2x2 pixel array");
    Bytes rgb5(15), out5(17, 0xEE);
    for (size_t i = 0; i < 15; ++i) rgb5[i] = uint8_t(i + 1);
    bmp::write_pixel_array(rgb5.data(), 5, 1, out5.data());
    CHECK(out5 == Bytes({3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10, 15, 14, 13, 0, 0xEE}), "5x1 pixel array");
    for (uint32_t w : {6u, 13u, 30u, 33u, 49u}) {  // wide enough for the multi-pixel paths; pads must still be zero
        const uint32_t h = 3;
        const size_t st = bmp::row_stride(w);
        Bytes rgb = random_bytes(w * h * 3), out(st * h + 1, 0xEE), want(st * h + 1, 0);
        want.back() = 0xEE;
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                for (int k = 0; k < 3; ++k) want[(h - 1 - y) * st + x * 3 + k] = rgb[(y * w + x) * 3 + 2 - k];
        bmp::write_pixel_array(rgb.data(), w, h, out.data());
        CHECK(out == want, "%ux%u pixel array", w, h);
    }
}

static void test_bmp_headers() {
    // Packed headers parse back to the fields (xppm and yppm through their 32-bit pattern); every field refuses one
    // past either end of its range.
    const bmp::Headers h = bmp::pack_headers({5, 2, -1, INT32_MIN, UINT32_MAX, 7});
    const bmp::Layout& l = h.layout;
    CHECK(h.error == bmp::Error::ok && l.stride == 16 && l.pixel_array == 32 && l.image_bytes == 30, "5x2 layout");
    uint32_t offset = 0;
    bmp::Info info;
    const std::span<const uint8_t> bytes(h.bytes);
    CHECK(bmp::parse_file_header(bytes.first(14), offset) == bmp::Error::ok && offset == 54 && h.bytes[2] == 86,
          "file header");
    CHECK(bmp::parse_info_size(bytes.subspan(14, 4)) == bmp::Error::ok, "info size");
    CHECK(bmp::parse_info(bytes.subspan(18), info) == bmp::Error::ok && info.width == 5 && info.height == 2 &&
              info.xppm == -1 && info.yppm == INT32_MIN && info.clr_used == UINT32_MAX && info.clr_important == 7,
          "info header");
    const int64_t below = INT32_MIN - int64_t{1}, above = int64_t{1} << 32;
    const bmp::Fields bad[] = {{-1, 1, 0, 0, 0, 0},       {5, -1, 0, 0, 0, 0}, {1, 1, below, 0, 0, 0},
                               {1, 1, 0, above, 0, 0},    {1, 1, 0, 0, -1, 0}, {1, 1, 0, 0, 0, above},
                               {INT32_MAX, 2, 0, 0, 0, 0}};  // a file size past 32 bits
    for (const bmp::Fields& f : bad) CHECK(bmp::pack_headers(f).error == bmp::Error::field_range, "range %d", f.width);
}

static void test_crc32() {
    // Against zlib's own crc32 (the ISA-L build takes ISA-L's), over lengths around its vector widths, in
    // one call and continued from a partial value.
    Bytes data = random_bytes(5000);
    for (size_t n : {0, 1, 3, 15, 16, 17, 63, 64, 65, 255, 256, 1000, 4099, 5000})
        for (size_t cut : {size_t{0}, n / 3, n}) {
            const uLong want = ::crc32(0L, data.data(), uInt(n));
            CHECK(png::crc32(data.data() + cut, n - cut, png::crc32(data.data(), cut)) == want, "crc32 n%zu cut%zu", n,
                  cut);
        }
    CHECK(png::crc32(nullptr, 0, 0x12345678u) == 0x12345678u, "crc32 of nothing keeps the value");
    Bytes chunk(12 + 5, 0);
    png::put_chunk(chunk.data(), reinterpret_cast<const uint8_t*>("tEXt"), 4, data.data(), 5);
    const uLong crc = ::crc32(::crc32(0L, reinterpret_cast<const Bytef*>("tEXt"), 4), data.data(), 5);
    CHECK(chunk[13] == uint8_t(crc >> 24) && chunk[16] == uint8_t(crc), "put_chunk CRC");
}

int main() {
    std::printf("inflater %s, kernels:", png::inflate_backend());
    for (png::Isa isa : isas()) std::printf(" %s", png::isa_name(isa));
    std::printf("\n");
    test_paeth_and_average();
    test_filter_rows();
    test_row_kernels();
    test_paeth_kernels_exhaustive();
    test_png_round_trip();
    test_encode_in_blocks();
    test_reconstruct_bad_filter();
    test_crc32();
    test_inflate();
    test_inflate_format_violations();
    test_inflate_damaged_streams();
    test_split();
    test_bmp();
    test_bmp_headers();
    if (failures) {
        std::printf("%d failure(s)\n", failures);
        return 1;
    }
    std::printf("all native core checks passed\n");
    return 0;
}
