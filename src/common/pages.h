// Memory advice for the large buffers the cores fill from end to end.
#pragma once

#include <cstddef>
#include <cstdint>

#include <cstdlib>

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

// A block of memory the caller fills from end to end. A large one (from 8 MiB) is mapped for itself, with huge pages
// asked for (advise_huge_pages), and unmapped when the block goes, so that its cost does not hang on the state the
// heap is in; a smaller one comes from malloc, whose memory a next block reuses.
class PageBlock {
public:
    PageBlock() noexcept = default;
    explicit PageBlock(size_t n) noexcept {
#if defined(__linux__)
        if (n >= (size_t{8} << 20)) {
            void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) return;
            data_ = static_cast<uint8_t*>(p);
            size_ = n;
            mapped_ = true;
            advise_huge_pages(data_, size_);
            return;
        }
#endif
        data_ = static_cast<uint8_t*>(std::malloc(n > 0 ? n : 1));
        size_ = data_ != nullptr ? n : 0;
    }
    ~PageBlock() { reset(); }
    PageBlock(const PageBlock&) = delete;
    PageBlock& operator=(const PageBlock&) = delete;
    PageBlock(PageBlock&& other) noexcept : data_(other.data_), size_(other.size_), mapped_(other.mapped_) {
        other.data_ = nullptr;
        other.size_ = 0;
    }
    PageBlock& operator=(PageBlock&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = other.data_;
            size_ = other.size_;
            mapped_ = other.mapped_;
            other.data_ = nullptr;
            other.size_ = 0;
        }
        return *this;
    }

    uint8_t* get() const noexcept { return data_; }
    explicit operator bool() const noexcept { return data_ != nullptr; }

private:
    void reset() noexcept {
        if (data_ == nullptr) return;
#if defined(__linux__)
        if (mapped_) {
            (void)munmap(data_, size_);
        } else {
            std::free(data_);
        }
#else
        std::free(data_);
#endif
        data_ = nullptr;
        size_ = 0;
        mapped_ = false;
    }

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
};

}  // namespace tavrel
