#include "vr/cinema_drawing_win32.h"

#include "hands/hand_pipeline_win32.h"
#include "vr/vr_presenter.h"

#include <cstring>
#include <mutex>

namespace corvane {
namespace {

// The screen is one quad, its corners taken through the eye's view-projection; the surround is
// a clear, or while the screen fades a triangle over the viewport in the surround's colour. Every
// triangle is wound clockwise as seen, the side the rasterizer state keeps.
// Written with the few intrinsics every run-time compiler we meet supports.
constexpr char kCinemaShaderSource[] = R"(cbuffer Cinema : register(b0)
{
    row_major float4x4 viewProjection;
    float4 centre;
    float4 right;
    float4 up;
    float4 surround;
};
Texture2D picture : register(t0);
SamplerState pictureSampler : register(s0);

struct VertexOutput
{
    float4 position : SV_POSITION;
    float2 uv : TEXCOORD0;
};

VertexOutput ScreenVS(uint id : SV_VertexID)
{
    float x = (id >> 1) * 2.0 - 1.0;
    float y = (id & 1) * 2.0 - 1.0;
    float3 corner = centre.xyz + right.xyz * (x * centre.w) + up.xyz * (y * right.w);
    VertexOutput output;
    output.position = mul(viewProjection, float4(corner, 1.0));
    output.uv = float2((x + 1.0) * 0.5, (1.0 - y) * 0.5);
    return output;
}

float4 ScreenPS(VertexOutput input) : SV_TARGET
{
    return float4(picture.Sample(pictureSampler, input.uv).rgb, up.w);
}

VertexOutput SurroundVS(uint id : SV_VertexID)
{
    VertexOutput output;
    output.position = float4((id >> 1) * 4.0 - 1.0, (id & 1) * 4.0 - 1.0, 0.0, 1.0);
    output.uv = float2(0.0, 0.0);
    return output;
}

float4 SurroundPS(VertexOutput input) : SV_TARGET
{
    return float4(surround.rgb, up.w);
}

// The picture laid into an eye's field: the whole target spans the field, whose place in the
// picture is centre.xy (its top left) and centre.zw (its size); the rest stays dark.
VertexOutput FieldVS(uint id : SV_VertexID)
{
    float x = (id & 1) * 2.0;
    float y = (id >> 1) * 2.0;
    VertexOutput output;
    output.position = float4(x * 2.0 - 1.0, 1.0 - y * 2.0, 0.0, 1.0);
    output.uv = centre.xy + float2(x, y) * centre.zw;
    return output;
}

float4 FieldPS(VertexOutput input) : SV_TARGET
{
    float4 colour = float4(picture.Sample(pictureSampler, input.uv).rgb, 1.0);
    if (input.uv.x < 0.0 || input.uv.x > 1.0 || input.uv.y < 0.0 || input.uv.y > 1.0)
    {
        colour = float4(0.0, 0.0, 0.0, 1.0);
    }
    return colour;
}
)";

constexpr char kShaderSourceName[] = "CorvaneVR cinema screen";

struct CinemaShaderCode {
    std::mutex mutex;
    ComPtr<ID3DBlob> screenVertex;
    ComPtr<ID3DBlob> screenPixel;
    ComPtr<ID3DBlob> surroundVertex;
    ComPtr<ID3DBlob> surroundPixel;
    ComPtr<ID3DBlob> fieldVertex;
    ComPtr<ID3DBlob> fieldPixel;
};

CinemaShaderCode& ProcessCinemaShaderCode() {
    static CinemaShaderCode code;
    return code;
}

bool Compile(const char* entry, const char* target, ComPtr<ID3DBlob>& code, std::string& errorText) {
    return CompileShaderStage(HandShaderCompilerLibrary(), kCinemaShaderSource,
                              sizeof(kCinemaShaderSource) - 1, kShaderSourceName, entry, target,
                              "Cinema screen shader compilation failed: ", code, errorText);
}

bool CreateStates(ID3D11Device* device, CinemaResources& resources, std::string& errorText) {
    D3D11_BUFFER_DESC buffer{};
    buffer.ByteWidth = sizeof(CinemaEyeConstants);
    buffer.Usage = D3D11_USAGE_DYNAMIC;
    buffer.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    buffer.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    if (!Created(device->CreateBuffer(&buffer, nullptr, resources.constantBuffer.Put()),
                 "ID3D11Device::CreateBuffer (cinema constants)", errorText)) {
        return false;
    }
    D3D11_SAMPLER_DESC sampler{};
    sampler.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    sampler.AddressU = D3D11_TEXTURE_ADDRESS_CLAMP;
    sampler.AddressV = D3D11_TEXTURE_ADDRESS_CLAMP;
    sampler.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    sampler.MaxLOD = D3D11_FLOAT32_MAX;
    if (!Created(device->CreateSamplerState(&sampler, resources.sampler.Put()),
                 "ID3D11Device::CreateSamplerState", errorText)) {
        return false;
    }
    // Blended by the layer's opacity; the texture's alpha stays as the copy left it.
    D3D11_BLEND_DESC blend{};
    D3D11_RENDER_TARGET_BLEND_DESC& target = blend.RenderTarget[0];
    target.BlendEnable = TRUE;
    target.SrcBlend = D3D11_BLEND_SRC_ALPHA;
    target.DestBlend = D3D11_BLEND_INV_SRC_ALPHA;
    target.BlendOp = D3D11_BLEND_OP_ADD;
    target.SrcBlendAlpha = D3D11_BLEND_ZERO;
    target.DestBlendAlpha = D3D11_BLEND_ONE;
    target.BlendOpAlpha = D3D11_BLEND_OP_ADD;
    target.RenderTargetWriteMask =
        D3D11_COLOR_WRITE_ENABLE_RED | D3D11_COLOR_WRITE_ENABLE_GREEN | D3D11_COLOR_WRITE_ENABLE_BLUE;
    if (!Created(device->CreateBlendState(&blend, resources.blendState.Put()),
                 "ID3D11Device::CreateBlendState", errorText)) {
        return false;
    }
    // Both factors zero: whatever the shader gives, the texels under the screen become (0, 0, 0, 0),
    // premultiplied transparent.
    D3D11_BLEND_DESC hole{};
    D3D11_RENDER_TARGET_BLEND_DESC& cut = hole.RenderTarget[0];
    cut.BlendEnable = TRUE;
    cut.SrcBlend = D3D11_BLEND_ZERO;
    cut.DestBlend = D3D11_BLEND_ZERO;
    cut.BlendOp = D3D11_BLEND_OP_ADD;
    cut.SrcBlendAlpha = D3D11_BLEND_ZERO;
    cut.DestBlendAlpha = D3D11_BLEND_ZERO;
    cut.BlendOpAlpha = D3D11_BLEND_OP_ADD;
    cut.RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    if (!Created(device->CreateBlendState(&hole, resources.holeBlendState.Put()),
                 "ID3D11Device::CreateBlendState (screen hole)", errorText)) {
        return false;
    }
    // The screen is seen through the hands' projection, whose far plane (30 m) a wide screen's
    // corners may lie beyond: it is never cut at a depth. It has one side, the one facing the head
    // it was placed for: seen from behind it would show the picture mirrored.
    D3D11_RASTERIZER_DESC rasterizer{};
    rasterizer.FillMode = D3D11_FILL_SOLID;
    rasterizer.CullMode = D3D11_CULL_BACK;
    rasterizer.FrontCounterClockwise = FALSE;
    rasterizer.DepthClipEnable = FALSE;
    if (!Created(device->CreateRasterizerState(&rasterizer, resources.rasterizerState.Put()),
                 "ID3D11Device::CreateRasterizerState (cinema)", errorText)) {
        return false;
    }
    D3D11_DEPTH_STENCIL_DESC depth{};
    depth.DepthEnable = FALSE;
    depth.DepthWriteMask = D3D11_DEPTH_WRITE_MASK_ZERO;
    depth.DepthFunc = D3D11_COMPARISON_ALWAYS;
    return Created(device->CreateDepthStencilState(&depth, resources.depthStencilState.Put()),
                   "ID3D11Device::CreateDepthStencilState (cinema)", errorText);
}

} // namespace

