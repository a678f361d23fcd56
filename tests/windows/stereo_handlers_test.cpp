// The camera constant-buffer and HUD handlers on a real Direct3D 11 device with the tables
// hooked: what reaches the GPU (read back through copies), what the game's own memory and
// state look like afterwards, and the HUD draw override with its scissor rectangles.
#include "allocation_counter.h"
#include "d3d_test_device.h"
#include "debug_output_capture.h"
#include "hud_test_support.h"
#include "core/settings.h"
#include "interception/device_hooks_win32.h"
#include "platform/win32/os_win32.h"
#include "stereo/camera_buffer.h"
#include "stereo/hud_projection_win32.h"
#include "stereo/stereo_device_handlers_win32.h"
#include "stereo/stereo_state.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

constexpr UINT kWidth = 1920;
constexpr UINT kHeight = 1080;
constexpr size_t kProjectionOffset = 64;

// ---- Camera buffer ----

std::atomic<int> g_rewrites{0};
bool g_rewriteAccepts = true;

// Stands in for the optical projection: marks the projection's first float with the eye.
bool MarkCurrentEye(uint8_t* data) {
    g_rewrites.fetch_add(1);
    if (!g_rewriteAccepts) {
        return false;
    }
    const float mark = 100.0f + static_cast<float>(GetStereoState().currentEye);
    std::memcpy(data + kProjectionOffset, &mark, sizeof mark);
    return true;
}

std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed) {
    std::vector<uint8_t> pattern(bytes);
    for (size_t i = 0; i < bytes; ++i) {
        pattern[i] = static_cast<uint8_t>(seed + i * 3);
    }
    return pattern;
}

