#include "program/frame_driver.h"

#include "core/cinema_keys.h"
#include "core/key_presses.h"
#include "core/log.h"
#include "core/settings.h"
#include "game/executable_validation.h"
#include "game/first_person.h"
#include "game/guarded_memory.h"
#include "game/native60.h"
#include "headset/headset_presenter.h"
#include "input/gamepad_mapping.h"
#include "input/hold_commands.h"
#include "input/snap_turn.h"
#include "platform/os.h"
#include "stereo/live_tuning.h"
#include "stereo/stereo_state.h"

#include <atomic>
#include <string>

namespace corvane {
namespace {

enum FrameKey { kF3, kF4, kF9, kFrameKeyCount };
constexpr int kVirtualKeys[kFrameKeyCount] = {0x72, 0x73, 0x78}; // F3, F4, F9 (recentre)
constexpr float kConvergenceStep = 0.005f;

// Render-thread state, apart from the once-only exception flag.
struct FrameDriverState {
    bool startupDone = false;
    KeyPresses<kFrameKeyCount> keys;
    std::string rememberedError;
    bool submissionAnnounced = false;
    HoldCommands holds;
};

FrameDriverState g_driver;
std::atomic<bool> g_exceptionReported{false};

// Only the render thread runs frames, so a plain flag serves as the once-gate; a throw
// leaves it unset and the next frame tries again.
void RunStartupOnce() {
    if (g_driver.startupDone) {
        return;
    }
    StartupOnce();
    g_driver.startupDone = true;
}

void HandleConvergenceKeys(const bool (&pressed)[kFrameKeyCount]) {
    const bool pressF3 = pressed[kF3];
    if (pressF3 == pressed[kF4] || !OsIsForegroundWindowOurs()) {
        return;
    }
    StereoState& stereo = GetStereoState();
    stereo.convergenceOffset += pressF3 ? -kConvergenceStep : kConvergenceStep;
    const bool saved = WriteConvergenceToIni(stereo.convergenceOffset);
    LogMessage("%s: left/right images moved %s; convergence %.4f%s", pressF3 ? "F3" : "F4",
               pressF3 ? "closer" : "farther apart", double{stereo.convergenceOffset}, SaveSuffix(saved));
}

// F9 centres the view again: a new head-look reference and the cinema screen in front of the head.
void HandleRecentreKey(const bool (&pressed)[kFrameKeyCount], HeadsetPresenter& presenter) {
    if (pressed[kF9] && OsIsForegroundWindowOurs()) {
        presenter.RequestRecentre();
    }
}

// Held controller or gamepad buttons: a long press centres the view, a push of the stick while
// the screen is up places the screen.
void RunHoldCommands(const InputSnapshot* controllers, bool screenUp, HeadsetPresenter& presenter) {
    const uint64_t now = OsTickCountMs();
    const HoldCommand command =
        g_driver.holds.Update(FindHold(controllers, ReadRealGamepad(now)), screenUp, now);
    if (command.recentre) {
        presenter.RequestRecentre(NamesOf(command.by).recentre);
    }
    if (command.screen.has_value()) {
        (void)ChangeCinemaScreen(*command.screen, NamesOf(command.by).screen);
    }
}

// The frame's eye, pairing and projection with the live convergence and picture values.
// `renderedInFirstPerson` is what the frame was rendered under; `overrideBefore` says whether the
// frame before it got the common frustum.
FrameRequest LiveFrameRequest(const StereoState& stereo, uint32_t eye, const StereoFrameFlags& flags,
                              bool renderedInFirstPerson, bool overrideBefore) {
    FrameRequest request;
    request.eye = eye;
    request.pairValid = flags.pairValid;
    request.projection = flags.projection;
    // A first-person frame that missed its projection call right after frames that had it, or
    // one whose uploads were rewritten only in part, is dropped for the last good textures: one
    // odd frame neither puts the screen up nor shows a picture cut with bounds it does not have.
    // Frames that keep missing it are the game's own pictures, for the screen.
    const bool gamePicture = flags.projection == PictureProjection::Game && !flags.mixed;
    request.hold = renderedInFirstPerson && (flags.mixed || (gamePicture && overrideBefore));
    request.cinema = !renderedInFirstPerson || (gamePicture && !overrideBefore);
    request.requestedConvergence = stereo.convergenceOffset;
    request.picture.leftScale = stereo.frameScale;
    request.picture.leftHorizontal = stereo.frameHorizontalOffset;
    request.picture.leftVertical = stereo.frameVerticalOffset;
    request.picture.rightScale = stereo.rightFrameScale;
    request.picture.rightHorizontal = stereo.rightFrameHorizontalOffset;
    request.picture.rightVertical = stereo.rightFrameVerticalOffset;
    request.picture.rightRollDegrees = stereo.rightFrameRollDegrees;
    return request;
}

void RunFrameSteps(IDXGISwapChain* swapChain) {
    RunStartupOnce();
    StereoState& stereo = GetStereoState();
    const uint32_t eye = stereo.currentEye != 0 ? 1u : 0u;

    const bool cameraSeen = TakeGameplayCameraSeen();
    const bool transitioned = UpdateFirstPerson(cameraSeen);
    UpdateNative60();

    const Settings& settings = GetSettings();
    HeadsetPresenter& presenter = ActiveHeadset();
    if (settings.Enabled) {
        RunLiveTuning();
        bool pressed[kFrameKeyCount] = {};
        g_driver.keys.Read(kVirtualKeys, pressed);
        HandleConvergenceKeys(pressed);
        HandleRecentreKey(pressed, presenter);
    }

    if (transitioned && settings.Enabled) {
        presenter.ResetForTransition();
        stereo.ResetForFirstPersonChange();
    }

    if (!settings.Enabled) {
        stereo.ResetForDisabled();
        GetSnapTurn().Engage(0.0f);
        PublishNeutralInput();
        return;
    }

    // The frame presented now was rendered under the value set at the last Present; the value
    // set here holds for the frames the game renders next.
    const bool renderedInFirstPerson = stereo.stereoRendering;
    stereo.stereoRendering = IsFirstPersonActive() && stereo.cameraBuildSupported;
    // Only the camera this program holds can hide a turn; elsewhere the stick turns as ever.
    GetSnapTurn().Engage(stereo.stereoRendering ? static_cast<float>(settings.SnapTurnDegrees) : 0.0f);
    const bool overrideBefore = stereo.projectionHookSeenInPair;
    const StereoFrameFlags flags = stereo.TakeFrameFlags();
    const FrameRequest request = LiveFrameRequest(stereo, eye, flags, renderedInFirstPerson, overrideBefore);
    const bool screenUp = request.cinema && settings.CinemaScreen;
    RunCinemaKeys(screenUp);
    const bool submitted = presenter.RenderFrame(swapChain, request);
    stereo.AdvanceAfterSubmit(eye, flags, submitted);
    ReportSubmissionStatus(submitted, presenter);
    InputSnapshot snapshot;
    const bool haveInput = submitted && presenter.TakeInputSnapshot(snapshot);
    PublishFrameInput(submitted, haveInput ? &snapshot : nullptr);
    RunHoldCommands(haveInput ? &snapshot : nullptr, screenUp, presenter);
}

} // namespace

void StartupOnce() {
    LoadSettings();
    const StartupStereoValues startup = ReadStartupStereoValues();
    const Settings& settings = GetSettings();

    StereoState& stereo = GetStereoState();
    stereo.stereoUnitsPerMeter = startup.stereoUnitsPerMeter;
    stereo.convergenceOffset = startup.convergenceOffset;
    stereo.frameScale = settings.FrameScale;
    stereo.frameHorizontalOffset = settings.FrameHorizontalOffset;
    stereo.frameVerticalOffset = settings.FrameVerticalOffset;
    stereo.rightFrameScale = settings.RightFrameScale;
    stereo.rightFrameHorizontalOffset = settings.RightFrameHorizontalOffset;
    stereo.rightFrameVerticalOffset = settings.RightFrameVerticalOffset;
    stereo.rightFrameRollDegrees = settings.RightFrameRollDegrees;
    stereo.hudScale = settings.HudScale;
    stereo.hudVerticalOffset = settings.HudVerticalOffset;
    stereo.swapEyes = startup.swapEyes;
    stereo.fovScale = settings.FovScale;
    stereo.currentEye = FirstEye();
    ResetPairPoseLock();
    SetCameraLogSink(&ForwardCameraMessage);
    stereo.cameraBuildSupported = IsExecutableValidated();

    LogMessage(
        "CorvaneVR v0.9.5 automatic cutscene-resume prototype initialized; camera build guard=%s, render "
        "guard scale=%.8f, separation=%.3f units/metre, convergence=%.4f, frame scale=%.3f, left "
        "horizontal/vertical offset=%+.3f/%+.3f, right scale/offsets/roll=%.3f/%+.3f/%+.3f/%+.2f, eye "
        "order=%s, capture order=%s-first, pair pose lock=%s",
        stereo.cameraBuildSupported ? "supported" : "unsupported", double{settings.FovScale},
        double{stereo.stereoUnitsPerMeter}, double{stereo.convergenceOffset}, double{settings.FrameScale},
        double{settings.FrameHorizontalOffset}, double{settings.FrameVerticalOffset},
        double{settings.RightFrameScale}, double{settings.RightFrameHorizontalOffset},
        double{settings.RightFrameVerticalOffset}, double{settings.RightFrameRollDegrees},
        stereo.swapEyes ? "swapped" : "normal", FirstEye() == 1 ? "right" : "left",
        settings.LockHeadPoseAcrossAERPair ? "on" : "off");
}

void ReportSubmissionStatus(bool submitted, HeadsetPresenter& presenter) {
    if (!submitted) {
        if (presenter.CopyLastErrorIfChanged(g_driver.rememberedError)) {
            LogMessage("VR renderer unavailable: %s", g_driver.rememberedError.c_str());
        }
        return;
    }
    if (!g_driver.submissionAnnounced || !g_driver.rememberedError.empty()) {
        LogMessage("%s eye submission is active", presenter.RuntimeName());
        g_driver.submissionAnnounced = true;
        g_driver.rememberedError.clear();
    }
}

void PublishFrameInput(bool submitted, const InputSnapshot* snapshot) {
    const Settings& settings = GetSettings();
    if (!submitted || snapshot == nullptr || !settings.MapMotionControllers) {
        PublishNeutralInput();
        return;
    }
    InputState state;
    state.valid = 1;
    state.left = MapControllerToHand(snapshot->left, settings.StickDeadzone);
    state.right = MapControllerToHand(snapshot->right, settings.StickDeadzone);
    PublishInput(state);
}

void RunFrame(IDXGISwapChain* swapChain) noexcept {
    try {
        RunFrameSteps(swapChain);
    } catch (...) {
        try {
            ClearGameplayCameraSeen();
            GetStereoState().ResetForDisabled();
            GetSnapTurn().Engage(0.0f);
            PublishNeutralInput();
            if (!g_exceptionReported.exchange(true)) {
                LogMessage("Unexpected exception in VR Present path; VR input disabled");
            }
        } catch (...) {
            // Even the recovery failed; the frame is still presented unchanged.
        }
    }
}

void ResetFrameDriver() {
    g_driver = FrameDriverState{};
    g_exceptionReported.store(false);
    ResetLiveTuningKeys();
    ResetCinemaKeys();
    GetSnapTurn().Reset();
    ResetRealGamepadNote();
}

} // namespace corvane
