// Which exceptions a guarded access or a guarded call takes as its own fault, to recover from.
#pragma once

#include <cstdint>

namespace corvane {

inline constexpr uint32_t kExceptionStackOverflow = 0xC00000FD;

// Informational codes (debugger output, thread naming) are not faults and pass through. A stack
// overflow has used up the thread's guard page, and recovering does not put it back: taken here,
// the thread's next overflow would find no guard and end the process with no handler told. Left
// to the handlers outside, it ends the way it would without us.
[[nodiscard]] constexpr bool GuardTakesException(uint32_t code) noexcept {
    return (code & 0x80000000u) != 0 && code != kExceptionStackOverflow;
}

} // namespace corvane