std::vector<uint8_t> Marked(std::vector<uint8_t> bytes, uint32_t eye) {
    const float mark = 100.0f + static_cast<float>(eye);
    std::memcpy(bytes.data() + kProjectionOffset, &mark, sizeof mark);
    return bytes;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

class HookedDeviceTest : public ::testing::Test {
protected:
    // One hooked device for the whole program: the HUD shader list keeps at most four shaders
    // for the life of the process, so the shaders are made and identified once as well.
    struct Shared {
        ComPtr<ID3D11Device> device;
        ComPtr<ID3D11DeviceContext> immediate;
        ComPtr<ID3D11DeviceContext> deferred;
    };
    static Shared& SharedDevice() {
        static Shared* shared = [] {
            auto* made = new Shared();
            RecordOwnModule(GetModuleHandleW(nullptr));
            RegisterDeviceHookHandlers(StereoDeviceHookHandlers());
            if (CreateTestDevice(made->device, made->immediate) &&
                HookDeviceContexts(made->device.Get(), made->immediate.Get())) {
                static_cast<void>(made->device->CreateDeferredContext(0, made->deferred.Put()));
            }
            return made;
        }();
        return *shared;
    }

    void SetUp() override {
        Shared& shared = SharedDevice();
        ASSERT_TRUE(shared.deferred) << "no hooked device";
        device = ComPtr<ID3D11Device>::Share(shared.device.Get());
        immediate = ComPtr<ID3D11DeviceContext>::Share(shared.immediate.Get());
        deferred = ComPtr<ID3D11DeviceContext>::Share(shared.deferred.Get());
        GetSettings() = Settings{};
        StereoState& stereo = GetStereoState();
        stereo.cameraBuildSupported = true;
        stereo.hudScale = 0.75f;
        stereo.hudVerticalOffset = 0.0f;
        stereo.currentEye = 0;
        g_rewrites = 0;
        g_rewriteAccepts = true;
        SetCameraBufferRewrite(&MarkCurrentEye);
        ResetHudOverride();
    }
    void TearDown() override { SetCameraBufferRewrite(nullptr); }

    void Finish(ID3D11DeviceContext* context) {
        if (context != deferred.Get()) {
            return;
        }
        ComPtr<ID3D11CommandList> commands;
        ASSERT_HRESULT_SUCCEEDED(deferred->FinishCommandList(FALSE, commands.Put()));
        immediate->ExecuteCommandList(commands.Get(), FALSE);
    }

    std::vector<uint8_t> Gpu(ID3D11Buffer* buffer) { return ReadBack(device.Get(), immediate.Get(), buffer); }

    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> immediate;
    ComPtr<ID3D11DeviceContext> deferred;
};

using CameraBufferTest = HookedDeviceTest;

TEST_F(CameraBufferTest, AWriteDiscardMapReachesTheGpuRewrittenForTheCurrentEye) {
    ComPtr<ID3D11Buffer> camera = MakeConstantBuffer(device.Get(), 528, true);
    for (ID3D11DeviceContext* context : {immediate.Get(), deferred.Get()}) {
        for (uint32_t eye : {0u, 1u}) {
            SCOPED_TRACE(std::string(context == deferred.Get() ? "deferred" : "immediate") + " eye " +
                         std::to_string(eye));
            GetStereoState().currentEye = eye;
            const auto written = Pattern(528, static_cast<uint8_t>(eye * 16 + 1));
            D3D11_MAPPED_SUBRESOURCE mapped{};
            ASSERT_HRESULT_SUCCEEDED(context->Map(camera.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped));
            std::memcpy(mapped.pData, written.data(), written.size());
            context->Unmap(camera.Get(), 0);
            Finish(context);
            EXPECT_EQ(Gpu(camera.Get()), Marked(written, eye));
        }
    }
    EXPECT_EQ(g_rewrites.load(), 4);
}

TEST_F(CameraBufferTest, BoxUpdatesNoOverwriteMapsAndOtherSizesReachTheGpuUnchanged) {
    const auto source = Pattern(528, 7);

    ComPtr<ID3D11Buffer> updated = MakeConstantBuffer(device.Get(), 528, false);
    const D3D11_BOX whole{0, 0, 0, 528, 1, 1};
    immediate->UpdateSubresource(updated.Get(), 0, &whole, source.data(), 0, 0);
    EXPECT_EQ(Gpu(updated.Get()), source) << "box update";

    ComPtr<ID3D11Buffer> mappedBuffer = MakeConstantBuffer(device.Get(), 528, true);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    ASSERT_HRESULT_SUCCEEDED(immediate->Map(mappedBuffer.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped));
    std::memcpy(mapped.pData, source.data(), source.size());
    immediate->Unmap(mappedBuffer.Get(), 0);
    const int afterDiscard = g_rewrites.load();
    const auto again = Pattern(528, 99);
    const HRESULT noOverwrite =
        immediate->Map(mappedBuffer.Get(), 0, D3D11_MAP_WRITE_NO_OVERWRITE, 0, &mapped);
    ASSERT_HRESULT_SUCCEEDED(noOverwrite) << "the device refuses no-overwrite maps of constant buffers";
    std::memcpy(mapped.pData, again.data(), again.size());
    immediate->Unmap(mappedBuffer.Get(), 0);
    EXPECT_EQ(Gpu(mappedBuffer.Get()), again) << "no-overwrite map";

    ComPtr<ID3D11Buffer> other = MakeConstantBuffer(device.Get(), 512, true);
    ASSERT_HRESULT_SUCCEEDED(immediate->Map(other.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped));
    std::memcpy(mapped.pData, source.data(), 512);
    immediate->Unmap(other.Get(), 0);
    EXPECT_EQ(Gpu(other.Get()), std::vector<uint8_t>(source.begin(), source.begin() + 512)) << "512 bytes";
    EXPECT_EQ(g_rewrites.load(), afterDiscard)
        << "only the write-discard map of the camera buffer was handed on";
}

TEST_F(CameraBufferTest, AWholeBufferUpdateSendsARewrittenCopyAndNeverWritesTheCallersMemory) {
    ComPtr<ID3D11Buffer> camera = MakeConstantBuffer(device.Get(), 528, false);
    for (ID3D11DeviceContext* context : {immediate.Get(), deferred.Get()}) {
        SCOPED_TRACE(context == deferred.Get() ? "deferred" : "immediate");
        GetStereoState().currentEye = 1;
        const auto source = Pattern(528, 3);
        const auto callers = source;
        context->UpdateSubresource(camera.Get(), 0, nullptr, callers.data(), 0, 0);
        Finish(context);
        EXPECT_EQ(Gpu(camera.Get()), Marked(source, 1));
        EXPECT_EQ(callers, source) << "the caller's memory";

        // A rewrite that declines leaves the game's bytes to go up as they are.
        g_rewriteAccepts = false;
        const auto plain = Pattern(528, 50);
        context->UpdateSubresource(camera.Get(), 0, nullptr, plain.data(), 0, 0);
        Finish(context);
        EXPECT_EQ(Gpu(camera.Get()), plain);
        g_rewriteAccepts = true;
    }
}

TEST_F(CameraBufferTest, BindingsAreObservedOncePerContextKindSlotAndSize) {
    DebugOutputCapture capture;
    ComPtr<ID3D11Buffer> camera = MakeConstantBuffer(device.Get(), 528, true);
    ComPtr<ID3D11Buffer> pooled0 = MakeConstantBuffer(device.Get(), 1024, true);
    ComPtr<ID3D11Buffer> pooled1 = MakeConstantBuffer(device.Get(), 2048, true);
    for (int round = 0; round < 2; ++round) {
        ID3D11Buffer* buffers[2] = {camera.Get(), pooled1.Get()};
        immediate->VSSetConstantBuffers(3, 1, buffers);
        deferred->VSSetConstantBuffers(3, 1, buffers);
        ID3D11Buffer* pair[2] = {pooled0.Get(), camera.Get()};
        immediate->VSSetConstantBuffers(0, 2, pair);
        // startSlot 1: the first buffer passed is the one bound at b1. One buffer only: the array
        // has nothing after it.
        deferred->VSSetConstantBuffers(1, 1, &buffers[1]);
        immediate->VSSetConstantBuffers(14, 1, buffers);
    }
    const std::string text = DebugOutputCapture::Text();
    EXPECT_EQ(Occurrences(text, "D3D11 immediate-context VS b3 constant buffer observed: 528 bytes"), 1u);
    EXPECT_EQ(Occurrences(text, "D3D11 deferred-context VS b3 constant buffer observed: 528 bytes"), 1u);
    EXPECT_EQ(Occurrences(text, "D3D11 immediate-context VS b0 constant buffer observed: 1024 bytes"), 1u);
    EXPECT_EQ(Occurrences(text, "D3D11 immediate-context VS b1 constant buffer observed: 528 bytes"), 1u);
    EXPECT_EQ(Occurrences(text, "D3D11 deferred-context VS b1 constant buffer observed: 2048 bytes"), 1u);
    EXPECT_EQ(Occurrences(text, "VS b14"), 0u);
    EXPECT_EQ(Occurrences(text, "Pooled 1024-byte CB candidate observed at immediate VS b0"), 1u);
    EXPECT_EQ(Occurrences(text, "Pooled 2048-byte CB candidate observed at deferred VS b1"), 1u);
}

// ---- HUD ----

class HudTest : public HookedDeviceTest {
protected:
    void SetUp() override {
        HookedDeviceTest::SetUp();
        static ComPtr<ID3D11VertexShader>* shaders = [this] {
            auto* made = new ComPtr<ID3D11VertexShader>[2];
            const auto vs = CompileShader(kHudShaderSource, "HudVS", "vs_5_0");
            // Both go through the hooked creation; real bytecode never carries the HUD checksum,
            // so the identification is driven with the identity bytes and a real shader.
            if (vs &&
                SUCCEEDED(device->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(), nullptr,
                                                     made[0].Put())) &&
                SUCCEEDED(device->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(), nullptr,
                                                     made[1].Put()))) {
                const auto identity = HudIdentityBytes();
                IdentifyHudShader(identity.data(), identity.size(), made[0].Get());
            }
            return made;
        }();
        ASSERT_TRUE(shaders[0] && shaders[1]);
        hudShader = ComPtr<ID3D11VertexShader>::Share(shaders[0].Get());
        plainShader = ComPtr<ID3D11VertexShader>::Share(shaders[1].Get());
        const auto ps = CompileShader(kHudShaderSource, "HudPS", "ps_5_0");
        ASSERT_TRUE(ps);
        ASSERT_HRESULT_SUCCEEDED(device->CreatePixelShader(ps->GetBufferPointer(), ps->GetBufferSize(),
                                                           nullptr, pixelShader.Put()));

        const auto constants = HudConstants();
        hudBuffer = MakeConstantBuffer(device.Get(), 128, false, constants.data());

        const D3D11_TEXTURE2D_DESC targetDesc =
            TextureDesc(kWidth, kHeight, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_RENDER_TARGET);
        const D3D11_TEXTURE2D_DESC stagingDesc = TextureDesc(kWidth, kHeight, DXGI_FORMAT_R8G8B8A8_UNORM, 0);
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&targetDesc, nullptr, target.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateRenderTargetView(target.Get(), nullptr, targetView.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&stagingDesc, nullptr, readBack.Put()));
        D3D11_RASTERIZER_DESC raster{};
        raster.FillMode = D3D11_FILL_SOLID;
        raster.CullMode = D3D11_CULL_NONE;
        raster.DepthClipEnable = TRUE;
        raster.ScissorEnable = TRUE;
        ASSERT_HRESULT_SUCCEEDED(device->CreateRasterizerState(&raster, scissored.Put()));
    }

    // The game's HUD state: target, viewport, shaders, its b0 buffer and scissor rectangles.
    void BindHud(ID3D11DeviceContext* context, ID3D11VertexShader* shader, const D3D11_RECT& scissor) {
        const float clear[4] = {0, 0, 0, 1};
        immediate->ClearRenderTargetView(targetView.Get(), clear);
        ID3D11RenderTargetView* view = targetView.Get();
        context->OMSetRenderTargets(1, &view, nullptr);
        const D3D11_VIEWPORT viewport{0.0f, 0.0f, kWidth, kHeight, 0.0f, 1.0f};
        context->RSSetViewports(1, &viewport);
        context->RSSetState(scissored.Get());
        context->RSSetScissorRects(1, &scissor);
        context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        context->IASetInputLayout(nullptr);
        context->VSSetShader(shader, nullptr, 0);
        context->PSSetShader(pixelShader.Get(), nullptr, 0);
        ID3D11Buffer* buffer = hudBuffer.Get();
        context->VSSetConstantBuffers(0, 1, &buffer);
    }

    // Red channel of every pixel, row by row.
    std::vector<uint8_t> Red() {
        std::vector<uint8_t> red;
        immediate->CopyResource(readBack.Get(), target.Get());
        D3D11_MAPPED_SUBRESOURCE mapped{};
        if (FAILED(immediate->Map(readBack.Get(), 0, D3D11_MAP_READ, 0, &mapped))) {
            ADD_FAILURE() << "read-back map failed";
            return red;
        }
        red.resize(size_t{kWidth} * kHeight);
        for (UINT y = 0; y < kHeight; ++y) {
            const auto* row = static_cast<const uint8_t*>(mapped.pData) + size_t{y} * mapped.RowPitch;
            for (UINT x = 0; x < kWidth; ++x) {
                red[size_t{y} * kWidth + x] = row[4 * x];
            }
        }
        immediate->Unmap(readBack.Get(), 0);
        return red;
    }

    // The drawn area is exactly [left, right) x [top, bottom).
    void ExpectRedRectangle(const std::vector<uint8_t>& red, int left, int top, int right, int bottom) {
        ASSERT_EQ(red.size(), size_t{kWidth} * kHeight);
        const auto at = [&](int x, int y) { return red[size_t(y) * kWidth + size_t(x)]; };
        const int midX = (left + right) / 2;
        const int midY = (top + bottom) / 2;
        EXPECT_EQ(at(left, midY), 255) << "left edge";
        EXPECT_EQ(at(right - 1, midY), 255) << "right edge";
        EXPECT_EQ(at(midX, top), 255) << "top edge";
        EXPECT_EQ(at(midX, bottom - 1), 255) << "bottom edge";
        if (left > 0) {
            EXPECT_EQ(at(left - 1, midY), 0) << "left of it";
        }
        if (right < int(kWidth)) {
            EXPECT_EQ(at(right, midY), 0) << "right of it";
        }
        if (top > 0) {
            EXPECT_EQ(at(midX, top - 1), 0) << "above";
        }
        if (bottom < int(kHeight)) {
            EXPECT_EQ(at(midX, bottom), 0) << "below";
        }
    }

    void ExpectGameStateBack(ID3D11DeviceContext* context, const D3D11_RECT& scissor) {
        ComPtr<ID3D11Buffer> bound;
        context->VSGetConstantBuffers(0, 1, bound.Put());
        EXPECT_EQ(bound.Get(), hudBuffer.Get()) << "the game's buffer";
        UINT count = 0;
        context->RSGetScissorRects(&count, nullptr);
        D3D11_RECT rect{};
        UINT one = 1;
        context->RSGetScissorRects(&one, &rect);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(rect.left, scissor.left);
        EXPECT_EQ(rect.top, scissor.top);
        EXPECT_EQ(rect.right, scissor.right);
        EXPECT_EQ(rect.bottom, scissor.bottom);
    }

    // Opens a HUD draw by hand and reports what is bound inside it.
    struct Inside {
        ComPtr<ID3D11Buffer> buffer;
        D3D11_RECT scissor{};
    };
    Inside BoundInsideHudDraw(ID3D11DeviceContext* context, HudDrawOverride& saved) {
        Inside inside;
        EXPECT_TRUE(BeginHudDraw(context, saved));
        context->VSGetConstantBuffers(0, 1, inside.buffer.Put());
        UINT one = 1;
        context->RSGetScissorRects(&one, &inside.scissor);
        return inside;
    }

    std::vector<float> Floats(ID3D11Buffer* buffer) {
        const auto bytes = Gpu(buffer);
        std::vector<float> floats(bytes.size() / 4);
        std::memcpy(floats.data(), bytes.data(), floats.size() * 4);
        return floats;
    }

    ComPtr<ID3D11VertexShader> hudShader;
    ComPtr<ID3D11VertexShader> plainShader;
    ComPtr<ID3D11PixelShader> pixelShader;
    ComPtr<ID3D11Buffer> hudBuffer;
    ComPtr<ID3D11Texture2D> target;
    ComPtr<ID3D11RenderTargetView> targetView;
    ComPtr<ID3D11Texture2D> readBack;
    ComPtr<ID3D11RasterizerState> scissored;
};

