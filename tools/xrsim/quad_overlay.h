// Quad layers drawn over the player's view: each eye's grid directions, turned by that eye's
// view pose, hit the quad's plane or miss it. Platform-free; runs inside xrEndFrame under the
// runtime lock on captured frames only.
#pragma once

#include "motion.h"

#include <capture_image.h>
#include <eye_view.h>

#include <vector>

namespace xrsim {

// How a layer's texel lands on what is below it: replacing it, or weighted by the texel's alpha
// with its colour already multiplied by that alpha (premultiplied) or not (straight).
enum class LayerBlend { Opaque, Premultiplied, Straight };

// One texel (RGBA, 8 bits a channel) onto one pixel of the view (RGB): stored values as read,
// alpha scaled to 0..1, rounded to nearest.
void BlendTexel(const uint8_t* source, LayerBlend blend, uint8_t* target);

struct QuadSource {
    const vrsim::RgbaImage* image = nullptr;
    // The sub-image as texture coordinates of the whole image.
    double uMin = 0.0, vMin = 0.0, uMax = 1.0, vMax = 1.0;
    Pose pose;           // the quad's centre and axes in LOCAL; it faces +z
    double width = 0.0;  // metres along its x
    double height = 0.0; // metres along its y
    LayerBlend blend = LayerBlend::Opaque;
};

// Draws the quads in order over both halves of `view` (laid out as vrsim::ComposeView lays it),
// eye e seeing from eyePoses[e] (in LOCAL) with its grid directions (x, y, -1) in that pose's axes.
void DrawQuads(const vrsim::ViewGrid& grid, const Pose (&eyePoses)[2], const std::vector<QuadSource>& quads,
               vrsim::RgbaImage& view);

} // namespace xrsim
