#include "stereo/optical_projection.h"

#include "core/game_thread_boundary.h"
#include "core/log.h"
#include "stereo/camera_matrix.h"
#include "stereo/handler_reads.h"
#include "stereo/once_flags.h"
#include "stereo/projection_override.h"
#include "stereo/stereo_state.h"
#include "headset/headset_presenter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace corvane {
namespace {

// A rewrite that fails leaves the game's own values in the buffer.
BoundarySite g_opticalProjectionSite{BoundaryReport::Silent, nullptr};

constexpr float kMinExtent = 0.01f;
constexpr float kAgreementTolerance = 0.02f;
constexpr float kReciprocalFloor = 1e-6f;
constexpr float kMinFovScale = 0.5f;
constexpr float kMaxFovScale = 2.0f;

bool UsableExtent(float value) noexcept {
    return std::isfinite(value) && value > kMinExtent;
}

// |diagonal| against the reciprocal of the render tangent it should come from.
bool MatchesRenderTangent(float diagonal, float renderTangent) noexcept {
    const float expected = 1.0f / renderTangent;
    return std::fabs(std::fabs(diagonal) - expected) / std::max(kReciprocalFloor, expected) <=
           kAgreementTolerance;
}

bool AllFinite(const Matrix4& matrix) noexcept {
    for (const auto& row : matrix.m) {
        for (float value : row) {
            if (!std::isfinite(value)) {
                return false;
            }
        }
    }
    return true;
}

// The optics published now and the render tangents the projection override derives from them.
bool OpticsNow(ProjectionInfo& info, float& tanXr, float& tanYr) noexcept {
    if (!ActiveHeadset().GetProjectionInfo(info)) {
        return false;
    }
    const float scale = std::clamp(ReadFovScale(), kMinFovScale, kMaxFovScale);
    tanXr = info.commonTanX * kRenderGuardFactor * scale;
    tanYr = info.commonTanY * kRenderGuardFactor * scale;
    return true;
}

// The eye's remap and the render tangents, from the optics published now.
bool EyeRemapNow(uint32_t eye, EyeRemap& remap, float& tanXr, float& tanYr) noexcept {
    ProjectionInfo info;
    return OpticsNow(info, tanXr, tanYr) &&
           ComputeEyeRemap(eye == 0 ? info.leftEyeRaw : info.rightEyeRaw, tanXr, tanYr, remap);
}

void Rewrite(unsigned char* data, bool& rewritten) {
    if (data == nullptr || !ReadCameraBuildSupported() || !ReadStereoActive() ||
        !(ReadProjectionHookSeen() || ReadProjectionHookSeenInPair())) {
        return;
    }
    const uint32_t eye = ReadCurrentEye();
    float tanXr = 0.0f;
    float tanYr = 0.0f;
    EyeRemap remap;
    if (!EyeRemapNow(eye, remap, tanXr, tanYr)) {
        return;
    }

    unsigned char buffer[kCameraBufferSize];
    std::memcpy(buffer, data, sizeof buffer);
    const Matrix4 view = LoadColumnMajor(buffer + kCameraViewOffset);
    const Matrix4 projection = LoadColumnMajor(buffer + kCameraProjectionOffset);
    const Matrix4 viewProjection = LoadColumnMajor(buffer + kCameraViewProjectionOffset);

    // Only the render frustum is narrowed; any other projection (another camera, or the game's
    // own) stays as the game built it and says nothing about the frame's picture.
    if (!MatchesRenderTangent(projection.m[0][0], tanXr) ||
        !MatchesRenderTangent(projection.m[1][1], tanYr)) {
        return;
    }
    // From here on the buffer is the gameplay camera's: leaving it as it is keeps part of the
    // picture in the symmetric frustum, which the presenter must know to cut the right bounds.
    StereoState& stereo = GetStereoState();

    // Which way round the game multiplies tells whether it uses row or column vectors.
    const float rowDifference = RelativeDifference(Multiply(view, projection), viewProjection);
    const float columnDifference = RelativeDifference(Multiply(projection, view), viewProjection);
    if (std::min(rowDifference, columnDifference) > kAgreementTolerance) {
        stereo.opticalProjectionDeclined.store(true);
        return;
    }
    const bool rowVectors = columnDifference >= rowDifference;

    Matrix4 eyeRemap;
    eyeRemap.m[0][0] = remap.sx;
    eyeRemap.m[1][1] = remap.sy;
    eyeRemap.m[2][2] = 1.0f;
    eyeRemap.m[3][3] = 1.0f;
    Matrix4 eyeProjection;
    Matrix4 eyeViewProjection;
    if (rowVectors) {
        eyeRemap.m[3][0] = remap.cx;
        eyeRemap.m[3][1] = remap.cy;
        eyeProjection = Multiply(projection, eyeRemap);
        eyeViewProjection = Multiply(view, eyeProjection);
    } else {
        eyeRemap.m[0][3] = remap.cx;
        eyeRemap.m[1][3] = remap.cy;
        eyeProjection = Multiply(eyeRemap, projection);
        eyeViewProjection = Multiply(eyeProjection, view);
    }
    // A projection the checks above accept can still hold elements large enough for the remap to
    // overflow; the game must never be handed an infinite or NaN matrix.
    if (!AllFinite(eyeProjection) || !AllFinite(eyeViewProjection)) {
        stereo.opticalProjectionDeclined.store(true);
        return;
    }
    StoreColumnMajor(eyeProjection, buffer + kCameraProjectionOffset);
    StoreColumnMajor(eyeViewProjection, buffer + kCameraViewProjectionOffset);
    std::memcpy(data, buffer, sizeof buffer);
    rewritten = true;

    stereo.opticalProjectionApplied.store(true);
    if (TakeOnceForEye(stereo.opticalLogMask, eye)) {
        LogMessage("Full-frame optical projection active for %s eye (scale %.5f/%.5f, center %.5f/%.5f)",
                   EyeName(eye), double{remap.sx}, double{remap.sy}, double{remap.cx}, double{remap.cy});
    }
}

} // namespace

bool ComputeEyeRemap(const float (&raw)[4], float tanXr, float tanYr, EyeRemap& remap) noexcept {
    const float left = raw[0];
    const float right = raw[1];
    const float top = raw[2];
    const float bottom = raw[3];
    const float width = right - left;
    const float height = bottom - top;
    if (!UsableExtent(width) || !UsableExtent(height) || !UsableExtent(tanXr) || !UsableExtent(tanYr)) {
        return false;
    }
    remap.sx = 2.0f * tanXr / width;
    remap.sy = 2.0f * tanYr / height;
    // -(right + left), written so that a centred eye gives +0 rather than -0.
    remap.cx = (-right - left) / width;
    remap.cy = (-top - bottom) / height;
    return true;
}

bool CurrentEyeRemaps(EyeRemap (&remaps)[2]) noexcept {
    ProjectionInfo info;
    float tanXr = 0.0f;
    float tanYr = 0.0f;
    return OpticsNow(info, tanXr, tanYr) && ComputeEyeRemap(info.leftEyeRaw, tanXr, tanYr, remaps[0]) &&
           ComputeEyeRemap(info.rightEyeRaw, tanXr, tanYr, remaps[1]);
}

bool ApplyOpticalProjection(void* data) noexcept {
    bool rewritten = false;
    // A failure after the write-back (only the log line can fail there) still reports the rewrite.
    CallAtBoundary(g_opticalProjectionSite, [&] { Rewrite(static_cast<unsigned char*>(data), rewritten); });
    return rewritten;
}

} // namespace corvane
