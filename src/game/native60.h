// Adaptive native 60: while verified first person is active, raises the game's own 60 Hz
// request, keeps the limiter from dropping it, confirms the rate from the simulation delta
// and restores native 30 when first person ends. UpdateNative60 runs on the render thread;
// the pedestrian step correction runs on the game thread that moves pedestrians.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

inline constexpr uint64_t kLimiterSignatureRva = 0x24C169;
inline constexpr uint64_t kLimiterStoreRva = 0x24C183;
inline constexpr uint64_t kRequestByteARva = 0xEB04C8;
inline constexpr uint64_t kRequestByteBRva = 0xD87DA6;
inline constexpr uint64_t kRequestByteCRva = 0x1478530;
inline constexpr uint64_t kSimulationDeltaRva = 0xEB0484;
inline constexpr uint64_t kPedestrianGateRva = 0x13FF50;

inline constexpr uint8_t kLimiterSignature[26] = {0x39, 0x3D, 0xC1, 0xC3, 0x22, 0x01, 0xB9, 0x01, 0x00,
                                                  0x00, 0x00, 0x0F, 0x45, 0xCF, 0x40, 0x38, 0x3D, 0x4A,
                                                  0x43, 0xC6, 0x00, 0x74, 0x0A, 0x8D, 0x4F, 0x02};
inline constexpr uint8_t kLimiterStore[7] = {0x40, 0x88, 0x3D, 0x3E, 0x43, 0xC6, 0x00};
inline constexpr uint8_t kPedestrianGate[14] = {0xF3, 0x0F, 0x10, 0xA1, 0xB8, 0x01, 0x00,
                                                0x00, 0x45, 0x33, 0xC0, 0x48, 0x8B, 0xD1};
inline constexpr size_t kNpcTrampolineSize = 26;

// Once per frame, right after the first-person update.
void UpdateNative60();

// Checks the limiter and resolves the timing state; runs once per process.
[[nodiscard]] bool ArmNative60();

// The step a pedestrian should take: scaled by delta x 30 while native 60 is active.
[[nodiscard]] float PedestrianStepScaled(float step) noexcept;

// Used by the detour entry: scales the step in place and returns the trampoline to
// continue in, or 0 when there is none (the detour then returns 0 to the game).
[[nodiscard]] uintptr_t PreparePedestrianStep(float* step) noexcept;

} // namespace corvane
