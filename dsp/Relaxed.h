// A value that one thread writes while another reads it. Every access is
// atomic, so a reader sees either the old or the new value, never a mixture,
// and the compiler may neither tear nor cache it. Plain reads and writes are
// relaxed, which compiles to the same single load or store a plain member
// takes; load and store take another order where one is needed.
#pragma once

#include <atomic>

template <typename T>
class Relaxed {
public:
    constexpr Relaxed(T v = T{}) noexcept : value(v) {}
    // A copy reads the other value once.
    Relaxed(const Relaxed& other) noexcept : value(other.load()) {}
    Relaxed& operator=(const Relaxed& other) noexcept {
        store(other.load());
        return *this;
    }

    operator T() const noexcept { return value.load(std::memory_order_relaxed); }
    // Answers the value stored, so assignments chain as they do for T.
    T operator=(T v) noexcept {
        value.store(v, std::memory_order_relaxed);
        return v;
    }

    T load(std::memory_order order = std::memory_order_relaxed) const noexcept {
        return value.load(order);
    }
    void store(T v, std::memory_order order = std::memory_order_relaxed) noexcept {
        value.store(v, order);
    }

private:
    static_assert(std::atomic<T>::is_always_lock_free, "never a lock on the audio path");
    std::atomic<T> value;
};
