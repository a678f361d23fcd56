// The Windows side of the game integration: the main module and its file digest, the
// breakpoint handler of the composite detector and the pedestrian detour entry. Installed
// once at process attach (or by a test) before anything asks for validation.
#pragma once

#include "game/game_bridge.h"

#include <windows.h>

#include <cstdint>

namespace corvane {

// Points the game integration at the real process: main module, its file, the handler.
void InstallGameHostWin32();

// SHA-256 of a file through BCrypt, read in 64 KiB sequential chunks; false on any failure.
[[nodiscard]] bool HashFileSha256(const wchar_t* path, uint8_t (&digest)[kSha256Size]);

// The vectored handler that emulates the control-block stores of the game.
LONG CALLBACK CompositeBreakpointHandler(EXCEPTION_POINTERS* info) noexcept;

// Entry of the pedestrian step detour (the address the patched gate jumps to).
uintptr_t PedestrianStepDetourEntry();

} // namespace corvane
