#include "stereo/hud_projection_win32.h"

#include "core/game_thread_boundary.h"
#include "core/log.h"
#include "interception/context_entries_win32.h"
#include "interception/device_hooks_win32.h"
#include "platform/win32/com_ptr_win32.h"
#include "platform/win32/release_marker_win32.h"
#include "stereo/camera_buffer_win32.h"
#include "stereo/hud_shader_slots.h"
#include "stereo/optical_projection.h"
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
    // New with every key and every new contents: eye buffers built outside HudLock from a copy
    // of the contents are stored only if the entry still has the version they were built from.
    uint64_t version = 0;
};

constexpr size_t kEntryReferences = 3; // the key and two eye buffers

// Everything under HudLock. No Direct3D call is made while it is held, apart from AddRef on a
// buffer the cache holds a reference on (which only counts up): a release may destroy the
// device, and creating a buffer waits for Direct3D's own lock, and a game thread must not wait
// on HudLock for either.
struct HudShared {
    std::mutex lock;
    HudCacheEntry cache[kHudCacheEntries];
    uint64_t evictCounter = 0;
    uint64_t versions = 0;
};

// Not references: a remembered shader must not keep the game's device alive once the game
// lets it go. Each carries a ShaderLifetime in its private data that empties its slot when
// Direct3D destroys it, so a slot never outlives its shader and a new device finds room.
HudShaderSlots g_hudShaders;

// Every step on the shared records runs behind it: a lock that cannot be taken leaves the
// records as they were and the game's call untouched.
BoundarySite g_hudSharedSite{BoundaryReport::Silent, nullptr};

HudShared& Hud() noexcept {
    static HudShared* shared = new HudShared();
    return *shared;
}

// {6B1C4E52-9F0D-4A7B-8C3E-2D5A1F07B9C4}
constexpr GUID kShaderLifetimeKey = {
    0x6b1c4e52, 0x9f0d, 0x4a7b, {0x8c, 0x3e, 0x2d, 0x5a, 0x1f, 0x07, 0xb9, 0xc4}};

// Held only by the shader's private data: Direct3D releases it while destroying the shader,
// before the shader's memory can be reused, and that forgets the shader. That release runs
// under Direct3D's own lock, so forgetting takes no lock at all.
class ShaderLifetime final : public ReleaseMarker<ShaderLifetime> {
public:
    // Held once, by whoever attaches it; from then on by the shader's private data alone.
    explicit ShaderLifetime(ID3D11VertexShader* shader) : ReleaseMarker(1), shader_(shader) {}

    void LastReleased() noexcept {
        static_cast<void>(g_hudShaders.Forget(shader_));
        delete this;
    }

private:
    ID3D11VertexShader* shader_;
};

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

// Buffer references taken out of the cache under HudLock, released when this goes, after the
// lock is let go: the last release of a buffer may destroy the device, and with it the shaders
// still bound on it. Declare it before taking the lock.
template <size_t Capacity> class ReleasedAfterUnlock {
public:
    ReleasedAfterUnlock() = default;
    ReleasedAfterUnlock(const ReleasedAfterUnlock&) = delete;
    ReleasedAfterUnlock& operator=(const ReleasedAfterUnlock&) = delete;
    ~ReleasedAfterUnlock() {
        for (size_t i = 0; i < count_; ++i) {
            buffers_[i]->Release();
        }
    }

    // Takes the reference `buffer` holds (if any) and clears it.
    void Take(ID3D11Buffer*& buffer) noexcept {
        if (buffer != nullptr && count_ < Capacity) {
            buffers_[count_++] = buffer;
            buffer = nullptr;
        }
    }

private:
    ID3D11Buffer* buffers_[Capacity] = {};
    size_t count_ = 0;
};

template <size_t Capacity>
void TakeEyeBuffers(HudCacheEntry& entry, ReleasedAfterUnlock<Capacity>& later) noexcept {
    for (ID3D11Buffer*& buffer : entry.eyeBuffers) {
        later.Take(buffer);
    }
    entry.built = false;
}

template <size_t Capacity>
void ResetEntry(HudCacheEntry& entry, ReleasedAfterUnlock<Capacity>& later) noexcept {
    TakeEyeBuffers(entry, later);
    later.Take(entry.key);
    entry = HudCacheEntry{};
}

bool IsRememberedHudShader(ID3D11VertexShader* shader) noexcept {
    return g_hudShaders.Contains(shader);
}

