// Module entry of the "copy only" XINPUT1_3.dll: the floor every alternate-eye program pays.
// It is reached the way the program is (the game's Direct3D import, the swap chain's Present
// and Release slots, the same XInput exports) but before each Present it does nothing except
// copy the backbuffer into a texture of its own. The frame-cost benchmark sets it beside the
// program to tell the unavoidable copy from everything else.
#include "interception/device_creation_win32.h"
#include "interception/swap_chain_hooks_win32.h"
#include "platform/win32/os_win32.h"

#include <d3d11.h>
#include <windows.h>

namespace {

// One texture, remade when the backbuffer's description changes. Only the Present thread
// touches it, and the served swap chain's last Release drops it.
struct CopyTarget {
    ID3D11Texture2D* texture = nullptr;
    D3D11_TEXTURE2D_DESC desc{};

    void Drop() {
        if (texture != nullptr) {
            texture->Release();
            texture = nullptr;
        }
    }
} g_copy;

bool SameShape(const D3D11_TEXTURE2D_DESC& a, const D3D11_TEXTURE2D_DESC& b) {
    return a.Width == b.Width && a.Height == b.Height && a.Format == b.Format &&
           a.SampleDesc.Count == b.SampleDesc.Count && a.SampleDesc.Quality == b.SampleDesc.Quality;
}

void CopyBackbuffer(IDXGISwapChain* swapChain) noexcept {
    ID3D11Texture2D* backbuffer = nullptr;
    if (FAILED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&backbuffer)))) {
        return;
    }
    D3D11_TEXTURE2D_DESC desc{};
    backbuffer->GetDesc(&desc);
    ID3D11Device* device = nullptr;
    backbuffer->GetDevice(&device);
    if (g_copy.texture == nullptr || !SameShape(desc, g_copy.desc)) {
        g_copy.Drop();
        D3D11_TEXTURE2D_DESC copyDesc = desc;
        copyDesc.Usage = D3D11_USAGE_DEFAULT;
        copyDesc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        copyDesc.CPUAccessFlags = 0;
        copyDesc.MiscFlags = 0;
        if (SUCCEEDED(device->CreateTexture2D(&copyDesc, nullptr, &g_copy.texture))) {
            g_copy.desc = desc;
        }
    }
    if (g_copy.texture != nullptr) {
        ID3D11DeviceContext* context = nullptr;
        device->GetImmediateContext(&context);
        context->CopyResource(g_copy.texture, backbuffer);
        context->Release();
    }
    device->Release();
    backbuffer->Release();
}

void Nothing() {}
void NothingOnThisThread() noexcept {}
bool HookOnlyTheSwapChain(IDXGISwapChain* swapChain) {
    return corvane::HookSwapChain(swapChain);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        corvane::RecordOwnModule(instance);
        corvane::DeviceCreationActions creation;
        creation.hookSwapChain = &HookOnlyTheSwapChain;
        corvane::SetDeviceCreationActions(creation);
        corvane::SwapChainHookActions frame;
        frame.runFrame = &CopyBackbuffer;
        frame.afterPresent = &Nothing;
        frame.clearThreadHudOverride = &NothingOnThisThread;
        frame.resetOnServedRelease = [] { g_copy.Drop(); };
        corvane::SetSwapChainHookActions(frame);
        static_cast<void>(corvane::InstallImportHook());
    }
    return TRUE;
}
