// The three inline detours on game code (final camera, common-frustum projection, allocator
// fallback): what an installed detour publishes for its handler. Installation runs on the
// thread that creates the device; the handlers read the publication on game threads.
#pragma once

#include <cstdint>

namespace corvane {

enum class GameDetour : uint32_t {
    FinalCamera = 0,
    Projection = 1,
    AllocatorFallback = 2,
};

inline constexpr uint32_t kGameDetourCount = 3;

// The trampoline of an installed detour (calling it runs the game's routine unchanged);
// 0 while the detour is not installed.
[[nodiscard]] uintptr_t DetourTrampoline(GameDetour detour) noexcept;

// The absolute return address of the one call site the handler serves; 0 while not
// installed and always 0 for the allocator fallback.
[[nodiscard]] uintptr_t DetourExpectedReturn(GameDetour detour) noexcept;

// Publishes (or, with zeros, withdraws) what a handler needs. Installation calls it before
// the site is written; tests call it to stand in for an installed detour.
void PublishDetour(GameDetour detour, uintptr_t trampoline, uintptr_t expectedReturn) noexcept;

} // namespace corvane