HudCacheEntry* FindEntry(HudShared& hud, const ID3D11Buffer* key) noexcept {
    for (HudCacheEntry& entry : hud.cache) {
        if (entry.key != nullptr && entry.key == key) {
            return &entry;
        }
    }
    return nullptr;
}

// Creates the two eye buffers for `data` through the real CreateBuffer (so they are not
// captured again). Runs without HudLock: the creation waits for Direct3D's own lock.
bool BuildHudEyeBuffers(ID3D11Device* device, const float (&data)[kHudConstantFloats],
                        const HudSafeFrame (&frames)[2], ID3D11Buffer* (&made)[2]) noexcept {
    const CreateBufferEntry create = RealCreateBuffer();
    if (device == nullptr || create == nullptr) {
        return false;
    }
    for (uint32_t eye = 0; eye < 2; ++eye) {
        alignas(16) uint8_t bytes[kHudConstantBytes];
        ReprojectHudConstants(reinterpret_cast<const uint8_t*>(data), frames[eye], bytes);
        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = kHudConstantBytes;
        desc.Usage = D3D11_USAGE_IMMUTABLE;
        desc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
        D3D11_SUBRESOURCE_DATA initial{};
        initial.pSysMem = bytes;
        if (FAILED(create(device, &desc, &initial, &made[eye])) || made[eye] == nullptr) {
            for (ID3D11Buffer*& buffer : made) {
                if (buffer != nullptr) {
                    buffer->Release();
                    buffer = nullptr;
                }
            }
            return false;
        }
    }
    return true;
}

bool SameFrames(const HudSafeFrame (&a)[2], const HudSafeFrame (&b)[2]) noexcept {
    return SameFloats(&a[0].scaleX, &b[0].scaleX, 8);
}

// The entry's eye buffer for `eye` with a reference for the caller, and its frame. Caller holds
// HudLock; the entry holds a reference on the buffer, so AddRef only counts up.
ID3D11Buffer* HandOutEyeBuffer(HudCacheEntry& entry, uint32_t eye, HudSafeFrame& frame) noexcept {
    ID3D11Buffer* buffer = entry.eyeBuffers[eye];
    if (buffer != nullptr) {
        buffer->AddRef();
        frame = entry.safeFrames[eye];
    }
    return buffer;
}

// What a draw found in the cache for its HUD buffer.
struct HudLookUp {
    ID3D11Buffer* eyeBuffer = nullptr; // built for these frames: with a reference for the caller
    bool build = false;                // not built yet: the contents and version to build from
    uint64_t version = 0;
    alignas(16) float data[kHudConstantFloats] = {};
};

HudLookUp LookUpEyeBuffer(ID3D11Buffer* gameBuffer, const HudSafeFrame (&frames)[2], uint32_t eye,
                          HudSafeFrame& frame) {
    HudLookUp found;
    HudShared& hud = Hud();
    std::lock_guard<std::mutex> lock(hud.lock);
    HudCacheEntry* entry = FindEntry(hud, gameBuffer);
    if (entry == nullptr || !entry->valid) {
        return found;
    }
    if (entry->built && SameFrames(entry->safeFrames, frames)) {
        found.eyeBuffer = HandOutEyeBuffer(*entry, eye, frame);
        return found;
    }
    found.build = true;
    found.version = entry->version;
    std::memcpy(found.data, entry->data, sizeof found.data);
    return found;
}

