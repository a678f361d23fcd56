// The record of game-integration state shared by validation, first person, native 60 and
// the composite detector, and the seam through which the platform glue supplies the host
// executable. Written on the render thread and inside the validation run; the detours and
// the breakpoint handler read it on game threads (the fields they share are atomic).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace corvane {

inline constexpr size_t kSha256Size = 32;

// What the platform supplies about the process the program runs in. Every entry may be
// absent; an absent entry counts as a failure of that step.
struct GameHostSeam {
    // Load address of the process's main module, 0 when unknown.
    uintptr_t (*mainModuleBase)() = nullptr;
    // SHA-256 of the main module's file on disk; false when it could not be hashed.
    bool (*hashMainExecutable)(uint8_t (&digest)[kSha256Size]) = nullptr;
    // Registers the composite breakpoint handler first in the chain; false on failure.
    bool (*addBreakpointHandler)() = nullptr;
    void (*removeBreakpointHandler)() = nullptr;
    // Entry of the pedestrian step detour that the gate jump targets, 0 when unavailable.
    uintptr_t (*pedestrianDetourEntry)() = nullptr;
};

struct GameBridge {
    // Executable validation.
    std::once_flag validationOnce;
    bool ExecutableValidated = false;
    bool WideAspectVariant = false;
    uintptr_t GameBase = 0;
    uint32_t GameTimeDateStamp = 0;
    uint32_t GameSizeOfImage = 0;
    bool DetectorInstalled = false;

    // First person.
    std::atomic<bool> FirstPersonActive{false};
    std::atomic<bool> GameplayCameraSeen{false};
    bool GameplayVerified = false;
    std::atomic<uint32_t> UpdateBusy{0};
    bool IntentInitialised = false;
    bool FirstPersonIntent = false;
    bool ResumeBlocked = false;
    uint32_t RetryGuardFrames = 0;
    bool StableTracking = false;
    uint64_t StableObject = 0;
    uint32_t StableFrameCount = 0;
    int32_t WaitReason = -1;
    bool OwnsState17 = false;
    int32_t SavedCameraState = 0;
    uint64_t EntryPlayerObject = 0;
    uint64_t EntryActiveActor = 0;
    bool CameraSeenSinceEntry = false;
    bool MaintenanceLogged = false;
    bool BodyOverridden = false;
    uint64_t BodyActor = 0;
    uint32_t SavedBodyAlpha = 0;
    uint8_t SavedBodyFlags = 0;
    std::atomic<bool> BodyVisibleLogged{false};

    // Native 60 and NPC correction.
    bool Native60ArmAttempted = false;
    bool Native60Armed = false;
    uintptr_t LimiterSite = 0;
    uintptr_t RequestByteA = 0;
    uintptr_t RequestByteB = 0;
    uintptr_t RequestByteC = 0;
    uintptr_t SimulationDelta = 0;
    bool LimiterPatched = false;
    bool LimiterFailureReported = false;
    bool LimiterRejected = false; // a patch failed its verification: native 60 stays off
    bool Native60Engaged = false;
    std::atomic<bool> Native60Active{false};
    bool FallbackPending = false;
    uint32_t FallbackAttempts = 0;
    bool Native60Confirmed = false;
    uint32_t SlowDeltaFrames = 0;
    bool NpcArmAttempted = false;
    bool NpcArmed = false;
    std::atomic<uintptr_t> NpcTrampoline{0};

    // Composite transition detector: written by the breakpoint handler on game threads.
    std::atomic<uint32_t> PendingHandoffFlags{0};
    std::atomic<uint32_t> HandoffKind{0};
    std::atomic<uint64_t> HandoffWriterRva{0};
    std::atomic<uint32_t> HandoffValue{0};
    bool DetectorHandlerRegistered = false;
};

GameBridge& GetGameBridge();

void SetGameHostSeam(const GameHostSeam& seam);
const GameHostSeam& GetGameHostSeam();

// Puts the whole record back to its start-of-process state (tests; the seam is kept).
void ResetGameBridge();

// The address GameBase + rva when the executable is validated and its image covers
// `width` bytes there without overflow; false otherwise.
[[nodiscard]] bool ResolveGameAddress(uint64_t rva, uint64_t width, uintptr_t& address);

} // namespace corvane