constexpr D3D11_RECT kFullScreen{0, 0, 1920, 1080};

TEST_F(HudTest, AHudDrawIsReprojectedForThatDrawOnlyOnEveryContextAndDrawKind) {
    DebugOutputCapture capture;
    for (ID3D11DeviceContext* context : {immediate.Get(), deferred.Get()}) {
        for (bool indexed : {false, true}) {
            SCOPED_TRACE(std::string(context == deferred.Get() ? "deferred " : "immediate ") +
                         (indexed ? "DrawIndexed" : "Draw"));
            BindHud(context, hudShader.Get(), kFullScreen);
            if (indexed) {
                ComPtr<ID3D11Buffer> indices;
                const uint16_t list[4] = {0, 1, 2, 3};
                D3D11_BUFFER_DESC desc{};
                desc.ByteWidth = sizeof list;
                desc.BindFlags = D3D11_BIND_INDEX_BUFFER;
                D3D11_SUBRESOURCE_DATA data{};
                data.pSysMem = list;
                ASSERT_HRESULT_SUCCEEDED(device->CreateBuffer(&desc, &data, indices.Put()));
                context->IASetIndexBuffer(indices.Get(), DXGI_FORMAT_R16_UINT, 0);
                context->DrawIndexed(4, 0, 0);
            } else {
                context->Draw(4, 0);
            }
            ExpectGameStateBack(context, kFullScreen);
            Finish(context);
            ExpectRedRectangle(Red(), 240, 135, 1680, 945);
        }
    }
    const std::string text = DebugOutputCapture::Text();
    EXPECT_EQ(Occurrences(text, "Exact Nuklear HUD draw override active on immediate context"), 1u);
    EXPECT_EQ(Occurrences(text, "Per-eye HUD safe-frame projection active: L scale/offset 0.75000/0.00000, "
                                "0.75000/0.00000; R scale/offset 0.75000/0.00000, 0.75000/0.00000"),
              1u);
}

