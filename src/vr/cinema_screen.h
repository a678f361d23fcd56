// The cinema screen: while the game owns the camera (before first person, cutscenes, menus,
// first person switched off) its picture is shown on a flat, level screen that stands still in
// the tracking space in front of where the player looked when the game took the camera,
// instead of a picture glued to the face. This file decides when it shows, where it stands
// and what each eye sees of it; the drawing is Direct3D glue. Render thread, presenter lock.
#pragma once

#include "headset/pose_matrices.h"
#include "vr/openvr_abi.h"

#include <cstdint>

namespace corvane {

// Frames a fade in or out lasts.
inline constexpr uint32_t kCinemaFadeFrames = 8;

// Where the screen stands, in the tracking space (metres).
struct CinemaPlacement {
    bool valid = false;
    float centre[3] = {};
    float right[3] = {1.0f, 0.0f, 0.0f}; // horizontal, along the screen's width
    float halfWidth = 0.0f;
    float halfHeight = 0.0f;
    float yawDegrees = 0.0f; // the head's heading it faces, 0 along -z, positive to the left
    float origin[3] = {};    // where the head was when it was placed
    float distance = 0.0f;   // from the origin, along the heading
};

// Level and facing the head: `distance` along the head's heading (its pitch and roll ignored),
// at the head's height, `width` wide with the picture's aspect. False, with an invalid
// placement, for a pose that is not finite, a head looking straight up or down, or an aspect
// or size that is not positive and finite.
[[nodiscard]] bool PlaceCinemaScreen(const HmdMatrix34_t& head, float distance, float width,
                                     float pictureAspect, CinemaPlacement& placement);

// The same screen at another distance from where it was placed and another width, facing the
// same way with the same aspect. False, with the placement unchanged, for an invalid placement or
// a size that is not positive and finite.
[[nodiscard]] bool ResizeCinemaScreen(CinemaPlacement& placement, float distance, float width);

struct CinemaScreenState {
    bool wanted = false;      // the last frame wanted the screen
    bool everShown = false;   // the first showing has been said
    bool placePending = true; // to be placed in front of the head at the next chance
    uint32_t fadeStep = 0;    // 0 hidden ... kCinemaFadeFrames fully shown
    CinemaPlacement placement;
};

// What one frame does with the screen.
struct CinemaFrame {
    bool visible = false;
    float opacity = 0.0f;
    bool turnedOn = false;            // wanted from this frame on
    bool turnedOff = false;           // not wanted from this frame on
    bool firstShown = false;          // visible for the first time in the process
    bool placed = false;              // placed in front of the head in this frame
    bool waitingForPlacement = false; // wanted, but no head pose could place it yet
};

struct CinemaInputs {
    bool wanted = false;   // the setting is on and first-person stereo is not engaged
    bool recentre = false; // the player or the runtime asked for the view to be centred again
    bool headValid = false;
    HmdMatrix34_t head = {};
    float distance = 3.0f;
    float width = 4.0f;
    float pictureAspect = 16.0f / 9.0f;
};

// Advances the fade by one step towards wanted or not, places the screen again each time it
// is wanted anew (the game took the camera) or a recentre was asked for, and says what changed.
// A screen that could not be placed yet (no head pose) stays hidden until it can.
CinemaFrame StepCinemaScreen(CinemaScreenState& state, const CinemaInputs& inputs);

// The 128 bytes one eye's screen is drawn with: the eye's projection x view (row by row, for
// column vectors), the screen's centre, axes and half sizes, the layer's opacity and the
// surround. The screen is one quad: its corners go through the view-projection.
struct CinemaEyeConstants {
    float viewProjection[16];
    float centre[4]; // w: half width
    float right[4];  // w: half height
    float up[4];     // w: opacity
    float surround[4];
};
static_assert(sizeof(CinemaEyeConstants) == 128);

// The constants for one eye from the head pose its texture is submitted with, its eye-to-head
// transform and projection. False when any of them is unusable.
[[nodiscard]] bool MakeCinemaEyeConstants(const PoseMatrix34& head, const PoseMatrix34& eyeToHead,
                                          const Matrix4x4& projection, const CinemaPlacement& placement,
                                          float opacity, float surround, CinemaEyeConstants& constants);

// Where the point (u right, v down, 0 to 1) of the game's picture lands in the eye's normalised
// device coordinates: what the vertex shader does with the screen's corners, for any point of
// the quad. False when it lies behind the eye.
[[nodiscard]] bool CinemaPointOnEye(const CinemaEyeConstants& constants, float u, float v, float& ndcX,
                                    float& ndcY);

} // namespace corvane
