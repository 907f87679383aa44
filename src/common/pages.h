// Memory advice for the large buffers the cores fill from end to end.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tavrel {

// Asks the kernel to back the 2 MiB-aligned stretches of p[0..n), about to be written from end to end, with huge
// pages: one page fault per 2 MiB instead of one per 4 KiB, which for a buffer of tens of megabytes is a sizeable
// share of the time spent filling it. Advice only: nothing else changes, and where the kernel does not take it (or
// the system is not Linux) nothing happens. Small buffers are left alone, where huge pages would only cost memory.
inline void advise_huge_pages(void* p, size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    if (p == nullptr || n < 4 * kHuge) return;
    const auto start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (start + n) & ~(kHuge - 1);
    if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

}  // namespace tavrel
