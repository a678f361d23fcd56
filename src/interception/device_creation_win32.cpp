#include "interception/device_creation_win32.h"

#include "core/game_thread_boundary.h"
#include "core/log.h"
#include "interception/import_hook.h"
#include "platform/win32/com_ptr_win32.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace corvane {
namespace {

// The game has its device; what could not be set up after its creation stays off.
BoundarySite g_afterCreationSite{BoundaryReport::Silent, nullptr};

using CreateDeviceAndSwapChain = HRESULT(WINAPI*)(IDXGIAdapter*, D3D_DRIVER_TYPE, HMODULE, UINT,
                                                  const D3D_FEATURE_LEVEL*, UINT, UINT,
                                                  const DXGI_SWAP_CHAIN_DESC*, IDXGISwapChain**,
                                                  ID3D11Device**, D3D_FEATURE_LEVEL*, ID3D11DeviceContext**);

std::atomic<CreateDeviceAndSwapChain> g_realCreate{nullptr};
std::atomic<bool> g_summaryLogged{false};

struct DetourInstallation {
    std::once_flag finalCameraOnce;
    std::once_flag projectionOnce;
    std::once_flag allocatorOnce;
    std::atomic<bool> finalCameraDetourActive{false};
    std::atomic<bool> projectionDetourActive{false};
    std::atomic<bool> allocatorFallbackActive{false};
};
DetourInstallation g_detours;

// Empty until the program installs its own (a test installs recorders).
DeviceCreationActions g_actions;

bool Run(bool (*step)()) {
    return step != nullptr && step();
}

void InstallDetoursOnce() {
    std::call_once(g_detours.finalCameraOnce,
                   [] { g_detours.finalCameraDetourActive = Run(g_actions.installFinalCameraDetour); });
    if (g_detours.finalCameraDetourActive) {
        std::call_once(g_detours.projectionOnce,
                       [] { g_detours.projectionDetourActive = Run(g_actions.installProjectionDetour); });
    } else {
        std::call_once(g_detours.allocatorOnce,
                       [] { g_detours.allocatorFallbackActive = Run(g_actions.installAllocatorFallback); });
    }
}

bool HookContextsOf(ID3D11Device* device, ID3D11DeviceContext* requestedContext) {
    ComPtr<ID3D11DeviceContext> fetched;
    ID3D11DeviceContext* context = requestedContext;
    if (context == nullptr) {
        device->GetImmediateContext(fetched.Put());
        context = fetched.Get();
    }
    return g_actions.hookDeviceContexts != nullptr && context != nullptr &&
           g_actions.hookDeviceContexts(device, context);
}

const char* ActiveText(const std::atomic<bool>& active) {
    return active ? "active" : "unavailable";
}

void LogSummaryOnce(bool presentHooked, bool contextsHooked) {
    if (g_summaryLogged.exchange(true)) {
        return;
    }
    if (presentHooked && contextsHooked) {
        LogMessage("D3D11 swap chain plus immediate/deferred contexts intercepted; final CPU camera=%s, "
                   "common-frustum projection=%s, allocator fallback=%s",
                   ActiveText(g_detours.finalCameraDetourActive),
                   ActiveText(g_detours.projectionDetourActive),
                   ActiveText(g_detours.allocatorFallbackActive));
    } else if (presentHooked) {
        LogMessage("D3D11 Present hook active; context camera interception unavailable");
    } else {
        LogMessage("D3D11 swap chain was created, but Present hook installation failed");
    }
}

// Everything the program adds after a successful creation. The game's objects and result
// are never altered.
void SetUpAfterCreation(IDXGISwapChain* swapChain, ID3D11Device* device,
                        ID3D11DeviceContext* requestedContext) {
    bool contextsHooked = false;
    if (device != nullptr) {
        const bool validated = Run(g_actions.isExecutableValidated);
        if (validated) {
            InstallDetoursOnce();
        }
        contextsHooked = HookContextsOf(device, requestedContext);
    }
    if (swapChain == nullptr) {
        return;
    }
    const bool presentHooked = g_actions.hookSwapChain != nullptr && g_actions.hookSwapChain(swapChain);
    LogSummaryOnce(presentHooked, contextsHooked);
}

} // namespace

