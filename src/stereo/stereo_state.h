// Which eye the frame being rendered belongs to, the live stereo parameters, and the
// per-frame flags through which the camera and projection detours (game threads) tell the
// frame driver (render thread) what they did.
//
// Threads: the render thread alone writes the eye, the engagement flags and the live
// parameters; game threads read them at any time through relaxed atomics (a value from the
// neighbouring frame is fine, a torn one never happens). The per-frame flags go the other
// way and are consumed with atomic exchanges.
#pragma once

#include "core/relaxed_atomic.h"
#include "vr/eye_bounds.h"
#include "headset/tracking_state.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace corvane {

struct StereoFrameFlags {
    bool cameraApplied = false;
    bool projectionSeen = false;
    bool pairValid = false;
    // What the frame's picture was rendered with: the eye's frustum when every gameplay camera
    // upload was rewritten, the common frustum when the projection routine gave it or an upload
    // carried it unchanged, else the game's own.
    PictureProjection projection = PictureProjection::Game;
    // Some uploads were rewritten for the eye and some left in the common frustum: the picture
    // holds geometry of both, which no bounds show rightly. It is never shown and joins no pair.
    bool mixed = false;
};

inline constexpr uint32_t kSettleFramesAfterFirstPersonChange = 8;

struct StereoState {
    RelaxedAtomic<uint32_t> currentEye = 1;
    RelaxedAtomic<bool> swapEyes = false;
    RelaxedAtomic<float> stereoUnitsPerMeter = 1.75f;
    RelaxedAtomic<float> convergenceOffset = -0.095f;
    RelaxedAtomic<float> fovScale = 1.0f;
    RelaxedAtomic<float> frameScale = 0.65f;
    RelaxedAtomic<float> frameHorizontalOffset = 0.0f;
    RelaxedAtomic<float> frameVerticalOffset = 0.0f;
    RelaxedAtomic<float> rightFrameScale = 0.65f;
    RelaxedAtomic<float> rightFrameHorizontalOffset = 0.0f;
    RelaxedAtomic<float> rightFrameVerticalOffset = 0.0f;
    RelaxedAtomic<float> rightFrameRollDegrees = 0.0f;
    RelaxedAtomic<float> hudScale = 0.75f;
    RelaxedAtomic<float> hudVerticalOffset = 0.0f;
    RelaxedAtomic<bool> cameraBuildSupported = false;
    RelaxedAtomic<bool> stereoActive = false;
    // The frames rendered from now on are first-person frames: the projection routine gets the
    // common frustum and the eyes may alternate. Off while the game has the camera, so the
    // picture the cinema screen shows is the game's own. The frame driver sets it at each
    // Present for the frames that follow, so the frame it presents was rendered under the value
    // it had before; that frame is shown by that value, never by the new one.
    RelaxedAtomic<bool> stereoRendering = false;
    std::atomic<bool> eyeCameraApplied{false};
    std::atomic<bool> projectionHookSeen{false};
    RelaxedAtomic<bool> projectionHookSeenInPair = false;
    std::atomic<bool> opticalProjectionApplied{false};
    // A gameplay camera upload (it carried the render frustum) that was not rewritten.
    std::atomic<bool> opticalProjectionDeclined{false};
    std::atomic<uint32_t> settleFrames{0};
    std::atomic<uint32_t> finalCameraLogMask{0};
    std::atomic<uint32_t> opticalLogMask{0};

    // Consumes the flags the detours set during the frame.
    StereoFrameFlags TakeFrameFlags();

    // Closes the frame after submission: keeps or drops the pair pose, arms stereo and
    // picks the next frame's eye.
    void AdvanceAfterSubmit(uint32_t frameEye, StereoFrameFlags flags, bool submitted);

    void ResetForFirstPersonChange();
    void ResetForDisabled();
    void ResetOnSwapChainRelease();
};

// The head pose the first eye of the AER pair in progress was rendered with.
struct PairPoseLock {
    std::mutex mutex;
    HeadPoseSample sample;
};

StereoState& GetStereoState();
PairPoseLock& GetPairPoseLock();

// The first eye of an AER pair: 1 (right) when Settings.AERFirstEye is set.
uint32_t FirstEye();

void ResetPairPoseLock();

// The eye's offset from the head centre in game units; false (and out = 0) while the
// presenter has no eye-to-head transform or the product is not finite.
bool EyeOffsetUnits(uint32_t eye, float& out);

} // namespace corvane
