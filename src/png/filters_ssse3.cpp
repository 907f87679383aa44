// SSSE3 row kernels: those of rows_x86.inc with pshufb for moving bytes and pabsw for Paeth's distances. Compiled
// for SSSE3 through a target pragma that covers only this file's own code (all of it internal), after every header,
// so nothing shared with other files is built for a CPU that may lack it; chosen only when the CPU reports SSSE3.
#include "png/kernels.h"

#if TAVREL_SIMD

#include <cstring>

#include <emmintrin.h>
#include <tmmintrin.h>

#include "png/filters.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("ssse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("ssse3")
#endif

namespace tavrel::png {
namespace {
constexpr bool kSsse3 = true;
#include "png/rows_x86.inc"

const RowKernels kSsse3Kernels = {Isa::ssse3, unfilter_rgb, unfilter_rgba, filter_simd, join_rgba};
}  // namespace
}  // namespace tavrel::png

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace tavrel::png {
const RowKernels* ssse3_kernels() noexcept { return &kSsse3Kernels; }
}  // namespace tavrel::png

#else

namespace tavrel::png {
const RowKernels* ssse3_kernels() noexcept { return nullptr; }
}  // namespace tavrel::png

#endif
