// A computation a codec core hands to its caller to run (the caller may let other work run beside a long one).
#pragma once

namespace tavrel {

// Refers to a callable, which it does not own.
class Task {
public:
    template <class F>
    explicit Task(F& f) noexcept : object_(&f), call_([](void* object) noexcept { (*static_cast<F*>(object))(); }) {}
    void operator()() const noexcept { call_(object_); }

private:
    void* object_;
    void (*call_)(void*) noexcept;
};

}  // namespace tavrel
