// Both hands of one eye as the hand pipeline draws them: every box's corners already through
// its model-view-projection, with its colour, in the one vertex buffer the frame maps, and the
// part of the texture they can cover, so that the depth under the hands is reset there only.
// One map and two draws an eye instead of a map and a draw per box and a clear of the whole
// depth buffer. Render thread, no Direct3D.
#pragma once

#include "hands/hand_scene.h"

#include <span>

namespace corvane {

inline constexpr int kHandBoxCount = 2 * kHandPartCount;
// The box after the hands' boxes: a square over the whole viewport at the far depth, drawn into
// the depth buffer only, inside the hands' rectangle.
inline constexpr int kDepthResetBox = kHandBoxCount;
inline constexpr int kHandBoxSlots = kHandBoxCount + 1;
inline constexpr int kBoxCorners = 8;

// The unit cube's corners in the order the index buffer names them.
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

// Texels, right and bottom excluded, as a scissor rectangle takes them.
struct HandRectangle {
    long left = 0;
    long top = 0;
    long right = 0;
    long bottom = 0;
};

struct HandBatch {
    HandVertex vertices[kHandBoxSlots * kBoxCorners] = {};
    bool handDrawn[2] = {}; // left record's hand, right record's hand
    // Holds every texel a drawn box can cover.
    HandRectangle rectangle;
};

// The unit cube's corners through `modelViewProjection`, in `colour`.
void PlaceBox(const Matrix44& modelViewProjection, const HandColour& colour,
              std::span<HandVertex, kBoxCorners> corners);

// Fills the batch for `eye` (0 left, any other value right); false when nothing is to be drawn:
// the eye's view cannot be computed or neither hand is placed.
[[nodiscard]] bool BuildHandBatch(const HandScene& scene, int eye, HandBatch& batch);

// The texels of `viewport` (clamped to the texture) that triangles between these clip-space
// corners can cover, one texel wider on each side; the whole viewport when a corner is at or
// behind the eye or not finite.
[[nodiscard]] HandRectangle CoveredRectangle(const HandScene& scene, const HandViewport& viewport,
                                             std::span<const HandVertex> corners);

} // namespace corvane
