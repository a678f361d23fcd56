// A field written by one thread (the render thread) and read by others (the game threads
// that run the detour and context handlers) while it changes. Each access is a relaxed
// atomic load or store: a reader may see the value of the neighbouring frame, never a torn
// one or a data race, and pays no more than a plain load on x86-64. It converts to and is
// assigned from the plain value, so records keep their field names and callers their code.
#pragma once

#include <atomic>

namespace corvane {

template <typename T> class RelaxedAtomic {
public:
    constexpr RelaxedAtomic() noexcept : value_(T{}) {}
    constexpr RelaxedAtomic(T value) noexcept : value_(value) {}
    RelaxedAtomic(const RelaxedAtomic& other) noexcept : value_(other.load()) {}
    RelaxedAtomic& operator=(const RelaxedAtomic& other) noexcept {
        store(other.load());
        return *this;
    }
    RelaxedAtomic& operator=(T value) noexcept {
        store(value);
        return *this;
    }

    operator T() const noexcept { return load(); }
    [[nodiscard]] T load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void store(T value) noexcept { value_.store(value, std::memory_order_relaxed); }

    // Read, add, store: right for the single thread that writes the field, not a shared
    // read-modify-write.
    RelaxedAtomic& operator+=(T delta) noexcept {
        store(load() + delta);
        return *this;
    }

private:
    static_assert(std::atomic<T>::is_always_lock_free, "readers on game threads must never wait");
    std::atomic<T> value_;
};

} // namespace corvane
