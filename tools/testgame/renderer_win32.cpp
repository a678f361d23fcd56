#include "renderer_win32.h"

#include <d3dcompiler.h>

#include <cstdio>
#include <initializer_list>
#include <cstring>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

namespace {

// The camera constant buffer: four matrices, then the camera's lighting block (528 bytes).
struct CameraConstants {
    Mat4 view;
    Mat4 projection;
    Mat4 previousViewProjection;
    Mat4 viewProjection;
    float eyePosition[4];
    float lightDirection[4];
    float fogColor[4];
    float parameters[4]; // time, fog start, fog end, unused
    float reserved[13][4];
};
static_assert(sizeof(CameraConstants) == 528);

struct ObjectConstants {
    Mat4 world;
    float color[4];
};

// The HUD's vertex-shader buffer: the pixel-to-clip matrix first (128 bytes).
struct HudConstants {
    Mat4 projection;
    float reserved[4][4];
};
static_assert(sizeof(HudConstants) == 128);

constexpr size_t kHudShaderSize = 1072;
constexpr uint8_t kHudShaderChecksum[16] = {0x15, 0x8C, 0x3A, 0xD2, 0xCD, 0xCA, 0x1F, 0xC1,
                                            0xD3, 0xE1, 0xCA, 0xD4, 0x67, 0x80, 0xA2, 0xE0};

struct HudVertex {
    float x, y;
    float color[4];
};
constexpr int kMaxHudRects = 64;

constexpr char kSceneShader[] = R"(
cbuffer Camera : register(b0) {
    float4x4 view; float4x4 projection; float4x4 previousViewProjection; float4x4 viewProjection;
    float4 eyePosition; float4 lightDirection; float4 fogColor; float4 parameters; float4 reserved[13];
};
cbuffer Object : register(b1) { float4x4 world; float4 color; };
struct VsIn { float3 position : POSITION; float3 normal : NORMAL; };
struct VsOut { float4 position : SV_Position; float3 normal : NORMAL; float3 worldPosition : TEXCOORD0; };
VsOut VsMain(VsIn input) {
    VsOut output;
    float4 w = mul(world, float4(input.position, 1.0));
    output.position = mul(viewProjection, w);
    output.normal = mul((float3x3)world, input.normal);
    output.worldPosition = w.xyz;
    return output;
}
float4 PsMain(VsOut input) : SV_Target {
    float3 n = normalize(input.normal);
    float light = saturate(dot(n, -lightDirection.xyz)) * 0.7 + 0.3;
    float fog = saturate((length(input.worldPosition - eyePosition.xyz) - parameters.y) / (parameters.z - parameters.y));
    return float4(lerp(color.rgb * light, fogColor.rgb, fog), 1.0);
}
// The markers: placed by the same view-projection as the scene, but neither lit nor fogged, so
// each shows its colour exactly.
float4 MarkerPsMain(VsOut input) : SV_Target { return float4(color.rgb, 1.0); }
)";

constexpr char kHudShader[] = R"(
cbuffer Hud : register(b0) { float4 ProjectionColumns[4]; float4 reserved[4]; };
struct VsIn { float2 position : POSITION; float4 color : COLOR0; };
struct VsOut { float4 position : SV_Position; float4 color : COLOR0; };
VsOut VsMain(VsIn input) {
    VsOut output;
    output.position = ProjectionColumns[0] * input.position.x + ProjectionColumns[1] * input.position.y +
                      ProjectionColumns[3];
    output.color = input.color;
    return output;
}
float4 PsMain(VsOut input) : SV_Target { return input.color; }
)";

template <typename T> void Release(T*& object) {
    if (object != nullptr) {
        object->Release();
        object = nullptr;
    }
}

pD3DCompile Compiler() {
    static const HMODULE library = LoadLibraryW(L"d3dcompiler_47.dll");
    if (library == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(library, "D3DCompile")));
}

