#include "stereo/stereo_state.h"

#include "core/settings.h"
#include "headset/headset_presenter.h"

#include <cmath>

namespace corvane {
namespace {

StereoState g_stereo;
PairPoseLock g_pairPoseLock;

} // namespace

StereoState& GetStereoState() {
    return g_stereo;
}

PairPoseLock& GetPairPoseLock() {
    return g_pairPoseLock;
}

uint32_t FirstEye() {
    return GetSettings().AERFirstEye != 0 ? 1u : 0u;
}

bool EyeOffsetUnits(uint32_t eye, float& out) {
    out = 0.0f;
    float meters = 0.0f;
    if (!ActiveHeadset().GetEyeOffset(eye, meters)) {
        return false;
    }
    const float units = g_stereo.stereoUnitsPerMeter * meters;
    if (!std::isfinite(units)) {
        return false;
    }
    out = units;
    return true;
}

void ResetPairPoseLock() {
    std::lock_guard<std::mutex> lock(g_pairPoseLock.mutex);
    g_pairPoseLock.sample = HeadPoseSample{};
}

StereoFrameFlags StereoState::TakeFrameFlags() {
    StereoFrameFlags flags;
    flags.cameraApplied = eyeCameraApplied.exchange(false);
    flags.projectionSeen = projectionHookSeen.exchange(false);
    const bool rewritten = opticalProjectionApplied.exchange(false);
    const bool declined = opticalProjectionDeclined.exchange(false);
    flags.mixed = rewritten && declined;
    if (rewritten && !declined) {
        flags.projection = PictureProjection::Eye;
    } else if (flags.projectionSeen || declined) {
        flags.projection = PictureProjection::Common;
    }
    flags.pairValid = flags.projectionSeen && projectionHookSeenInPair && settleFrames.load() == 0 &&
                      flags.cameraApplied && !flags.mixed;
    return flags;
}

void StereoState::AdvanceAfterSubmit(uint32_t frameEye, StereoFrameFlags flags, bool submitted) {
    const uint32_t firstEye = FirstEye();
    const bool pairContinues = submitted && flags.pairValid;
    if (!(pairContinues && frameEye == firstEye)) {
        ResetPairPoseLock();
    }
    projectionHookSeenInPair = submitted && flags.projectionSeen;
    if (submitted && flags.projectionSeen) {
        // Decrement without ever wrapping below zero, even if a reset raced in.
        uint32_t remaining = settleFrames.load();
        while (remaining != 0 && !settleFrames.compare_exchange_weak(remaining, remaining - 1)) {
        }
    }
    stereoActive = stereoRendering && submitted && cameraBuildSupported && projectionHookSeenInPair &&
                   settleFrames.load() == 0;
    currentEye = pairContinues ? 1u - (frameEye != 0 ? 1u : 0u) : firstEye;
}

void StereoState::ResetForFirstPersonChange() {
    stereoActive = false;
    eyeCameraApplied.store(false);
    settleFrames.store(kSettleFramesAfterFirstPersonChange);
    currentEye = FirstEye();
    ResetPairPoseLock();
    finalCameraLogMask.store(0);
}

void StereoState::ResetForDisabled() {
    ResetOnSwapChainRelease();
    stereoRendering = false;
}

// First person outlives the swap chain: what the game renders for the new one is still a
// first-person frame, not one for the cinema screen, so the rendering gate stays.
void StereoState::ResetOnSwapChainRelease() {
    stereoActive = false;
    eyeCameraApplied.store(false);
    projectionHookSeen.store(false);
    projectionHookSeenInPair = false;
    opticalProjectionApplied.store(false);
    opticalProjectionDeclined.store(false);
    settleFrames.store(0);
    currentEye = FirstEye();
    ResetPairPoseLock();
}

} // namespace corvane
