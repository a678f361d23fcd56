#include "hands/hand_drawing_win32.h"

#include <cstring>

namespace corvane {
namespace {

bool CanDraw(const HandDrawInputs& inputs, ID3D11RenderTargetView* renderTarget) {
    return inputs.scene.headValid && inputs.scene.visibleHands && renderTarget != nullptr &&
           inputs.context != nullptr && inputs.depthView != nullptr && inputs.resources != nullptr &&
           inputs.resources->Complete();
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
    ID3D11Buffer* constants = resources.constantBuffer.Get();
    context->VSSetShader(resources.vertexShader.Get(), nullptr, 0);
    context->VSSetConstantBuffers(0, 1, &constants);
    context->PSSetShader(resources.pixelShader.Get(), nullptr, 0);
    context->PSSetConstantBuffers(0, 1, &constants);
    context->RSSetState(resources.rasterizerState.Get());
    context->OMSetDepthStencilState(resources.depthStencilState.Get(), 0);
}

void DrawHandsForEye(const HandDrawInputs& inputs, int eye, ID3D11RenderTargetView* renderTarget) noexcept {
    if (!CanDraw(inputs, renderTarget)) {
        return;
    }
    Matrix44 viewProjection;
    if (!EyeViewProjection(inputs.scene, eye, viewProjection)) {
        return;
    }
    ID3D11DeviceContext* context = inputs.context;
    context->OMSetRenderTargets(1, &renderTarget, inputs.depthView);
    // Hands are depth-tested against each other only, never against the game picture.
    context->ClearDepthStencilView(inputs.depthView, D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL, 1.0f, 0);

    const HandViewport area = HandViewportFor(inputs.scene);
    D3D11_VIEWPORT viewport{};
    viewport.TopLeftX = area.topLeftX;
    viewport.TopLeftY = area.topLeftY;
    viewport.Width = area.width;
    viewport.Height = area.height;
    viewport.MinDepth = 0.0f;
    viewport.MaxDepth = 1.0f;
    context->RSSetViewports(1, &viewport);

    BindHandPipeline(context, *inputs.resources);
    DrawHand(inputs, inputs.scene.controllers[0], viewProjection);
    DrawHand(inputs, inputs.scene.controllers[1], viewProjection);
}

void DrawHand(const HandDrawInputs& inputs, const ControllerState& controller,
              const Matrix44& viewProjection) noexcept {
    HandParts parts;
    if (!PlaceHand(inputs.scene, controller, parts)) {
        return;
    }
    for (const HandPart& part : parts) {
        DrawHandPart(inputs, part.model, viewProjection, part.colour);
    }
}

void DrawHandPart(const HandDrawInputs& inputs, const Matrix44& model, const Matrix44& viewProjection,
                  const HandColour& colour) noexcept {
    const HandConstants constants = PackHandConstants(MatrixMultiply(viewProjection, model), colour);
    ID3D11Buffer* buffer = inputs.resources->constantBuffer.Get();
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(inputs.context->Map(buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
        return;
    }
    if (mapped.pData == nullptr) {
        inputs.context->Unmap(buffer, 0);
        return;
    }
    std::memcpy(mapped.pData, &constants, sizeof(constants));
    inputs.context->Unmap(buffer, 0);
    inputs.context->DrawIndexed(kHandCubeIndexCount, 0, 0);
}

} // namespace corvane
