#include "stereo/hud_projection_win32.h"

#include "core/game_thread_boundary.h"
#include "core/log.h"
#include "interception/context_entries_win32.h"
#include "interception/device_hooks_win32.h"
#include "platform/win32/com_ptr_win32.h"
#include "stereo/camera_buffer_win32.h"
#include "stereo/stereo_reads.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace corvane {
namespace {

constexpr size_t kHudConstantFloats = kHudConstantBytes / sizeof(float);

// Process-lifetime records: their references are released by ResetHudOverride, never at
// exit (Direct3D may already be gone then).
struct HudCacheEntry {
    ID3D11Buffer* key = nullptr;
    float data[kHudConstantFloats] = {};
    bool valid = false;
    ID3D11Buffer* eyeBuffers[2] = {};
    HudSafeFrame safeFrames[2];
    bool built = false;
};

// Everything under HudLock.
struct HudShared {
    std::mutex lock;
    // Not references: a remembered shader must not keep the game's device alive once the game
    // lets it go. Each carries a ShaderLifetime in its private data that empties its slot when
    // Direct3D destroys it, so a slot never outlives its shader and a new device finds room.
    ID3D11VertexShader* shaders[kHudShaderSlots] = {};
    HudCacheEntry cache[kHudCacheEntries];
    uint64_t evictCounter = 0;
};

// Every step on the shared records runs behind it: a lock that cannot be taken leaves the
// records as they were and the game's call untouched.
BoundarySite g_hudSharedSite{BoundaryReport::Silent, nullptr};

HudShared& Hud() noexcept {
    static HudShared* shared = new HudShared();
    return *shared;
}

// Lets VSSetShader skip HudLock until a HUD shader exists.
std::atomic<uint32_t> g_rememberedShaders{0};

// {6B1C4E52-9F0D-4A7B-8C3E-2D5A1F07B9C4}
constexpr GUID kShaderLifetimeKey = {
    0x6b1c4e52, 0x9f0d, 0x4a7b, {0x8c, 0x3e, 0x2d, 0x5a, 0x1f, 0x07, 0xb9, 0xc4}};

// Held only by the shader's private data: Direct3D releases it while destroying the shader,
// before the shader's memory can be reused, and that forgets the shader.
// COM objects end through Release, never through a pointer to IUnknown.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class ShaderLifetime final : public IUnknown {
public:
    explicit ShaderLifetime(ID3D11VertexShader* shader) : shader_(shader) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid != __uuidof(IUnknown)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *object = static_cast<IUnknown*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return references_.fetch_add(1) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = references_.fetch_sub(1) - 1;
        if (left == 0) {
            Forget();
            delete this;
        }
        return left;
    }

private:
    void Forget() noexcept;

    ID3D11VertexShader* shader_;
    std::atomic<ULONG> references_{1};
};
#pragma GCC diagnostic pop

std::atomic<bool> g_drawOverrideLogged{false};
std::atomic<bool> g_perEyeFrameLogged{false};
std::atomic<bool> g_sharedAreaLogged{false};

struct HudThreadState {
    HudOverrideState override;
    ID3D11DeviceContext* lastVsContext = nullptr;
    bool hudShaderBound = false;
};

HudThreadState& ThreadHud() noexcept {
    thread_local HudThreadState state;
    return state;
}

void ReleaseEyeBuffers(HudCacheEntry& entry) noexcept {
    for (ID3D11Buffer*& buffer : entry.eyeBuffers) {
        if (buffer != nullptr) {
            buffer->Release();
            buffer = nullptr;
        }
    }
    entry.built = false;
}

void ResetEntry(HudCacheEntry& entry) noexcept {
    ReleaseEyeBuffers(entry);
    if (entry.key != nullptr) {
        entry.key->Release();
    }
    entry = HudCacheEntry{};
}

