// Where the ten boxes of a procedural hand go (palm, four two-segment fingers, thumb) and
// in which colour, from a controller's pose, trigger and grip. Render thread, pure
// arithmetic; the drawing glue issues one draw per part.
#pragma once

#include "hands/hand_matrix.h"
#include "headset/tracking_state.h"

#include <array>

namespace corvane {

struct HandColour {
    float red = 0.0f;
    float green = 0.0f;
    float blue = 0.0f;
    float alpha = 1.0f;
};

struct HandPart {
    Matrix44 model; // maps the unit cube onto the box
    HandColour colour;
};

inline constexpr int kHandPartCount = 10;
using HandParts = std::array<HandPart, kHandPartCount>;

// How far each finger bends (0 straight, 1 fully curled) and the thumb's fold.
struct HandCurls {
    float index = 0.0f;
    float middle = 0.0f;
    float ring = 0.0f;
    float little = 0.0f;
    float thumb = 0.0f;
};

HandCurls ComputeHandCurls(float trigger, float grip);

HandColour FingerColour(bool leftHand);
HandColour PalmColour(bool leftHand);

// The hand frame: the controller pose with its distance from the headset scaled by the
// world scale, and the whole hand scaled by world scale x hand scale.
Matrix44 HandFrame(const Matrix44& controllerPose, const Matrix44& headsetPose, float worldScale,
                   float handScale);

// Parts in drawing order: palm, index (two segments), middle, ring, little, thumb.
HandParts BuildHandParts(const Matrix44& handFrame, bool leftHand, float trigger, float grip);

} // namespace corvane
