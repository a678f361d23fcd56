// A stand-in for the game's rendering in the presenter tests: a window with a real Direct3D
// 11 device and swap chain (Wine's wined3d), a frame drawn by clearing the backbuffer, and
// read-back of any texture's pixels. Test thread only.
#pragma once

#include "platform/win32/com_ptr_win32.h"

#include <d3d11.h>
#include <dxgi.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::vr_test {

// RGBA8 packed as 0xAABBGGRR, the byte order of DXGI_FORMAT_R8G8B8A8_UNORM in memory.
inline uint32_t PackColour(const float (&rgba)[4]) {
    uint32_t packed = 0;
    for (int i = 0; i < 4; ++i) {
        packed |= static_cast<uint32_t>(rgba[i] * 255.0f + 0.5f) << (8 * i);
    }
    return packed;
}

// The swapped byte order of a BGRA texture read back as-is.
inline uint32_t SwapRedBlue(uint32_t packed) {
    return (packed & 0xFF00FF00u) | ((packed & 0xFFu) << 16) | ((packed >> 16) & 0xFFu);
}

class GameSwapChain {
public:
    GameSwapChain() = default;
    GameSwapChain(const GameSwapChain&) = delete;
    GameSwapChain& operator=(const GameSwapChain&) = delete;
    ~GameSwapChain() {
        if (context) {
            context->ClearState();
            context->Flush();
        }
        swapChain.Reset();
        context.Reset();
        device.Reset();
        if (window != nullptr) {
            DestroyWindow(window);
        }
    }

    // False with the reason when Direct3D cannot give us what the test needs.
    bool Create(UINT width, UINT height, DXGI_FORMAT format = DXGI_FORMAT_R8G8B8A8_UNORM, UINT samples = 1) {
        static const wchar_t* const kClass = L"CorvaneVrTestGame";
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClass;
        RegisterClassW(&windowClass); // a second registration fails harmlessly
        window = CreateWindowExW(0, kClass, L"game", WS_OVERLAPPEDWINDOW, 0, 0, static_cast<int>(width),
                                 static_cast<int>(height), nullptr, nullptr, windowClass.hInstance, nullptr);
        if (window == nullptr) {
            failure = "CreateWindowExW failed";
            return false;
        }
        DXGI_SWAP_CHAIN_DESC desc{};
        desc.BufferDesc.Width = width;
        desc.BufferDesc.Height = height;
        desc.BufferDesc.Format = format;
        desc.SampleDesc.Count = samples;
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = 1;
        desc.OutputWindow = window;
        desc.Windowed = TRUE;
        desc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
        const HRESULT result = D3D11CreateDeviceAndSwapChain(
            nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &desc,
            swapChain.Put(), device.Put(), nullptr, context.Put());
        if (FAILED(result)) {
            failure =
                "D3D11CreateDeviceAndSwapChain failed: " + std::to_string(static_cast<uint32_t>(result));
            return false;
        }
        return true;
    }

    // The game's frame: the whole backbuffer in one colour.
    void DrawFrame(const float (&rgba)[4]) {
        ComPtr<ID3D11Texture2D> backbuffer;
        swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(backbuffer.Put()));
        ComPtr<ID3D11RenderTargetView> view;
        device->CreateRenderTargetView(backbuffer.Get(), nullptr, view.Put());
        context->ClearRenderTargetView(view.Get(), rgba);
    }

    void Present() { swapChain->Present(0, 0); }

    IDXGISwapChain* SwapChain() const { return swapChain.Get(); }

    HWND window = nullptr;
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    ComPtr<IDXGISwapChain> swapChain;
    std::string failure;
};

// Every texel of a single-sampled 32-bit texture, row by row, through a CPU-readable copy.
inline std::vector<uint32_t> ReadTexels(ID3D11Device* device, ID3D11DeviceContext* context,
                                        ID3D11Texture2D* texture) {
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    ComPtr<ID3D11Texture2D> copy;
    std::vector<uint32_t> texels;
    if (FAILED(device->CreateTexture2D(&desc, nullptr, copy.Put()))) {
        return texels;
    }
    context->CopyResource(copy.Get(), texture);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(copy.Get(), 0, D3D11_MAP_READ, 0, &mapped))) {
        return texels;
    }
    texels.resize(static_cast<size_t>(desc.Width) * desc.Height);
    for (UINT y = 0; y < desc.Height; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(mapped.pData) +
                                                            static_cast<size_t>(y) * mapped.RowPitch);
        std::copy(row, row + desc.Width, texels.begin() + static_cast<ptrdiff_t>(y) * desc.Width);
    }
    context->Unmap(copy.Get(), 0);
    return texels;
}

// The reference count of a COM object, read by adding and dropping one reference.
inline ULONG ReferenceCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

} // namespace corvane::vr_test