// A game that re-creates its device makes its HUD shader again each time: remembering one must
// not keep the device alive, and a destroyed one must leave its slot to the next (four slots,
// one taken by the fixture's shader for the whole program).
TEST_F(HudTest, ARememberedShaderHoldsNoReferenceAndLeavesItsSlotWhenDestroyed) {
    const auto vs = CompileShader(kHudShaderSource, "HudVS", "vs_5_0");
    ASSERT_TRUE(vs);
    const auto identity = HudIdentityBytes();
    auto references = [&] {
        device->AddRef();
        return device->Release();
    };
    DebugOutputCapture capture;
    for (int generation = 0; generation < 6; ++generation) {
        ComPtr<ID3D11VertexShader> shader;
        ASSERT_HRESULT_SUCCEEDED(
            device->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(), nullptr, shader.Put()));
        const ULONG before = references();
        IdentifyHudShader(identity.data(), identity.size(), shader.Get());
        EXPECT_EQ(references(), before) << "generation " << generation;
    }
    EXPECT_EQ(Occurrences(DebugOutputCapture::Text(), "Identified Corvane Nuklear HUD vertex shader"), 6u);
    // The fixture's shader is still known: its draw is still re-projected.
    BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
    immediate->Draw(4, 0);
    Finish(immediate.Get());
    ExpectRedRectangle(Red(), 240, 135, 1680, 945);
}