namespace {

// Redirects the import; null when it now leads to the hook, else why the host was refused.
const char* RedirectImport(uintptr_t base) noexcept {
    const HostImageCheck check = CheckHostImage(base);
    if (check != HostImageCheck::Supported) {
        return HostImageRefusal(check);
    }
    uint64_t* slot = FindNamedImportSlot(base, "d3d11.dll", "D3D11CreateDeviceAndSwapChain");
    if (slot == nullptr) {
        return "the executable imports no D3D11CreateDeviceAndSwapChain by name from d3d11.dll";
    }
    const auto real = reinterpret_cast<CreateDeviceAndSwapChain>(__atomic_load_n(slot, __ATOMIC_ACQUIRE));
    if (real == &HookedD3D11CreateDeviceAndSwapChain) {
        return nullptr; // already ours; saving it as the real entry would make the hook call itself
    }
    if (real == nullptr) {
        return "the executable's import address entry is empty";
    }
    DWORD previous = 0;
    if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &previous)) {
        return "the executable's import address entry cannot be made writable";
    }
    g_realCreate.store(real, std::memory_order_release);
    InterlockedExchangePointer(reinterpret_cast<void* volatile*>(slot),
                               reinterpret_cast<void*>(&HookedD3D11CreateDeviceAndSwapChain));
    DWORD ignored = 0;
    static_cast<void>(VirtualProtect(slot, sizeof(*slot), previous, &ignored));
    return nullptr;
}

// Appends `text` to the line, cut to fit; the loader lock is held, so nothing is allocated.
template <size_t N> void Append(char (&line)[N], size_t& length, const char* text) noexcept {
    for (; *text != '\0' && length + 1 < N; ++text) {
        line[length++] = *text;
    }
    line[length] = '\0';
}

} // namespace

bool InstallImportHookInImage(uintptr_t base) noexcept {
    return RedirectImport(base) == nullptr;
}

bool InstallImportHook() noexcept {
    const char* refusal = RedirectImport(reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr)));
    if (refusal == nullptr) {
        OutputDebugStringA("CorvaneVR: D3D11 import hook installed\n");
        return true;
    }
    char line[192] = {};
    size_t length = 0;
    Append(line, length, "CorvaneVR: D3D11 import hook not found (");
    Append(line, length, refusal);
    Append(line, length, ")\n");
    OutputDebugStringA(line);
    return false;
}

HRESULT WINAPI HookedD3D11CreateDeviceAndSwapChain(
    IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software, UINT flags,
    const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount, UINT sdkVersion,
    const DXGI_SWAP_CHAIN_DESC* swapChainDesc, IDXGISwapChain** swapChain, ID3D11Device** device,
    D3D_FEATURE_LEVEL* featureLevel, ID3D11DeviceContext** immediateContext) noexcept {
    const CreateDeviceAndSwapChain real = g_realCreate.load(std::memory_order_acquire);
    if (real == nullptr) {
        return E_FAIL;
    }
    const HRESULT result = real(adapter, driverType, software, flags, featureLevels, featureLevelCount,
                                sdkVersion, swapChainDesc, swapChain, device, featureLevel, immediateContext);
    if (FAILED(result)) {
        return result;
    }
    CallAtBoundary(g_afterCreationSite, [&] {
        SetUpAfterCreation(swapChain != nullptr ? *swapChain : nullptr, device != nullptr ? *device : nullptr,
                           immediateContext != nullptr ? *immediateContext : nullptr);
    });
    return result;
}

GameDetourResults GetGameDetourResults() noexcept {
    GameDetourResults results;
    results.finalCameraDetourActive = g_detours.finalCameraDetourActive;
    results.projectionDetourActive = g_detours.projectionDetourActive;
    results.allocatorFallbackActive = g_detours.allocatorFallbackActive;
    return results;
}

void SetDeviceCreationActions(const DeviceCreationActions& actions) noexcept {
    g_actions = actions;
}

} // namespace corvane