ID3DBlob* Compile(const char* source, size_t size, const char* entry, const char* target, char* error,
                  size_t errorSize) {
    const pD3DCompile compile = Compiler();
    if (compile == nullptr) {
        std::snprintf(error, errorSize, "d3dcompiler_47.dll could not be loaded");
        return nullptr;
    }
    ID3DBlob* code = nullptr;
    ID3DBlob* messages = nullptr;
    const HRESULT hr =
        compile(source, size, nullptr, nullptr, nullptr, entry, target, 0, 0, &code, &messages);
    if (FAILED(hr)) {
        std::snprintf(error, errorSize, "%s failed to compile: %s", entry,
                      messages != nullptr ? static_cast<const char*>(messages->GetBufferPointer()) : "");
    }
    Release(messages);
    return code;
}

} // namespace

bool Renderer::Create(HWND window, const RendererOptions& options, char* error, size_t errorSize) {
    Destroy();
    options_ = options;
    DXGI_SWAP_CHAIN_DESC desc{};
    desc.BufferDesc.Width = static_cast<UINT>(options.width);
    desc.BufferDesc.Height = static_cast<UINT>(options.height);
    desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.BufferDesc.RefreshRate = {60, 1};
    desc.SampleDesc.Count = static_cast<UINT>(options.msaa);
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 1;
    desc.OutputWindow = window;
    desc.Windowed = TRUE;
    desc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0};
    D3D_FEATURE_LEVEL level{};
    const HRESULT hr =
        D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 1,
                                      D3D11_SDK_VERSION, &desc, &swapChain_, &device_, &level, &context_);
    if (FAILED(hr)) {
        std::snprintf(error, errorSize, "D3D11CreateDeviceAndSwapChain failed with 0x%08lX",
                      static_cast<unsigned long>(hr));
        return false;
    }
    if (options.upload == CameraUpload::Deferred && FAILED(device_->CreateDeferredContext(0, &deferred_))) {
        std::snprintf(error, errorSize, "CreateDeferredContext failed");
        Destroy();
        return false;
    }
    if (!CreateShaders(error, errorSize)) {
        Destroy();
        return false;
    }
    if (!CreateBuffers() || !CreateTargets()) {
        std::snprintf(error, errorSize, "creating buffers, states or targets failed");
        Destroy();
        return false;
    }
    return true;
}

TeardownReferences Renderer::Destroy() {
    // One extra reference on each, dropped after all of the game's own: what Release then
    // returns is what others still hold.
    TeardownReferences left;
    IDXGISwapChain* swapChainProbe = swapChain_;
    ID3D11Device* deviceProbe = device_;
    ID3D11DeviceContext* contextProbe = context_;
    for (IUnknown* probe : std::initializer_list<IUnknown*>{swapChainProbe, deviceProbe, contextProbe}) {
        if (probe != nullptr) {
            probe->AddRef();
        }
    }
    if (context_ != nullptr) {
        context_->ClearState();
    }
    Release(hudVertices_);
    Release(hudBuffer_);
    Release(objectBuffer_);
    Release(cameraBuffer_);
    Release(squareVertices_);
    Release(cubeIndices_);
    Release(cubeVertices_);
    Release(hudLayout_);
    Release(hudPs_);
    Release(hudVs_);
    Release(sceneLayout_);
    Release(markerPs_);
    Release(scenePs_);
    Release(sceneVs_);
    Release(hudBlend_);
    Release(hudRaster_);
    Release(sceneRaster_);
    Release(depthOff_);
    Release(depthOn_);
    Release(depthView_);
    Release(depth_);
    Release(backBufferView_);
    Release(deferred_);
    Release(context_);
    Release(device_);
    Release(swapChain_);
    // The context keeps the device, and the swap chain may keep both: probes go in that order.
    left.hadDevice = deviceProbe != nullptr;
    left.swapChain = swapChainProbe != nullptr ? swapChainProbe->Release() : 0;
    left.context = contextProbe != nullptr ? contextProbe->Release() : 0;
    left.device = deviceProbe != nullptr ? deviceProbe->Release() : 0;
    return left;
}

