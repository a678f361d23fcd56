// Device and context interception on a real Direct3D 11 device: the patched slots, calls
// that still reach the real methods on immediate and deferred contexts, command lists,
// deferred-context counting, and foreign patches made before and after ours. Method tables
// are process-wide and never restored, so each group that needs a fresh table runs in a
// process of its own (see the CMake entries).
#include "d3d_test_device.h"
#include "debug_output_capture.h"
#include "interception/context_entries_win32.h"
#include "interception/context_tables.h"
#include "interception/device_hooks_win32.h"
#include "platform/win32/os_win32.h"
#include "stereo/camera_buffer_win32.h"
#include "stereo/hud_projection_win32.h"
#include "stereo/stereo_device_handlers_win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

namespace corvane {
namespace {

using namespace testing_support;

constexpr UINT kTarget = 32;

constexpr char kShaderSource[] = R"(
float4 VSMain(uint id : SV_VertexID) : SV_Position {
    float2 uv = float2((id << 1) & 2, id & 2);
    return float4(uv * float2(2, -2) + float2(-1, 1), 0, 1);
}
float4 PSMain() : SV_Target { return float4(0, 1, 0, 1); }
)";

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// Writes a method-table entry the way another hooking layer would.
void ForeignWrite(void** slot, void* value) {
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(slot, sizeof(void*), PAGE_EXECUTE_READWRITE, &old));
    *slot = value;
    DWORD ignored = 0;
    ASSERT_TRUE(VirtualProtect(slot, sizeof(void*), old, &ignored));
}

// A colour target with a read-back copy, and the objects a full-screen triangle needs.
struct DrawKit {
    ComPtr<ID3D11Texture2D> texture;
    ComPtr<ID3D11RenderTargetView> view;
    ComPtr<ID3D11Texture2D> readBack;
    ComPtr<ID3D11VertexShader> vertexShader;
    ComPtr<ID3D11PixelShader> pixelShader;
    ComPtr<ID3D11Buffer> indices;

    void Create(ID3D11Device* device) {
        const D3D11_TEXTURE2D_DESC target =
            TextureDesc(kTarget, kTarget, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_RENDER_TARGET);
        const D3D11_TEXTURE2D_DESC staging = TextureDesc(kTarget, kTarget, DXGI_FORMAT_R8G8B8A8_UNORM, 0);
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&target, nullptr, texture.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateRenderTargetView(texture.Get(), nullptr, view.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&staging, nullptr, readBack.Put()));
        const auto vs = CompileShader(kShaderSource, "VSMain", "vs_5_0");
        const auto ps = CompileShader(kShaderSource, "PSMain", "ps_5_0");
        ASSERT_TRUE(vs && ps);
        ASSERT_HRESULT_SUCCEEDED(device->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(),
                                                            nullptr, vertexShader.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreatePixelShader(ps->GetBufferPointer(), ps->GetBufferSize(),
                                                           nullptr, pixelShader.Put()));
        const uint16_t list[3] = {0, 1, 2};
        D3D11_BUFFER_DESC indexDesc{};
        indexDesc.ByteWidth = sizeof list;
        indexDesc.BindFlags = D3D11_BIND_INDEX_BUFFER;
        D3D11_SUBRESOURCE_DATA data{};
        data.pSysMem = list;
        ASSERT_HRESULT_SUCCEEDED(device->CreateBuffer(&indexDesc, &data, indices.Put()));
    }

    void Bind(ID3D11DeviceContext* context) {
        ID3D11RenderTargetView* target = view.Get();
        context->OMSetRenderTargets(1, &target, nullptr);
        const D3D11_VIEWPORT viewport{0.0f, 0.0f, kTarget, kTarget, 0.0f, 1.0f};
        context->RSSetViewports(1, &viewport);
        context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
        context->IASetInputLayout(nullptr);
        context->IASetIndexBuffer(indices.Get(), DXGI_FORMAT_R16_UINT, 0);
        context->VSSetShader(vertexShader.Get(), nullptr, 0);
        context->PSSetShader(pixelShader.Get(), nullptr, 0);
    }

    void Clear(ID3D11DeviceContext* immediate) {
        const float black[4] = {0, 0, 0, 1};
        immediate->ClearRenderTargetView(view.Get(), black);
    }

    // Green channel of the centre pixel.
    int CentreGreen(ID3D11DeviceContext* immediate) {
        immediate->CopyResource(readBack.Get(), texture.Get());
        D3D11_MAPPED_SUBRESOURCE mapped{};
        if (FAILED(immediate->Map(readBack.Get(), 0, D3D11_MAP_READ, 0, &mapped))) {
            ADD_FAILURE() << "read-back map failed";
            return -1;
        }
        const auto* row = static_cast<const uint8_t*>(mapped.pData) + (kTarget / 2) * mapped.RowPitch;
        const int green = row[4 * (kTarget / 2) + 1];
        immediate->Unmap(readBack.Get(), 0);
        return green;
    }
};