bool CinemaResources::Complete() const {
    return vertexShader && pixelShader && surroundVertexShader && surroundPixelShader && fieldVertexShader &&
           fieldPixelShader && constantBuffer && sampler && blendState && holeBlendState && rasterizerState &&
           depthStencilState && picture && pictureView;
}

void CinemaResources::Release() {
    pictureView.Reset();
    picture.Reset();
    depthStencilState.Reset();
    rasterizerState.Reset();
    blendState.Reset();
    holeBlendState.Reset();
    sampler.Reset();
    constantBuffer.Reset();
    fieldPixelShader.Reset();
    fieldVertexShader.Reset();
    surroundPixelShader.Reset();
    surroundVertexShader.Reset();
    pixelShader.Reset();
    vertexShader.Reset();
}

bool CreateCinemaResources(ID3D11Device* device, uint32_t width, uint32_t height, uint32_t format,
                           CinemaResources& resources, std::string& errorText) {
    try {
        if (device == nullptr) {
            errorText = "D3D11 device is unavailable for the cinema screen";
            return false;
        }
        CinemaShaderCode& code = ProcessCinemaShaderCode();
        {
            std::lock_guard<std::mutex> lock(code.mutex);
            if ((!code.screenVertex && !Compile("ScreenVS", "vs_5_0", code.screenVertex, errorText)) ||
                (!code.screenPixel && !Compile("ScreenPS", "ps_5_0", code.screenPixel, errorText)) ||
                (!code.surroundVertex && !Compile("SurroundVS", "vs_5_0", code.surroundVertex, errorText)) ||
                (!code.surroundPixel && !Compile("SurroundPS", "ps_5_0", code.surroundPixel, errorText)) ||
                (!code.fieldVertex && !Compile("FieldVS", "vs_5_0", code.fieldVertex, errorText)) ||
                (!code.fieldPixel && !Compile("FieldPS", "ps_5_0", code.fieldPixel, errorText))) {
                return false;
            }
        }
        const auto vertexShader = [&](ID3DBlob* blob, ComPtr<ID3D11VertexShader>& shader) {
            return Created(device->CreateVertexShader(blob->GetBufferPointer(), blob->GetBufferSize(),
                                                      nullptr, shader.Put()),
                           "ID3D11Device::CreateVertexShader (cinema)", errorText);
        };
        const auto pixelShader = [&](ID3DBlob* blob, ComPtr<ID3D11PixelShader>& shader) {
            return Created(device->CreatePixelShader(blob->GetBufferPointer(), blob->GetBufferSize(), nullptr,
                                                     shader.Put()),
                           "ID3D11Device::CreatePixelShader (cinema)", errorText);
        };
        if (!vertexShader(code.screenVertex.Get(), resources.vertexShader) ||
            !pixelShader(code.screenPixel.Get(), resources.pixelShader) ||
            !vertexShader(code.surroundVertex.Get(), resources.surroundVertexShader) ||
            !pixelShader(code.surroundPixel.Get(), resources.surroundPixelShader) ||
            !vertexShader(code.fieldVertex.Get(), resources.fieldVertexShader) ||
            !pixelShader(code.fieldPixel.Get(), resources.fieldPixelShader) ||
            !CreateStates(device, resources, errorText)) {
            return false;
        }
        D3D11_TEXTURE2D_DESC desc{};
        desc.Width = width;
        desc.Height = height;
        desc.MipLevels = 1;
        desc.ArraySize = 1;
        desc.Format = static_cast<DXGI_FORMAT>(format);
        desc.SampleDesc.Count = 1;
        desc.Usage = D3D11_USAGE_DEFAULT;
        desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        return Created(device->CreateTexture2D(&desc, nullptr, resources.picture.Put()),
                       "ID3D11Device::CreateTexture2D (cinema picture)", errorText) &&
               Created(device->CreateShaderResourceView(resources.picture.Get(), nullptr,
                                                        resources.pictureView.Put()),
                       "ID3D11Device::CreateShaderResourceView (cinema picture)", errorText) &&
               resources.Complete();
    } catch (...) {
        // Only the lock or the failure text can throw; the caller sees a failed creation.
        return false;
    }
}