// The shader without its reflection chunks, as a shipped game carries it; null if the
// compiler library cannot strip.
static ID3DBlob* Stripped(const void* code, size_t size) {
    using StripShader = HRESULT(WINAPI*)(const void*, SIZE_T, UINT, ID3DBlob**);
    static const HMODULE library = LoadLibraryW(L"d3dcompiler_47.dll");
    const auto strip = library != nullptr ? reinterpret_cast<StripShader>(reinterpret_cast<void*>(
                                                GetProcAddress(library, "D3DStripShader")))
                                          : nullptr;
    ID3DBlob* stripped = nullptr;
    if (strip == nullptr ||
        FAILED(
            strip(code, size, D3DCOMPILER_STRIP_REFLECTION_DATA | D3DCOMPILER_STRIP_DEBUG_INFO, &stripped))) {
        return nullptr;
    }
    return stripped;
}

bool Renderer::CreateHudVertexShader(const void* compiled, size_t compiledSize) {
    ID3DBlob* stripped = Stripped(compiled, compiledSize);
    const void* code = stripped != nullptr ? stripped->GetBufferPointer() : compiled;
    const size_t size = stripped != nullptr ? stripped->GetBufferSize() : compiledSize;
    // The supported game's HUD shader is a 1072-byte container with a known checksum. The
    // compiled shader is laid into a container of that size and checksum (the chunks keep
    // their offsets; the tail is zero), so the HUD is recognisable the way the game's is.
    uint8_t identity[kHudShaderSize] = {};
    hudShaderIdentified_ = false;
    if (size <= sizeof(identity) && size >= 32) {
        std::memcpy(identity, code, size);
        std::memcpy(identity + 4, kHudShaderChecksum, sizeof(kHudShaderChecksum));
        const uint32_t total = kHudShaderSize;
        std::memcpy(identity + 24, &total, sizeof(total));
        hudShaderIdentified_ =
            SUCCEEDED(device_->CreateVertexShader(identity, sizeof(identity), nullptr, &hudVs_));
    }
    const bool ok =
        hudShaderIdentified_ || SUCCEEDED(device_->CreateVertexShader(code, size, nullptr, &hudVs_));
    Release(stripped);
    return ok;
}

