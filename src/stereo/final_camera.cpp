#include "stereo/final_camera.h"

#include "core/game_thread_boundary.h"
#include "core/log.h"
#include "game/first_person.h"
#include "input/snap_turn.h"
#include "interception/game_detours.h"
#include "stereo/handler_reads.h"
#include "stereo/head_look.h"
#include "stereo/once_flags.h"
#include "stereo/stereo_state.h"
#include "vr/pose_math.h"
#include "headset/tracking_state.h"
#include "headset/headset_presenter.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace corvane {
namespace {

// A handler that fails hands the game its own camera call.
BoundarySite g_finalCameraSite{BoundaryReport::Silent, nullptr};

// Smallest squared length a direction may have (float bits 0x322BCC77).
constexpr float kMinSquaredLength = 1e-8f;
// Game pitch plus head pitch stay within 85 degrees of the horizon.
constexpr float kMaxCombinedPitch = 1.4835298f;

std::atomic<bool> g_headLookLogged{false};

// Everything one call reads from the shared state, read once at its start so a frame-driver
// update in the middle of the call cannot split it.
struct CameraInputs {
    bool cameraBuildSupported = false;
    uint32_t eye = 0; // currentEye, clamped
    bool stereoActive = false;
    bool swapEyes = false;
    float unitsPerMeter = 0.0f;
    bool firstPerson = false;
    bool mapHeadLook = false;
    bool showPlayerBody = false;
    float forwardOffset = 0.0f;
    HeadLookSettings headLook;
};

CameraInputs ReadCameraInputs() noexcept {
    CameraInputs inputs;
    inputs.cameraBuildSupported = ReadCameraBuildSupported();
    inputs.eye = ReadCurrentEye();
    inputs.stereoActive = ReadStereoActive();
    inputs.swapEyes = ReadSwapEyes();
    inputs.unitsPerMeter = ReadStereoUnitsPerMeter();
    inputs.firstPerson = IsFirstPersonActive();
    inputs.mapHeadLook = ReadSettingMapHeadLook();
    inputs.showPlayerBody = ReadSettingShowPlayerBody();
    inputs.forwardOffset = ReadSettingFirstPersonForwardOffset();
    inputs.headLook.yawScale = ReadSettingHeadYawScale();
    inputs.headLook.pitchScale = ReadSettingHeadPitchScale();
    inputs.headLook.pairPoseLock =
        ReadSettingSpacewarpCompatibleAER() && ReadSettingLockHeadPoseAcrossAERPair();
    inputs.headLook.firstEye = ReadSettingFirstEye();
    return inputs;
}

Vector3 Add(const Vector3& a, const Vector3& b) noexcept {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}

Vector3 Scale(const Vector3& v, float s) noexcept {
    return {v.x * s, v.y * s, v.z * s};
}

Vector3 Load(const float* v) noexcept {
    return {v[0], v[1], v[2]};
}

// The camera's frame for a view direction d (world y up, right-handed).
struct CameraFrame {
    Vector3 direction;         // d
    float length = 0.0f;       // |d|
    Vector3 forward;           // F = d / |d|
    Vector3 horizontalForward; // Fh
    Vector3 right;             // R
    Vector3 up;                // U, perpendicular to F in the vertical plane
};

// False for a direction that is not finite, too short, or (nearly) vertical.
bool MakeCameraFrame(const Vector3& d, CameraFrame& frame) noexcept {
    const float squared = d.x * d.x + d.y * d.y + d.z * d.z;
    const float horizontalSquared = d.x * d.x + d.z * d.z;
    if (!std::isfinite(squared) || !std::isfinite(horizontalSquared) || squared < kMinSquaredLength ||
        horizontalSquared < kMinSquaredLength) {
        return false;
    }
    const float length = std::sqrt(squared);
    const float h = std::sqrt(horizontalSquared);
    frame.direction = d;
    frame.length = length;
    frame.forward = Scale(d, 1.0f / length);
    frame.horizontalForward = {d.x / h, 0.0f, d.z / h};
    frame.right = {-d.z / h, 0.0f, d.x / h};
    frame.up = {-(d.x / h) * frame.forward.y, h / length, -(d.z / h) * frame.forward.y};
    return true;
}

// Turns the camera about its eye by `yaw` (towards R when positive), keeping its pitch.
Vector3 TurnedDirection(const Vector3& d, float yaw) noexcept {
    const float c = std::cos(yaw);
    const float s = std::sin(yaw);
    return {d.x * c - d.z * s, d.y, d.z * c + d.x * s};
}

// What the call hands to the game routine and reports afterwards.
struct CameraPlan {
    Vector3 eye;
    Vector3 target;
    bool changed = false;
    bool eyeOffsetApplied = false;
    float eyeOffset = 0.0f;
    EyeRenderPose renderPose;
};

// In first person with the body shown the camera sits in front of the body's head.
void ApplyForwardOffset(const CameraInputs& inputs, const CameraFrame& frame, CameraPlan& plan) {
    if (!inputs.firstPerson || !inputs.showPlayerBody) {
        return;
    }
    (void)ApplyPlayerBodyVisibility();
    if (!(inputs.forwardOffset > 0.0f) || !std::isfinite(inputs.forwardOffset)) {
        return;
    }
    const Vector3 shift = Scale(frame.horizontalForward, inputs.forwardOffset);
    plan.eye = Add(plan.eye, shift);
    plan.target = Add(plan.target, shift);
    plan.changed = true;
}

// Turns and moves the camera with the headset; returns the direction the camera now looks in.
Vector3 ApplyHeadLook(const CameraInputs& inputs, const CameraFrame& frame, CameraPlan& plan) {
    if (!inputs.mapHeadLook || !inputs.firstPerson) {
        return frame.direction;
    }
    HeadPoseSample sample;
    float yaw = 0.0f;
    float pitch = 0.0f;
    if (!ComputeHeadYawPitch(yaw, pitch, sample, inputs.eye, inputs.stereoActive, inputs.headLook)) {
        return frame.direction;
    }
    // OpenVR's -z is forward: a head moved forward moves the camera along Fh.
    const float* p = sample.relativePosition;
    const Vector3 headOffset =
        Add(Add(Scale(frame.right, p[0]), Vector3{0.0f, p[1], 0.0f}), Scale(frame.horizontalForward, -p[2]));
    plan.eye = Add(plan.eye, Scale(headOffset, inputs.unitsPerMeter));

    // The headroom uses |game pitch| on both sides, so looking up and down are limited alike.
    const float gamePitch = std::asin(std::clamp(frame.forward.y, -1.0f, 1.0f));
    const float headroom = std::max(0.0f, kMaxCombinedPitch - std::fabs(gamePitch));
    const float appliedPitch = std::clamp(pitch, -headroom, headroom);

    const Vector3 turned = Add(Scale(frame.forward, std::cos(yaw)), Scale(frame.right, std::sin(yaw)));
    const Vector3 direction =
        Add(Scale(turned, std::cos(appliedPitch)), Scale(frame.up, std::sin(appliedPitch)));
    plan.target = Add(plan.eye, Scale(direction, frame.length));
    (void)MakeEyeRenderPose(yaw, appliedPitch, sample, plan.renderPose);
    plan.changed = true;
    if (TakeOnce(g_headLookLogged)) {
        LogMessage("Direct first-person HMD yaw/pitch/position active (scale %.3f/%.3f; per-eye render poses "
                   "submitted)",
                   double{inputs.headLook.yawScale}, double{inputs.headLook.pitchScale});
    }
    return direction;
}

// The sideways step that makes alternate frames into left and right eye images. The offset's
// sign comes from the eye-to-head transform: the left eye (negative) moves against R.
void ApplyEyeOffset(const CameraInputs& inputs, const Vector3& direction, CameraPlan& plan) {
    if (!inputs.stereoActive) {
        return;
    }
    const uint32_t offsetEye = inputs.swapEyes ? 1u - inputs.eye : inputs.eye;
    float offset = 0.0f;
    if (!EyeOffsetUnits(offsetEye, offset) || !std::isfinite(offset)) {
        return;
    }
    const float horizontalSquared = direction.x * direction.x + direction.z * direction.z;
    if (!std::isfinite(horizontalSquared) || horizontalSquared < kMinSquaredLength) {
        return;
    }
    const float inverse = 1.0f / std::sqrt(horizontalSquared);
    const Vector3 shift = Scale(Vector3{-direction.z * inverse, 0.0f, direction.x * inverse}, offset);
    plan.eye = Add(plan.eye, shift);
    plan.target = Add(plan.target, shift);
    plan.changed = true;
    plan.eyeOffsetApplied = true;
    plan.eyeOffset = offset;
}

// While a snap turn is under way the game turns, but the view keeps the heading from before
// the flick; it takes the new one in a single frame when the step is done.
void HoldSnapTurn(const CameraInputs& inputs, CameraFrame& frame, CameraPlan& plan) {
    const Vector3& d = frame.direction;
    const bool pairStart = !inputs.stereoActive || inputs.eye == inputs.headLook.firstEye;
    const SnapHold hold = GetSnapTurn().OnCameraHeading(std::atan2(d.x, -d.z), pairStart);
    CameraFrame held;
    if (!hold.holding || hold.yawCorrection == 0.0f ||
        !MakeCameraFrame(TurnedDirection(d, hold.yawCorrection), held)) {
        return;
    }
    frame = held;
    plan.target = Add(plan.eye, held.direction);
    plan.changed = true;
}

template <typename CallGame>
void DisplaceAndCall(uintptr_t returnAddress, float* eye, float* target, CallGame& callGame) {
    const uintptr_t expectedReturn = DetourExpectedReturn(GameDetour::FinalCamera);
    if (expectedReturn == 0 || returnAddress != expectedReturn || eye == nullptr || target == nullptr) {
        callGame(eye, target);
        return;
    }
    const CameraInputs inputs = ReadCameraInputs();
    if (!inputs.cameraBuildSupported) {
        callGame(eye, target);
        return;
    }
    const Vector3 sourceEye = Load(eye);
    const Vector3 sourceTarget = Load(target);
    CameraFrame frame;
    if (!IsFinite(sourceEye) || !IsFinite(sourceTarget) ||
        !MakeCameraFrame(
            Vector3{sourceTarget.x - sourceEye.x, sourceTarget.y - sourceEye.y, sourceTarget.z - sourceEye.z},
            frame)) {
        callGame(eye, target);
        return;
    }
    NoteGameplayCameraSeen();

    CameraPlan plan;
    plan.eye = sourceEye;
    plan.target = sourceTarget;
    if (inputs.firstPerson) {
        HoldSnapTurn(inputs, frame, plan);
    }
    ApplyForwardOffset(inputs, frame, plan);
    const Vector3 direction = ApplyHeadLook(inputs, frame, plan);
    ApplyEyeOffset(inputs, direction, plan);
    if (plan.changed && (!IsFinite(plan.eye) || !IsFinite(plan.target))) {
        // Extreme inputs overflowed: the game keeps its own camera for this call.
        plan = CameraPlan{};
    }

    if (plan.changed) {
        // Padded and aligned like a vector register, should the routine load them whole.
        alignas(16) float eyeCopy[4] = {plan.eye.x, plan.eye.y, plan.eye.z, 0.0f};
        alignas(16) float targetCopy[4] = {plan.target.x, plan.target.y, plan.target.z, 0.0f};
        callGame(eyeCopy, targetCopy);
    } else {
        callGame(eye, target);
    }

    // After the game's routine returned: the pose and the flag describe what it rendered.
    if (plan.renderPose.valid) {
        ActiveHeadset().SetEyeRenderPose(inputs.eye, plan.renderPose);
    }
    if (!plan.eyeOffsetApplied) {
        return;
    }
    StereoState& stereo = GetStereoState();
    stereo.eyeCameraApplied.store(true);
    if (TakeOnceForEye(stereo.finalCameraLogMask, inputs.eye)) {
        LogMessage(
            "Final gameplay camera AER active for %s eye (offset %.5f units, source %.3f/%.3f/%.3f, eye "
            "order %s)",
            EyeName(inputs.eye), double{plan.eyeOffset}, double{sourceEye.x}, double{sourceEye.y},
            double{sourceEye.z}, inputs.swapEyes ? "swapped" : "normal");
    }
}

} // namespace

__attribute__((noinline)) void OnFinalGameplayCamera(float* eye, float* target, uint32_t arg3) noexcept {
    HandleFinalGameplayCamera(reinterpret_cast<uintptr_t>(__builtin_return_address(0)), eye, target, arg3);
}

void HandleFinalGameplayCamera(uintptr_t returnAddress, float* eye, float* target, uint32_t arg3) noexcept {
    const auto routine = reinterpret_cast<FinalCameraRoutine>(DetourTrampoline(GameDetour::FinalCamera));
    if (routine == nullptr) {
        return;
    }
    bool routineCalled = false;
    auto callGame = [&](float* eyeArgument, float* targetArgument) {
        routineCalled = true;
        routine(eyeArgument, targetArgument, arg3);
    };
    PassThroughAtBoundary(
        g_finalCameraSite, [&] { DisplaceAndCall(returnAddress, eye, target, callGame); },
        [&] {
            if (!routineCalled) {
                routine(eye, target, arg3);
            }
        });
}

void ResetFinalCameraOnceLines() noexcept {
    g_headLookLogged.store(false);
}

} // namespace corvane
