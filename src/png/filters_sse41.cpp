// SSE4.1 row kernels: those of rows_x86.inc with SSSE3's pshufb for moving bytes and pabsw for Paeth's distances, and
// SSE4.1's pblendvb for Paeth's selection (a quarter faster than and/andnot/or: it sits on the chain from pixel to
// pixel). Compiled for SSE4.1 through a target pragma that covers only this file's own code (all of it internal),
// after every header, so nothing shared with other files is built for a CPU that may lack it; chosen only when the
// CPU reports SSE4.1.
#include "png/kernels.h"

#if TAVREL_SIMD

#include <cstring>

#include <emmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>

#include "png/filters.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse4.1"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse4.1")
#endif

namespace tavrel::png {
namespace {
constexpr bool kSse41 = true;
#include "png/rows_x86.inc"

const RowKernels kSse41Kernels = {Isa::sse41, unfilter_rgb, unfilter_rgba, filter_simd, join_rgba, swap_rb};
}  // namespace
}  // namespace tavrel::png

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace tavrel::png {
const RowKernels* sse41_kernels() noexcept { return &kSse41Kernels; }
}  // namespace tavrel::png

#else

namespace tavrel::png {
const RowKernels* sse41_kernels() noexcept { return nullptr; }
}  // namespace tavrel::png

#endif
