// The HUD re-projection on Direct3D 11: the remembered HUD shaders, the cache of HUD
// constant buffers with their per-eye copies, and the context handlers that bind a per-eye
// copy and remapped scissor rectangles for each HUD draw only. The device hooks call the
// identification and capture on the creating thread; the handlers run on any context thread.
// HudLock guards the cache only. Direct3D releases private data under its own lock, so the
// remembered shaders are kept without any lock, and no Direct3D call that may wait or destroy
// is made while HudLock is held. Nothing under it takes a presenter lock.
#pragma once

#include "stereo/hud_projection.h"

#include <d3d11.h>

#include <cstdint>

namespace corvane {

// Remembers `shader` when its bytecode is the HUD shader's, without holding a reference: the
// shader is forgotten when Direct3D destroys it, so the game's device is never kept alive.
void IdentifyHudShader(const void* bytecode, SIZE_T length, ID3D11VertexShader* shader) noexcept;

// Caches the 128 bytes written into `buffer` when they hold the HUD projection.
void CaptureHudProjection(ID3D11Resource* buffer, const uint8_t* data) noexcept;

void STDMETHODCALLTYPE OnVSSetShader(ID3D11DeviceContext* context, ID3D11VertexShader* shader,
                                     ID3D11ClassInstance* const* classInstances, UINT count) noexcept;
void STDMETHODCALLTYPE OnDraw(ID3D11DeviceContext* context, UINT vertexCount, UINT startVertex) noexcept;
void STDMETHODCALLTYPE OnDrawIndexed(ID3D11DeviceContext* context, UINT indexCount, UINT startIndex,
                                     INT baseVertex) noexcept;
void STDMETHODCALLTYPE OnRSSetScissorRects(ID3D11DeviceContext* context, UINT count,
                                           const D3D11_RECT* rects) noexcept;

// The calling thread's override: set for the duration of one HUD draw on one context.
struct HudOverrideState {
    bool active = false;
    ID3D11DeviceContext* context = nullptr;
    HudSafeFrame safeFrame;
};

// What a HUD draw changed, to be put back right after it. Holds a reference on each buffer.
struct HudDrawOverride {
    ID3D11Buffer* gameBuffer = nullptr;
    ID3D11Buffer* eyeBuffer = nullptr;
    UINT rectCount = 0;
    D3D11_RECT rects[kHudMaxScissorRects] = {};
    HudOverrideState previous;
};

// Binds the per-eye HUD buffer and remapped scissor rectangles for the draw about to run;
// false (nothing changed) unless the draw is a HUD draw that can be re-projected.
[[nodiscard]] bool BeginHudDraw(ID3D11DeviceContext* context, HudDrawOverride& saved) noexcept;

// After the draw: the game's rectangles, override state and buffer back, references released.
void EndHudDraw(ID3D11DeviceContext* context, HudDrawOverride& saved) noexcept;

// The per-eye buffer of the HUD buffer `gameBuffer` for the current eye, built when needed,
// with a reference for the caller; null when the HUD is not re-projected.
[[nodiscard]] ID3D11Buffer* GetHudEyeBuffer(ID3D11DeviceContext* context, ID3D11Buffer* gameBuffer,
                                            HudSafeFrame& frame) noexcept;

// Forgets the cache (keeps the shaders) and re-arms the per-eye and draw-override lines.
// Called when the served swap chain goes.
void ResetHudOverride() noexcept;

// Ends any override on the calling thread; the Present hook calls it after every Present.
void ClearHudOverrideOnThisThread() noexcept;

// What the cache holds, for tests: the key of each entry (null when free) and whether its
// per-eye buffers are built. Takes HudLock.
struct HudCacheView {
    const void* keys[kHudCacheEntries] = {};
    bool built[kHudCacheEntries] = {};
    uint64_t evictCounter = 0;
};
[[nodiscard]] HudCacheView InspectHudCache() noexcept;

} // namespace corvane
