#include "vr/cinema_drawing_win32.h"

#include "hands/hand_pipeline_win32.h"
#include "vr/vr_presenter.h"

#include <d3dcompiler.h>

#include <cstring>
#include <mutex>

namespace corvane {
namespace {

// The direction of each pixel comes from the viewport's corners, which span the eye's raw
// tangents; the pixel shader follows it to the screen's plane (CinemaPictureAt does the same
// on the CPU). Written with the few intrinsics every run-time compiler we meet supports.
constexpr char kCinemaShaderSource[] = R"(cbuffer Cinema : register(b0)
{
    float4 eyeRight;
    float4 eyeUp;
    float4 eyeBack;
    float4 eyePosition;
    float4 tangents;
    float4 centre;
    float4 screenRight;
    float4 screenUp;
    float4 surround;
};
Texture2D picture : register(t0);
SamplerState pictureSampler : register(s0);

struct VertexOutput
{
    float4 position : SV_POSITION;
    float2 tangent : TEXCOORD0;
};

VertexOutput VSMain(uint id : SV_VertexID)
{
    float2 ndc = float2((id & 1) * 4.0 - 1.0, (id >> 1) * 4.0 - 1.0);
    VertexOutput output;
    output.position = float4(ndc, 0.0, 1.0);
    output.tangent = float2(tangents.x + (ndc.x + 1.0) * 0.5 * (tangents.y - tangents.x),
                            tangents.z + (ndc.y + 1.0) * 0.5 * (tangents.w - tangents.z));
    return output;
}

float4 PSMain(VertexOutput input) : SV_TARGET
{
    float3 direction = eyeRight.xyz * input.tangent.x + eyeUp.xyz * input.tangent.y - eyeBack.xyz;
    float3 normal = float3(screenRight.y * screenUp.z - screenRight.z * screenUp.y,
                           screenRight.z * screenUp.x - screenRight.x * screenUp.z,
                           screenRight.x * screenUp.y - screenRight.y * screenUp.x);
    float3 toCentre = centre.xyz - eyePosition.xyz;
    float facing = dot(direction, normal);
    // A direction along the screen's plane gets a huge distance and misses it.
    float along = dot(toCentre, normal) * facing / max(facing * facing, 1e-12);
    float3 fromCentre = direction * along - toCentre;
    float x = dot(fromCentre, screenRight.xyz) / centre.w;
    float y = dot(fromCentre, screenUp.xyz) / screenRight.w;
    float inside = 1.0;
    if (along < 0.0) { inside = 0.0; }
    if (abs(x) > 1.0) { inside = 0.0; }
    if (abs(y) > 1.0) { inside = 0.0; }
    // Sampled everywhere, outside any branch, so that the texture's gradients are defined.
    float4 texel = picture.Sample(pictureSampler, float2((x + 1.0) * 0.5, (1.0 - y) * 0.5));
    return float4(surround.rgb + (texel.rgb - surround.rgb) * inside, eyePosition.w);
}
)";

constexpr char kShaderSourceName[] = "CorvaneVR cinema screen";

struct CinemaShaderCode {
    std::mutex mutex;
    ComPtr<ID3DBlob> vertex;
    ComPtr<ID3DBlob> pixel;
};

CinemaShaderCode& ProcessCinemaShaderCode() {
    static CinemaShaderCode code;
    return code;
}

bool Compile(const char* entry, const char* target, ComPtr<ID3DBlob>& code, std::string& errorText) {
    const HMODULE library = HandShaderCompilerLibrary();
    const auto compile =
        library == nullptr
            ? nullptr
            : reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(library, "D3DCompile")));
    if (compile == nullptr) {
        errorText = "D3DCompile from d3dcompiler_47.dll is unavailable for the cinema screen";
        return false;
    }
    ComPtr<ID3DBlob> compiled;
    ComPtr<ID3DBlob> errors;
    const HRESULT result =
        compile(kCinemaShaderSource, sizeof(kCinemaShaderSource) - 1, kShaderSourceName, nullptr, nullptr,
                entry, target, D3DCOMPILE_OPTIMIZATION_LEVEL3, 0, compiled.Put(), errors.Put());
    if (SUCCEEDED(result) && compiled && compiled->GetBufferSize() > 0) {
        code = std::move(compiled);
        return true;
    }
    errorText = "Cinema screen shader compilation failed";
    if (errors && errors->GetBufferSize() > 0) {
        const auto* text = static_cast<const char*>(errors->GetBufferPointer());
        errorText += ": ";
        errorText.append(text, strnlen(text, errors->GetBufferSize()));
    }
    return false;
}

bool Made(HRESULT result, const char* operation, std::string& errorText) {
    if (SUCCEEDED(result)) {
        return true;
    }
    WriteHresultFailure(errorText, operation, static_cast<int32_t>(result));
    return false;
}

