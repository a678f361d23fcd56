// The game's way into Direct3D 11: the import of D3D11CreateDeviceAndSwapChain redirected at
// process attach, and the replacement that, after the real creation, installs the game-code
// detours, the context interception and the swap chain hooks. Runs on the thread that
// creates the device; the import redirect runs under the loader lock.
#pragma once

#include <d3d11.h>
#include <dxgi.h>

#include <cstdint>

namespace corvane {

// What a successful creation sets up: the program installs its own components at load,
// tests install recorders. A missing entry counts as a step that failed.
struct DeviceCreationActions {
    bool (*isExecutableValidated)() = nullptr;
    bool (*installFinalCameraDetour)() = nullptr;
    bool (*installProjectionDetour)() = nullptr;
    bool (*installAllocatorFallback)() = nullptr;
    bool (*hookDeviceContexts)(ID3D11Device* device, ID3D11DeviceContext* immediateContext) = nullptr;
    bool (*hookSwapChain)(IDXGISwapChain* swapChain) = nullptr;
};

// Redirects the main module's import; writes the outcome to the debugger output only.
bool InstallImportHook() noexcept;

// The same on an image mapped at `base` (the main module, or a test's image).
bool InstallImportHookInImage(uintptr_t base) noexcept;

HRESULT WINAPI HookedD3D11CreateDeviceAndSwapChain(
    IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software, UINT flags,
    const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount, UINT sdkVersion,
    const DXGI_SWAP_CHAIN_DESC* swapChainDesc, IDXGISwapChain** swapChain, ID3D11Device** device,
    D3D_FEATURE_LEVEL* featureLevel, ID3D11DeviceContext** immediateContext) noexcept;

// The three detour results, each decided once per process at the first validated creation.
struct GameDetourResults {
    bool finalCameraDetourActive = false;
    bool projectionDetourActive = false;
    bool allocatorFallbackActive = false;
};
[[nodiscard]] GameDetourResults GetGameDetourResults() noexcept;

void SetDeviceCreationActions(const DeviceCreationActions& actions) noexcept;

} // namespace corvane
