// Stretches of pure computation run with the interpreter lock released, so that other threads run beside them.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tavrel {

// Work on at least this many bytes is done with the lock released; below it the release and re-acquisition would
// cost more than they give.
inline constexpr std::uint64_t off_lock_bytes = std::uint64_t{64} * 1024;

// Releases the lock for its lifetime when `release` is set. Inside, no Python object is touched and no C API
// called, and no export of a caller's object is held (only exports of exact bytes objects, which nobody can change).
class Unlocked {
public:
    explicit Unlocked(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    Unlocked(Unlocked&&) = delete;
    Unlocked& operator=(Unlocked&&) = delete;
    ~Unlocked() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }

private:
    PyThreadState* state_;
};

// f() with the lock released when `release` is set (see Unlocked).
template <class F>
auto without_lock(bool release, F&& f) noexcept {
    Unlocked unlocked(release);
    return f();
}

}  // namespace tavrel
