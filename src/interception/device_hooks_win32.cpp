#include "interception/device_hooks_win32.h"

#include "core/game_thread_boundary.h"
#include "core/log.h"
#include "interception/method_table_patch.h"

#include <atomic>
#include <mutex>

namespace corvane {
namespace {

using CreateVertexShaderEntry = HRESULT(STDMETHODCALLTYPE*)(ID3D11Device*, const void*, SIZE_T,
                                                            ID3D11ClassLinkage*, ID3D11VertexShader**);
using CreateDeferredContextEntry = HRESULT(STDMETHODCALLTYPE*)(ID3D11Device*, UINT, ID3D11DeviceContext**);

// One saved real entry point per device slot, process-wide.
std::atomic<void*> g_realCreateBuffer{nullptr};
std::atomic<void*> g_realCreateVertexShader{nullptr};
std::atomic<void*> g_realCreateDeferredContext{nullptr};

std::atomic<uint32_t> g_deferredContexts{0};
std::atomic<bool> g_deferredFailureLogged{false};

constexpr UINT kHudBufferByteWidth = 128;

// Written once by the module entry before any device exists; read by the hooks afterwards.
DeviceHookHandlers g_handlers;

bool HandlersRegistered() noexcept {
    for (void* entry : g_handlers.context.entries) {
        if (entry == nullptr) {
            return false;
        }
    }
    return true;
}

// The program's own work after each creation; the game keeps the creation's result.
BoundarySite g_createBufferSite{
    BoundaryReport::Log, "D3D11 CreateBuffer handler raised an exception; the call was passed through"};
BoundarySite g_createVertexShaderSite{
    BoundaryReport::Log, "D3D11 CreateVertexShader handler raised an exception; the call was passed through"};
BoundarySite g_createDeferredContextSite{
    BoundaryReport::Log,
    "D3D11 CreateDeferredContext handler raised an exception; the call was passed through"};

template <typename Entry> Entry Real(const std::atomic<void*>& saved) noexcept {
    return reinterpret_cast<Entry>(saved.load(std::memory_order_acquire));
}

void** TableOf(void* object) noexcept {
    return object != nullptr ? *static_cast<void***>(object) : nullptr;
}

} // namespace

void RegisterDeviceHookHandlers(const DeviceHookHandlers& handlers) noexcept {
    g_handlers = handlers;
}

ContextHandlerSet InterceptedContextHandlers() noexcept {
    return g_handlers.context;
}

bool HookContextTable(ID3D11DeviceContext* context) noexcept {
    void** table = TableOf(context);
    // Without handlers a slot would be "hooked" with null: nothing is patched.
    return table != nullptr && HandlersRegistered() && HookContextMethodTable(table, g_handlers.context);
}

bool HookDeviceContexts(ID3D11Device* device, ID3D11DeviceContext* immediateContext) noexcept {
    if (device == nullptr || immediateContext == nullptr ||
        immediateContext->GetType() != D3D11_DEVICE_CONTEXT_IMMEDIATE) {
        return false;
    }
    void** table = TableOf(device);
    if (table == nullptr || !HandlersRegistered()) {
        return false;
    }
    try {
        std::lock_guard<std::mutex> lock(ContextHookMutex());
        bool all = PatchMethodSlot(&table[kCreateBufferSlot], reinterpret_cast<void*>(&CreateBufferHook),
                                   g_realCreateBuffer);
        all = PatchMethodSlot(&table[kCreateVertexShaderSlot],
                              reinterpret_cast<void*>(&CreateVertexShaderHook), g_realCreateVertexShader) &&
              all;
        all = PatchMethodSlot(&table[kCreateDeferredContextSlot],
                              reinterpret_cast<void*>(&CreateDeferredContextHook),
                              g_realCreateDeferredContext) &&
              all;
        // The context is hooked also when a device slot failed.
        return HookContextTable(immediateContext) && all;
    } catch (...) {
        // The mutex could not be taken; nothing was patched.
        return false;
    }
}

HRESULT STDMETHODCALLTYPE CreateBufferHook(ID3D11Device* device, const D3D11_BUFFER_DESC* desc,
                                           const D3D11_SUBRESOURCE_DATA* initialData,
                                           ID3D11Buffer** buffer) noexcept {
    const auto real = Real<CreateBufferEntry>(g_realCreateBuffer);
    if (real == nullptr) {
        return E_FAIL;
    }
    const HRESULT result = real(device, desc, initialData, buffer);
    if (FAILED(result) || desc == nullptr || desc->ByteWidth != kHudBufferByteWidth ||
        (desc->BindFlags & D3D11_BIND_CONSTANT_BUFFER) == 0 || initialData == nullptr ||
        initialData->pSysMem == nullptr || buffer == nullptr || *buffer == nullptr) {
        return result;
    }
    if (g_handlers.captureHudProjection == nullptr) {
        return result;
    }
    CallAtBoundary(g_createBufferSite, [&] {
        g_handlers.captureHudProjection(*buffer, static_cast<const uint8_t*>(initialData->pSysMem));
    });
    return result;
}

HRESULT STDMETHODCALLTYPE CreateVertexShaderHook(ID3D11Device* device, const void* bytecode, SIZE_T length,
                                                 ID3D11ClassLinkage* classLinkage,
                                                 ID3D11VertexShader** shader) noexcept {
    const auto real = Real<CreateVertexShaderEntry>(g_realCreateVertexShader);
    if (real == nullptr) {
        return E_FAIL;
    }
    const HRESULT result = real(device, bytecode, length, classLinkage, shader);
    if (FAILED(result) || shader == nullptr || *shader == nullptr ||
        g_handlers.identifyHudShader == nullptr) {
        return result;
    }
    CallAtBoundary(g_createVertexShaderSite,
                   [&] { g_handlers.identifyHudShader(bytecode, length, *shader); });
    return result;
}

HRESULT STDMETHODCALLTYPE CreateDeferredContextHook(ID3D11Device* device, UINT flags,
                                                    ID3D11DeviceContext** context) noexcept {
    const auto real = Real<CreateDeferredContextEntry>(g_realCreateDeferredContext);
    if (real == nullptr) {
        return E_FAIL;
    }
    const HRESULT result = real(device, flags, context);
    if (FAILED(result) || context == nullptr || *context == nullptr) {
        return result;
    }
    CallAtBoundary(g_createDeferredContextSite, [&] {
        bool hooked = false;
        {
            std::lock_guard<std::mutex> lock(ContextHookMutex());
            hooked = HookContextTable(*context);
        }
        if (hooked) {
            const uint32_t count = g_deferredContexts.fetch_add(1) + 1;
            if (count == 1 || count == 16) {
                LogMessage("D3D11 deferred-context recording interception active (%u context%s hooked)",
                           count, count == 1 ? "" : "s");
            }
        } else if (!g_deferredFailureLogged.exchange(true)) {
            LogMessage(
                "D3D11 deferred context was created, but its recording vtable could not be intercepted");
        }
    });
    return result;
}

CreateBufferEntry RealCreateBuffer() noexcept {
    return Real<CreateBufferEntry>(g_realCreateBuffer);
}

uint32_t HookedDeferredContextCount() noexcept {
    return g_deferredContexts.load(std::memory_order_acquire);
}

} // namespace corvane