TEST_F(HudTest, TheScissorRectanglesAreRemappedWithTheHud) {
    // A rectangle off the centre shows the remap: unmapped, it would cut the shrunken HUD at
    // (480, 270); mapped, it becomes (240, 135)-(600, 338) (rounded outwards).
    const D3D11_RECT corner{0, 0, 480, 270};
    BindHud(immediate.Get(), hudShader.Get(), corner);
    immediate->Draw(4, 0);
    ExpectGameStateBack(immediate.Get(), corner);
    ExpectRedRectangle(Red(), 240, 135, 600, 338);
}

TEST_F(HudTest, EachEyeGetsItsOwnBufferWithTheSafeFrameProjection) {
    BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
    ComPtr<ID3D11Buffer> eyeBuffers[2];
    for (uint32_t eye : {0u, 1u}) {
        GetStereoState().currentEye = eye;
        HudDrawOverride saved;
        Inside inside = BoundInsideHudDraw(immediate.Get(), saved);
        ASSERT_TRUE(inside.buffer);
        EXPECT_NE(inside.buffer.Get(), hudBuffer.Get());
        EXPECT_EQ(inside.scissor.left, 240);
        EXPECT_EQ(inside.scissor.top, 135);
        EXPECT_EQ(inside.scissor.right, 1680);
        EXPECT_EQ(inside.scissor.bottom, 945);
        const auto game = HudConstants();
        std::array<float, 32> expected{};
        ReprojectHudConstants(reinterpret_cast<const uint8_t*>(game.data()),
                              HudSafeFrame{0.75f, 0.0f, 0.75f, 0.0f},
                              reinterpret_cast<uint8_t*>(expected.data()));
        EXPECT_EQ(Floats(inside.buffer.Get()), std::vector<float>(expected.begin(), expected.end()));
        eyeBuffers[eye] = std::move(inside.buffer);
        EndHudDraw(immediate.Get(), saved);
        ExpectGameStateBack(immediate.Get(), kFullScreen);
    }
    EXPECT_NE(eyeBuffers[0].Get(), eyeBuffers[1].Get());
}

