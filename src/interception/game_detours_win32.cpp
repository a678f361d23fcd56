// The three detour installations with their handlers, and the allocator fallback's
// pass-through handler. Installation runs on the thread that creates the device.
#include "interception/game_detours_win32.h"

#include "interception/game_detours.h"

extern "C" uintptr_t corvane_allocator_fallback(uintptr_t first, uintptr_t second, uintptr_t third,
                                                uintptr_t fourth) noexcept {
    using Routine = uintptr_t (*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t);
    const uintptr_t trampoline = corvane::DetourTrampoline(corvane::GameDetour::AllocatorFallback);
    if (trampoline == 0) {
        return 0;
    }
    return reinterpret_cast<Routine>(trampoline)(first, second, third, fourth);
}

namespace corvane {
namespace {

bool InstallWithHandler(GameDetour detour, uintptr_t handler) noexcept {
    DetourDescription description = DescribeDetour(detour);
    description.handler = handler;
    return InstallDetour(description);
}

} // namespace

bool InstallFinalCameraDetour() noexcept {
    return InstallWithHandler(GameDetour::FinalCamera, DetourHandler(GameDetour::FinalCamera));
}

bool InstallProjectionDetour() noexcept {
    return InstallWithHandler(GameDetour::Projection, DetourHandler(GameDetour::Projection));
}

bool InstallAllocatorFallback() noexcept {
    return InstallWithHandler(GameDetour::AllocatorFallback,
                              reinterpret_cast<uintptr_t>(&corvane_allocator_fallback));
}

} // namespace corvane