void ShaderLifetime::Forget() noexcept {
    CallAtBoundary(g_hudSharedSite, [this] {
        HudShared& hud = Hud();
        std::lock_guard<std::mutex> lock(hud.lock);
        for (ID3D11VertexShader*& slot : hud.shaders) {
            if (slot == shader_) {
                slot = nullptr;
                g_rememberedShaders.fetch_sub(1);
            }
        }
    });
}

bool IsRememberedHudShader(ID3D11VertexShader* shader) noexcept {
    if (shader == nullptr || g_rememberedShaders.load(std::memory_order_acquire) == 0) {
        return false;
    }
    bool found = false;
    CallAtBoundary(g_hudSharedSite, [&] {
        HudShared& hud = Hud();
        std::lock_guard<std::mutex> lock(hud.lock);
        found = std::find(std::begin(hud.shaders), std::end(hud.shaders), shader) != std::end(hud.shaders);
    });
    return found;
}

HudCacheEntry* FindEntry(HudShared& hud, const ID3D11Buffer* key) noexcept {
    for (HudCacheEntry& entry : hud.cache) {
        if (entry.key != nullptr && entry.key == key) {
            return &entry;
        }
    }
    return nullptr;
}

// Caller holds HudLock.
bool BuildHudEyeBuffers(ID3D11Device* device, HudCacheEntry& entry, const HudSafeFrame (&frames)[2]) {
    const CreateBufferEntry create = RealCreateBuffer();
    if (device == nullptr || create == nullptr || !entry.valid) {
        return false;
    }
    if (entry.built && SameFloats(&entry.safeFrames[0].scaleX, &frames[0].scaleX, 8)) {
        return true;
    }
    ID3D11Buffer* made[2] = {};
    for (uint32_t eye = 0; eye < 2; ++eye) {
        alignas(16) uint8_t bytes[kHudConstantBytes];
        ReprojectHudConstants(reinterpret_cast<const uint8_t*>(entry.data), frames[eye], bytes);
        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = kHudConstantBytes;
        desc.Usage = D3D11_USAGE_IMMUTABLE;
        desc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
        D3D11_SUBRESOURCE_DATA initial{};
        initial.pSysMem = bytes;
        if (FAILED(create(device, &desc, &initial, &made[eye])) || made[eye] == nullptr) {
            for (ID3D11Buffer* buffer : made) {
                if (buffer != nullptr) {
                    buffer->Release();
                }
            }
            return false;
        }
    }
    ReleaseEyeBuffers(entry);
    for (uint32_t eye = 0; eye < 2; ++eye) {
        entry.eyeBuffers[eye] = made[eye];
        entry.safeFrames[eye] = frames[eye];
    }
    entry.built = true;
    if (!g_perEyeFrameLogged.exchange(true)) {
        LogMessage("Per-eye HUD safe-frame projection active: L scale/offset %.5f/%.5f, %.5f/%.5f; "
                   "R scale/offset %.5f/%.5f, %.5f/%.5f",
                   frames[0].scaleX, frames[0].offsetX, frames[0].scaleY, frames[0].offsetY, frames[1].scaleX,
                   frames[1].offsetX, frames[1].scaleY, frames[1].offsetY);
    }
    return true;
}

} // namespace

void EndHudDraw(ID3D11DeviceContext* context, HudDrawOverride& saved) noexcept {
    if (saved.rectCount > 0) {
        if (const auto setRects =
                RealEntry<RSSetScissorRectsEntry>(context, ContextMethod::RSSetScissorRects)) {
            setRects(context, saved.rectCount, saved.rects);
        }
    }
    ThreadHud().override = saved.previous;
    if (saved.gameBuffer != nullptr) {
        if (const auto bind =
                RealEntry<VSSetConstantBuffersEntry>(context, ContextMethod::VSSetConstantBuffers)) {
            bind(context, 0, 1, &saved.gameBuffer);
        }
    }
    if (saved.eyeBuffer != nullptr) {
        saved.eyeBuffer->Release();
    }
    if (saved.gameBuffer != nullptr) {
        saved.gameBuffer->Release();
    }
    saved = HudDrawOverride{};
}

