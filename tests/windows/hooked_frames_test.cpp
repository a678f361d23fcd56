// Whole presenter frames with hands on a device whose tables are hooked: the presenter's
// deferred context records its copies and hands through the program's own handlers while it
// holds presenterMutex, so the frames must complete, and the hands must come out exactly as
// they did before the tables were hooked.
#include "core/settings.h"
#include "interception/device_hooks_win32.h"
#include "stereo/camera_buffer.h"
#include "stereo/camera_buffer_win32.h"
#include "stereo/hud_projection_win32.h"
#include "stereo/stereo_device_handlers_win32.h"
#include "stereo/stereo_state.h"
#include "vr_runtime_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

namespace corvane::vr_test {
namespace {

const float kBlack[4] = {0.0f, 0.0f, 0.0f, 1.0f};

std::atomic<int> g_cameraRewrites{0};
bool CountCameraRewrite(uint8_t*) {
    g_cameraRewrites.fetch_add(1);
    return false;
}

class HookedFramesTest : public VrRuntimeTest {
protected:
    // One frame as the game's Present runs it; false when it did not finish in time.
    bool FrameCompletes(bool& submitted) {
        auto frame = std::async(std::launch::async, [this] {
            Game().DrawFrame(kBlack);
            const bool done = Frame(0);
            Game().Present();
            presenter->AfterPresent();
            return done;
        });
        if (frame.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            ADD_FAILURE() << "the frame did not finish: a handler waits for a lock the presenter holds";
            std::abort();
        }
        submitted = frame.get();
        return true;
    }

    std::vector<uint32_t> EyeTexels(int eye) {
        return ReadTexels(Game().device.Get(), Game().context.Get(), presenter->eyeTexture[eye]);
    }
};

TEST_F(HookedFramesTest, FramesWithHandsCompleteAndTheHandsAreUntouched) {
    RunScenario("controller 1 key 1 -0.1 1.55 -0.3 0 0 0\ncontroller 2 key 1 0.1 1.55 -0.3 0 0 0\n");
    GetSettings().VisibleHands = true;
    GetStereoState().cameraBuildSupported = true;
    SetCameraBufferRewrite(&CountCameraRewrite);
    game = std::make_unique<GameSwapChain>();
    ASSERT_TRUE(game->Create(512, 288)) << game->failure;

    bool submitted = false;
    ASSERT_TRUE(FrameCompletes(submitted));
    ASSERT_TRUE(submitted) << presenter->LastError();
    const std::vector<uint32_t> unhooked = EyeTexels(0);
    size_t handTexels = 0;
    for (uint32_t texel : unhooked) {
        handTexels += texel != PackColour(kBlack) ? 1 : 0;
    }
    ASSERT_GT(handTexels, 100u) << "the reference frame shows hands";

    RegisterDeviceHookHandlers(StereoDeviceHookHandlers());
    ASSERT_TRUE(HookDeviceContexts(Game().device.Get(), Game().context.Get()));
    for (int frame = 0; frame < 3; ++frame) {
        SCOPED_TRACE("hooked frame " + std::to_string(frame));
        ASSERT_TRUE(FrameCompletes(submitted));
        EXPECT_TRUE(submitted) << presenter->LastError();
        EXPECT_EQ(EyeTexels(0), unhooked);
    }
    // The hand calls did pass through the handlers: the presenter's deferred context, where the
    // hands are recorded, runs the hooked Map (slot 14) and DrawIndexed (slot 12).
    ASSERT_NE(presenter->deferredContext, nullptr);
    void* const* table = *reinterpret_cast<void* const* const*>(presenter->deferredContext);
    EXPECT_EQ(table[12], reinterpret_cast<void*>(&OnDrawIndexed));
    EXPECT_EQ(table[14], reinterpret_cast<void*>(&OnMap));
    EXPECT_EQ(g_cameraRewrites.load(), 0) << "no hand buffer is taken for the camera buffer";
    const HudCacheView cache = InspectHudCache();
    for (const void* key : cache.keys) {
        EXPECT_EQ(key, nullptr) << "no hand buffer is taken for a HUD buffer";
    }
    SetCameraBufferRewrite(nullptr);
}

} // namespace
} // namespace corvane::vr_test
