// Both hands of one eye as the hand pipeline draws them: every box's corners already through
// its model-view-projection, with its colour, in the one vertex buffer the frame maps. One map
// and one draw an eye instead of a map and a draw per box. Render thread, no Direct3D.
#pragma once

#include "hands/hand_depth_slices.h"
#include "hands/hand_scene.h"

#include <span>

namespace corvane {

inline constexpr int kHandBoxCount = 2 * kHandPartCount;
inline constexpr int kBoxCorners = 8;

// The unit cube's corners in the order the index buffer names them. The index buffer winds
// every face counter-clockwise about its outward normal.
inline constexpr float kUnitCubeCorners[kBoxCorners][3] = {
    {-0.5f, -0.5f, -0.5f}, {-0.5f, 0.5f, -0.5f}, {0.5f, 0.5f, -0.5f}, {0.5f, -0.5f, -0.5f},
    {-0.5f, -0.5f, 0.5f},  {-0.5f, 0.5f, 0.5f},  {0.5f, 0.5f, 0.5f},  {0.5f, -0.5f, 0.5f},
};

// One corner as the vertex shader takes it: clip-space position, then red, green, blue, alpha.
struct HandVertex {
    float clip[4];
    float colour[4];
};
static_assert(sizeof(HandVertex) == 32);

struct HandBatch {
    HandVertex vertices[kHandBoxCount * kBoxCorners] = {};
    bool handDrawn[2] = {}; // left record's hand, right record's hand
    // Every drawn corner is in front of the eye, finite, and between the near and far planes.
    bool betweenNearAndFar = false;
};

// The unit cube's corners through `modelViewProjection`, in `colour`. A matrix that turns the
// cube inside out (negative determinant, as every projection from a right-handed view does) gets
// the cube's mirror image, which is the same box with its faces wound the other way, so that the
// faces towards the eye are always clockwise on screen and back faces can be culled.
void PlaceBox(const Matrix44& modelViewProjection, const HandColour& colour,
              std::span<HandVertex, kBoxCorners> corners);

// Fills the batch for `eye` (0 left, any other value right); false when nothing is to be drawn:
// the eye's view cannot be computed or neither hand is placed.
[[nodiscard]] bool BuildHandBatch(const HandScene& scene, int eye, HandBatch& batch);

// Every drawn corner's depth moved into `slice`, its order along each line of sight kept: the
// clip-space z becomes nearest * w + width * z, which the rasterizer still interpolates exactly.
void SqueezeIntoDepthSlice(HandBatch& batch, const HandDepthSlice& slice);

} // namespace corvane
