#include "game/native60.h"

#include "core/settings.h"
#include "platform/code_patch.h"
#include "game/composite_detector.h"
#include "game/executable_validation.h"
#include "game/first_person.h"
#include "game/game_bridge.h"
#include "game/guarded_memory.h"
#include "platform/memory.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <span>

namespace corvane {
namespace {

constexpr uint8_t kLimiterNops[7] = {0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90};
constexpr float kFastDeltaMin = 0.01f;
constexpr float kFastDeltaMax = 0.022f;
constexpr float kSlowDeltaMin = 0.025f;
constexpr float kSlowDeltaMax = 0.05f;
constexpr uint32_t kSlowFramesBeforePulse = 30;
constexpr float kStepFactorPerSecond = 30.0f;
constexpr size_t kGateJumpSize = 14;
// Instruction starts inside the gate (movss, xor, mov) and inside its jump (mov rax, jmp rax).
constexpr size_t kGateSecondInstruction = 8;
constexpr size_t kGateThirdInstruction = 11;
constexpr size_t kGateJumpInstruction = 10;

void ReportLimiterFailureOnce(const char* message) {
    GameBridge& bridge = GetGameBridge();
    if (!bridge.LimiterFailureReported) {
        bridge.LimiterFailureReported = true;
        CameraLog(message);
    }
}

void WriteRequestByte(uintptr_t address, uint8_t value) {
    uint8_t previous = 0;
    if (address != 0) {
        (void)MemoryGuardedExchange8(address, value, previous);
    }
}

void DropRequest() {
    const GameBridge& bridge = GetGameBridge();
    WriteRequestByte(bridge.RequestByteA, 0);
    WriteRequestByte(bridge.RequestByteB, 0);
    WriteRequestByte(bridge.RequestByteC, 0);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

// A thread stopped between the limiter's NOPs has skipped the store already; when the store
// comes back it continues after it instead of in the middle of its bytes.
std::array<ThreadMove, sizeof(kLimiterNops) - 1> PastLimiterNops(uintptr_t site) {
    std::array<ThreadMove, sizeof(kLimiterNops) - 1> moves;
    for (size_t i = 0; i < moves.size(); ++i) {
        moves[i] = ThreadMove{i + 1, site + sizeof(kLimiterNops)};
    }
    return moves;
}

enum class PatchOutcome { Good, Busy, ProtectFailed, Bad };

// What a write did to a site: Good when the protection came back and the site holds exactly
// the bytes; Busy when nothing was written this frame and a later frame may try again.
PatchOutcome Verified(CodePatchResult result, uintptr_t site, const uint8_t* bytes, size_t size) {
    if (result == CodePatchResult::Busy) {
        return PatchOutcome::Busy;
    }
    if (result == CodePatchResult::ProtectFailed) {
        return PatchOutcome::ProtectFailed;
    }
    return result == CodePatchResult::Written && CodeBytesEqual(site, bytes, size) ? PatchOutcome::Good
                                                                                   : PatchOutcome::Bad;
}

// Writes bytes at a code site on the render thread and reads them back (see Verified).
PatchOutcome PatchAndVerify(uintptr_t site, const uint8_t* bytes, size_t size,
                            std::span<const ThreadMove> moves = {}) {
    return Verified(WriteCodeBytes(site, bytes, size, moves, CodeWriteWait::Frame), site, bytes, size);
}

// The limiter's part of an activation.
enum class LimiterStep {
    InPlace, // the NOPs are there already
    Write,   // the NOPs go into this frame's batch
    Refused, // native 60 stays off (said once)
};

LimiterStep PrepareLimiter() {
    GameBridge& bridge = GetGameBridge();
    const uintptr_t site = bridge.LimiterSite;
    if (bridge.LimiterRejected) {
        return LimiterStep::Refused;
    }
    if (CodeBytesEqual(site, kLimiterNops, sizeof(kLimiterNops))) {
        bridge.LimiterPatched = true;
        return LimiterStep::InPlace;
    }
    if (!CodeBytesEqual(site, kLimiterStore, sizeof(kLimiterStore))) {
        ReportLimiterFailureOnce("Adaptive native 60 was not enabled: the limiter signature changed.");
        return LimiterStep::Refused;
    }
    return LimiterStep::Write;
}

// Takes the outcome of the NOPs' write: true when they are in. False after the message when
// they could not be put in, or silently while the game's threads kept them out this frame.
bool FinishLimiter(CodePatchResult result) {
    GameBridge& bridge = GetGameBridge();
    const uintptr_t site = bridge.LimiterSite;
    const PatchOutcome outcome = Verified(result, site, kLimiterNops, sizeof(kLimiterNops));
    if (outcome == PatchOutcome::Good) {
        bridge.LimiterPatched = true;
        return true;
    }
    if (outcome == PatchOutcome::Busy) {
        return false;
    }
    if (outcome == PatchOutcome::ProtectFailed) {
        ReportLimiterFailureOnce("Adaptive native 60 was not enabled: the limiter patch was not writable.");
        return false;
    }
    // Whatever reached the site must not stay there while native 60 is off: put the
    // game's store back so that no half-written instruction is left behind, and do not
    // let a later frame take unverified NOPs for a good patch.
    const auto moves = PastLimiterNops(site);
    (void)PatchAndVerify(site, kLimiterStore, sizeof(kLimiterStore), moves);
    bridge.LimiterPatched = false;
    bridge.LimiterRejected = true;
    ReportLimiterFailureOnce("Adaptive native 60 was not enabled: the limiter patch could not be verified.");
    return false;
}

// The pedestrian gate's jump to the detour, ready to be written with the limiter.
struct GateJump {
    uintptr_t gate = 0;
    uintptr_t detour = 0;
    uintptr_t trampoline = 0;
    uint8_t bytes[kGateJumpSize] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0, 0x90, 0x90};
    ThreadMove intoTrampoline[2];
};

// Puts the game's own limiter store back.
PatchOutcome RestoreLimiter() {
    GameBridge& bridge = GetGameBridge();
    const uintptr_t site = bridge.LimiterSite;
    if (CodeBytesEqual(site, kLimiterStore, sizeof(kLimiterStore))) {
        bridge.LimiterPatched = false;
        return PatchOutcome::Good;
    }
    if (!CodeBytesEqual(site, kLimiterNops, sizeof(kLimiterNops))) {
        return PatchOutcome::Bad;
    }
    const auto moves = PastLimiterNops(site);
    const PatchOutcome outcome = PatchAndVerify(site, kLimiterStore, sizeof(kLimiterStore), moves);
    if (outcome != PatchOutcome::Busy) {
        bridge.LimiterPatched = outcome != PatchOutcome::Good;
    }
    return outcome;
}

void RestoreNative30() {
    GameBridge& bridge = GetGameBridge();
    bridge.Native60Active.exchange(false);
    bridge.FallbackPending = false;
    bridge.Native60Confirmed = false;
    bridge.SlowDeltaFrames = 0;
    bridge.FallbackAttempts = 0;
    if (!bridge.Native60Engaged) {
        return;
    }
    DropRequest();
    const PatchOutcome limiter = RestoreLimiter();
    if (limiter == PatchOutcome::Busy) {
        return; // still engaged: the next frame without first person tries again
    }
    const bool good = limiter == PatchOutcome::Good;
    bridge.Native60Engaged = false;
    CameraLogFormat("Adaptive native 60 and NPC correction disabled; native 30 restored%s.",
                    good ? "" : " (limiter-byte restore failed)");
}

bool ActivationHolds() {
    const GameBridge& bridge = GetGameBridge();
    if (!bridge.FirstPersonActive.load() || !bridge.GameplayVerified) {
        return false;
    }
    if (!GetSettings().Enabled) {
        return true;
    }
    uint32_t state = 0;
    uint32_t control = 0;
    return ReadGameValue(kCameraStateRva, state) && state == static_cast<uint32_t>(kFirstPersonCameraState) &&
           ReadGameValue(kControlBlockRva, control) && control == 0;
}

void CheckSimulationTiming() {
    GameBridge& bridge = GetGameBridge();
    float delta = 0.0f;
    if (!ReadGuarded(bridge.SimulationDelta, delta) || !std::isfinite(delta)) {
        bridge.SlowDeltaFrames = 0;
        return;
    }
    if (delta >= kFastDeltaMin && delta <= kFastDeltaMax) {
        bridge.SlowDeltaFrames = 0;
        if (!bridge.Native60Confirmed) {
            bridge.Native60Confirmed = true;
            CameraLogFormat("Native 60 confirmed from simulation delta %.6f seconds.", double{delta});
        }
        return;
    }
    if (delta < kSlowDeltaMin || delta > kSlowDeltaMax) {
        bridge.SlowDeltaFrames = 0;
        return;
    }
    if (bridge.SlowDeltaFrames != UINT32_MAX) {
        ++bridge.SlowDeltaFrames;
    }
    if (bridge.SlowDeltaFrames == kSlowFramesBeforePulse) {
        bridge.SlowDeltaFrames = 0;
        bridge.Native60Active.store(false);
        DropRequest();
        bridge.FallbackPending = true;
        CameraLogFormat("Native-rate fallback detected %.6f-second (30-Hz) simulation timing; pulsing the "
                        "first-person 60 request.",
                        double{delta});
    }
}

// Everything the gate needs before its jump is written: false (after the message) when NPC
// correction cannot be armed in this process.
bool PrepareGate(GateJump& jump) {
    GameBridge& bridge = GetGameBridge();
    bridge.NpcArmAttempted = true;
    uintptr_t gate = 0;
    if (!ResolveGameAddress(kPedestrianGateRva, sizeof(kPedestrianGate), gate) ||
        !CodeBytesEqual(gate, kPedestrianGate, sizeof(kPedestrianGate))) {
        CameraLog("NPC correction was not armed: pedestrian gate signature mismatch.");
        return false;
    }
    const GameHostSeam& seam = GetGameHostSeam();
    const uintptr_t detour = seam.pedestrianDetourEntry != nullptr ? seam.pedestrianDetourEntry() : 0;
    if (detour == 0) {
        CameraLog("NPC correction was not armed: pedestrian detour verification failed.");
        return false;
    }

    // A gate the game's threads kept from being written on an earlier frame kept its trampoline.
    const uintptr_t kept = bridge.NpcTrampoline.load();
    const uintptr_t trampoline = kept != 0 ? kept : MemoryAllocateExecutable(kNpcTrampolineSize);
    if (trampoline == 0) {
        CameraLog("NPC correction was not armed: trampoline allocation failed.");
        return false;
    }
    // The gate's instructions are position-independent, so they run unchanged from the
    // trampoline, which then continues at the instruction after them.
    uint8_t code[kNpcTrampolineSize];
    std::memcpy(code, kPedestrianGate, sizeof(kPedestrianGate));
    const uint64_t resume = gate + sizeof(kPedestrianGate);
    code[14] = 0x48;
    code[15] = 0xB8;
    std::memcpy(code + 16, &resume, sizeof(resume));
    code[24] = 0xFF;
    code[25] = 0xE0;
    if (kept == 0 && !MemoryGuardedWrite(trampoline, code, sizeof(code))) {
        MemoryFreeExecutable(trampoline);
        CameraLog("NPC correction was not armed: trampoline allocation failed.");
        return false;
    }
    MemoryFlushInstructionCache(trampoline, sizeof(code));
    bridge.NpcTrampoline.store(trampoline);

    jump.gate = gate;
    jump.detour = detour;
    jump.trampoline = trampoline;
    const uint64_t target = detour;
    std::memcpy(jump.bytes + 2, &target, sizeof(target));
    // A thread between the gate's instructions continues with the same instruction in the
    // trampoline, which holds them verbatim.
    jump.intoTrampoline[0] = {kGateSecondInstruction, trampoline + kGateSecondInstruction};
    jump.intoTrampoline[1] = {kGateThirdInstruction, trampoline + kGateThirdInstruction};
    return true;
}

// Takes the outcome of the gate's write: true when the gate now jumps to the detour.
bool FinishGate(const GateJump& jump, CodePatchResult result) {
    GameBridge& bridge = GetGameBridge();
    if (result == CodePatchResult::Busy) {
        bridge.NpcArmAttempted = false; // a later activation tries again
        return false;
    }
    if (result == CodePatchResult::ProtectFailed) {
        bridge.NpcTrampoline.store(0);
        MemoryFreeExecutable(jump.trampoline);
        CameraLog("NPC correction was not armed: pedestrian gate was not writable.");
        return false;
    }
    if (result != CodePatchResult::Written || !CodeBytesEqual(jump.gate, jump.bytes, sizeof(jump.bytes))) {
        // Never leave a partly written jump in the game's code. The trampoline stays: a
        // thread may already be on its way through it.
        const ThreadMove toDetour[] = {{kGateJumpInstruction, jump.detour}};
        (void)WriteCodeBytes(jump.gate, kPedestrianGate, sizeof(kPedestrianGate), toDetour,
                             CodeWriteWait::Frame);
        CameraLog("NPC correction was not armed: pedestrian detour verification failed.");
        return false;
    }
    bridge.NpcArmed = true;
    CameraLog("NPC movement correction armed; behavior remains gated to first-person native 60.");
    return true;
}

// The limiter's NOPs and, on the first activation, the gate's jump: the code writes of one
// transition, under one stop of the game's threads.
bool PatchForActivation(bool& npc) {
    GameBridge& bridge = GetGameBridge();
    const LimiterStep limiter = PrepareLimiter();
    if (limiter == LimiterStep::Refused) {
        return false;
    }
    GateJump gate;
    const bool gateDue = !bridge.NpcArmAttempted && PrepareGate(gate);
    CodeSite sites[2];
    size_t count = 0;
    if (limiter == LimiterStep::Write) {
        sites[count++] = CodeSite{bridge.LimiterSite, kLimiterNops, sizeof(kLimiterNops), {}};
    }
    if (gateDue) {
        sites[count++] = CodeSite{gate.gate, gate.bytes, sizeof(gate.bytes), gate.intoTrampoline};
    }
    CodePatchResult results[2] = {CodePatchResult::Busy, CodePatchResult::Busy};
    WriteCodeSites(std::span<const CodeSite>(sites, count), std::span<CodePatchResult>(results, count),
                   CodeWriteWait::Frame);
    const bool limiterIn = limiter == LimiterStep::InPlace || FinishLimiter(results[0]);
    if (gateDue) {
        (void)FinishGate(gate, results[count - 1]);
    }
    npc = bridge.NpcArmed;
    return limiterIn;
}

void ApplyNative60() {
    GameBridge& bridge = GetGameBridge();
    bool npc = false;
    if (!PatchForActivation(npc)) {
        return;
    }
    bridge.Native60Engaged = true;
    WriteRequestByte(bridge.RequestByteC, 0);
    WriteRequestByte(bridge.RequestByteB, 1);
    WriteRequestByte(bridge.RequestByteA, 1);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const bool was = bridge.Native60Active.exchange(true);
    if (bridge.FallbackPending) {
        bridge.FallbackPending = false;
        ++bridge.FallbackAttempts;
        CameraLogFormat("Native-rate fallback reapplied the first-person 60 sequence (attempt %u).",
                        bridge.FallbackAttempts);
    } else if (!was) {
        CameraLogFormat("Adaptive native 60 enabled from verified first-person state; NPC correction=%s.",
                        npc ? "enabled" : "unavailable");
    }
    CheckSimulationTiming();
}

} // namespace

bool ArmNative60() {
    GameBridge& bridge = GetGameBridge();
    if (bridge.Native60ArmAttempted) {
        return bridge.Native60Armed;
    }
    bridge.Native60ArmAttempted = true;
    uintptr_t signature = 0;
    uintptr_t store = 0;
    if (!ResolveGameAddress(kLimiterSignatureRva, sizeof(kLimiterSignature), signature) ||
        !ResolveGameAddress(kLimiterStoreRva, sizeof(kLimiterStore), store) ||
        !CodeBytesEqual(signature, kLimiterSignature, sizeof(kLimiterSignature)) ||
        !CodeBytesEqual(store, kLimiterStore, sizeof(kLimiterStore))) {
        CameraLog("Adaptive native 60 was not armed: native limiter signature mismatch.");
        return false;
    }
    uintptr_t a = 0;
    uintptr_t b = 0;
    uintptr_t c = 0;
    uintptr_t delta = 0;
    if (!ResolveGameAddress(kRequestByteARva, 1, a) || !ResolveGameAddress(kRequestByteBRva, 1, b) ||
        !ResolveGameAddress(kRequestByteCRva, 1, c) || !ResolveGameAddress(kSimulationDeltaRva, 4, delta)) {
        CameraLog("Adaptive native 60 was not armed: timing state was unavailable.");
        return false;
    }
    bridge.LimiterSite = store;
    bridge.RequestByteA = a;
    bridge.RequestByteB = b;
    bridge.RequestByteC = c;
    bridge.SimulationDelta = delta;
    bridge.Native60Armed = true;
    CameraLog(
        "Adaptive native 60 armed; activation is controlled directly by verified first-person camera state.");
    return true;
}

void UpdateNative60() {
    if (!IsExecutableValidated() || !ArmNative60()) {
        return;
    }
    if (!ActivationHolds()) {
        RestoreNative30();
        return;
    }
    ApplyNative60();
}

float PedestrianStepScaled(float step) noexcept {
    const GameBridge& bridge = GetGameBridge();
    if (!bridge.Native60Active.load() || bridge.SimulationDelta == 0) {
        return step;
    }
    float delta = 0.0f;
    if (!ReadGuarded(bridge.SimulationDelta, delta)) {
        return step;
    }
    const float factor = delta * kStepFactorPerSecond;
    if (!std::isfinite(factor) || factor <= 0.0f || factor > 1.0f) {
        return step;
    }
    return step * factor;
}

uintptr_t PreparePedestrianStep(float* step) noexcept {
    const uintptr_t trampoline = GetGameBridge().NpcTrampoline.load();
    if (trampoline == 0 || step == nullptr) {
        return 0;
    }
    *step = PedestrianStepScaled(*step);
    return trampoline;
}

} // namespace corvane
