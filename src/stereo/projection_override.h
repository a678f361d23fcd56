// The handler of the game's common-frustum projection function: at the gameplay camera's call
// site it replaces the game's field of view and aspect by the symmetric frustum that covers
// both of the headset's eyes, widened by a guard band. Runs on the game thread that builds the
// camera; the frame driver consumes the flag it sets.
#pragma once

#include <cstdint>

namespace corvane {

// The game routine's signature: the vertical field of view in 1/65536 of a turn, width over
// height, and two floating-point values passed on. The two are taken as double, the wider of
// the possible widths, so either width reaches the routine bit for bit.
using ProjectionRoutine = void (*)(uint32_t angle, float aspect, double arg3, double arg4);

// Guard band around the headset's common frustum, used as the float 1.05 everywhere.
inline constexpr float kRenderGuardFactor = 1.05f;

// The detour jumps here in place of the game routine.
void OnGameplayProjection(uint32_t angle, float aspect, double arg3, double arg4) noexcept;

// Everything the handler does, for a call that returns to `returnAddress`. The game routine
// (the detour's trampoline) is called exactly once whenever a trampoline is published.
void HandleGameplayProjection(uintptr_t returnAddress, uint32_t angle, float aspect, double arg3,
                              double arg4) noexcept;

// The replacement for the game's angle and aspect.
struct RenderFrustum {
    uint32_t angle = 0; // 1..32767
    float aspect = 0.0f;
    double verticalFov = 0.0; // radians, before rounding
    double tanX = 0.0;
    double tanY = 0.0;
};

// The render frustum for the headset's common tangents and the render guard scale; false
// when it is degenerate (not finite, not positive, or a field of view of half a turn or more).
[[nodiscard]] bool ComputeRenderFrustum(float commonTanX, float commonTanY, float fovScale,
                                        RenderFrustum& frustum) noexcept;

// Forgets that the once-per-process line was written (test programs).
void ResetProjectionOverrideOnceLine() noexcept;

} // namespace corvane
