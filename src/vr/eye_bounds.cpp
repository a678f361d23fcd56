#include "vr/eye_bounds.h"

#include <algorithm>
#include <cmath>

namespace corvane {
namespace {

constexpr float kDefaultScale = 0.65f;
constexpr float kDefaultConvergence = -0.095f;
constexpr float kMinimumScale = 0.01f;
constexpr float kMinimumWidth = 0.01f;
constexpr float kGuardBand = 1.05f;
constexpr float kMinimumTangent = 0.01f;
constexpr float kUnchanged = 1e-7f;
// How far past the texture's edge a cut may reach and still count as a cut (a tenth of a texel
// of a 4096-texel texture).
constexpr float kFieldSlack = 2.5e-5f;

// The frustum reaching `tanX` to either side and `tanY` up and down.
RawProjection Symmetric(float tanX, float tanY) {
    return RawProjection{-tanX, tanX, -tanY, tanY};
}

float FiniteOr(float value, float fallback) {
    return std::isfinite(value) ? value : fallback;
}

} // namespace

Interval AdjustInterval(float lo, float hi, float k, float shift) {
    const float width = std::clamp(hi - lo, kMinimumWidth, 1.0f);
    const float centre = std::clamp((lo + hi) * 0.5f + shift, 0.0f, 1.0f);
    const float roomBesideCentre = std::max(2.0f * std::min(centre, 1.0f - centre), kMinimumWidth);
    const float half = 0.5f * std::min(roomBesideCentre, std::clamp(k * width, kMinimumWidth, 1.0f));
    const float clampedCentre = std::clamp(centre, half, 1.0f - half);
    return Interval{clampedCentre - half, clampedCentre + half};
}

float AppliedConvergence(float requested) {
    return FiniteOr(requested, kDefaultConvergence) - kDefaultConvergence;
}

bool FieldInsideFrustum(const RawProjection& field, const RawProjection& frustum, VRTextureBounds_t& bounds) {
    bounds = kWholeTexture;
    const float width = frustum.right - frustum.left;
    const float height = frustum.bottom - frustum.top;
    if (!std::isfinite(width) || !std::isfinite(height) || width <= kMinimumTangent ||
        height <= kMinimumTangent) {
        return false;
    }
    const VRTextureBounds_t cut{
        (field.left - frustum.left) / width,
        // The raw bottom tangent points up, so it gives the upper edge, the smaller v.
        (frustum.bottom - field.bottom) / height,
        (field.right - frustum.left) / width,
        (frustum.bottom - field.top) / height,
    };
    if (!std::isfinite(cut.uMin) || !std::isfinite(cut.vMin) || !std::isfinite(cut.uMax) ||
        !std::isfinite(cut.vMax) || cut.uMax - cut.uMin <= 0.0f || cut.vMax - cut.vMin <= 0.0f) {
        return false;
    }
    bounds = cut;
    return true;
}

EyeFieldFit FitPictureToEye(const EyeBoundsInput& input) {
    EyeFieldFit fit;
    if (input.eye > 1) {
        return fit;
    }
    RawProjection frustum;
    switch (input.source.projection) {
    case PictureProjection::Common: {
        const float scale = std::clamp(input.fovScale, 0.5f, 2.0f);
        const float tx = input.commonTanX * kGuardBand * scale;
        const float ty = input.commonTanY * kGuardBand * scale;
        if (!std::isfinite(tx) || !std::isfinite(ty) || tx <= kMinimumTangent || ty <= kMinimumTangent) {
            return fit;
        }
        frustum = Symmetric(tx, ty);
        break;
    }
    case PictureProjection::Eye:
        // The picture already spans exactly the rendered eye's field.
        if (input.source.renderedEye == input.eye) {
            return fit;
        }
        frustum = input.renderedRaw;
        break;
    case PictureProjection::Game:
        // The game's own picture has no frustum of ours. Laid over the one field that holds both
        // eyes, it shows each texel in the same direction to both, as a flat picture far away;
        // laid over each eye's own field it would make the eyes diverge.
        frustum = Symmetric(input.commonTanX, input.commonTanY);
        break;
    }
    VRTextureBounds_t field;
    if (!FieldInsideFrustum(input.raw, frustum, field)) {
        return fit;
    }
    fit.field = field;
    // Rounding may put an edge a hair outside the texture; that is still a cut, not a reach.
    fit.laidIntoField = field.uMin < -kFieldSlack || field.vMin < -kFieldSlack ||
                        field.uMax > 1.0f + kFieldSlack || field.vMax > 1.0f + kFieldSlack;
    return fit;
}

VRTextureBounds_t ComputeEyeBounds(const EyeBoundsInput& input) {
    const EyeFieldFit fit = FitPictureToEye(input);
    VRTextureBounds_t bounds = kWholeTexture;
    if (!fit.laidIntoField) {
        bounds.uMin = std::clamp(fit.field.uMin, 0.0f, 1.0f);
        bounds.vMin = std::clamp(fit.field.vMin, 0.0f, 1.0f);
        bounds.uMax = std::clamp(fit.field.uMax, 0.0f, 1.0f);
        bounds.vMax = std::clamp(fit.field.vMax, 0.0f, 1.0f);
    }

    const bool rightSide = input.eye == 1;
    const PictureParams& p = input.picture;
    const float scale = FiniteOr(rightSide ? p.rightScale : p.leftScale, kDefaultScale);
    const float k = kDefaultScale / std::max(kMinimumScale, scale);
    const float convergence = FiniteOr(input.convergence, 0.0f);
    const float horizontal = FiniteOr(rightSide ? p.rightHorizontal : p.leftHorizontal, 0.0f);
    const float vertical = FiniteOr(rightSide ? p.rightVertical : p.leftVertical, 0.0f);

    if (std::fabs(k - 1.0f) > kUnchanged || std::fabs(convergence) > kUnchanged ||
        std::fabs(horizontal) > kUnchanged || std::fabs(vertical) > kUnchanged) {
        const float sign = input.eye == 0 ? 1.0f : -1.0f;
        const Interval u = AdjustInterval(bounds.uMin, bounds.uMax, k, sign * convergence - horizontal);
        const Interval v = AdjustInterval(bounds.vMin, bounds.vMax, k, -vertical);
        bounds.uMin = u.lo;
        bounds.uMax = u.hi;
        bounds.vMin = v.lo;
        bounds.vMax = v.hi;
    }
    return bounds;
}

AspectCrop ComputeAspectCrop(unsigned width, unsigned height, unsigned renderTargetWidth,
                             unsigned renderTargetHeight) {
    AspectCrop crop;
    if (width == 0 || height == 0 || renderTargetWidth == 0 || renderTargetHeight == 0) {
        return crop;
    }
    const float source = static_cast<float>(width) / static_cast<float>(height);
    const float headset = static_cast<float>(renderTargetWidth) / static_cast<float>(renderTargetHeight);
    if (source > headset) {
        const float c = (1.0f - headset / source) * 0.5f;
        crop.u = Interval{c, 1.0f - c};
    } else if (source < headset) {
        const float c = (1.0f - source / headset) * 0.5f;
        crop.v = Interval{c, 1.0f - c};
    }
    return crop;
}

PictureParams SanitisePictureParams(const PictureParams& requested) {
    PictureParams p;
    p.leftScale = std::max(kMinimumScale, FiniteOr(requested.leftScale, kDefaultScale));
    p.leftHorizontal = FiniteOr(requested.leftHorizontal, 0.0f);
    p.leftVertical = FiniteOr(requested.leftVertical, 0.0f);
    p.rightScale = std::max(kMinimumScale, FiniteOr(requested.rightScale, p.leftScale));
    p.rightHorizontal = FiniteOr(requested.rightHorizontal, p.leftHorizontal);
    p.rightVertical = FiniteOr(requested.rightVertical, p.leftVertical);
    p.rightRollDegrees = FiniteOr(requested.rightRollDegrees, 0.0f);
    return p;
}

} // namespace corvane
