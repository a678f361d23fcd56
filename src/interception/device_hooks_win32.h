// Interception of the game's device and of every device context it meets: three device
// slots (buffer, vertex-shader and deferred-context creation) and the eight context slots
// of each distinct context table. Patching runs on the threads that create the device and
// the deferred contexts, serialised by ContextHookMutex; the hooks run on any game thread.
#pragma once

#include "interception/context_tables.h"

#include <d3d11.h>

#include <cstdint>

namespace corvane {

// Device table slots.
inline constexpr uint32_t kCreateBufferSlot = 3;
inline constexpr uint32_t kCreateVertexShaderSlot = 12;
inline constexpr uint32_t kCreateDeferredContextSlot = 27;

// True when the three device slots and the eight slots of the immediate context's table
// all carry the program's hooks. False, with nothing patched, before handlers are registered.
[[nodiscard]] bool HookDeviceContexts(ID3D11Device* device, ID3D11DeviceContext* immediateContext) noexcept;

// Records the context's table on first sight and patches its eight slots. Caller holds
// ContextHookMutex. True when all eight carry the handlers.
[[nodiscard]] bool HookContextTable(ID3D11DeviceContext* context) noexcept;

// Where the hooks hand the program's work: the eight context handlers in record order and
// what runs after a buffer or a vertex shader was created. Registered by the module entry (or
// a test) before any device is hooked; interception itself knows none of them.
struct DeviceHookHandlers {
    ContextHandlerSet context;
    void (*captureHudProjection)(ID3D11Resource* buffer, const uint8_t* initialBytes) noexcept = nullptr;
    void (*identifyHudShader)(const void* bytecode, SIZE_T length,
                              ID3D11VertexShader* shader) noexcept = nullptr;
};

void RegisterDeviceHookHandlers(const DeviceHookHandlers& handlers) noexcept;

// The context handlers registered; empty entries until a set is registered.
[[nodiscard]] ContextHandlerSet InterceptedContextHandlers() noexcept;

HRESULT STDMETHODCALLTYPE CreateBufferHook(ID3D11Device* device, const D3D11_BUFFER_DESC* desc,
                                           const D3D11_SUBRESOURCE_DATA* initialData,
                                           ID3D11Buffer** buffer) noexcept;
HRESULT STDMETHODCALLTYPE CreateVertexShaderHook(ID3D11Device* device, const void* bytecode, SIZE_T length,
                                                 ID3D11ClassLinkage* classLinkage,
                                                 ID3D11VertexShader** shader) noexcept;
HRESULT STDMETHODCALLTYPE CreateDeferredContextHook(ID3D11Device* device, UINT flags,
                                                    ID3D11DeviceContext** context) noexcept;

using CreateBufferEntry = HRESULT(STDMETHODCALLTYPE*)(ID3D11Device*, const D3D11_BUFFER_DESC*,
                                                      const D3D11_SUBRESOURCE_DATA*, ID3D11Buffer**);

// The saved real ID3D11Device::CreateBuffer (null until slot 3 is hooked): buffers created
// through it bypass CreateBufferHook.
[[nodiscard]] CreateBufferEntry RealCreateBuffer() noexcept;

// Deferred contexts whose table was hooked.
[[nodiscard]] uint32_t HookedDeferredContextCount() noexcept;

} // namespace corvane
