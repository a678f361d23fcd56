// What every fuzz target uses to state a property: a failed check prints what broke and aborts,
// which libFuzzer records as a crash together with the input that caused it.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition);          \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

namespace corvane::fuzz {

// Takes bytes from the front of the input; what runs out reads as zero.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    void Take(void* out, size_t count) {
        const size_t available = count < size_ - offset_ ? count : size_ - offset_;
        std::memset(out, 0, count);
        if (available != 0) {
            std::memcpy(out, data_ + offset_, available);
        }
        offset_ += available;
    }
    template <typename T> T Take() {
        T value;
        Take(&value, sizeof value);
        return value;
    }
    const uint8_t* rest() const { return data_ + offset_; }
    size_t remaining() const { return size_ - offset_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

inline bool AllFinite(const float* values, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (!std::isfinite(values[i])) {
            return false;
        }
    }
    return true;
}

} // namespace corvane::fuzz
