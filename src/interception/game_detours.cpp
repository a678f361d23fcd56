#include "interception/game_detours.h"

#include <atomic>

namespace corvane {
namespace {

struct DetourPublication {
    std::atomic<uintptr_t> trampoline{0};
    std::atomic<uintptr_t> expectedReturn{0};
};

DetourPublication g_detours[kGameDetourCount];

DetourPublication* Find(GameDetour detour) noexcept {
    const auto index = static_cast<uint32_t>(detour);
    return index < kGameDetourCount ? &g_detours[index] : nullptr;
}

} // namespace

uintptr_t DetourTrampoline(GameDetour detour) noexcept {
    const DetourPublication* publication = Find(detour);
    return publication != nullptr ? publication->trampoline.load(std::memory_order_acquire) : 0;
}

uintptr_t DetourExpectedReturn(GameDetour detour) noexcept {
    const DetourPublication* publication = Find(detour);
    return publication != nullptr ? publication->expectedReturn.load(std::memory_order_acquire) : 0;
}

void PublishDetour(GameDetour detour, uintptr_t trampoline, uintptr_t expectedReturn) noexcept {
    DetourPublication* publication = Find(detour);
    if (publication == nullptr) {
        return;
    }
    // The return address first: a handler that sees the trampoline also sees its call site.
    publication->expectedReturn.store(expectedReturn, std::memory_order_release);
    publication->trampoline.store(trampoline, std::memory_order_release);
}

} // namespace corvane