// Eye buffers are built once per matrix and safe frame: later draws bind the same ones.
TEST_F(HudTest, LaterDrawsBindTheEyeBuffersBuiltByTheFirst) {
    BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
    for (uint32_t eye : {0u, 1u}) {
        SCOPED_TRACE("eye " + std::to_string(eye));
        GetStereoState().currentEye = eye;
        HudDrawOverride firstDraw;
        const Inside first = BoundInsideHudDraw(immediate.Get(), firstDraw);
        EndHudDraw(immediate.Get(), firstDraw);
        HudDrawOverride secondDraw;
        const Inside second = BoundInsideHudDraw(immediate.Get(), secondDraw);
        EndHudDraw(immediate.Get(), secondDraw);
        ASSERT_TRUE(first.buffer);
        EXPECT_EQ(second.buffer.Get(), first.buffer.Get());
    }
}

// A game that changes resolution writes a new matrix into the same HUD buffer: the next draw
// places the HUD by the new one. Twice the width: the quad covers the left half of the
// screen, which the safe frame puts at 240..960.
TEST_F(HudTest, ANewMatrixInTheHudBufferMovesTheNextDraw) {
    BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
    immediate->Draw(4, 0);
    ExpectRedRectangle(Red(), 240, 135, 1680, 945);

    const auto wider = HudConstants(3840.0f);
    immediate->UpdateSubresource(hudBuffer.Get(), 0, nullptr, wider.data(), 0, 0);
    BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
    immediate->Draw(4, 0);
    ExpectRedRectangle(Red(), 240, 135, 960, 945);
}

// Game threads draw the HUD every frame: neither a draw with built eye buffers nor one that
// builds them after a new matrix allocates.
TEST_F(HudTest, HudDrawsAllocateNothing) {
    BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
    immediate->Draw(4, 0); // the first build says so in the log
    ASSERT_TRUE(InspectHudCache().built[0]);
    const auto wider = HudConstants(3840.0f);
    const uint64_t before = AllocationCount();
    for (int draw = 0; draw < 4; ++draw) {
        immediate->Draw(4, 0);
    }
    immediate->UpdateSubresource(hudBuffer.Get(), 0, nullptr, wider.data(), 0, 0);
    const float clear[4] = {0, 0, 0, 1};
    immediate->ClearRenderTargetView(targetView.Get(), clear);
    immediate->Draw(4, 0);
    const uint64_t after = AllocationCount();
    EXPECT_EQ(after, before);
    ExpectRedRectangle(Red(), 240, 135, 960, 945);
}

TEST_F(HudTest, AHudScaleOfZeroIsUsedAsOneHundredth) {
    GetStereoState().hudScale = 0.0f;
    BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
    HudDrawOverride saved;
    Inside inside = BoundInsideHudDraw(immediate.Get(), saved);
    EXPECT_EQ(inside.scissor.left, 950);
    EXPECT_EQ(inside.scissor.right, 970);
    ASSERT_TRUE(inside.buffer);
    EXPECT_FLOAT_EQ(Floats(inside.buffer.Get())[0], 0.01f * 2.0f / 1920.0f);
    EndHudDraw(immediate.Get(), saved);
    immediate->Draw(4, 0);
    ExpectRedRectangle(Red(), 950, 135, 970, 945);
}