class ContextHooksTest : public ::testing::Test {
protected:
    void SetUp() override {
        RecordOwnModule(GetModuleHandleW(nullptr));
        RegisterDeviceHookHandlers(StereoDeviceHookHandlers());
        ASSERT_TRUE(CreateTestDevice(device, immediate));
    }

    void HookAndCreateDeferred() {
        ASSERT_TRUE(HookDeviceContexts(device.Get(), immediate.Get()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateDeferredContext(0, deferred.Put()));
    }

    void Execute() {
        ComPtr<ID3D11CommandList> commands;
        ASSERT_HRESULT_SUCCEEDED(deferred->FinishCommandList(FALSE, commands.Put()));
        immediate->ExecuteCommandList(commands.Get(), FALSE);
    }

    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> immediate;
    ComPtr<ID3D11DeviceContext> deferred;
};

TEST_F(ContextHooksTest, TheDeviceAndContextSlotsCarryTheHooks) {
    // The interception has no handlers of its own: until a set is registered nothing is patched.
    void* const drawBefore = TableOf(immediate.Get())[13];
    void* const createBufferBefore = TableOf(device.Get())[3];
    RegisterDeviceHookHandlers(DeviceHookHandlers{});
    EXPECT_FALSE(HookDeviceContexts(device.Get(), immediate.Get()));
    EXPECT_EQ(TableOf(immediate.Get())[13], drawBefore);
    EXPECT_EQ(TableOf(device.Get())[3], createBufferBefore);
    RegisterDeviceHookHandlers(StereoDeviceHookHandlers());

    HookAndCreateDeferred();
    void** deviceTable = TableOf(device.Get());
    EXPECT_EQ(deviceTable[3], reinterpret_cast<void*>(&CreateBufferHook));
    EXPECT_EQ(deviceTable[12], reinterpret_cast<void*>(&CreateVertexShaderHook));
    EXPECT_EQ(deviceTable[27], reinterpret_cast<void*>(&CreateDeferredContextHook));
    const struct {
        int slot;
        void* handler;
    } contextSlots[] = {
        {7, reinterpret_cast<void*>(&OnVSSetConstantBuffers)},
        {11, reinterpret_cast<void*>(&OnVSSetShader)},
        {12, reinterpret_cast<void*>(&OnDrawIndexed)},
        {13, reinterpret_cast<void*>(&OnDraw)},
        {14, reinterpret_cast<void*>(&OnMap)},
        {15, reinterpret_cast<void*>(&OnUnmap)},
        {45, reinterpret_cast<void*>(&OnRSSetScissorRects)},
        {48, reinterpret_cast<void*>(&OnUpdateSubresource)},
    };
    for (ID3D11DeviceContext* context : {immediate.Get(), deferred.Get()}) {
        for (const auto& entry : contextSlots) {
            EXPECT_EQ(TableOf(context)[entry.slot], entry.handler) << "slot " << entry.slot;
        }
        // The lookup never hands out one of our own handlers as the real method.
        for (uint32_t method = 1; method <= kContextMethodCount; ++method) {
            void* real = FindRealEntryInTable(TableOf(context), static_cast<ContextMethod>(method));
            EXPECT_NE(real, nullptr);
            for (const auto& entry : contextSlots) {
                EXPECT_NE(real, entry.handler) << "method " << method;
            }
        }
    }
    EXPECT_TRUE(HookDeviceContexts(device.Get(), immediate.Get())) << "hooking again is harmless";
    EXPECT_FALSE(HookDeviceContexts(device.Get(), deferred.Get())) << "only an immediate context";
    EXPECT_FALSE(HookDeviceContexts(nullptr, immediate.Get()));
}

TEST_F(ContextHooksTest, EveryInterceptedCallReachesTheRealMethodOnImmediateAndDeferredContexts) {
    HookAndCreateDeferred();
    DrawKit kit;
    kit.Create(device.Get());
    ComPtr<ID3D11Buffer> bound = MakeConstantBuffer(device.Get(), 64, false);
    ComPtr<ID3D11Buffer> mapped = MakeConstantBuffer(device.Get(), 64, true);
    ComPtr<ID3D11Buffer> updated = MakeConstantBuffer(device.Get(), 256, false);

    for (ID3D11DeviceContext* context : {immediate.Get(), deferred.Get()}) {
        const bool isDeferred = context == deferred.Get();
        SCOPED_TRACE(isDeferred ? "deferred" : "immediate");
        kit.Clear(immediate.Get());

        ID3D11Buffer* buffer = bound.Get();
        context->VSSetConstantBuffers(2, 1, &buffer);
        ComPtr<ID3D11Buffer> got;
        context->VSGetConstantBuffers(2, 1, got.Put());
        EXPECT_EQ(got.Get(), bound.Get());

        const D3D11_RECT rects[2] = {{1, 2, 3, 4}, {5, 6, 7, 8}};
        context->RSSetScissorRects(2, rects);
        D3D11_RECT back[2] = {};
        UINT count = 2;
        context->RSGetScissorRects(&count, back);
        EXPECT_EQ(std::memcmp(back, rects, sizeof rects), 0);

        D3D11_MAPPED_SUBRESOURCE map{};
        ASSERT_HRESULT_SUCCEEDED(context->Map(mapped.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &map));
        std::memset(map.pData, isDeferred ? 0x22 : 0x11, 64);
        context->Unmap(mapped.Get(), 0);

        uint8_t source[256];
        std::memset(source, isDeferred ? 0x44 : 0x33, sizeof source);
        context->UpdateSubresource(updated.Get(), 0, nullptr, source, 0, 0);

        kit.Bind(context);
        ComPtr<ID3D11VertexShader> shader;
        context->VSGetShader(shader.Put(), nullptr, nullptr);
        EXPECT_EQ(shader.Get(), kit.vertexShader.Get());
        context->Draw(3, 0);
        if (isDeferred) {
            Execute();
        }
        EXPECT_EQ(kit.CentreGreen(immediate.Get()), 255) << "Draw";
        EXPECT_EQ(ReadBack(device.Get(), immediate.Get(), mapped.Get()),
                  std::vector<uint8_t>(64, source[0] - 0x22));
        EXPECT_EQ(ReadBack(device.Get(), immediate.Get(), updated.Get()),
                  std::vector<uint8_t>(256, source[0]));

        kit.Clear(immediate.Get());
        kit.Bind(context);
        context->DrawIndexed(3, 0, 0);
        if (isDeferred) {
            Execute();
        }
        EXPECT_EQ(kit.CentreGreen(immediate.Get()), 255) << "DrawIndexed";
    }
}

// Before anything is hooked no real entry point is known: the hooks fail safely instead of
// calling through a null pointer.
TEST_F(ContextHooksTest, WithoutSavedEntriesTheHooksFailSafely) {
    ASSERT_EQ(ContextTableRecordCount(), 0u) << "this process must not have hooked anything yet";
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = 128;
    desc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    ID3D11Buffer* buffer = nullptr;
    EXPECT_EQ(CreateBufferHook(device.Get(), &desc, nullptr, &buffer), E_FAIL);
    EXPECT_EQ(buffer, nullptr);
    ID3D11VertexShader* shader = nullptr;
    const uint8_t bytes[4] = {};
    EXPECT_EQ(CreateVertexShaderHook(device.Get(), bytes, sizeof bytes, nullptr, &shader), E_FAIL);
    EXPECT_EQ(shader, nullptr);
    ID3D11DeviceContext* context = nullptr;
    EXPECT_EQ(CreateDeferredContextHook(device.Get(), 0, &context), E_FAIL);
    EXPECT_EQ(context, nullptr);

    ComPtr<ID3D11Buffer> constants = MakeConstantBuffer(device.Get(), 528, true);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    EXPECT_EQ(OnMap(immediate.Get(), constants.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), E_FAIL);
    EXPECT_EQ(mapped.pData, nullptr) << "nothing was mapped";
    // The others have nothing to return; they must simply come back.
    ID3D11Buffer* bound = constants.Get();
    OnVSSetConstantBuffers(immediate.Get(), 0, 1, &bound);
    OnVSSetShader(immediate.Get(), nullptr, nullptr, 0);
    OnDraw(immediate.Get(), 3, 0);
    OnDrawIndexed(immediate.Get(), 3, 0, 0);
    OnUnmap(immediate.Get(), constants.Get(), 0);
    const D3D11_RECT rect{0, 0, 1, 1};
    OnRSSetScissorRects(immediate.Get(), 1, &rect);
    uint8_t source[528] = {};
    OnUpdateSubresource(immediate.Get(), constants.Get(), 0, nullptr, source, 0, 0);
    ComPtr<ID3D11Buffer> stillUnbound;
    immediate->VSGetConstantBuffers(0, 1, stillUnbound.Put());
    EXPECT_FALSE(stillUnbound) << "no real method was reached";
}

// The first hooked deferred context and the sixteenth are reported; the others are not.
TEST_F(ContextHooksTest, DeferredContextsAreCountedAndTheFirstAndSixteenthReported) {
    DebugOutputCapture capture;
    ASSERT_TRUE(HookDeviceContexts(device.Get(), immediate.Get()));
    const uint32_t records = ContextTableRecordCount();
    ComPtr<ID3D11DeviceContext> contexts[17];
    for (auto& context : contexts) {
        ASSERT_HRESULT_SUCCEEDED(device->CreateDeferredContext(0, context.Put()));
    }
    EXPECT_EQ(HookedDeferredContextCount(), 17u);
    const bool sharedTable = TableOf(contexts[0].Get()) == TableOf(immediate.Get());
    std::printf("deferred contexts %s the immediate context's table\n",
                sharedTable ? "share" : "do not share");
    EXPECT_EQ(ContextTableRecordCount(), records + (sharedTable ? 0u : 1u))
        << "contexts of one table share one record";
    const std::string text = DebugOutputCapture::Text();
    EXPECT_EQ(Occurrences(text, "D3D11 deferred-context recording interception active (1 context hooked)"),
              1u);
    EXPECT_EQ(Occurrences(text, "D3D11 deferred-context recording interception active (16 contexts hooked)"),
              1u);
    EXPECT_EQ(Occurrences(text, "D3D11 deferred-context recording interception active"), 2u);
    EXPECT_EQ(Occurrences(text, "could not be intercepted"), 0u);
}

// ---- Another hooking layer patched the tables before the program met them. ----

std::atomic<int> g_foreignMaps{0};
std::atomic<int> g_foreignBuffers{0};
MapEntry g_mapBeforeForeign = nullptr;
CreateBufferEntry g_createBeforeForeign = nullptr;

HRESULT STDMETHODCALLTYPE ForeignMap(ID3D11DeviceContext* context, ID3D11Resource* resource, UINT subresource,
                                     D3D11_MAP type, UINT flags, D3D11_MAPPED_SUBRESOURCE* mapped) {
    g_foreignMaps.fetch_add(1);
    return g_mapBeforeForeign(context, resource, subresource, type, flags, mapped);
}

HRESULT STDMETHODCALLTYPE ForeignCreateBuffer(ID3D11Device* device, const D3D11_BUFFER_DESC* desc,
                                              const D3D11_SUBRESOURCE_DATA* data, ID3D11Buffer** buffer) {
    g_foreignBuffers.fetch_add(1);
    return g_createBeforeForeign(device, desc, data, buffer);
}

TEST_F(ContextHooksTest, ForeignPatchesMadeBeforeOursAreChained) {
    void** contextTable = TableOf(immediate.Get());
    void** deviceTable = TableOf(device.Get());
    g_mapBeforeForeign = reinterpret_cast<MapEntry>(contextTable[14]);
    g_createBeforeForeign = reinterpret_cast<CreateBufferEntry>(deviceTable[3]);
    ForeignWrite(&contextTable[14], reinterpret_cast<void*>(&ForeignMap));
    ForeignWrite(&deviceTable[3], reinterpret_cast<void*>(&ForeignCreateBuffer));

    HookAndCreateDeferred();
    EXPECT_EQ(contextTable[14], reinterpret_cast<void*>(&OnMap));
    EXPECT_EQ(deviceTable[3], reinterpret_cast<void*>(&CreateBufferHook));
    EXPECT_EQ(FindRealEntryInTable(contextTable, ContextMethod::Map), reinterpret_cast<void*>(&ForeignMap));
    EXPECT_EQ(reinterpret_cast<void*>(RealCreateBuffer()), reinterpret_cast<void*>(&ForeignCreateBuffer));

    ComPtr<ID3D11Buffer> buffer = MakeConstantBuffer(device.Get(), 64, true);
    EXPECT_EQ(g_foreignBuffers.load(), 1) << "buffer creation went through both layers";
    D3D11_MAPPED_SUBRESOURCE map{};
    ASSERT_HRESULT_SUCCEEDED(immediate->Map(buffer.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &map));
    std::memset(map.pData, 0x5A, 64);
    immediate->Unmap(buffer.Get(), 0);
    EXPECT_EQ(g_foreignMaps.load(), 1);
    EXPECT_EQ(ReadBack(device.Get(), immediate.Get(), buffer.Get()), std::vector<uint8_t>(64, 0x5A));

    if (TableOf(deferred.Get()) == contextTable) {
        const int before = g_foreignMaps.load();
        ASSERT_HRESULT_SUCCEEDED(deferred->Map(buffer.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &map));
        std::memset(map.pData, 0x6B, 64);
        deferred->Unmap(buffer.Get(), 0);
        EXPECT_EQ(g_foreignMaps.load(), before + 1) << "the deferred context shares the chained table";
        Execute();
        EXPECT_EQ(ReadBack(device.Get(), immediate.Get(), buffer.Get()), std::vector<uint8_t>(64, 0x6B));
    }
}

// ---- Another hooking layer patched a slot after the program did. ----

std::atomic<int> g_foreignDraws{0};
DrawEntry g_drawBeforeForeign = nullptr;
using CreateDeferredContextEntry = HRESULT(STDMETHODCALLTYPE*)(ID3D11Device*, UINT, ID3D11DeviceContext**);
CreateDeferredContextEntry g_deferredBeforeForeign = nullptr;

void STDMETHODCALLTYPE ForeignDraw(ID3D11DeviceContext* context, UINT count, UINT start) {
    g_foreignDraws.fetch_add(1);
    g_drawBeforeForeign(context, count, start);
}

HRESULT STDMETHODCALLTYPE ForeignCreateDeferredContext(ID3D11Device* device, UINT flags,
                                                       ID3D11DeviceContext** context) {
    return g_deferredBeforeForeign(device, flags, context);
}

TEST_F(ContextHooksTest, ForeignPatchesMadeAfterOursAreLeftAloneAndReported) {
    DebugOutputCapture capture;
    HookAndCreateDeferred();
    void** table = TableOf(deferred.Get());
    g_drawBeforeForeign = reinterpret_cast<DrawEntry>(table[13]);
    ASSERT_EQ(reinterpret_cast<void*>(g_drawBeforeForeign), reinterpret_cast<void*>(&OnDraw));
    ForeignWrite(&table[13], reinterpret_cast<void*>(&ForeignDraw));

    ComPtr<ID3D11DeviceContext> second;
    ComPtr<ID3D11DeviceContext> third;
    ASSERT_HRESULT_SUCCEEDED(device->CreateDeferredContext(0, second.Put()));
    ASSERT_HRESULT_SUCCEEDED(device->CreateDeferredContext(0, third.Put()));
    EXPECT_EQ(table[13], reinterpret_cast<void*>(&ForeignDraw)) << "their entry stays";
    EXPECT_EQ(HookedDeferredContextCount(), 1u);
    const std::string text = DebugOutputCapture::Text();
    EXPECT_EQ(
        Occurrences(text,
                    "D3D11 deferred context was created, but its recording vtable could not be intercepted"),
        1u);
    {
        std::lock_guard<std::mutex> lock(ContextHookMutex());
        EXPECT_FALSE(HookContextTable(second.Get()));
    }
    if (TableOf(immediate.Get()) == table) {
        EXPECT_FALSE(HookDeviceContexts(device.Get(), immediate.Get()));
    }

    // Their layer calls ours, ours the real method.
    DrawKit kit;
    kit.Create(device.Get());
    kit.Clear(immediate.Get());
    ComPtr<ID3D11DeviceContext> recorder = std::move(second);
    kit.Bind(recorder.Get());
    recorder->Draw(3, 0);
    ComPtr<ID3D11CommandList> commands;
    ASSERT_HRESULT_SUCCEEDED(recorder->FinishCommandList(FALSE, commands.Put()));
    immediate->ExecuteCommandList(commands.Get(), FALSE);
    EXPECT_EQ(g_foreignDraws.load(), 1);
    EXPECT_EQ(kit.CentreGreen(immediate.Get()), 255);

    // The same holds for a device slot.
    void** deviceTable = TableOf(device.Get());
    g_deferredBeforeForeign = reinterpret_cast<CreateDeferredContextEntry>(deviceTable[27]);
    ForeignWrite(&deviceTable[27], reinterpret_cast<void*>(&ForeignCreateDeferredContext));
    EXPECT_FALSE(HookDeviceContexts(device.Get(), immediate.Get()));
    EXPECT_EQ(deviceTable[27], reinterpret_cast<void*>(&ForeignCreateDeferredContext));
}

} // namespace
} // namespace corvane
