// Records the two procedural hands into one eye texture on the presenter's deferred
// context. Render thread, with the presenter's lock held; writes nothing but the context's
// commands and the hands' vertex buffer.
#pragma once

#include "hands/hand_batch.h"
#include "hands/hand_depth_slices.h"
#include "hands/hand_pipeline_win32.h"
#include "hands/hand_scene.h"

#include <d3d11.h>

namespace corvane {

struct HandDrawInputs {
    ID3D11DeviceContext* context = nullptr; // the presenter's deferred context
    ID3D11DepthStencilView* depthView = nullptr;
    HandDepthSlices* depthSlices = nullptr; // what the drawings so far left in depthView
    const HandResources* resources = nullptr;
    HandScene scene;
};

// Draws both hands over the eye texture behind `renderTarget` (eye 0 left, any other value
// right): one map of every box's corners and one draw, in the next of the depth buffer's slices
// (clearing it first when they have run out). Does nothing, not even a clear, when the head
// record is invalid, hands are hidden, the render target, context, depth view, its slices or the
// resources are missing, the eye's view cannot be computed, or no hand is placed.
void DrawHandsForEye(const HandDrawInputs& inputs, int eye, ID3D11RenderTargetView* renderTarget) noexcept;

// Input layout, the vertex and index buffers, shaders and the depth-stencil state; each drawing
// sets the rasterizer state its boxes need.
void BindHandPipeline(ID3D11DeviceContext* context, const HandResources& resources) noexcept;

// One box on its own (the first slot of the vertex buffer): the unit cube through
// viewProjection x model, in one flat colour, with no face culled and the pipeline bound by the
// caller. Skipped when the vertex buffer cannot be mapped.
void DrawHandPart(const HandDrawInputs& inputs, const Matrix44& model, const Matrix44& viewProjection,
                  const HandColour& colour) noexcept;

} // namespace corvane
