#include "interception/swap_chain_hooks_win32.h"

#include "core/game_thread_boundary.h"
#include "interception/method_table_patch.h"

#include <atomic>
#include <mutex>

namespace corvane {
namespace {

constexpr size_t kReleaseSlot = 2;
constexpr size_t kPresentSlot = 8;

using PresentMethod = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT);
using ReleaseMethod = ULONG(STDMETHODCALLTYPE*)(IDXGISwapChain*);

std::atomic<void*> g_realRelease{nullptr};
std::atomic<void*> g_realPresent{nullptr};
std::atomic<IDXGISwapChain*> g_trackedSwapChain{nullptr};
thread_local bool t_insideFrame = false;

// The game's frame is out before our step after it runs; a failure to finish ours costs one
// VR frame.
BoundarySite g_afterPresentSite{BoundaryReport::Silent, nullptr};
// The swap chain is gone either way; the next one served starts from whatever is left.
BoundarySite g_servedReleaseSite{BoundaryReport::Silent, nullptr};

// Empty until the program installs its own (tests swap in theirs between their own presents).
SwapChainHookActions g_actions;

void** MethodTable(IDXGISwapChain* swapChain) {
    return *reinterpret_cast<void***>(swapChain);
}

HRESULT CallRealPresent(IDXGISwapChain* swapChain, UINT syncInterval, UINT flags) {
    auto real = reinterpret_cast<PresentMethod>(g_realPresent.load(std::memory_order_acquire));
    return real(swapChain, syncInterval, flags);
}

// Clears the flag however the frame driver leaves.
class FrameScope {
public:
    FrameScope() { t_insideFrame = true; }
    ~FrameScope() { t_insideFrame = false; }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;
};

bool ServesSwapChain(IDXGISwapChain* swapChain) {
    IDXGISwapChain* expected = nullptr;
    if (g_trackedSwapChain.compare_exchange_strong(expected, swapChain, std::memory_order_acq_rel)) {
        return true;
    }
    return expected == swapChain;
}

} // namespace

bool HookSwapChain(IDXGISwapChain* swapChain) noexcept {
    if (swapChain == nullptr || MethodTable(swapChain) == nullptr) {
        return false;
    }
    void** table = MethodTable(swapChain);
    bool releaseHooked = false;
    bool presentHooked = false;
    try {
        // Two devices created at once patch this table side by side, and the context tables may
        // share its page.
        std::lock_guard<std::mutex> lock(ContextHookMutex());
        releaseHooked =
            PatchMethodSlot(&table[kReleaseSlot], reinterpret_cast<void*>(&ReleaseHook), g_realRelease);
        presentHooked =
            PatchMethodSlot(&table[kPresentSlot], reinterpret_cast<void*>(&PresentHook), g_realPresent);
    } catch (...) {
        // The mutex could not be taken; nothing was patched.
        return false;
    }
    if (!releaseHooked || !presentHooked) {
        return false;
    }
    IDXGISwapChain* expected = nullptr;
    g_trackedSwapChain.compare_exchange_strong(expected, swapChain, std::memory_order_acq_rel);
    return true;
}

HRESULT STDMETHODCALLTYPE PresentHook(IDXGISwapChain* swapChain, UINT syncInterval, UINT flags) noexcept {
    HRESULT result = S_OK;
    if ((flags & DXGI_PRESENT_TEST) != 0 || t_insideFrame || !ServesSwapChain(swapChain)) {
        result = CallRealPresent(swapChain, syncInterval, flags);
    } else {
        if (g_actions.runFrame != nullptr) {
            FrameScope scope;
            g_actions.runFrame(swapChain);
        }
        result = CallRealPresent(swapChain, syncInterval, flags);
        if (g_actions.afterPresent != nullptr) {
            CallAtBoundary(g_afterPresentSite, g_actions.afterPresent);
        }
    }
    if (g_actions.clearThreadHudOverride != nullptr) {
        g_actions.clearThreadHudOverride();
    }
    return result;
}

ULONG STDMETHODCALLTYPE ReleaseHook(IDXGISwapChain* swapChain) noexcept {
    auto real = reinterpret_cast<ReleaseMethod>(g_realRelease.load(std::memory_order_acquire));
    const ULONG remaining = real(swapChain);
    if (remaining != 0) {
        return remaining;
    }
    IDXGISwapChain* expected = swapChain;
    if (!g_trackedSwapChain.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel)) {
        return 0;
    }
    if (g_actions.resetOnServedRelease != nullptr) {
        CallAtBoundary(g_servedReleaseSite, g_actions.resetOnServedRelease);
    }
    return 0;
}

IDXGISwapChain* TrackedSwapChain() noexcept {
    return g_trackedSwapChain.load(std::memory_order_acquire);
}

void SetSwapChainHookActions(const SwapChainHookActions& actions) noexcept {
    g_actions = actions;
}

} // namespace corvane
