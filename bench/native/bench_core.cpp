// Micro-benchmark of the codec cores, without Python: row reconstruction and filtering per filter type and kernel
// set, inflation (zlib against the build's inflater), and the BMP row conversions against memcpy.
// Figures are MB/s of the bytes each step produces, best of several runs; they are for comparing one core against
// another in the same run, not across machines.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

#include "bmp/bmp.h"
#include "png/decode.h"
#include "png/encode.h"
#include "png/kernels.h"

using namespace tavrel;
using Bytes = std::vector<uint8_t>;

namespace {

double g_min_seconds = 0.15;  // per measurement; several measurements per figure

// Best throughput in MB/s of fn, which handles `bytes` bytes per call.
double mbps(size_t bytes, const std::function<void()>& fn) {
    using clock = std::chrono::steady_clock;
    double best = 0;
    for (int run = 0; run < 9; ++run) {
        size_t calls = 0;
        const auto start = clock::now();
        double elapsed = 0;
        do {
            fn();
            ++calls;
            elapsed = std::chrono::duration<double>(clock::now() - start).count();
        } while (elapsed < g_min_seconds / 9);
        const double rate = double(bytes) * double(calls) / elapsed / 1e6;
        if (rate > best) best = rate;
    }
    return best;
}

// Smooth gradients with a little noise, like a photograph; the same bytes on every run.
Bytes photo_like(uint32_t w, uint32_t h, unsigned channels) {
    Bytes px(size_t(w) * h * channels);
    std::mt19937 rng(7);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (unsigned c = 0; c < channels; ++c) {
                const int base =
                    c == 3 ? 255 - int((x + y) * 64 / (w + h)) : int((x * (c + 1) + y * (3 - c)) * 255 / (4 * (w + h)));
                px[(size_t(y) * w + x) * channels + c] = uint8_t(base + int(rng() % 9) - 4);
            }
    return px;
}

void split_planes(const Bytes& px, unsigned channels, Bytes& rgb, Bytes& alpha) {
    const size_t n = px.size() / channels;
    rgb.resize(n * 3);
    alpha.assign(channels == 4 ? n : 0, 0);
    for (size_t i = 0; i < n; ++i) {
        std::memcpy(&rgb[i * 3], &px[i * channels], 3);
        if (channels == 4) alpha[i] = px[i * channels + 3];
    }
}

Bytes zcompress(const Bytes& in) {
    uLongf n = compressBound(in.size());
    Bytes out(n);
    if (compress2(out.data(), &n, in.data(), in.size(), 6) != Z_OK) std::abort();
    out.resize(n);
    return out;
}

std::vector<png::Isa> isas() {
    std::vector<png::Isa> out;
    for (png::Isa isa : {png::Isa::scalar, png::Isa::sse2, png::Isa::sse41})
        if (png::use_isa(isa) == isa) out.push_back(isa);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t w = 2048, h = 1024;
    if (argc > 1) w = h = uint32_t(std::atoi(argv[1]));
    if (argc > 2) g_min_seconds = std::atof(argv[2]);
    const std::vector<png::Isa> sets = isas();
    std::printf("image %ux%u, photo-like; inflater %s; best kernels %s\n", w, h, png::inflate_backend(),
                png::isa_name(png::best_isa()));
    std::printf("MB/s of scanline bytes (reconstruct: raw in; filter: scanlines out)\n\n");

    for (unsigned channels : {3u, 4u}) {
        const Bytes px = photo_like(w, h, channels);
        Bytes rgb, alpha;
        split_planes(px, channels, rgb, alpha);
        const uint8_t* al = channels == 4 ? alpha.data() : nullptr;
        const size_t len = size_t(w) * channels, raw_size = size_t(h) * (len + 1);
        Bytes raw(raw_size), scratch(2 * len), orgb(rgb.size()), oal(alpha.size() + 1), ofl(h);
        std::printf("%s  %-9s", channels == 3 ? "RGB " : "RGBA", "filter");
        for (png::Isa isa : sets) std::printf(" %10s-rec %10s-enc", png::isa_name(isa), png::isa_name(isa));
        std::printf("\n");
        for (int f = 0; f <= 5; ++f) {  // 5: the filters cycling row by row
            Bytes filters(h);
            for (uint32_t y = 0; y < h; ++y) filters[y] = uint8_t(f == 5 ? y % 5 : f);
            static const char* names[] = {"None", "Sub", "Up", "Average", "Paeth", "mixed"};
            std::printf("      %-9s", names[f]);
            png::use_isa(png::Isa::scalar);
            png::encode_scanlines(rgb.data(), al, filters.data(), w, h, raw.data(), scratch.data());
            const Bytes encoded = raw;
            for (png::Isa isa : sets) {
                png::use_isa(isa);
                // RGB rows reconstruct out of place, RGBA rows in place: repeating the call on the same rows costs the
                // same each time (no kernel branches on sample values), so nothing needs restoring between calls.
                Bytes work = encoded;
                const double rec = mbps(raw_size, [&] {
                    png::reconstruct_image(work.data(), w, h, channels, orgb.data(),
                                           channels == 4 ? oal.data() : nullptr, ofl.data());
                });
                work = encoded;
                png::reconstruct_image(work.data(), w, h, channels, orgb.data(), channels == 4 ? oal.data() : nullptr,
                                       ofl.data());
                const bool same =
                    orgb == rgb && (channels == 3 || std::memcmp(oal.data(), alpha.data(), alpha.size()) == 0);
                const double enc = mbps(raw_size, [&] {
                    png::encode_scanlines(rgb.data(), al, filters.data(), w, h, raw.data(), scratch.data());
                });
                std::printf(" %14.0f %14.0f", rec, enc);
                if (!same) std::printf(" (MISMATCH)");
            }
            std::printf("\n");
        }

        // Inflation of the mixed-filter scanlines, compressed at zlib's default level.
        Bytes filters(h);
        for (uint32_t y = 0; y < h; ++y) filters[y] = uint8_t(y % 5);
        png::encode_scanlines(rgb.data(), al, filters.data(), w, h, raw.data(), scratch.data());
        const Bytes z = zcompress(raw);
        Bytes out(raw_size);
        const double zl = mbps(raw_size, [&] {
            uLongf n = raw_size;
            if (uncompress(out.data(), &n, z.data(), z.size()) != Z_OK) std::abort();
        });
        std::vector<png::Span> parts;  // IDAT-sized parts, as a PNG file holds them
        for (size_t off = 0; off < z.size(); off += 65536)
            parts.push_back({z.data() + off, std::min<size_t>(65536, z.size() - off)});
        const double one = mbps(raw_size, [&] {
            png::Span s{z.data(), z.size()};
            if (png::inflate_bounded(&s, 1, out.data(), raw_size) != png::InflateStatus::ok) std::abort();
        });
        const double many = mbps(raw_size, [&] {
            if (png::inflate_bounded(parts.data(), parts.size(), out.data(), raw_size) != png::InflateStatus::ok)
                std::abort();
        });
        const double deflate = mbps(raw_size, [&] { (void)zcompress(raw); });
        std::printf(
            "      inflate (ratio %.2f): zlib uncompress %.0f, inflate_bounded one part %.0f, %zu parts %.0f;"
            " zlib compress level 6 %.0f\n\n",
            double(raw_size) / double(z.size()), zl, one, parts.size(), many, deflate);
    }

    // BMP rows: the B,G,R <-> R,G,B swap and the bottom-up pixel array, against a plain copy of the same bytes.
    {
        const Bytes px = photo_like(w, h, 3);
        const size_t stride = bmp::row_stride(w);
        Bytes stored(stride * h), out(px.size()), copy(px.size());
        const double mc = mbps(px.size(), [&] { std::memcpy(copy.data(), px.data(), px.size()); });
        const double rows = mbps(px.size(), [&] {
            for (uint32_t y = 0; y < h; ++y)
                bmp::bgr_row_to_rgb(px.data() + size_t(y) * w * 3, out.data() + size_t(y) * w * 3, w);
        });
        const double rev = mbps(px.size(), [&] { bmp::reverse_rows(out.data(), size_t(w) * 3, h); });
        const double wpa = mbps(stored.size(), [&] { bmp::write_pixel_array(px.data(), w, h, stored.data()); });
        std::printf("BMP   memcpy %.0f, bgr_row_to_rgb (all rows) %.0f, reverse_rows %.0f, write_pixel_array %.0f\n",
                    mc, rows, rev, wpa);
    }
    return 0;
}
