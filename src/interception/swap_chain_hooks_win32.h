// The Present and Release entries of the game's swap chain: the frame driver runs right
// before each Present of the one swap chain served, the presenter finishes the frame right
// after, and the served swap chain's last Release drops the per-swap-chain state. Present and
// Release may come from any game thread.
#pragma once

#include <dxgi.h>

namespace corvane {

// What the hooks do around the real calls: the program installs the frame driver, the
// presenter and the stereo state's steps at load; tests install recorders.
struct SwapChainHookActions {
    void (*runFrame)(IDXGISwapChain* swapChain) noexcept = nullptr;
    void (*afterPresent)() = nullptr;
    void (*clearThreadHudOverride)() noexcept = nullptr;
    void (*resetOnServedRelease)() = nullptr;
};

// Patches table slots 2 (Release) and 8 (Present); true when both carry the hooks. The first
// swap chain hooked becomes the served one.
[[nodiscard]] bool HookSwapChain(IDXGISwapChain* swapChain) noexcept;

HRESULT STDMETHODCALLTYPE PresentHook(IDXGISwapChain* swapChain, UINT syncInterval, UINT flags) noexcept;
ULONG STDMETHODCALLTYPE ReleaseHook(IDXGISwapChain* swapChain) noexcept;

// The swap chain being served, null when none.
[[nodiscard]] IDXGISwapChain* TrackedSwapChain() noexcept;

void SetSwapChainHookActions(const SwapChainHookActions& actions) noexcept;

} // namespace corvane