// Stores the buffers built from version `version` of the entry, unless the entry has changed
// since (their contents are stale then) or another draw stored its own meanwhile (that one is
// handed out). The buffers stored are cleared from `made`; the rest are the caller's to release.
// True when these buffers were stored.
bool StoreEyeBuffers(ID3D11Buffer* gameBuffer, uint64_t version, const HudSafeFrame (&frames)[2],
                     ID3D11Buffer* (&made)[2], uint32_t eye, HudSafeFrame& frame, ID3D11Buffer*& eyeBuffer) {
    ReleasedAfterUnlock<2> replaced;
    HudShared& hud = Hud();
    std::lock_guard<std::mutex> lock(hud.lock);
    HudCacheEntry* entry = FindEntry(hud, gameBuffer);
    if (entry == nullptr || !entry->valid || entry->version != version) {
        return false;
    }
    bool stored = false;
    if (!entry->built || !SameFrames(entry->safeFrames, frames)) {
        TakeEyeBuffers(*entry, replaced);
        for (uint32_t i = 0; i < 2; ++i) {
            entry->eyeBuffers[i] = made[i];
            entry->safeFrames[i] = frames[i];
            made[i] = nullptr;
        }
        entry->built = true;
        stored = true;
    }
    eyeBuffer = HandOutEyeBuffer(*entry, eye, frame);
    return stored;
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
        if (g_hudShaders.Contains(shader) || g_hudShaders.Full()) {
            return;
        }
        // A shader whose destruction we would not hear of is not remembered at all, so the
        // marker goes on first.
        auto* lifetime = new ShaderLifetime(shader);
        if (FAILED(shader->SetPrivateDataInterface(kShaderLifetimeKey, lifetime))) {
            delete lifetime; // never handed out
            return;
        }
        lifetime->Release(); // the private data holds it from here
        if (g_hudShaders.Remember(shader)) {
            LogMessage("Identified Corvane Nuklear HUD vertex shader");
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
    ReleasedAfterUnlock<kEntryReferences> later;
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
            ResetEntry(entry, later);
        }
        if (entry.key == nullptr) {
            // The reference the size check took becomes the entry's.
            entry.key = constantBuffer;
            constantBuffer = nullptr;
            entry.version = ++hud.versions;
        }
        if (entry.valid && SameFloats(entry.data, incoming, kHudConstantFloats)) {
            return;
        }
        std::memcpy(entry.data, incoming, kHudConstantBytes);
        entry.valid = true;
        entry.version = ++hud.versions;
        TakeEyeBuffers(entry, later);
    });
    if (constantBuffer != nullptr) {
        constantBuffer->Release();
    }
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
    HudSafeFrame frames[2] = {shared, shared};
    EyeRemap remaps[2];
    if (inputs.eyeProjectionPicture && CurrentEyeRemaps(remaps)) {
        for (uint32_t side = 0; side < 2; ++side) {
            frames[side] =
                EyeHudSafeFrame(shared, remaps[side].sx, remaps[side].sy, remaps[side].cx, remaps[side].cy);
        }
    }
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
    const uint32_t eye = std::min(inputs.currentEye, 1u);
    ID3D11Buffer* eyeBuffer = nullptr;
    // Built buffers are handed out under HudLock; new ones are built outside it and stored
    // if the contents they came from are still the entry's. A game that writes the buffer on
    // one thread while drawing it on another may need a second try.
    for (int attempt = 0; attempt < 2 && eyeBuffer == nullptr; ++attempt) {
        HudLookUp found;
        CallAtBoundary(g_hudSharedSite, [&] { found = LookUpEyeBuffer(gameBuffer, frames, eye, frame); });
        if (!found.build) {
            return found.eyeBuffer;
        }
        ID3D11Buffer* made[2] = {};
        if (!BuildHudEyeBuffers(device.Get(), found.data, frames, made)) {
            return nullptr;
        }
        bool stored = false;
        CallAtBoundary(g_hudSharedSite, [&] {
            stored = StoreEyeBuffers(gameBuffer, found.version, frames, made, eye, frame, eyeBuffer);
        });
        for (ID3D11Buffer* buffer : made) {
            if (buffer != nullptr) {
                buffer->Release();
            }
        }
        if (stored && !g_perEyeFrameLogged.exchange(true)) {
            LogMessage("Per-eye HUD safe-frame projection active: L scale/offset %.5f/%.5f, %.5f/%.5f; "
                       "R scale/offset %.5f/%.5f, %.5f/%.5f",
                       frames[0].scaleX, frames[0].offsetX, frames[0].scaleY, frames[0].offsetY,
                       frames[1].scaleX, frames[1].offsetX, frames[1].scaleY, frames[1].offsetY);
        }
    }
    return eyeBuffer;
}

bool BeginHudDraw(ID3D11DeviceContext* context, HudDrawOverride& saved) noexcept {
    // No HUD shader known yet: no draw can be a HUD draw, and the thread state need not be read.
    if (g_hudShaders.Empty()) {
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
    if (g_hudShaders.Empty()) {
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
    if (g_hudShaders.Empty()) {
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
    // Often the device's last references: it goes when these are released, after the unlock.
    ReleasedAfterUnlock<kHudCacheEntries * kEntryReferences> later;
    CallAtBoundary(g_hudSharedSite, [&] {
        HudShared& hud = Hud();
        std::lock_guard<std::mutex> lock(hud.lock);
        for (HudCacheEntry& entry : hud.cache) {
            ResetEntry(entry, later);
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
