// Which part of an eye texture the compositor shows: the eye's own field inside the
// common frustum the game was rendered with, moved and scaled by the live picture
// parameters and the convergence. Render thread (presenter), pure arithmetic.
#pragma once

#include "vr/openvr_abi.h"

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

// Left scale, left horizontal, left vertical, right scale, right horizontal, right
// vertical, right roll in degrees.
struct PictureParams {
    float leftScale = 0.65f;
    float leftHorizontal = 0.0f;
    float leftVertical = 0.0f;
    float rightScale = 0.65f;
    float rightHorizontal = 0.0f;
    float rightVertical = 0.0f;
    float rightRollDegrees = 0.0f;
};

struct EyeBoundsInput {
    unsigned eye = 0;
    float convergence = 0.0f; // already applied (see AppliedConvergence)
    bool commonProjection = false;
    float fovScale = 1.0f;   // the FovScale setting
    float commonTanX = 0.0f; // half-extents of the common frustum before the guard band
    float commonTanY = 0.0f;
    RawProjection raw; // of this eye
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