TEST_F(HudTest, ANonHudShaderEndsTheOverride) {
    // Bound after the HUD shader on the same context: its draw is the game's own.
    BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
    immediate->VSSetShader(plainShader.Get(), nullptr, 0);
    immediate->Draw(4, 0);
    ExpectRedRectangle(Red(), 0, 0, 1920, 1080);

    // Inside an open override, a non-HUD shader on that context stops the scissor remap.
    BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
    HudDrawOverride saved;
    static_cast<void>(BoundInsideHudDraw(immediate.Get(), saved));
    immediate->VSSetShader(plainShader.Get(), nullptr, 0);
    const D3D11_RECT half{0, 0, 960, 1080};
    immediate->RSSetScissorRects(1, &half);
    D3D11_RECT rect{};
    UINT one = 1;
    immediate->RSGetScissorRects(&one, &rect);
    EXPECT_EQ(rect.right, 960);
    EXPECT_EQ(rect.top, 0);
    EndHudDraw(immediate.Get(), saved);

    // The HUD shader bound on one context says nothing about a draw on another.
    BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
    BindHud(deferred.Get(), hudShader.Get(), kFullScreen);
    immediate->VSSetShader(plainShader.Get(), nullptr, 0);
    deferred->Draw(4, 0);
    Finish(deferred.Get());
    ExpectRedRectangle(Red(), 0, 0, 1920, 1080);
}

TEST_F(HudTest, NothingIsReprojectedWhileVrIsOffOrTheBuildIsUnsupported) {
    for (int variant = 0; variant < 2; ++variant) {
        GetSettings().Enabled = variant != 0;
        GetStereoState().cameraBuildSupported = variant == 0;
        BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
        HudDrawOverride saved;
        EXPECT_FALSE(BeginHudDraw(immediate.Get(), saved));
        immediate->Draw(4, 0);
        ExpectRedRectangle(Red(), 0, 0, 1920, 1080);
    }
}

TEST_F(HudTest, TheNinthBufferEvictsInTurnWhateverWasUsed) {
    ResetHudOverride();
    std::vector<ComPtr<ID3D11Buffer>> buffers;
    for (int i = 0; i < 10; ++i) {
        const auto constants = HudConstants(1000.0f + static_cast<float>(i));
        buffers.push_back(MakeConstantBuffer(device.Get(), 128, false, constants.data()));
        if (i == 7) {
            HudCacheView view = InspectHudCache();
            for (int k = 0; k < 8; ++k) {
                EXPECT_EQ(view.keys[k], buffers[k].Get()) << k;
            }
            // Entry 0 is the one drawn with last; it is still the first to go.
            hudBuffer = ComPtr<ID3D11Buffer>::Share(buffers[0].Get());
            BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
            immediate->Draw(4, 0);
            EXPECT_TRUE(InspectHudCache().built[0]);
        }
    }
    const HudCacheView view = InspectHudCache();
    EXPECT_EQ(view.keys[0], buffers[8].Get());
    EXPECT_EQ(view.keys[1], buffers[9].Get());
    EXPECT_EQ(view.keys[2], buffers[2].Get());
    EXPECT_EQ(view.keys[7], buffers[7].Get());
}

TEST_F(HudTest, HudBuffersAreCapturedFromCreationMapsAndUpdatesOnlyWithTheProjection) {
    ResetHudOverride();
    const auto constants = HudConstants();
    ComPtr<ID3D11Buffer> empty = MakeConstantBuffer(device.Get(), 128, false);
    ComPtr<ID3D11Buffer> mapped = MakeConstantBuffer(device.Get(), 128, true);
    ComPtr<ID3D11Buffer> updated = MakeConstantBuffer(device.Get(), 128, false);
    std::array<float, 32> notHud = constants;
    notHud[5] = 2.0f / 1080.0f; // y not flipped
    ComPtr<ID3D11Buffer> wrong = MakeConstantBuffer(device.Get(), 128, false, notHud.data());

    for (ID3D11DeviceContext* context : {deferred.Get(), immediate.Get()}) {
        D3D11_MAPPED_SUBRESOURCE map{};
        ASSERT_HRESULT_SUCCEEDED(context->Map(mapped.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &map));
        std::memcpy(map.pData, constants.data(), 128);
        context->Unmap(mapped.Get(), 0);
        Finish(context);
    }
    immediate->UpdateSubresource(updated.Get(), 0, nullptr, constants.data(), 0, 0);
    immediate->UpdateSubresource(wrong.Get(), 0, nullptr, notHud.data(), 0, 0);

    const HudCacheView view = InspectHudCache();
    std::vector<const void*> keys(view.keys, view.keys + kHudCacheEntries);
    EXPECT_EQ(keys[0], mapped.Get());
    EXPECT_EQ(keys[1], updated.Get());
    EXPECT_EQ(keys[2], nullptr) << "created without data, or not the projection: never cached";
    EXPECT_EQ(Gpu(mapped.Get()).size(), 128u);
}

