// What the frame driver and the game-thread handlers exchange with the headset side, whichever
// runtime serves it: the frame's request, the picture parameters and the optics the camera
// code projects with.
#pragma once

#include <cstdint>

namespace corvane {

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

// The projection an eye texture's picture was rendered with. The compositor spreads the
// submitted bounds over the eye's own field, so the bounds must cut exactly that field out of
// the picture's frustum, or every direction in the eye is shown displaced and magnified.
enum class PictureProjection : uint8_t {
    Game,   // the game's own: a flat picture spread over the field that holds both eyes
    Common, // the symmetric frustum that holds both eyes (common tangents, guard band, FovScale)
    Eye,    // the asymmetric frustum of one eye, `renderedEye`: the camera buffer was rewritten
};

// The raw tangents of both eyes (left, right, top, bottom) and the common frustum's half-extents.
struct ProjectionInfo {
    float leftEyeRaw[4] = {};
    float rightEyeRaw[4] = {};
    float commonTanX = 0.0f;
    float commonTanY = 0.0f;
};

// What the frame driver hands the presenter for one frame.
struct FrameRequest {
    uint32_t eye = 0; // the eye the game rendered: 0 left, 1 right
    bool pairValid = false;
    PictureProjection projection = PictureProjection::Game; // what the game's picture was rendered with
    float requestedConvergence = -0.095f;
    PictureParams picture; // the live values; RenderFrame sanitises them
    bool cinema = false;   // the game owns the camera: its picture goes on the cinema screen
    bool hold = false;     // the picture is not shown: the eye textures go out again as they are
};

} // namespace corvane
