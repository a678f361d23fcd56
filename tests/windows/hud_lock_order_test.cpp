// The HUD re-projection's lock against Direct3D's own: Direct3D runs the release of a shader's
// private data while holding its lock, and that is where a remembered HUD shader is
// forgotten. Each case drives a real device into that callback while the HUD code is busy,
// on worker threads awaited with a deadline, so a deadlock fails the case instead of hanging.
#include "bounded_threads.h"
#include "d3d_test_device.h"
#include "hud_test_support.h"
#include "vr_game_swap_chain.h"
#include "core/settings.h"
#include "interception/device_hooks_win32.h"
#include "interception/swap_chain_hooks_win32.h"
#include "program/program_wiring_win32.h"
#include "platform/win32/os_win32.h"
#include "stereo/hud_projection_win32.h"
#include "stereo/stereo_device_handlers_win32.h"
#include "stereo/stereo_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace corvane {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

void ReprojectTheHud() {
    RecordOwnModule(GetModuleHandleW(nullptr));
    GetSettings() = Settings{};
    StereoState& stereo = GetStereoState();
    stereo.cameraBuildSupported = true;
    stereo.hudScale = 0.75f;
    stereo.hudVerticalOffset = 0.0f;
    stereo.currentEye = 0;
}

bool NoHudBufferCached() {
    const HudCacheView view = InspectHudCache();
    for (const void* key : view.keys) {
        if (key != nullptr) {
            return false;
        }
    }
    return true;
}

// A game that lets go of everything without clearing its state first: the HUD shader is
// still bound when the device goes, and the device goes only when the served swap chain's
// release empties the HUD cache, whose buffers hold the last references to it. Runs in a
// process of its own: the swap chain is served with the program's own release step.
TEST(HudTeardown, TheGameLetsGoOfEverythingWithTheHudStillBound) {
    ReprojectTheHud();
    vr_test::GameSwapChain game;
    ASSERT_TRUE(game.Create(64, 64)) << game.failure;
    InstallProgramWiring();
    ASSERT_TRUE(HookDeviceContexts(game.device.Get(), game.context.Get()));
    ASSERT_TRUE(HookSwapChain(game.SwapChain()));
    ASSERT_EQ(TrackedSwapChain(), game.SwapChain());

    const auto code = CompileShader(kHudShaderSource, "HudVS", "vs_5_0");
    ASSERT_TRUE(code);
    ComPtr<ID3D11VertexShader> shader;
    ASSERT_HRESULT_SUCCEEDED(game.device->CreateVertexShader(code->GetBufferPointer(), code->GetBufferSize(),
                                                             nullptr, shader.Put()));
    const auto identity = HudIdentityBytes();
    IdentifyHudShader(identity.data(), identity.size(), shader.Get());
    const auto constants = HudConstants();
    ComPtr<ID3D11Buffer> buffer = MakeConstantBuffer(game.device.Get(), 128, false, constants.data());
    ASSERT_EQ(InspectHudCache().keys[0], buffer.Get());

    game.context->VSSetShader(shader.Get(), nullptr, 0);
    ID3D11Buffer* bound = buffer.Get();
    game.context->VSSetConstantBuffers(0, 1, &bound);
    game.context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    game.context->Draw(4, 0);
    ASSERT_TRUE(InspectHudCache().built[0]) << "the HUD draw was not re-projected";

    BoundedThreads teardown;
    teardown.Start([&] {
        shader.Reset();
        buffer.Reset();
        game.context.Reset();
        game.device.Reset();
        game.swapChain.Reset();
    });
    teardown.FinishWithin(10s, "the game's teardown");
    EXPECT_EQ(TrackedSwapChain(), nullptr);
    EXPECT_TRUE(NoHudBufferCached());
}

// One thread makes, identifies and destroys shaders carrying the HUD identity (each
// destruction forgets one under Direct3D's lock) while another draws the HUD on a deferred
// context with a matrix that changes before every draw (each draw builds new eye buffers).
// Runs in a process of its own: the device's tables are hooked for the process.
TEST(HudLockOrder, ShadersComeAndGoWhileTheHudIsDrawnWithAChangingMatrix) {
    ReprojectTheHud();
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> immediate;
    ASSERT_TRUE(CreateTestDevice(device, immediate));
    RegisterDeviceHookHandlers(StereoDeviceHookHandlers());
    ASSERT_TRUE(HookDeviceContexts(device.Get(), immediate.Get()));
    ComPtr<ID3D11DeviceContext> deferred;
    ASSERT_HRESULT_SUCCEEDED(device->CreateDeferredContext(0, deferred.Put()));

    const auto code = CompileShader(kHudShaderSource, "HudVS", "vs_5_0");
    ASSERT_TRUE(code);
    const auto identity = HudIdentityBytes();
    ComPtr<ID3D11VertexShader> hudShader;
    ASSERT_HRESULT_SUCCEEDED(device->CreateVertexShader(code->GetBufferPointer(), code->GetBufferSize(),
                                                        nullptr, hudShader.Put()));
    IdentifyHudShader(identity.data(), identity.size(), hudShader.Get());
    const auto first = HudConstants();
    ComPtr<ID3D11Buffer> hudBuffer = MakeConstantBuffer(device.Get(), 128, false, first.data());

    std::atomic<bool> stop{false};
    std::atomic<int> draws{0};
    std::atomic<int> shadersForgotten{0};
    BoundedThreads stress;
    stress.Start([&] {
        // The HUD state is bound on this thread: the draw override follows the thread.
        deferred->VSSetShader(hudShader.Get(), nullptr, 0);
        ID3D11Buffer* bound = hudBuffer.Get();
        deferred->VSSetConstantBuffers(0, 1, &bound);
        deferred->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        for (int i = 0; !stop.load(); ++i) {
            const auto constants = HudConstants(1000.0f + static_cast<float>(i % 2000));
            deferred->UpdateSubresource(hudBuffer.Get(), 0, nullptr, constants.data(), 0, 0);
            deferred->Draw(4, 0);
            draws.fetch_add(1);
            if (i % 64 == 63) {
                ComPtr<ID3D11CommandList> commands;
                deferred->FinishCommandList(TRUE, commands.Put());
            }
        }
    });
    stress.Start([&] {
        while (!stop.load()) {
            ComPtr<ID3D11VertexShader> shader;
            if (FAILED(device->CreateVertexShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr,
                                                  shader.Put()))) {
                return;
            }
            IdentifyHudShader(identity.data(), identity.size(), shader.Get());
            shader.Reset();
            shadersForgotten.fetch_add(1);
        }
    });
    std::this_thread::sleep_for(3s);
    stop = true;
    stress.FinishWithin(10s, "the HUD draws and the shader churn");

    EXPECT_GT(draws.load(), 100);
    EXPECT_GT(shadersForgotten.load(), 100);
    // The last draw came after the last change: its eye buffers are there.
    const HudCacheView view = InspectHudCache();
    EXPECT_EQ(view.keys[0], hudBuffer.Get());
    EXPECT_TRUE(view.built[0]);
}

} // namespace
} // namespace corvane
