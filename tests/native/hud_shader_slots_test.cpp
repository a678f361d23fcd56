#include "stereo/hud_shader_slots.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace corvane {
namespace {

// Shader stand-ins: only their addresses matter.
int g_shaders[6];

TEST(HudShaderSlots, FourShadersAreRememberedOnceAndAFifthWaitsForAFreedSlot) {
    HudShaderSlots slots;
    EXPECT_TRUE(slots.Empty());
    EXPECT_FALSE(slots.Remember(nullptr));
    EXPECT_FALSE(slots.Contains(nullptr));
    EXPECT_TRUE(slots.Empty()) << "null takes no slot";

    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(slots.Full()) << "full before " << i;
        EXPECT_TRUE(slots.Remember(&g_shaders[i])) << i;
        EXPECT_FALSE(slots.Remember(&g_shaders[i])) << "again " << i;
    }
    EXPECT_TRUE(slots.Full());
    EXPECT_FALSE(slots.Empty());
    EXPECT_FALSE(slots.Remember(&g_shaders[4]));
    EXPECT_FALSE(slots.Contains(&g_shaders[4]));

    EXPECT_FALSE(slots.Forget(&g_shaders[5])) << "never remembered";
    EXPECT_FALSE(slots.Forget(nullptr)) << "a free slot is not a shader";
    EXPECT_TRUE(slots.Full());

    EXPECT_TRUE(slots.Forget(&g_shaders[1]));
    EXPECT_FALSE(slots.Contains(&g_shaders[1]));
    EXPECT_FALSE(slots.Forget(&g_shaders[1])) << "forgotten once";
    EXPECT_FALSE(slots.Full());
    EXPECT_TRUE(slots.Remember(&g_shaders[4]));
    for (int i : {0, 2, 3, 4}) {
        EXPECT_TRUE(slots.Contains(&g_shaders[i])) << i;
    }
    for (int i : {0, 2, 3, 4}) {
        EXPECT_TRUE(slots.Forget(&g_shaders[i])) << i;
    }
    EXPECT_TRUE(slots.Empty());
}

// Four threads, four slots: each thread's Remember must find a slot of its own every time. A
// slot taken by a plain store instead of a compare-exchange would let two threads take the
// same slot, and one of them would find its shader gone.
TEST(HudShaderSlots, ThreadsTakingAndFreeingSlotsAtOnceNeverShareOne) {
    HudShaderSlots slots;
    std::atomic<int> lost{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int round = 0; round < 20000; ++round) {
                if (!slots.Remember(&g_shaders[t]) || !slots.Contains(&g_shaders[t])) {
                    lost.fetch_add(1);
                }
                if (!slots.Forget(&g_shaders[t])) {
                    lost.fetch_add(1);
                }
            }
        });
    }
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(lost.load(), 0);
    EXPECT_TRUE(slots.Empty());
}

} // namespace
} // namespace corvane
