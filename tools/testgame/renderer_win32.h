// The stand-in's Direct3D 11 renderer: one device and swap chain for a window, the scene
// drawn from a camera constant buffer, and the HUD. Main thread only.
#pragma once

#include "camera_math.h"
#include "markers.h"

#include <d3d11.h>
#include <windows.h>

#include <cstdint>

enum class CameraUpload { Map, Update, Deferred };

struct RendererOptions {
    int width = 640;
    int height = 360;
    int msaa = 1;
    bool vsync = false;
    CameraUpload upload = CameraUpload::Map;
};

struct SceneObject {
    Vec3 position;
    Vec3 scale;
    float color[4];
};

struct HudRect {
    float left, top, right, bottom;
    float color[4];
    bool clipped; // drawn through its own scissor rectangle
};

struct FrameScene {
    bool hasCamera = false;
    Mat4 view;
    Mat4 projection;
    Vec3 eye;
    float time = 0;
    const SceneObject* objects = nullptr;
    int objectCount = 0;
    // Flat squares drawn after the objects, through the same camera buffer, unlit and unfogged.
    const Marker* markers = nullptr;
    int markerCount = 0;
    const HudRect* hud = nullptr;
    int hudCount = 0;
    float clearColor[4] = {0.35f, 0.5f, 0.7f, 1.0f};
};

// References to the game's Direct3D objects that outlived the game's own release of them: what
// some other module still holds. A game running alone leaves none.
struct TeardownReferences {
    bool hadDevice = false;
    ULONG swapChain = 0;
    ULONG device = 0;
    ULONG context = 0;
};

class Renderer {
public:
    ~Renderer() { Destroy(); }
    // Creates the device and swap chain through the imported D3D11CreateDeviceAndSwapChain.
    bool Create(HWND window, const RendererOptions& options, char* error, size_t errorSize);
    TeardownReferences Destroy();
    bool Ready() const { return device_ != nullptr; }
    // The HUD's vertex shader was created from the game's 1072-byte container.
    bool HudShaderIdentified() const { return hudShaderIdentified_; }
    // Draws and presents; returns Present's result (or the failing call's). With a dump path,
    // the finished picture is written there as PNG before it is presented.
    HRESULT RenderFrame(const FrameScene& scene, const char* dumpPath = nullptr, bool* dumped = nullptr);

private:
    bool DumpPng(const char* path);
    bool CreateShaders(char* error, size_t errorSize);
    bool CreateHudVertexShader(const void* code, size_t size);
    bool CreateBuffers();
    bool CreateTargets();
    void UploadCamera(const FrameScene& scene);
    void DrawObjects(ID3D11DeviceContext* context, const FrameScene& scene);
    void DrawMarkers(ID3D11DeviceContext* context, const FrameScene& scene);
    bool SetObjectConstants(ID3D11DeviceContext* context, const Vec3& position, const Vec3& scale,
                            const float (&color)[4]);
    void DrawHud(const FrameScene& scene);

    RendererOptions options_;
    bool hudShaderIdentified_ = false;
    Mat4 previousViewProjection_ = Identity();
    IDXGISwapChain* swapChain_ = nullptr;
    ID3D11Device* device_ = nullptr;
    ID3D11DeviceContext* context_ = nullptr;
    ID3D11DeviceContext* deferred_ = nullptr;
    ID3D11RenderTargetView* backBufferView_ = nullptr;
    ID3D11Texture2D* depth_ = nullptr;
    ID3D11DepthStencilView* depthView_ = nullptr;
    ID3D11DepthStencilState* depthOn_ = nullptr;
    ID3D11DepthStencilState* depthOff_ = nullptr;
    ID3D11RasterizerState* sceneRaster_ = nullptr;
    ID3D11RasterizerState* hudRaster_ = nullptr;
    ID3D11BlendState* hudBlend_ = nullptr;
    ID3D11VertexShader* sceneVs_ = nullptr;
    ID3D11PixelShader* scenePs_ = nullptr;
    ID3D11PixelShader* markerPs_ = nullptr;
    ID3D11InputLayout* sceneLayout_ = nullptr;
    ID3D11VertexShader* hudVs_ = nullptr;
    ID3D11PixelShader* hudPs_ = nullptr;
    ID3D11InputLayout* hudLayout_ = nullptr;
    ID3D11Buffer* cubeVertices_ = nullptr;
    ID3D11Buffer* cubeIndices_ = nullptr;
    ID3D11Buffer* squareVertices_ = nullptr; // a unit square in the xy plane, facing +z
    ID3D11Buffer* cameraBuffer_ = nullptr;   // 528 bytes
    ID3D11Buffer* objectBuffer_ = nullptr;
    ID3D11Buffer* hudBuffer_ = nullptr; // 128 bytes
    ID3D11Buffer* hudVertices_ = nullptr;
};
