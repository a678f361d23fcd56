// Proves, once per process, that the host executable is one of the supported builds
// before any fixed game address is used. The first caller (startup on the render thread or
// the device-creation hook) runs the check; later callers wait for it and read the result.
#pragma once

#include "platform/code_patch.h"

#include "game/game_bridge.h"

#include <cstdint>
#include <span>

namespace corvane {

inline constexpr uint32_t kSupportedTimeDateStamp = 0x5BE4DE30;
inline constexpr uint32_t kSupportedSizeOfImage = 0x0A01B000;
// The highest fields the game integration reads; the image must cover them.
inline constexpr uint32_t kHighestDwordFieldRva = 0x5E151F4;
inline constexpr uint32_t kHighestQwordFieldRva = 0x9F50EB8;

struct AcceptedExecutableDigest {
    uint8_t sha256[kSha256Size];
    bool wideAspect; // the 16:9 build rather than the original 4:3 build
};

// The file digests of the supported builds, in the order they are compared.
std::span<const AcceptedExecutableDigest> AcceptedExecutableDigests();

// Runs the validation on first demand and reports whether the executable is supported. When
// this call runs the validation and the executable is supported, the companion's sites are
// written under the same stop of the game's threads as the breakpoints.
[[nodiscard]] bool IsExecutableValidated(const CodeSiteCompanion* companion = nullptr);

// The validation run itself: fills the GameBridge header fields and logs one outcome.
void ValidateExecutable(const CodeSiteCompanion* companion = nullptr);

// Hashes the main executable's file; true when it matches a supported build, and
// `matchedWide` tells which.
[[nodiscard]] bool ComputeExecutableDigestMatch(bool& matchedWide);

} // namespace corvane
