// The only road into the game's memory: page probes before every access, accesses that
// turn a fault into false, the guarded camera-state write, and the camera diagnostics
// channel. Called on the render thread and on the game thread that runs the camera detour.
#pragma once

#include "game/game_bridge.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace corvane {

inline constexpr uint64_t kCameraStateRva = 0x5E151F4;

using CameraLogSink = void (*)(const char* message);

// Every byte of [address, address + size) lies in committed readable pages.
[[nodiscard]] bool IsRangeReadable(uintptr_t address, size_t size);
// The page holding `address` is committed and writable.
[[nodiscard]] bool IsAddressWritable(uintptr_t address);
// Copies game memory into `destination`; false when the copy faults.
[[nodiscard]] bool GuardedCopy(void* destination, uintptr_t source, size_t size);
// Calls an argument-less game routine; false for a null address or when it raises.
[[nodiscard]] bool GuardedCall(uintptr_t code);

// Writes the game's native camera state through a temporary protection change. True when
// the value was written, even if the page protection could not be put back (that is logged).
[[nodiscard]] bool WriteCameraState(int32_t value);

[[nodiscard]] bool IsGameForeground();

void CameraLog(const char* message);
void CameraLogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
void SetCameraLogSink(CameraLogSink sink);

// Makes the player's body visible: visibility factor 1.0 and render flag 0x04.
[[nodiscard]] bool ForceBodyVisible(uintptr_t alphaAddress, uintptr_t flagsAddress);
[[nodiscard]] bool RestoreBodyVisibility(uintptr_t alphaAddress, uintptr_t flagsAddress, uint32_t savedAlpha,
                                         uint8_t savedFlags);

// Probe and guarded copy of one plain value at an address.
template <typename T> [[nodiscard]] bool ReadGuarded(uintptr_t address, T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    T copy{};
    if (!IsRangeReadable(address, sizeof(T)) || !GuardedCopy(&copy, address, sizeof(T))) {
        return false;
    }
    value = copy;
    return true;
}

// The same at GameBase + rva, once the image is validated and covers the value.
template <typename T> [[nodiscard]] bool ReadGameValue(uint64_t rva, T& value) {
    uintptr_t address = 0;
    return ResolveGameAddress(rva, sizeof(T), address) && ReadGuarded(address, value);
}

} // namespace corvane