void IdentifyHudShader(const void* bytecode, SIZE_T length, ID3D11VertexShader* shader) noexcept {
    if (shader == nullptr || !IsHudShaderBytecode(bytecode, length)) {
        return;
    }
    CallAtBoundary(g_hudSharedSite, [&] {
        HudShared& hud = Hud();
        std::lock_guard<std::mutex> lock(hud.lock);
        if (std::find(std::begin(hud.shaders), std::end(hud.shaders), shader) != std::end(hud.shaders)) {
            return;
        }
        for (ID3D11VertexShader*& slot : hud.shaders) {
            if (slot == nullptr) {
                // A shader whose destruction we would not hear of is not remembered at all.
                auto* lifetime = new ShaderLifetime(shader);
                if (FAILED(shader->SetPrivateDataInterface(kShaderLifetimeKey, lifetime))) {
                    delete lifetime; // never handed out; its Release would take HudLock again
                    return;
                }
                lifetime->Release(); // the private data holds it from here
                slot = shader;
                g_rememberedShaders.fetch_add(1);
                LogMessage("Identified Corvane Nuklear HUD vertex shader");
                return;
            }
        }
    });
}

void CaptureHudProjection(ID3D11Resource* buffer, const uint8_t* data) noexcept {
    if (data == nullptr || !IsOrthographicHudProjection(data)) {
        return;
    }
    ID3D11Buffer* constantBuffer = nullptr;
    if (!IsConstantBufferOfSize(buffer, kHudConstantBytes, &constantBuffer)) {
        return;
    }
    float incoming[kHudConstantFloats];
    std::memcpy(incoming, data, kHudConstantBytes);
    CallAtBoundary(g_hudSharedSite, [&] {
        HudShared& hud = Hud();
        std::lock_guard<std::mutex> lock(hud.lock);
        const void* keys[kHudCacheEntries];
        for (uint32_t i = 0; i < kHudCacheEntries; ++i) {
            keys[i] = hud.cache[i].key;
        }
        const HudCacheChoice choice = ChooseHudCacheEntry(keys, constantBuffer, hud.evictCounter);
        HudCacheEntry& entry = hud.cache[choice.index];
        if (choice.evict) {
            ResetEntry(entry);
        }
        if (entry.key == nullptr) {
            constantBuffer->AddRef();
            entry.key = constantBuffer;
        }
        if (entry.valid && SameFloats(entry.data, incoming, kHudConstantFloats)) {
            return;
        }
        std::memcpy(entry.data, incoming, kHudConstantBytes);
        entry.valid = true;
        ReleaseEyeBuffers(entry);
    });
    constantBuffer->Release();
}

ID3D11Buffer* GetHudEyeBuffer(ID3D11DeviceContext* context, ID3D11Buffer* gameBuffer,
                              HudSafeFrame& frame) noexcept {
    if (context == nullptr || gameBuffer == nullptr) {
        return nullptr;
    }
    const HudStereoInputs inputs = ReadHudStereoInputs();
    if (!inputs.enabled || !inputs.cameraBuildSupported) {
        return nullptr;
    }
    const HudSafeFrame shared = SharedHudSafeFrame(inputs.hudScale, inputs.hudVerticalOffset);
    const HudSafeFrame frames[2] = {shared, shared};
    if (!g_sharedAreaLogged.exchange(true)) {
        LogMessage("Shared HUD safe area active: horizontal scale %.3f, vertical scale %.3f, vertical "
                   "offset %+.3f",
                   shared.scaleX, shared.scaleY, shared.offsetY);
    }
    ComPtr<ID3D11Device> device;
    context->GetDevice(device.Put());
    if (!device) {
        return nullptr;
    }
    ID3D11Buffer* eyeBuffer = nullptr;
    const uint32_t eye = std::min(inputs.currentEye, 1u);
    CallAtBoundary(g_hudSharedSite, [&] {
        HudShared& hud = Hud();
        std::lock_guard<std::mutex> lock(hud.lock);
        HudCacheEntry* entry = FindEntry(hud, gameBuffer);
        if (entry == nullptr || !BuildHudEyeBuffers(device.Get(), *entry, frames)) {
            return;
        }
        if (entry->eyeBuffers[eye] != nullptr) {
            eyeBuffer = entry->eyeBuffers[eye];
            eyeBuffer->AddRef();
            frame = frames[eye];
        }
    });
    return eyeBuffer;
}

