#include "game/first_person.h"

#include "core/settings.h"
#include "game/composite_detector.h"
#include "game/executable_validation.h"
#include "game/game_bridge.h"
#include "game/guarded_memory.h"
#include "game/player_body.h"
#include "platform/memory.h"

#include <cstdio>

namespace corvane {
namespace {

constexpr size_t kRoutineProbeSize = 32;

enum WaitCode : int32_t {
    kWaitNone = 0,
    kWaitPlayerObject = 1,
    kWaitGameplayCamera = 2,
    kWaitCameraState = 3,
    kWaitActiveActor = 4,
    kWaitForeground = 5,
    kWaitRetryGuard = 6,
    kWaitEngineState = 8,
    kWaitControlBlockReadable = 11,
    kWaitControlBlockOpen = 12,
};

struct FrameSample {
    bool cameraSeen = false;
    bool playerOk = false;
    uint64_t player = 0;
    bool actorOk = false;
    uint64_t actor = 0;
    bool bodyGate = false;
    bool stateOk = false;
    uint32_t state = 0;
    bool wasActive = false;
    bool controlOk = false;
    uint32_t control = 0;
    uint32_t pending = 0;
};

enum class LeaveReason {
    PlayerChanged,
    ActorChanged,
    StateUnreadable,
    CameraAbsent,
    EngineState,
    MaintenanceFailed,
};

// Which restores each way out performs; a body restore here needs the camera seen this frame.
struct LeaveRule {
    bool cameraRestore;
    bool bodyRestore;
};

LeaveRule RuleFor(LeaveReason reason) {
    switch (reason) {
    case LeaveReason::ActorChanged:
    case LeaveReason::CameraAbsent:
        return {true, false};
    case LeaveReason::StateUnreadable:
    case LeaveReason::EngineState:
    case LeaveReason::MaintenanceFailed:
        return {false, true};
    case LeaveReason::PlayerChanged:
        break;
    }
    return {false, false};
}

// Releases the re-entrancy latch on every way out of UpdateFirstPerson.
class UpdateLatch {
public:
    UpdateLatch() : acquired_(GetGameBridge().UpdateBusy.exchange(1) == 0) {}
    ~UpdateLatch() {
        if (acquired_) {
            GetGameBridge().UpdateBusy.store(0);
        }
    }
    UpdateLatch(const UpdateLatch&) = delete;
    UpdateLatch& operator=(const UpdateLatch&) = delete;
    [[nodiscard]] bool Acquired() const { return acquired_; }

private:
    bool acquired_;
};

bool ReadCameraState(uint32_t& state) {
    return ReadGameValue(kCameraStateRva, state);
}

FrameSample TakeFrameSample(bool cameraSeen) {
    GameBridge& bridge = GetGameBridge();
    FrameSample sample;
    sample.cameraSeen = cameraSeen;
    sample.playerOk = ReadPlayerObject(sample.player);
    if (!sample.playerOk) {
        sample.player = 0;
    } else {
        sample.actorOk = ReadActiveActor(sample.player, sample.actor);
    }
    bridge.GameplayVerified = cameraSeen && sample.playerOk;
    sample.bodyGate = !GetSettings().ShowPlayerBody || sample.actorOk;
    sample.stateOk = ReadCameraState(sample.state);
    sample.wasActive = bridge.FirstPersonActive.load();
    sample.controlOk = ReadGameValue(kControlBlockRva, sample.control);
    sample.pending = bridge.PendingHandoffFlags.exchange(0);
    return sample;
}

void ResetRun() {
    GameBridge& bridge = GetGameBridge();
    bridge.StableTracking = false;
    bridge.StableObject = 0;
    bridge.StableFrameCount = 0;
}

// Extends the run of qualifying frames for this player object; true when a new run began.
bool CountQualifyingFrame(uint64_t player) {
    GameBridge& bridge = GetGameBridge();
    if (bridge.StableTracking && bridge.StableObject == player) {
        if (bridge.StableFrameCount != UINT32_MAX) {
            ++bridge.StableFrameCount;
        }
        return false;
    }
    bridge.StableTracking = true;
    bridge.StableObject = player;
    bridge.StableFrameCount = 1;
    return true;
}

void SetWaitReason(int32_t code, uint32_t state) {
    GameBridge& bridge = GetGameBridge();
    if (bridge.WaitReason == code) {
        return;
    }
    bridge.WaitReason = code;
    switch (code) {
    case kWaitRetryGuard:
        CameraLog("Automatic first person is in its post-transition retry guard.");
        break;
    case kWaitControlBlockReadable:
        CameraLog("Automatic first person is waiting for Corvane's native control block to become readable.");
        break;
    case kWaitControlBlockOpen:
        CameraLog("Automatic first person is waiting for Corvane's native control block to reopen.");
        break;
    case kWaitPlayerObject:
        CameraLog("Automatic first person is waiting for Tesh's gameplay object.");
        break;
    case kWaitGameplayCamera:
        CameraLog("Automatic first person is waiting for the verified gameplay camera.");
        break;
    case kWaitCameraState:
        CameraLog("Automatic first person is waiting for a readable native camera state.");
        break;
    case kWaitActiveActor:
        CameraLog("Automatic first person is waiting for Tesh's active actor because ShowPlayerBody=1.");
        break;
    case kWaitEngineState:
        CameraLogFormat("Automatic first person rejected engine-owned camera state %d; waiting for sustained "
                        "native gameplay state 0.",
                        static_cast<int>(state));
        break;
    case kWaitForeground:
        CameraLog("Automatic first person is waiting for Corvane to be the foreground window.");
        break;
    default:
        break;
    }
}

// The first entry condition that fails, in the order the wait reasons are reported.
int32_t FirstFailingEntryCondition(const FrameSample& sample) {
    if (!sample.controlOk) {
        return kWaitControlBlockReadable;
    }
    if (sample.control != 0) {
        return kWaitControlBlockOpen;
    }
    if (!sample.playerOk) {
        return kWaitPlayerObject;
    }
    if (!sample.cameraSeen) {
        return kWaitGameplayCamera;
    }
    if (!sample.stateOk) {
        return kWaitCameraState;
    }
    if (!sample.bodyGate) {
        return kWaitActiveActor;
    }
    if (sample.state != 0) {
        return kWaitEngineState;
    }
    if (!IsGameForeground()) {
        return kWaitForeground;
    }
    return kWaitNone;
}

void ClearEntryFields() {
    GameBridge& bridge = GetGameBridge();
    bridge.OwnsState17 = false;
    bridge.SavedCameraState = 0;
    bridge.EntryPlayerObject = 0;
    bridge.EntryActiveActor = 0;
    bridge.MaintenanceLogged = false;
    bridge.CameraSeenSinceEntry = false;
    bridge.BodyVisibleLogged.store(false);
    ResetRun();
    bridge.WaitReason = -1;
}

bool SamePlayer(uint64_t player) {
    return player != 0 && player == GetGameBridge().EntryPlayerObject;
}

bool SameActor(bool samePlayer, bool actorOk, uint64_t actor) {
    const GameBridge& bridge = GetGameBridge();
    return samePlayer && actorOk && bridge.EntryActiveActor != 0 && actor == bridge.EntryActiveActor;
}

void BlockResumeUnlessAutomatic() {
    if (!GetSettings().AutoResumeFirstPerson) {
        GameBridge& bridge = GetGameBridge();
        bridge.FirstPersonIntent = false;
        bridge.ResumeBlocked = true;
    }
}

bool LeaveFirstPerson(const FrameSample& sample, LeaveReason reason, const char* reasonText) {
    GameBridge& bridge = GetGameBridge();
    if (!bridge.FirstPersonActive.exchange(false)) {
        return false;
    }
    const LeaveRule rule = RuleFor(reason);
    const bool samePlayer = SamePlayer(sample.player);
    const bool sameActor = SameActor(samePlayer, sample.actorOk, sample.actor);
    if (rule.cameraRestore && sample.stateOk && sample.state == kFirstPersonCameraState && samePlayer &&
        bridge.OwnsState17) {
        if (WriteCameraState(bridge.SavedCameraState)) {
            MarkCameraStateRestored();
        } else {
            CameraLog("Could not restore the saved native camera state while leaving first person.");
        }
    }
    if (rule.bodyRestore && sample.cameraSeen) {
        RestoreBodyVisibilityOnExit(sameActor, sample.actor);
    } else {
        ForgetBodyOverride();
    }
    ClearEntryFields();
    bridge.RetryGuardFrames = GetSettings().FirstPersonRetryFrames;
    BlockResumeUnlessAutomatic();
    CameraLogFormat("First person suspended: %s", reasonText);
    return true;
}

bool RunFlatMode(const FrameSample& sample) {
    GameBridge& bridge = GetGameBridge();
    const Settings& settings = GetSettings();
    if (!sample.wasActive) {
        if (bridge.RetryGuardFrames > 0) {
            --bridge.RetryGuardFrames;
            ResetRun();
            return false;
        }
        const bool qualifies = bridge.FirstPersonIntent && !bridge.ResumeBlocked && bridge.GameplayVerified &&
                               sample.stateOk && sample.state == 0 && IsGameForeground() &&
                               sample.controlOk && sample.control == 0 && sample.pending == 0;
        if (!qualifies) {
            ResetRun();
            return false;
        }
        CountQualifyingFrame(sample.player);
        if (bridge.StableFrameCount < settings.FirstPersonStableFrames) {
            return false;
        }
        bridge.CameraSeenSinceEntry = sample.cameraSeen;
        bridge.EntryPlayerObject = sample.player;
        bridge.EntryActiveActor = 0;
        ResetRun();
        bridge.FirstPersonActive.store(true);
        return true;
    }

    const bool holds = sample.pending == 0 && sample.playerOk && sample.player == bridge.EntryPlayerObject &&
                       sample.stateOk && sample.state == 0 && sample.controlOk && sample.control == 0 &&
                       (sample.cameraSeen || !bridge.CameraSeenSinceEntry);
    if (holds) {
        if (sample.cameraSeen) {
            bridge.CameraSeenSinceEntry = true;
        }
        return false;
    }
    if (!bridge.FirstPersonActive.exchange(false)) {
        return false;
    }
    ForgetBodyOverride();
    ClearEntryFields();
    bridge.RetryGuardFrames = settings.FirstPersonRetryFrames;
    return true;
}

bool RunAutomaticEntry(const FrameSample& sample) {
    GameBridge& bridge = GetGameBridge();
    const Settings& settings = GetSettings();
    if (bridge.RetryGuardFrames > 0) {
        ResetRun();
        --bridge.RetryGuardFrames;
        SetWaitReason(kWaitRetryGuard, sample.state);
        return false;
    }
    if (!bridge.FirstPersonIntent || bridge.ResumeBlocked) {
        ResetRun();
        return false;
    }
    const int32_t failing = FirstFailingEntryCondition(sample);
    if (failing != kWaitNone) {
        ResetRun();
        SetWaitReason(failing, sample.state);
        return false;
    }
    bridge.WaitReason = kWaitNone;
    if (CountQualifyingFrame(sample.player)) {
        CameraLogFormat(
            "Stable gameplay detected; automatic first person is preparing from native camera state %d.", 0);
    }
    if (bridge.StableFrameCount < settings.FirstPersonStableFrames) {
        return false;
    }
    const bool written = WriteCameraState(kFirstPersonCameraState);
    ResetRun();
    if (!written) {
        bridge.RetryGuardFrames = settings.FirstPersonRetryFrames;
        CameraLog("Automatic first-person entry failed to write camera state 17.");
        return false;
    }
    bridge.SavedCameraState = 0;
    bridge.OwnsState17 = true;
    bridge.EntryPlayerObject = sample.player;
    bridge.EntryActiveActor = sample.actorOk ? sample.actor : 0;
    bridge.CameraSeenSinceEntry = sample.cameraSeen;
    ForgetBodyOverride();
    bridge.MaintenanceLogged = false;
    bridge.WaitReason = -1;
    bridge.FirstPersonActive.store(true);
    CameraLogFormat("First person enabled automatically after %u consecutive native gameplay-state-0 frames.",
                    unsigned{settings.FirstPersonStableFrames});
    return true;
}

bool RunKeepAlive(const FrameSample& sample) {
    GameBridge& bridge = GetGameBridge();
    if (!sample.playerOk || sample.player != bridge.EntryPlayerObject) {
        return LeaveFirstPerson(sample, LeaveReason::PlayerChanged,
                                "Tesh's player object disappeared or changed");
    }
    if (GetSettings().ShowPlayerBody && (!sample.actorOk || sample.actor != bridge.EntryActiveActor)) {
        return LeaveFirstPerson(sample, LeaveReason::ActorChanged,
                                "Tesh is no longer the verified active actor");
    }
    if (!sample.stateOk) {
        return LeaveFirstPerson(sample, LeaveReason::StateUnreadable, "camera state became unreadable");
    }
    if (sample.cameraSeen) {
        bridge.CameraSeenSinceEntry = true;
    } else if (bridge.CameraSeenSinceEntry) {
        return LeaveFirstPerson(sample, LeaveReason::CameraAbsent,
                                "final gameplay camera was absent (menu/load)");
    }
    if (sample.state == static_cast<uint32_t>(kFirstPersonCameraState)) {
        return false;
    }
    if (sample.state != 0) {
        char reason[128];
        std::snprintf(reason, sizeof(reason), "Corvane selected engine-owned camera state %d",
                      static_cast<int>(sample.state));
        return LeaveFirstPerson(sample, LeaveReason::EngineState, reason);
    }
    if (!WriteCameraState(kFirstPersonCameraState)) {
        return LeaveFirstPerson(sample, LeaveReason::MaintenanceFailed, "state-17 maintenance write failed");
    }
    if (!bridge.MaintenanceLogged) {
        bridge.MaintenanceLogged = true;
        CameraLog("v0.8 state-17 maintenance active for native gameplay state 0.");
    }
    return false;
}

bool RunHeadsetMode(const FrameSample& sample) {
    GameBridge& bridge = GetGameBridge();
    if (sample.pending != 0 && sample.wasActive &&
        ProcessCompositeHandoff(bridge.HandoffKind.load(), bridge.HandoffWriterRva.load(),
                                bridge.HandoffValue.load())) {
        return true;
    }
    if (!bridge.FirstPersonActive.load()) {
        return RunAutomaticEntry(sample);
    }
    return RunKeepAlive(sample);
}

} // namespace

bool UpdateFirstPerson(bool cameraSeen) {
    const UpdateLatch latch;
    if (!latch.Acquired()) {
        return false;
    }
    const bool validated = IsExecutableValidated();
    GameBridge& bridge = GetGameBridge();
    if (!bridge.IntentInitialised) {
        bridge.IntentInitialised = true;
        bridge.FirstPersonIntent = GetSettings().FirstPersonDefault;
        CameraLog(bridge.FirstPersonIntent
                      ? "First-person default intent enabled; waiting for stable gameplay."
                      : "First-person default intent disabled.");
    }
    if (!validated) {
        return false;
    }
    const FrameSample sample = TakeFrameSample(cameraSeen);
    return GetSettings().Enabled ? RunHeadsetMode(sample) : RunFlatMode(sample);
}

bool IsFirstPersonActive() {
    return GetGameBridge().FirstPersonActive.load();
}

void NoteGameplayCameraSeen() {
    GetGameBridge().GameplayCameraSeen.store(true);
}

bool TakeGameplayCameraSeen() {
    return GetGameBridge().GameplayCameraSeen.exchange(false);
}

void ClearGameplayCameraSeen() {
    GetGameBridge().GameplayCameraSeen.store(false);
}

bool ProcessCompositeHandoff(uint32_t kind, uint64_t writerRva, uint32_t newValue) {
    GameBridge& bridge = GetGameBridge();
    if (!bridge.FirstPersonActive.exchange(false)) {
        return false;
    }
    uint32_t state = 0;
    const bool stateOk = ReadCameraState(state);
    uint64_t player = 0;
    const bool playerOk = ReadPlayerObject(player);
    uint64_t actor = 0;
    const bool actorOk = playerOk && ReadActiveActor(player, actor);
    const bool samePlayer = SamePlayer(playerOk ? player : 0);
    const bool sameActor = SameActor(samePlayer, actorOk, actor);

    bool cleanup = false;
    bool restored = false;
    if (stateOk && state == static_cast<uint32_t>(kFirstPersonCameraState) && samePlayer &&
        bridge.OwnsState17) {
        if (sameActor) {
            cleanup = RunNativeState17Cleanup();
        }
        restored = WriteCameraState(bridge.SavedCameraState);
        if (restored) {
            MarkCameraStateRestored();
        }
    }
    RestoreBodyVisibilityOnExit(sameActor, actor);
    ClearEntryFields();
    bridge.RetryGuardFrames = 0;
    BlockResumeUnlessAutomatic();
    CameraLogFormat(
        "NATIVE COMPOSITE HANDOFF: C6066C 0->%u + C64DC4=%u writer=+0x%08llX; state-17 cleanup=%s "
        "camera restore=%s.",
        newValue, kind, static_cast<unsigned long long>(writerRva), cleanup ? "yes" : "no",
        restored ? "yes" : "no");
    return true;
}

bool RunNativeState17Cleanup() {
    uintptr_t routine = 0;
    if (!ResolveGameAddress(kState17CleanupRva, kRoutineProbeSize, routine) ||
        !IsRangeReadable(routine, kRoutineProbeSize)) {
        return false;
    }
    if (!GuardedCall(routine)) {
        CameraLog("Native state-17 cleanup raised an exception; guarded restore used.");
        return false;
    }
    return true;
}

void MarkCameraStateRestored() {
    uintptr_t word = 0;
    if (!ResolveGameAddress(kCameraControlWordRva, sizeof(uint32_t), word) || word % 4 != 0 ||
        !IsAddressWritable(word) || !IsAddressWritable(word + 3)) {
        return;
    }
    (void)MemoryGuardedOr32(word, 1);
}

} // namespace corvane
