// The allocator fallback's handler, the one detour handler that lives with the detours: it
// runs on the game threads that call the game's allocator.
#pragma once

#include <cstdint>

// Calls the game's untouched allocator routine with the four arguments unchanged and
// returns its result; 0 when the detour has no trampoline.
extern "C" uintptr_t corvane_allocator_fallback(uintptr_t first, uintptr_t second, uintptr_t third,
                                                uintptr_t fourth) noexcept;