bool BeginHudDraw(ID3D11DeviceContext* context, HudDrawOverride& saved) noexcept {
    // No HUD shader known yet: no draw can be a HUD draw, and the thread state need not be read.
    if (g_rememberedShaders.load(std::memory_order_relaxed) == 0) {
        return false;
    }
    HudThreadState& thread = ThreadHud();
    if (context == nullptr || thread.lastVsContext != context || !thread.hudShaderBound) {
        return false;
    }
    {
        ComPtr<ID3D11VertexShader> bound;
        context->VSGetShader(bound.Put(), nullptr, nullptr);
        if (!IsRememberedHudShader(bound.Get())) {
            thread.hudShaderBound = false;
            return false;
        }
    }
    ID3D11Buffer* gameBuffer = nullptr;
    context->VSGetConstantBuffers(0, 1, &gameBuffer);
    if (gameBuffer == nullptr) {
        return false;
    }
    HudSafeFrame frame;
    ID3D11Buffer* eyeBuffer = GetHudEyeBuffer(context, gameBuffer, frame);
    if (eyeBuffer == nullptr) {
        gameBuffer->Release();
        return false;
    }
    const auto bind = RealEntry<VSSetConstantBuffersEntry>(context, ContextMethod::VSSetConstantBuffers);
    if (bind == nullptr) {
        eyeBuffer->Release();
        gameBuffer->Release();
        return false;
    }
    bind(context, 0, 1, &eyeBuffer);
    saved.gameBuffer = gameBuffer;
    saved.eyeBuffer = eyeBuffer;
    saved.previous = thread.override;
    thread.override = HudOverrideState{true, context, frame};

    // Ask how many rectangles are bound first: with an array, the count is not reported back
    // everywhere, and restoring sixteen where the game set one would change its state.
    UINT bound = 0;
    context->RSGetScissorRects(&bound, nullptr);
    saved.rectCount = 0;
    if (bound >= 1 && bound <= kHudMaxScissorRects) {
        UINT count = bound;
        context->RSGetScissorRects(&count, saved.rects);
        saved.rectCount = bound;
        OnRSSetScissorRects(context, bound, saved.rects);
    }
    if (!g_drawOverrideLogged.exchange(true)) {
        LogMessage("Exact Nuklear HUD draw override active on %s context",
                   context->GetType() == D3D11_DEVICE_CONTEXT_DEFERRED ? "deferred" : "immediate");
    }
    return true;
}

void STDMETHODCALLTYPE OnVSSetShader(ID3D11DeviceContext* context, ID3D11VertexShader* shader,
                                     ID3D11ClassInstance* const* classInstances, UINT count) noexcept {
    const bool isHud = IsRememberedHudShader(shader);
    HudThreadState& thread = ThreadHud();
    thread.lastVsContext = context;
    thread.hudShaderBound = isHud;
    if (!isHud && thread.override.context == context) {
        thread.override = HudOverrideState{};
    }
    if (const auto real = RealEntry<VSSetShaderEntry>(context, ContextMethod::VSSetShader)) {
        real(context, shader, classInstances, count);
    }
}

