// Overflow-checked sums and products of sizes, in standard C++ so that every compiler builds them alike.
#pragma once

#include <concepts>

namespace tavrel {

// *out = a + b; true when the exact sum does not fit T (and *out is then the wrapped value).
template <std::unsigned_integral T>
constexpr bool add_overflows(T a, T b, T* out) noexcept {
    static_assert(sizeof(T) >= sizeof(unsigned), "narrower types are promoted to int");
    *out = a + b;
    return *out < a;
}

// *out = a * b; true when the exact product does not fit T (and *out is then the wrapped value).
template <std::unsigned_integral T>
constexpr bool mul_overflows(T a, T b, T* out) noexcept {
    static_assert(sizeof(T) >= sizeof(unsigned), "narrower types are promoted to int");
    *out = a * b;
    return a != 0 && *out / a != b;
}

}  // namespace tavrel