bool Renderer::CreateShaders(char* error, size_t errorSize) {
    ID3DBlob* vs = Compile(kSceneShader, sizeof(kSceneShader) - 1, "VsMain", "vs_5_0", error, errorSize);
    ID3DBlob* ps = Compile(kSceneShader, sizeof(kSceneShader) - 1, "PsMain", "ps_5_0", error, errorSize);
    ID3DBlob* markerPs =
        Compile(kSceneShader, sizeof(kSceneShader) - 1, "MarkerPsMain", "ps_5_0", error, errorSize);
    ID3DBlob* hudVs = Compile(kHudShader, sizeof(kHudShader) - 1, "VsMain", "vs_5_0", error, errorSize);
    ID3DBlob* hudPs = Compile(kHudShader, sizeof(kHudShader) - 1, "PsMain", "ps_5_0", error, errorSize);
    bool ok = vs != nullptr && ps != nullptr && markerPs != nullptr && hudVs != nullptr && hudPs != nullptr;
    if (ok) {
        const D3D11_INPUT_ELEMENT_DESC scene[] = {
            {"POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
            {"NORMAL", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 12, D3D11_INPUT_PER_VERTEX_DATA, 0}};
        const D3D11_INPUT_ELEMENT_DESC hud[] = {
            {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
            {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0}};
        ok = SUCCEEDED(device_->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(), nullptr,
                                                   &sceneVs_)) &&
             SUCCEEDED(device_->CreatePixelShader(ps->GetBufferPointer(), ps->GetBufferSize(), nullptr,
                                                  &scenePs_)) &&
             SUCCEEDED(device_->CreatePixelShader(markerPs->GetBufferPointer(), markerPs->GetBufferSize(),
                                                  nullptr, &markerPs_)) &&
             SUCCEEDED(device_->CreateInputLayout(scene, 2, vs->GetBufferPointer(), vs->GetBufferSize(),
                                                  &sceneLayout_)) &&
             CreateHudVertexShader(hudVs->GetBufferPointer(), hudVs->GetBufferSize()) &&
             SUCCEEDED(device_->CreatePixelShader(hudPs->GetBufferPointer(), hudPs->GetBufferSize(), nullptr,
                                                  &hudPs_)) &&
             SUCCEEDED(device_->CreateInputLayout(hud, 2, hudVs->GetBufferPointer(), hudVs->GetBufferSize(),
                                                  &hudLayout_));
        if (!ok) {
            std::snprintf(error, errorSize, "creating shaders failed");
        }
    }
    Release(vs);
    Release(ps);
    Release(markerPs);
    Release(hudVs);
    Release(hudPs);
    return ok;
}

bool Renderer::CreateBuffers() {
    // A unit cube centred on the origin, with face normals.
    struct Vertex {
        float p[3], n[3];
    };
    Vertex vertices[24];
    uint16_t indices[36];
    for (int face = 0; face < 6; ++face) {
        const int axis = face / 2;
        const float sign = (face % 2 == 0) ? 1.0f : -1.0f;
        const int u = (axis + 1) % 3, v = (axis + 2) % 3;
        for (int corner = 0; corner < 4; ++corner) {
            Vertex& vertex = vertices[face * 4 + corner];
            vertex = {};
            vertex.p[axis] = 0.5f * sign;
            vertex.p[u] = (corner == 1 || corner == 2) ? 0.5f : -0.5f;
            vertex.p[v] = (corner >= 2) ? 0.5f : -0.5f;
            vertex.n[axis] = sign;
        }
        const uint16_t base = static_cast<uint16_t>(face * 4);
        const uint16_t quad[6] = {0, 1, 2, 0, 2, 3};
        for (int i = 0; i < 6; ++i) {
            indices[face * 6 + i] = static_cast<uint16_t>(base + quad[i]);
        }
    }
    // A unit square for the markers as a triangle strip, facing +z like the cube's front face.
    const Vertex square[4] = {{{-0.5f, -0.5f, 0}, {0, 0, 1}},
                              {{-0.5f, 0.5f, 0}, {0, 0, 1}},
                              {{0.5f, -0.5f, 0}, {0, 0, 1}},
                              {{0.5f, 0.5f, 0}, {0, 0, 1}}};
    auto make = [&](UINT size, D3D11_USAGE usage, UINT bind, const void* data, ID3D11Buffer** out) {
        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = size;
        desc.Usage = usage;
        desc.BindFlags = bind;
        desc.CPUAccessFlags = usage == D3D11_USAGE_DYNAMIC ? D3D11_CPU_ACCESS_WRITE : 0;
        D3D11_SUBRESOURCE_DATA initial{data, 0, 0};
        return SUCCEEDED(device_->CreateBuffer(&desc, data != nullptr ? &initial : nullptr, out));
    };
    const D3D11_USAGE cameraUsage =
        options_.upload == CameraUpload::Update ? D3D11_USAGE_DEFAULT : D3D11_USAGE_DYNAMIC;
    return make(sizeof(vertices), D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, vertices,
                &cubeVertices_) &&
           make(sizeof(indices), D3D11_USAGE_IMMUTABLE, D3D11_BIND_INDEX_BUFFER, indices, &cubeIndices_) &&
           make(sizeof(square), D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, square, &squareVertices_) &&
           make(sizeof(CameraConstants), cameraUsage, D3D11_BIND_CONSTANT_BUFFER, nullptr, &cameraBuffer_) &&
           make(sizeof(ObjectConstants), D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, nullptr,
                &objectBuffer_) &&
           make(sizeof(HudConstants), D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, nullptr,
                &hudBuffer_) &&
           make(sizeof(HudVertex) * 6 * kMaxHudRects, D3D11_USAGE_DYNAMIC, D3D11_BIND_VERTEX_BUFFER, nullptr,
                &hudVertices_);
}

bool Renderer::CreateTargets() {
    ID3D11Texture2D* backBuffer = nullptr;
    if (FAILED(swapChain_->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&backBuffer)))) {
        return false;
    }
    const bool viewOk = SUCCEEDED(device_->CreateRenderTargetView(backBuffer, nullptr, &backBufferView_));
    backBuffer->Release();
    D3D11_TEXTURE2D_DESC depthDesc{};
    depthDesc.Width = static_cast<UINT>(options_.width);
    depthDesc.Height = static_cast<UINT>(options_.height);
    depthDesc.MipLevels = 1;
    depthDesc.ArraySize = 1;
    depthDesc.Format = DXGI_FORMAT_D24_UNORM_S8_UINT;
    depthDesc.SampleDesc.Count = static_cast<UINT>(options_.msaa);
    depthDesc.Usage = D3D11_USAGE_DEFAULT;
    depthDesc.BindFlags = D3D11_BIND_DEPTH_STENCIL;
    D3D11_DEPTH_STENCIL_DESC on{};
    on.DepthEnable = TRUE;
    on.DepthWriteMask = D3D11_DEPTH_WRITE_MASK_ALL;
    on.DepthFunc = D3D11_COMPARISON_LESS;
    D3D11_DEPTH_STENCIL_DESC off{};
    off.DepthFunc = D3D11_COMPARISON_ALWAYS;
    D3D11_RASTERIZER_DESC scene{};
    scene.FillMode = D3D11_FILL_SOLID;
    scene.CullMode = D3D11_CULL_NONE;
    scene.DepthClipEnable = TRUE;
    scene.MultisampleEnable = options_.msaa > 1;
    D3D11_RASTERIZER_DESC hud = scene;
    hud.ScissorEnable = TRUE;
    D3D11_BLEND_DESC blend{};
    blend.RenderTarget[0].BlendEnable = TRUE;
    blend.RenderTarget[0].SrcBlend = D3D11_BLEND_SRC_ALPHA;
    blend.RenderTarget[0].DestBlend = D3D11_BLEND_INV_SRC_ALPHA;
    blend.RenderTarget[0].BlendOp = D3D11_BLEND_OP_ADD;
    blend.RenderTarget[0].SrcBlendAlpha = D3D11_BLEND_ONE;
    blend.RenderTarget[0].DestBlendAlpha = D3D11_BLEND_ZERO;
    blend.RenderTarget[0].BlendOpAlpha = D3D11_BLEND_OP_ADD;
    blend.RenderTarget[0].RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    return viewOk && SUCCEEDED(device_->CreateTexture2D(&depthDesc, nullptr, &depth_)) &&
           SUCCEEDED(device_->CreateDepthStencilView(depth_, nullptr, &depthView_)) &&
           SUCCEEDED(device_->CreateDepthStencilState(&on, &depthOn_)) &&
           SUCCEEDED(device_->CreateDepthStencilState(&off, &depthOff_)) &&
           SUCCEEDED(device_->CreateRasterizerState(&scene, &sceneRaster_)) &&
           SUCCEEDED(device_->CreateRasterizerState(&hud, &hudRaster_)) &&
           SUCCEEDED(device_->CreateBlendState(&blend, &hudBlend_));
}