void STDMETHODCALLTYPE OnDraw(ID3D11DeviceContext* context, UINT vertexCount, UINT startVertex) noexcept {
    const auto real = RealEntry<DrawEntry>(context, ContextMethod::Draw);
    if (real == nullptr) {
        return;
    }
    // Until a HUD shader is known no draw can be a HUD draw: skip the saved record entirely.
    if (g_rememberedShaders.load(std::memory_order_relaxed) == 0) {
        real(context, vertexCount, startVertex);
        return;
    }
    HudDrawOverride saved;
    const bool prepared = BeginHudDraw(context, saved);
    real(context, vertexCount, startVertex);
    if (prepared) {
        EndHudDraw(context, saved);
    }
}

void STDMETHODCALLTYPE OnDrawIndexed(ID3D11DeviceContext* context, UINT indexCount, UINT startIndex,
                                     INT baseVertex) noexcept {
    const auto real = RealEntry<DrawIndexedEntry>(context, ContextMethod::DrawIndexed);
    if (real == nullptr) {
        return;
    }
    // Until a HUD shader is known no draw can be a HUD draw: skip the saved record entirely.
    if (g_rememberedShaders.load(std::memory_order_relaxed) == 0) {
        real(context, indexCount, startIndex, baseVertex);
        return;
    }
    HudDrawOverride saved;
    const bool prepared = BeginHudDraw(context, saved);
    real(context, indexCount, startIndex, baseVertex);
    if (prepared) {
        EndHudDraw(context, saved);
    }
}

void STDMETHODCALLTYPE OnRSSetScissorRects(ID3D11DeviceContext* context, UINT count,
                                           const D3D11_RECT* rects) noexcept {
    const auto real = RealEntry<RSSetScissorRectsEntry>(context, ContextMethod::RSSetScissorRects);
    if (real == nullptr) {
        return;
    }
    const HudOverrideState& state = ThreadHud().override;
    if (!state.active || state.context != context || rects == nullptr || count < 1 ||
        count > kHudMaxScissorRects) {
        real(context, count, rects);
        return;
    }
    D3D11_VIEWPORT viewport{};
    UINT viewports = 1;
    context->RSGetViewports(&viewports, &viewport);
    const HudViewport area{viewport.TopLeftX, viewport.TopLeftY, viewport.Width, viewport.Height};
    if (viewports == 0 || !IsUsableHudViewport(area)) {
        real(context, count, rects);
        return;
    }
    D3D11_RECT remapped[kHudMaxScissorRects];
    for (UINT i = 0; i < count; ++i) {
        const HudRect mapped = RemapHudScissorRect(
            HudRect{rects[i].left, rects[i].top, rects[i].right, rects[i].bottom}, area, state.safeFrame);
        remapped[i] = D3D11_RECT{mapped.left, mapped.top, mapped.right, mapped.bottom};
    }
    real(context, count, remapped);
}

void ResetHudOverride() noexcept {
    CallAtBoundary(g_hudSharedSite, [] {
        HudShared& hud = Hud();
        std::lock_guard<std::mutex> lock(hud.lock);
        for (HudCacheEntry& entry : hud.cache) {
            ResetEntry(entry);
        }
        hud.evictCounter = 0;
        g_perEyeFrameLogged.store(false);
        g_drawOverrideLogged.store(false);
    });
}

void ClearHudOverrideOnThisThread() noexcept {
    ThreadHud().override = HudOverrideState{};
}

HudCacheView InspectHudCache() noexcept {
    HudCacheView view;
    CallAtBoundary(g_hudSharedSite, [&] {
        HudShared& hud = Hud();
        std::lock_guard<std::mutex> lock(hud.lock);
        for (uint32_t i = 0; i < kHudCacheEntries; ++i) {
            view.keys[i] = hud.cache[i].key;
            view.built[i] = hud.cache[i].built;
        }
        view.evictCounter = hud.evictCounter;
    });
    return view;
}

} // namespace corvane
