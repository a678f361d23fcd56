// Once-per-process and once-per-eye decisions for log lines written from game threads: the
// flag is taken with one atomic operation, so two racing threads write a line only once.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvane {

// True for the first caller only.
[[nodiscard]] inline bool TakeOnce(std::atomic<bool>& flag) noexcept {
    return !flag.exchange(true);
}

// ORs the eye's bit (1 << eye) into the mask; true when the bit was not set before.
[[nodiscard]] inline bool TakeOnceForEye(std::atomic<uint32_t>& mask, uint32_t eye) noexcept {
    const uint32_t bit = 1u << (eye < 1u ? eye : 1u);
    return (mask.fetch_or(bit) & bit) == 0;
}

// "left" for eye 0, "right" otherwise.
[[nodiscard]] inline const char* EyeName(uint32_t eye) noexcept {
    return eye == 0 ? "left" : "right";
}

} // namespace corvane