void Renderer::UploadCamera(const FrameScene& scene) {
    CameraConstants constants{};
    constants.view = scene.view;
    constants.projection = scene.projection;
    constants.viewProjection = Multiply(scene.projection, scene.view);
    constants.previousViewProjection = previousViewProjection_;
    previousViewProjection_ = constants.viewProjection;
    const float eye[4] = {scene.eye.x, scene.eye.y, scene.eye.z, 1.0f};
    const float light[4] = {-0.4f, -0.8f, -0.45f, 0.0f};
    const float fog[4] = {0.35f, 0.5f, 0.7f, 1.0f};
    const float parameters[4] = {scene.time, 40.0f, 160.0f, 0.0f};
    std::memcpy(constants.eyePosition, eye, sizeof(eye));
    std::memcpy(constants.lightDirection, light, sizeof(light));
    std::memcpy(constants.fogColor, fog, sizeof(fog));
    std::memcpy(constants.parameters, parameters, sizeof(parameters));
    if (options_.upload == CameraUpload::Update) {
        context_->UpdateSubresource(cameraBuffer_, 0, nullptr, &constants, 0, 0);
        return;
    }
    ID3D11DeviceContext* context = options_.upload == CameraUpload::Deferred ? deferred_ : context_;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (SUCCEEDED(context->Map(cameraBuffer_, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
        std::memcpy(mapped.pData, &constants, sizeof(constants));
        context->Unmap(cameraBuffer_, 0);
    }
}

void Renderer::DrawObjects(ID3D11DeviceContext* context, const FrameScene& scene) {
    D3D11_VIEWPORT viewport{0, 0, static_cast<float>(options_.width), static_cast<float>(options_.height),
                            0, 1};
    context->RSSetViewports(1, &viewport);
    context->OMSetRenderTargets(1, &backBufferView_, depthView_);
    context->OMSetDepthStencilState(depthOn_, 0);
    context->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFF);
    context->RSSetState(sceneRaster_);
    context->IASetInputLayout(sceneLayout_);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    const UINT stride = 24, offset = 0;
    context->IASetVertexBuffers(0, 1, &cubeVertices_, &stride, &offset);
    context->IASetIndexBuffer(cubeIndices_, DXGI_FORMAT_R16_UINT, 0);
    context->VSSetShader(sceneVs_, nullptr, 0);
    context->PSSetShader(scenePs_, nullptr, 0);
    ID3D11Buffer* buffers[2] = {cameraBuffer_, objectBuffer_};
    context->VSSetConstantBuffers(0, 2, buffers);
    context->PSSetConstantBuffers(0, 2, buffers);
    for (int i = 0; i < scene.objectCount; ++i) {
        const SceneObject& object = scene.objects[i];
        if (SetObjectConstants(context, object.position, object.scale, object.color)) {
            context->DrawIndexed(36, 0, 0);
        }
    }
}

// Runs right after DrawObjects on the same context and keeps its targets, depth test, layout,
// vertex shader and constant buffers: only the shape and the pixel shader change.
void Renderer::DrawMarkers(ID3D11DeviceContext* context, const FrameScene& scene) {
    if (scene.markerCount <= 0) {
        return;
    }
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    const UINT stride = 24, offset = 0;
    context->IASetVertexBuffers(0, 1, &squareVertices_, &stride, &offset);
    context->PSSetShader(markerPs_, nullptr, 0);
    for (int i = 0; i < scene.markerCount; ++i) {
        const Marker& marker = scene.markers[i];
        const float color[4] = {marker.color[0], marker.color[1], marker.color[2], 1.0f};
        if (SetObjectConstants(context, marker.centre, {marker.size, marker.size, 1.0f}, color)) {
            context->Draw(4, 0);
        }
    }
}

bool Renderer::SetObjectConstants(ID3D11DeviceContext* context, const Vec3& position, const Vec3& scale,
                                  const float (&color)[4]) {
    ObjectConstants constants{};
    constants.world = Identity();
    constants.world.m[0][0] = scale.x;
    constants.world.m[1][1] = scale.y;
    constants.world.m[2][2] = scale.z;
    constants.world.m[3][0] = position.x;
    constants.world.m[3][1] = position.y;
    constants.world.m[3][2] = position.z;
    std::memcpy(constants.color, color, sizeof(constants.color));
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(objectBuffer_, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
        return false;
    }
    std::memcpy(mapped.pData, &constants, sizeof(constants));
    context->Unmap(objectBuffer_, 0);
    return true;
}

void Renderer::DrawHud(const FrameScene& scene) {
    const int count = scene.hudCount < kMaxHudRects ? scene.hudCount : kMaxHudRects;
    if (count <= 0) {
        return;
    }
    HudConstants constants{};
    constants.projection =
        PixelOrtho(static_cast<float>(options_.width), static_cast<float>(options_.height));
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context_->Map(hudBuffer_, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
        return;
    }
    std::memcpy(mapped.pData, &constants, sizeof(constants));
    context_->Unmap(hudBuffer_, 0);
    if (FAILED(context_->Map(hudVertices_, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
        return;
    }
    auto* vertices = static_cast<HudVertex*>(mapped.pData);
    for (int i = 0; i < count; ++i) {
        const HudRect& r = scene.hud[i];
        const float xs[6] = {r.left, r.right, r.right, r.left, r.right, r.left};
        const float ys[6] = {r.top, r.top, r.bottom, r.top, r.bottom, r.bottom};
        for (int k = 0; k < 6; ++k) {
            vertices[i * 6 + k] = {xs[k], ys[k], {r.color[0], r.color[1], r.color[2], r.color[3]}};
        }
    }
    context_->Unmap(hudVertices_, 0);

    D3D11_VIEWPORT viewport{0, 0, static_cast<float>(options_.width), static_cast<float>(options_.height),
                            0, 1};
    context_->RSSetViewports(1, &viewport);
    context_->OMSetRenderTargets(1, &backBufferView_, nullptr);
    context_->OMSetDepthStencilState(depthOff_, 0);
    context_->OMSetBlendState(hudBlend_, nullptr, 0xFFFFFFFF);
    context_->RSSetState(hudRaster_);
    context_->IASetInputLayout(hudLayout_);
    context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    const UINT stride = sizeof(HudVertex), offset = 0;
    context_->IASetVertexBuffers(0, 1, &hudVertices_, &stride, &offset);
    context_->VSSetShader(hudVs_, nullptr, 0);
    context_->PSSetShader(hudPs_, nullptr, 0);
    context_->VSSetConstantBuffers(0, 1, &hudBuffer_);
    for (int i = 0; i < count; ++i) {
        const HudRect& r = scene.hud[i];
        // Clipped panels draw through their own rectangle, shrunk by a pixel on each side.
        const D3D11_RECT rect =
            r.clipped ? D3D11_RECT{static_cast<LONG>(r.left) + 1, static_cast<LONG>(r.top) + 1,
                                   static_cast<LONG>(r.right) - 1, static_cast<LONG>(r.bottom) - 1}
                      : D3D11_RECT{0, 0, options_.width, options_.height};
        context_->RSSetScissorRects(1, &rect);
        context_->Draw(6, static_cast<UINT>(i * 6));
    }
}

HRESULT Renderer::RenderFrame(const FrameScene& scene, const char* dumpPath, bool* dumped) {
    if (device_ == nullptr) {
        return E_FAIL;
    }
    context_->ClearRenderTargetView(backBufferView_, scene.clearColor);
    context_->ClearDepthStencilView(depthView_, D3D11_CLEAR_DEPTH, 1.0f, 0);
    if (scene.hasCamera) {
        UploadCamera(scene);
        if (options_.upload == CameraUpload::Deferred) {
            DrawObjects(deferred_, scene);
            DrawMarkers(deferred_, scene);
            ID3D11CommandList* commands = nullptr;
            if (SUCCEEDED(deferred_->FinishCommandList(FALSE, &commands))) {
                context_->ExecuteCommandList(commands, FALSE);
                commands->Release();
            }
        } else {
            DrawObjects(context_, scene);
            DrawMarkers(context_, scene);
        }
    }
    DrawHud(scene);
    if (dumpPath != nullptr && dumped != nullptr) {
        *dumped = DumpPng(dumpPath);
    }
    return swapChain_->Present(options_.vsync ? 1 : 0, 0);
}

bool Renderer::DumpPng(const char* path) {
    if (device_ == nullptr) {
        return false;
    }
    ID3D11Texture2D* backBuffer = nullptr;
    if (FAILED(swapChain_->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&backBuffer)))) {
        return false;
    }
    D3D11_TEXTURE2D_DESC desc{};
    backBuffer->GetDesc(&desc);
    desc.SampleDesc = {1, 0};
    desc.BindFlags = 0;
    desc.MiscFlags = 0;
    ID3D11Texture2D* resolved = nullptr;
    ID3D11Texture2D* staging = nullptr;
    D3D11_TEXTURE2D_DESC stagingDesc = desc;
    stagingDesc.Usage = D3D11_USAGE_STAGING;
    stagingDesc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    bool ok = SUCCEEDED(device_->CreateTexture2D(&stagingDesc, nullptr, &staging));
    if (ok && options_.msaa > 1) {
        ok = SUCCEEDED(device_->CreateTexture2D(&desc, nullptr, &resolved));
        if (ok) {
            context_->ResolveSubresource(resolved, 0, backBuffer, 0, desc.Format);
            context_->CopyResource(staging, resolved);
        }
    } else if (ok) {
        context_->CopyResource(staging, backBuffer);
    }
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (ok && SUCCEEDED(context_->Map(staging, 0, D3D11_MAP_READ, 0, &mapped))) {
        ok = stbi_write_png(path, static_cast<int>(desc.Width), static_cast<int>(desc.Height), 4,
                            mapped.pData, static_cast<int>(mapped.RowPitch)) != 0;
        context_->Unmap(staging, 0);
    } else {
        ok = false;
    }
    Release(resolved);
    Release(staging);
    backBuffer->Release();
    return ok;
}
