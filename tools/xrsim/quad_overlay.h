// Quad layers drawn over the player's view: each eye's grid directions, turned by that eye's
// view pose, hit the quad's plane or miss it. Platform-free; runs inside xrEndFrame under the
// runtime lock on captured frames only.
#pragma once

#include "motion.h"

#include <capture_image.h>
#include <eye_view.h>

#include <vector>

namespace xrsim {

enum class QuadBlend { Opaque, Premultiplied, Straight };

struct QuadSource {
    const vrsim::RgbaImage* image = nullptr;
    // The sub-image as texture coordinates of the whole image.
    double uMin = 0.0, vMin = 0.0, uMax = 1.0, vMax = 1.0;
    Pose pose;           // the quad's centre and axes in LOCAL; it faces +z
    double width = 0.0;  // metres along its x
    double height = 0.0; // metres along its y
    QuadBlend blend = QuadBlend::Opaque;
};

// Draws the quads in order over both halves of `view` (laid out as vrsim::ComposeView lays it),
// eye e seeing from eyePoses[e] (in LOCAL) with its grid directions (x, y, -1) in that pose's axes.
void DrawQuads(const vrsim::ViewGrid& grid, const Pose (&eyePoses)[2], const std::vector<QuadSource>& quads,
               vrsim::RgbaImage& view);

} // namespace xrsim
