// Which part of an eye texture the compositor shows: the eye's own field inside the
// frustum the texture's picture was rendered with, moved and scaled by the live picture
// parameters and the convergence. Render thread (presenter), pure arithmetic.
#pragma once

#include "headset/frame_request.h"
#include "vr/openvr_abi.h"

#include <cstdint>

namespace corvane {

// The whole texture: what an eye shows before its own field and the picture parameters cut
// into it.
inline constexpr VRTextureBounds_t kWholeTexture{0.0f, 0.0f, 1.0f, 1.0f};

// Raw projection tangents of one eye as the runtime reports them.
struct RawProjection {
    float left = 0.0f;
    float right = 0.0f;
    float top = 0.0f;
    float bottom = 0.0f;
};

struct PictureSource {
    PictureProjection projection = PictureProjection::Game;
    uint32_t renderedEye = 0; // meaningful for PictureProjection::Eye
    bool operator==(const PictureSource&) const = default;
};

struct EyeBoundsInput {
    unsigned eye = 0;
    float convergence = 0.0f; // already applied (see AppliedConvergence)
    PictureSource source;     // what the texture holds
    float fovScale = 1.0f;    // the FovScale setting
    float commonTanX = 0.0f;  // half-extents of the common frustum before the guard band
    float commonTanY = 0.0f;
    RawProjection raw;         // of this eye: the field the compositor shows the bounds in
    RawProjection renderedRaw; // of the eye the picture was rendered for (PictureProjection::Eye)
    PictureParams picture;
};

struct Interval {
    float lo = 0.0f;
    float hi = 1.0f;
};

// Scales the window by k around its (shifted) centre, keeping it inside [0, 1] and at
// least 0.01 wide.
Interval AdjustInterval(float lo, float hi, float k, float shift);

// The requested convergence (or the default when not finite) relative to the default.
float AppliedConvergence(float requested);

// The part of a picture rendered with `frustum` that an eye with the raw tangents `field`
// shows, as texture fractions, beyond [0, 1] where the field reaches past the picture. False,
// with the whole texture, when the frustum has no usable extent.
[[nodiscard]] bool FieldInsideFrustum(const RawProjection& field, const RawProjection& frustum,
                                      VRTextureBounds_t& bounds);

// How an eye texture holds its picture. Where the eye's field lies inside the picture, the
// texture is a plain copy and the bounds cut the field out of it. Where the field reaches past
// the picture (one eye's picture shown to the other eye, a frustum narrowed below the eyes'
// fields), no bounds within the texture can show it without stretching: the picture is then laid
// into the texture so that the whole texture spans the eye's field, each direction where it is,
// and what the picture does not cover stays dark.
struct EyeFieldFit {
    bool laidIntoField = false;
    // The eye's field in the picture's texture coordinates (not clamped): texel (x, y) of a laid
    // texture shows the picture at (uMin + x * (uMax - uMin), vMin + y * (vMax - vMin)).
    VRTextureBounds_t field = kWholeTexture;
};

EyeFieldFit FitPictureToEye(const EyeBoundsInput& input);

VRTextureBounds_t ComputeEyeBounds(const EyeBoundsInput& input);

struct AspectCrop {
    Interval u;
    Interval v;
};

// The part of the backbuffer with the headset's aspect ratio, centred.
AspectCrop ComputeAspectCrop(unsigned width, unsigned height, unsigned renderTargetWidth,
                             unsigned renderTargetHeight);

// The live parameters made safe to use: non-finite values fall back to the left side or the
// defaults, scales to at least 0.01.
PictureParams SanitisePictureParams(const PictureParams& requested);

} // namespace corvane