void CopyCinemaPicture(ID3D11DeviceContext* context, const CinemaResources& resources,
                       ID3D11Texture2D* backbuffer, uint32_t sampleCount, uint32_t format) noexcept {
    if (sampleCount > 1) {
        context->ResolveSubresource(resources.picture.Get(), 0, backbuffer, 0,
                                    static_cast<DXGI_FORMAT>(format));
    } else {
        context->CopyResource(resources.picture.Get(), backbuffer);
    }
}

namespace {

// The constants into the one buffer both drawings read; false when it cannot be mapped.
bool UploadConstants(ID3D11DeviceContext* context, const CinemaResources& resources,
                     const CinemaEyeConstants& constants) noexcept {
    ID3D11Buffer* buffer = resources.constantBuffer.Get();
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped)) || mapped.pData == nullptr) {
        return false;
    }
    std::memcpy(mapped.pData, &constants, sizeof(constants));
    context->Unmap(buffer, 0);
    context->VSSetConstantBuffers(0, 1, &buffer);
    context->PSSetConstantBuffers(0, 1, &buffer);
    return true;
}

void BindPicture(ID3D11DeviceContext* context, const CinemaResources& resources) noexcept {
    ID3D11ShaderResourceView* view = resources.pictureView.Get();
    context->PSSetShaderResources(0, 1, &view);
    ID3D11SamplerState* sampler = resources.sampler.Get();
    context->PSSetSamplers(0, 1, &sampler);
}

void UnbindPicture(ID3D11DeviceContext* context) noexcept {
    ID3D11ShaderResourceView* none = nullptr;
    context->PSSetShaderResources(0, 1, &none);
}

} // namespace

