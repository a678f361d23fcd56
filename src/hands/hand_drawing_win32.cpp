#include "hands/hand_drawing_win32.h"

#include <cstring>
#include <iterator>

namespace corvane {
namespace {

bool CanDraw(const HandDrawInputs& inputs, ID3D11RenderTargetView* renderTarget) {
    return inputs.scene.headValid && inputs.scene.visibleHands && renderTarget != nullptr &&
           inputs.context != nullptr && inputs.depthView != nullptr && inputs.depthSlices != nullptr &&
           inputs.resources != nullptr && inputs.resources->Complete();
}

// The first `count` corners into the vertex buffer, in one map; false when it cannot be mapped.
bool WriteCorners(ID3D11DeviceContext* context, const HandResources& resources, const HandVertex* corners,
                  size_t count) {
    ID3D11Buffer* buffer = resources.vertexBuffer.Get();
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
        return false;
    }
    if (mapped.pData == nullptr) {
        context->Unmap(buffer, 0);
        return false;
    }
    std::memcpy(mapped.pData, corners, count * sizeof(HandVertex));
    context->Unmap(buffer, 0);
    return true;
}

void DrawBoxes(ID3D11DeviceContext* context, int firstBox, int boxCount) {
    context->DrawIndexed(static_cast<UINT>(boxCount) * kHandCubeIndexCount,
                         static_cast<UINT>(firstBox) * kHandCubeIndexCount, 0);
}

} // namespace

void BindHandPipeline(ID3D11DeviceContext* context, const HandResources& resources) noexcept {
    context->IASetInputLayout(resources.inputLayout.Get());
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ID3D11Buffer* vertexBuffer = resources.vertexBuffer.Get();
    const UINT stride = kHandVertexStride;
    const UINT offset = 0;
    context->IASetVertexBuffers(0, 1, &vertexBuffer, &stride, &offset);
    context->IASetIndexBuffer(resources.indexBuffer.Get(), DXGI_FORMAT_R16_UINT, 0);
    context->VSSetShader(resources.vertexShader.Get(), nullptr, 0);
    context->PSSetShader(resources.pixelShader.Get(), nullptr, 0);
    context->OMSetDepthStencilState(resources.depthStencilState.Get(), 0);
}

void DrawHandsForEye(const HandDrawInputs& inputs, int eye, ID3D11RenderTargetView* renderTarget) noexcept {
    if (!CanDraw(inputs, renderTarget)) {
        return;
    }
    HandBatch batch;
    if (!BuildHandBatch(inputs.scene, eye, batch)) {
        return;
    }
    const HandDepthPlan depth = inputs.depthSlices->Take(batch.betweenNearAndFar);
    SqueezeIntoDepthSlice(batch, depth.slice);
    ID3D11DeviceContext* context = inputs.context;
    const HandResources& resources = *inputs.resources;
    if (!WriteCorners(context, resources, batch.vertices, std::size(batch.vertices))) {
        // The slice taken may have been the one that clears.
        inputs.depthSlices->Forget();
        return;
    }
    const HandViewport area = HandViewportFor(inputs.scene);
    D3D11_VIEWPORT viewport{};
    viewport.TopLeftX = area.topLeftX;
    viewport.TopLeftY = area.topLeftY;
    viewport.Width = area.width;
    viewport.Height = area.height;
    viewport.MinDepth = 0.0f;
    viewport.MaxDepth = 1.0f;
    context->RSSetViewports(1, &viewport);
    BindHandPipeline(context, resources);
    // Boxes are closed, so their back faces are always hidden behind their front ones: culling
    // them halves what the rasterizer fills.
    context->RSSetState(resources.cullingRasterizerState.Get());

    // Hands are depth-tested against each other only, never against the game picture, and never
    // against an earlier drawing's hands: those lie in farther slices of the depth range.
    if (depth.clearFirst) {
        context->ClearDepthStencilView(inputs.depthView, D3D11_CLEAR_DEPTH, 1.0f, 0);
    }
    context->OMSetRenderTargets(1, &renderTarget, inputs.depthView);
    if (batch.handDrawn[0] && batch.handDrawn[1]) {
        DrawBoxes(context, 0, kHandBoxCount);
    } else {
        DrawBoxes(context, batch.handDrawn[0] ? 0 : kHandPartCount, kHandPartCount);
    }
}

void DrawHandPart(const HandDrawInputs& inputs, const Matrix44& model, const Matrix44& viewProjection,
                  const HandColour& colour) noexcept {
    HandVertex corners[kBoxCorners];
    PlaceBox(MatrixMultiply(viewProjection, model), colour, corners);
    if (WriteCorners(inputs.context, *inputs.resources, corners, kBoxCorners)) {
        // Whatever its winding: a lone part may be seen from inside.
        inputs.context->RSSetState(inputs.resources->rasterizerState.Get());
        DrawBoxes(inputs.context, 0, 1);
    }
}

} // namespace corvane
