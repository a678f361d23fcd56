// The marker squares of the stand-in game's world: flat squares of one exact colour each, at
// fixed world positions, so that a test can follow a point of the world to where the player
// finally sees it. Platform-free; the tables are constant, read from the main thread.
#pragma once

#include "camera_math.h"

#include <cstddef>

struct Marker {
    const char* name; // the trace key is "marker_" followed by this
    Vec3 centre;      // game units
    float size;       // edge length in game units; the square faces +z
    float color[3];   // each channel exactly 0 or 1, so every covered texel holds 0 or 255
};

// The player spawns at (0, 0, 8) facing -z; the game's first-person eye is 1.7 units up. The
// program converts 1.75 game units to a metre. Every square lies off the lines of sight to
// the others and to the crosshair, and above the pedestrians' heads (or nearer than their
// lanes), so none is hidden from the spawn's first-person view.
inline constexpr Marker kMarkers[] = {
    // 60 m ahead, 3 m across; 3 m left and 2.5 m up, so that the crosshair stays beside it and
    // the pedestrians' heads, level with the eye, stay below it.
    {"far", {-5.25f, 6.0f, -97.0f}, 5.25f, {1, 0, 1}},
    // 1.5 m ahead, 10 cm across, just below eye level.
    {"near", {0.0f, 1.45f, 5.375f}, 0.175f, {0, 1, 1}},
    // 5 m ahead and 3 m right, 40 cm across, 40 cm above eye level.
    {"side", {5.25f, 2.4f, -0.75f}, 0.7f, {1, 1, 0}},
};
inline constexpr int kMarkerCount = static_cast<int>(sizeof(kMarkers) / sizeof(kMarkers[0]));

// " marker_far=X,Y,Z marker_near=X,Y,Z marker_side=X,Y,Z" (each key after a blank, four
// decimals) into out; returns false when it does not fit.
[[nodiscard]] bool FormatMarkerPositions(char* out, size_t size);