void ClearForCinema(ID3D11DeviceContext* context, ID3D11RenderTargetView* renderTarget,
                    const CinemaEyeConstants& constants) noexcept {
    if (renderTarget != nullptr) {
        context->ClearRenderTargetView(renderTarget, constants.surround);
    }
}

void DrawCinemaForEye(ID3D11DeviceContext* context, const CinemaResources& resources,
                      const CinemaEyeConstants& constants, ID3D11RenderTargetView* renderTarget,
                      ID3D11DepthStencilView* depthView, const D3D11_VIEWPORT& viewport) noexcept {
    if (renderTarget == nullptr || !resources.Complete()) {
        return;
    }
    if (!UploadConstants(context, resources, constants)) {
        return;
    }

    // Opaque, the screen's alpha (1) is the surround clear's, and its colour replaces what is
    // under it: the same texels without reading the target back to blend.
    const bool opaque = constants.up[3] >= 1.0f;
    context->OMSetRenderTargets(1, &renderTarget, depthView);
    context->OMSetBlendState(opaque ? nullptr : resources.blendState.Get(), nullptr, 0xFFFFFFFFu);
    context->OMSetDepthStencilState(resources.depthStencilState.Get(), 0);
    context->RSSetViewports(1, &viewport);
    context->RSSetState(resources.rasterizerState.Get());
    context->IASetInputLayout(nullptr);
    // Opaque, the surround is the clear the texture already had; fading, it is laid over the
    // game's picture like the screen.
    if (!opaque) {
        context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
        context->VSSetShader(resources.surroundVertexShader.Get(), nullptr, 0);
        context->PSSetShader(resources.surroundPixelShader.Get(), nullptr, 0);
        context->Draw(3, 0);
    }
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    context->VSSetShader(resources.vertexShader.Get(), nullptr, 0);
    context->PSSetShader(resources.pixelShader.Get(), nullptr, 0);
    BindPicture(context, resources);
    context->Draw(4, 0);
    // The hands drawn next bind their own states; what they do not set must not blend.
    context->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFFu);
    UnbindPicture(context);
}

void CutScreenHole(ID3D11DeviceContext* context, const CinemaResources& resources,
                   const CinemaEyeConstants& constants, ID3D11RenderTargetView* renderTarget,
                   ID3D11DepthStencilView* depthView, const D3D11_VIEWPORT& viewport) noexcept {
    if (renderTarget == nullptr || !resources.Complete() || !UploadConstants(context, resources, constants)) {
        return;
    }
    context->OMSetRenderTargets(1, &renderTarget, depthView);
    context->OMSetBlendState(resources.holeBlendState.Get(), nullptr, 0xFFFFFFFFu);
    context->OMSetDepthStencilState(resources.depthStencilState.Get(), 0);
    context->RSSetViewports(1, &viewport);
    context->RSSetState(resources.rasterizerState.Get());
    context->IASetInputLayout(nullptr);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    context->VSSetShader(resources.vertexShader.Get(), nullptr, 0);
    context->PSSetShader(resources.pixelShader.Get(), nullptr, 0);
    BindPicture(context, resources);
    context->Draw(4, 0);
    context->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFFu);
    UnbindPicture(context);
}

void DrawPictureInField(ID3D11DeviceContext* context, const CinemaResources& resources,
                        const VRTextureBounds_t& field, ID3D11RenderTargetView* renderTarget, uint32_t width,
                        uint32_t height) noexcept {
    if (renderTarget == nullptr || !resources.Complete()) {
        return;
    }
    CinemaEyeConstants constants{};
    constants.centre[0] = field.uMin;
    constants.centre[1] = field.vMin;
    constants.centre[2] = field.uMax - field.uMin;
    constants.centre[3] = field.vMax - field.vMin;
    if (!UploadConstants(context, resources, constants)) {
        // Dark rather than the picture stretched over a field it does not span.
        const float dark[4] = {0.0f, 0.0f, 0.0f, 1.0f};
        context->ClearRenderTargetView(renderTarget, dark);
        return;
    }
    D3D11_VIEWPORT viewport{};
    viewport.Width = static_cast<float>(width);
    viewport.Height = static_cast<float>(height);
    viewport.MaxDepth = 1.0f;
    context->OMSetRenderTargets(1, &renderTarget, nullptr);
    context->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFFu);
    context->OMSetDepthStencilState(resources.depthStencilState.Get(), 0);
    context->RSSetViewports(1, &viewport);
    context->RSSetState(resources.rasterizerState.Get());
    context->IASetInputLayout(nullptr);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    context->VSSetShader(resources.fieldVertexShader.Get(), nullptr, 0);
    context->PSSetShader(resources.fieldPixelShader.Get(), nullptr, 0);
    BindPicture(context, resources);
    context->Draw(3, 0);
    UnbindPicture(context);
}

} // namespace corvane
