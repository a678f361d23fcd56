// Submit checks, in the order a caller would want them reported: a scripted fault first, then
// an unusable texture, then unusable bounds.
#include "submission.h"

#include "eye_capture.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vrsim {
namespace {

bool BoundsFinite(const TextureBounds& b) {
    return std::isfinite(b.uMin) && std::isfinite(b.vMin) && std::isfinite(b.uMax) && std::isfinite(b.vMax);
}

// The line after each Submit: which frame's pose the texture carries, and how long ago and how
// many frames ago that frame's WaitGetPoses returned.
void LogPoseAge(RuntimeState& state, int32_t eye, const HmdMatrix34* submittedPose) {
    const PoseAge age = AgeOfSubmission(state.poses, submittedPose, state.frame, SteadyNowNs());
    if (age.match == PoseMatch::No) {
        state.log.Line("compositor.PoseAge frame=%u eye=%d match=no", state.frame, eye);
        return;
    }
    char ms[32] = "unknown";
    if (age.ms >= 0.0) {
        std::snprintf(ms, sizeof ms, "%.3f", age.ms);
    }
    state.log.Line("compositor.PoseAge frame=%u eye=%d match=%s pose_frame=%u frames=%u ms=%s", state.frame,
                   eye, PoseMatchText(age.match), age.poseFrame, age.frames, ms);
}

} // namespace

int32_t RecordSubmission(RuntimeState& state, int32_t eye, const Texture* texture,
                         const TextureBounds* bounds, uint32_t flags) {
    const bool eyeKnown = eye == kEyeLeft || eye == kEyeRight;
    int32_t result =
        eyeKnown ? CodeAt(state.scenario.submitErrors[eye], state.frame) : kCompositorErrorRequestFailed;
    if (result == kCompositorErrorNone &&
        (texture == nullptr || texture->handle == nullptr || texture->type != kTextureTypeDirectX)) {
        result = kCompositorErrorInvalidTexture;
    }
    if (result == kCompositorErrorNone && bounds != nullptr && !BoundsFinite(*bounds)) {
        result = kCompositorErrorInvalidBounds;
    }

    char boundsText[96] = "none";
    if (bounds != nullptr) {
        std::snprintf(boundsText, sizeof boundsText, "%.6f %.6f %.6f %.6f", static_cast<double>(bounds->uMin),
                      static_cast<double>(bounds->vMin), static_cast<double>(bounds->uMax),
                      static_cast<double>(bounds->vMax));
    }
    std::string poseText = "none";
    const HmdMatrix34* submittedPose = nullptr;
    if (texture != nullptr && (flags & kSubmitTextureWithPose) != 0) {
        // With this flag the caller promises the larger record.
        submittedPose = &reinterpret_cast<const TextureWithPose*>(texture)->deviceToAbsoluteTracking;
        poseText = MatrixText(*submittedPose);
    }
    state.log.Line(
        "compositor.Submit frame=%u eye=%d flags=0x%x texture=0x%llx type=%d bounds=%s pose=%s -> %d",
        state.frame, eye, flags,
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(texture ? texture->handle : nullptr)),
        texture ? texture->type : -1, boundsText, poseText.c_str(), result);
    LogPoseAge(state, eye, submittedPose);
    // Only what the compositor accepted reaches the headset, so only that is captured.
    if (result == kCompositorErrorNone && CaptureRequested(state.scenario, state.frame)) {
        CaptureSubmittedEye(state, {eye, texture, bounds, submittedPose});
    }
    return result;
}

} // namespace vrsim