bool CreateStates(ID3D11Device* device, CinemaResources& resources, std::string& errorText) {
    D3D11_BUFFER_DESC buffer{};
    buffer.ByteWidth = sizeof(CinemaEyeConstants);
    buffer.Usage = D3D11_USAGE_DYNAMIC;
    buffer.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    buffer.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    if (!Made(device->CreateBuffer(&buffer, nullptr, resources.constantBuffer.Put()),
              "ID3D11Device::CreateBuffer (cinema constants)", errorText)) {
        return false;
    }
    D3D11_SAMPLER_DESC sampler{};
    sampler.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    sampler.AddressU = D3D11_TEXTURE_ADDRESS_CLAMP;
    sampler.AddressV = D3D11_TEXTURE_ADDRESS_CLAMP;
    sampler.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    sampler.MaxLOD = D3D11_FLOAT32_MAX;
    if (!Made(device->CreateSamplerState(&sampler, resources.sampler.Put()),
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
    if (!Made(device->CreateBlendState(&blend, resources.blendState.Put()), "ID3D11Device::CreateBlendState",
              errorText)) {
        return false;
    }
    D3D11_RASTERIZER_DESC rasterizer{};
    rasterizer.FillMode = D3D11_FILL_SOLID;
    rasterizer.CullMode = D3D11_CULL_NONE;
    rasterizer.DepthClipEnable = TRUE;
    if (!Made(device->CreateRasterizerState(&rasterizer, resources.rasterizerState.Put()),
              "ID3D11Device::CreateRasterizerState (cinema)", errorText)) {
        return false;
    }
    D3D11_DEPTH_STENCIL_DESC depth{};
    depth.DepthEnable = FALSE;
    depth.DepthWriteMask = D3D11_DEPTH_WRITE_MASK_ZERO;
    depth.DepthFunc = D3D11_COMPARISON_ALWAYS;
    return Made(device->CreateDepthStencilState(&depth, resources.depthStencilState.Put()),
                "ID3D11Device::CreateDepthStencilState (cinema)", errorText);
}

} // namespace

bool CinemaResources::Complete() const {
    return vertexShader && pixelShader && constantBuffer && sampler && blendState && rasterizerState &&
           depthStencilState && picture && pictureView;
}

void CinemaResources::Release() {
    pictureView.Reset();
    picture.Reset();
    depthStencilState.Reset();
    rasterizerState.Reset();
    blendState.Reset();
    sampler.Reset();
    constantBuffer.Reset();
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
            if ((!code.vertex && !Compile("VSMain", "vs_5_0", code.vertex, errorText)) ||
                (!code.pixel && !Compile("PSMain", "ps_5_0", code.pixel, errorText))) {
                return false;
            }
        }
        if (!Made(device->CreateVertexShader(code.vertex->GetBufferPointer(), code.vertex->GetBufferSize(),
                                             nullptr, resources.vertexShader.Put()),
                  "ID3D11Device::CreateVertexShader (cinema)", errorText) ||
            !Made(device->CreatePixelShader(code.pixel->GetBufferPointer(), code.pixel->GetBufferSize(),
                                            nullptr, resources.pixelShader.Put()),
                  "ID3D11Device::CreatePixelShader (cinema)", errorText) ||
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
        return Made(device->CreateTexture2D(&desc, nullptr, resources.picture.Put()),
                    "ID3D11Device::CreateTexture2D (cinema picture)", errorText) &&
               Made(device->CreateShaderResourceView(resources.picture.Get(), nullptr,
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

void DrawCinemaForEye(ID3D11DeviceContext* context, const CinemaResources& resources,
                      const CinemaEyeConstants& constants, ID3D11RenderTargetView* renderTarget,
                      const D3D11_VIEWPORT& viewport) noexcept {
    if (renderTarget == nullptr || !resources.Complete()) {
        return;
    }
    ID3D11Buffer* buffer = resources.constantBuffer.Get();
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped)) || mapped.pData == nullptr) {
        return;
    }
    std::memcpy(mapped.pData, &constants, sizeof(constants));
    context->Unmap(buffer, 0);

    context->OMSetRenderTargets(1, &renderTarget, nullptr);
    context->OMSetBlendState(resources.blendState.Get(), nullptr, 0xFFFFFFFFu);
    context->OMSetDepthStencilState(resources.depthStencilState.Get(), 0);
    context->RSSetViewports(1, &viewport);
    context->RSSetState(resources.rasterizerState.Get());
    context->IASetInputLayout(nullptr);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    context->VSSetShader(resources.vertexShader.Get(), nullptr, 0);
    context->VSSetConstantBuffers(0, 1, &buffer);
    context->PSSetShader(resources.pixelShader.Get(), nullptr, 0);
    context->PSSetConstantBuffers(0, 1, &buffer);
    ID3D11ShaderResourceView* view = resources.pictureView.Get();
    context->PSSetShaderResources(0, 1, &view);
    ID3D11SamplerState* sampler = resources.sampler.Get();
    context->PSSetSamplers(0, 1, &sampler);
    context->Draw(3, 0);
    // The hands drawn next bind their own states; what they do not set must not blend.
    context->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFFu);
    ID3D11ShaderResourceView* none = nullptr;
    context->PSSetShaderResources(0, 1, &none);
}

} // namespace corvane