// The presenter records hands through these same handlers while it holds presenterMutex:
// nothing in them may wait for that lock.
TEST_F(HudTest, NoHandlerWaitsForThePresenterLock) {
    std::unique_lock<std::mutex> held(VrPresenter::Instance().presenterMutex);
    ComPtr<ID3D11Buffer> camera = MakeConstantBuffer(device.Get(), 528, true);
    auto work = std::async(std::launch::async, [&] {
        BindHud(deferred.Get(), hudShader.Get(), kFullScreen);
        deferred->Draw(4, 0);
        D3D11_MAPPED_SUBRESOURCE map{};
        if (SUCCEEDED(deferred->Map(camera.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &map))) {
            std::memset(map.pData, 0, 528);
            deferred->Unmap(camera.Get(), 0);
        }
        const auto constants = HudConstants(1500.0f);
        deferred->UpdateSubresource(hudBuffer.Get(), 0, nullptr, constants.data(), 0, 0);
        deferred->Draw(4, 0);
        ComPtr<ID3D11DeviceContext> another;
        return SUCCEEDED(device->CreateDeferredContext(0, another.Put()));
    });
    const bool finished = work.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    held.unlock();
    EXPECT_TRUE(finished);
    EXPECT_TRUE(work.get());
    Finish(deferred.Get());
}

// A shader counts as the HUD's only by the identity of its bytecode, and each is said once.
TEST_F(HudTest, AShaderIsIdentifiedByItsBytecodeOnce) {
    const auto vs = CompileShader(kHudShaderSource, "HudVS", "vs_5_0");
    ASSERT_TRUE(vs);
    ComPtr<ID3D11VertexShader> shader;
    ASSERT_HRESULT_SUCCEEDED(
        device->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(), nullptr, shader.Put()));
    DebugOutputCapture capture;
    DebugOutputCapture::Clear();
    const auto identity = HudIdentityBytes();
    auto otherChecksum = identity;
    otherChecksum[19] ^= 0x01;
    IdentifyHudShader(identity.data(), identity.size() - 1, shader.Get());
    IdentifyHudShader(otherChecksum.data(), otherChecksum.size(), shader.Get());
    const std::string line = "Identified Corvane Nuklear HUD vertex shader";
    EXPECT_EQ(Occurrences(DebugOutputCapture::Text(), line), 0u);
    BindHud(immediate.Get(), shader.Get(), kFullScreen);
    immediate->Draw(4, 0);
    ExpectRedRectangle(Red(), 0, 0, 1920, 1080);

    IdentifyHudShader(identity.data(), identity.size(), shader.Get());
    IdentifyHudShader(identity.data(), identity.size(), shader.Get());
    EXPECT_EQ(Occurrences(DebugOutputCapture::Text(), line), 1u);
    BindHud(immediate.Get(), shader.Get(), kFullScreen);
    immediate->Draw(4, 0);
    ExpectRedRectangle(Red(), 240, 135, 1680, 945);
}

// Runs in a process of its own (see the test list): the shared safe area is said by the
// process's first HUD draw only.
TEST_F(HudTest, TheSharedSafeAreaIsReportedOncePerProcess) {
    DebugOutputCapture capture;
    DebugOutputCapture::Clear();
    GetStereoState().hudScale = 0.5f;
    GetStereoState().hudVerticalOffset = -0.1f;
    for (int draw = 0; draw < 2; ++draw) {
        BindHud(immediate.Get(), hudShader.Get(), kFullScreen);
        immediate->Draw(4, 0);
    }
    const std::string text = DebugOutputCapture::Text();
    EXPECT_EQ(Occurrences(text, "Shared HUD safe area active: horizontal scale 0.500, vertical scale 0.750, "
                                "vertical offset -0.100"),
              1u)
        << text;
    EXPECT_EQ(Occurrences(text, "Shared HUD safe area active"), 1u) << text;
}

} // namespace
} // namespace corvane
