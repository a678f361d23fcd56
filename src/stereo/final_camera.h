// The handler of the game's final gameplay camera function: it works on copies of the eye
// and target the game passes, pushes the camera forward in first person, applies direct head
// look, moves the camera sideways by the current eye's offset while stereo is active, and
// hands the copies to the untouched game routine. Runs on whatever game thread computes the
// camera; the render thread's frame driver consumes what it reports.
#pragma once

#include <cstdint>

namespace corvane {

// The game routine's signature (eye and target: three floats each, then a value passed on).
using FinalCameraRoutine = void (*)(float* eye, float* target, uint32_t arg3);

// The detour jumps here in place of the game routine; it recognises its call site by its
// own return address.
void OnFinalGameplayCamera(float* eye, float* target, uint32_t arg3) noexcept;

// Everything the handler does, for a call that returns to `returnAddress`. The game routine
// (the detour's trampoline) is called exactly once whenever a trampoline is published.
void HandleFinalGameplayCamera(uintptr_t returnAddress, float* eye, float* target, uint32_t arg3) noexcept;

// Forgets that the once-per-process lines were written (test programs).
void ResetFinalCameraOnceLines() noexcept;

} // namespace corvane
