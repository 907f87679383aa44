// SSE2 row kernels (baseline on x86-64); the kernels themselves are in rows_x86.inc.
#include "png/kernels.h"

#if TAVREL_SIMD

#include <cstring>

#include <emmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>

#include "png/filters.h"

namespace tavrel::png {
namespace {
constexpr bool kSse41 = false;
#include "png/rows_x86.inc"

const RowKernels kSse2 = {Isa::sse2, unfilter_rgb, unfilter_rgba, filter_simd, join_rgba, swap_rb};
}  // namespace

const RowKernels* sse2_kernels() noexcept { return &kSse2; }

}  // namespace tavrel::png

#else

namespace tavrel::png {
const RowKernels* sse2_kernels() noexcept { return nullptr; }
}  // namespace tavrel::png

#endif
