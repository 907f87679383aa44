// Helpers shared by the libFuzzer harnesses: an abort that names the broken property, exact-size heap buffers (so
// that AddressSanitizer sees one byte past the end), the kernel sets this CPU runs, and a naive model of the PNG row
// filters written straight from their definitions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "png/kernels.h"

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", file, line, what);
    std::abort();
}
#define FUZZ_CHECK(cond)                                      \
    do {                                                      \
        if (!(cond)) ::fuzz::fail(#cond, __FILE__, __LINE__); \
    } while (0)

// A heap block of exactly n bytes (one byte for n == 0, never touched): any access past n is an ASan report.
struct Block {
    struct Free {
        void operator()(uint8_t* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<uint8_t, Free> mem;
    size_t size = 0;

    explicit Block(size_t n) : mem(static_cast<uint8_t*>(std::malloc(n ? n : 1))), size(n) {
        if (!mem) std::abort();
    }
    Block(const uint8_t* src, size_t n) : Block(n) {
        if (n) std::memcpy(get(), src, n);
    }
    uint8_t* get() const noexcept { return mem.get(); }
};

// Every kernel set this CPU runs, scalar first.
inline std::vector<tavrel::png::Isa> kernel_sets() {
    using tavrel::png::Isa;
    std::vector<Isa> out;
    for (Isa isa : {Isa::scalar, Isa::sse2, Isa::sse41})
        if (tavrel::png::use_isa(isa) == isa) out.push_back(isa);
    tavrel::png::use_isa(tavrel::png::best_isa());
    return out;
}

inline int naive_paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

inline int naive_predict(unsigned f, int a, int b, int c) {
    switch (f) {
        case 1: return a;
        case 2: return b;
        case 3: return (a + b) / 2;
        case 4: return naive_paeth(a, b, c);
        default: return 0;
    }
}

// Reconstructs one row of len bytes from filt into out; prev is the previous reconstructed row or nullptr (zeros).
inline void naive_unfilter(unsigned f, size_t bpp, const uint8_t* filt, const uint8_t* prev, uint8_t* out, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        const int a = i >= bpp ? out[i - bpp] : 0, b = prev ? prev[i] : 0, c = prev && i >= bpp ? prev[i - bpp] : 0;
        out[i] = static_cast<uint8_t>(filt[i] + naive_predict(f, a, b, c));
    }
}

}  // namespace fuzz
