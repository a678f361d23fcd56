#include "stereo/camera_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace corvane {
namespace {

TEST(PendingMapTables, AMapWaitsForItsUnmapOnTheSameResourceAndSubresource) {
    PendingMaps maps;
    int buffer = 0;
    int other = 0;
    char first = 0;
    char second = 0;
    ASSERT_TRUE(maps.RecordHud(&buffer, &first));
    ASSERT_TRUE(maps.RecordHud(&buffer, &second)) << "a second map before the unmap";
    EXPECT_EQ(maps.Take(&other, 0).hud.data, nullptr);
    EXPECT_EQ(maps.Take(&buffer, 1).hud.data, nullptr) << "another subresource";
    const PendingHudMap taken = maps.Take(&buffer, 0).hud;
    EXPECT_EQ(taken.data, &second) << "the latest data pointer";
    EXPECT_EQ(maps.Take(&buffer, 0).hud.data, nullptr) << "one slot only, cleared by the unmap";

    ASSERT_TRUE(maps.RecordCamera(&buffer, &first, 1));
    const PendingCameraMap camera = maps.Take(&buffer, 0).camera;
    EXPECT_EQ(camera.data, &first);
    EXPECT_EQ(camera.kind, 1u);
    EXPECT_EQ(maps.Take(nullptr, 0).hud.data, nullptr);
}

// B mapped again while a slot before its own is free (A's, unmapped meanwhile): the new map must
// go to B's slot, not to the free one, or B's unmap leaves a stale slot behind.
TEST(PendingMapTables, AResourceMappedAgainKeepsItsSlotWhenAnEarlierOneIsFree) {
    for (const bool hud : {true, false}) {
        SCOPED_TRACE(hud ? "HUD table" : "camera table");
        PendingMaps maps;
        int a = 0;
        int b = 0;
        char dataA = 0;
        char firstB = 0;
        char secondB = 0;
        auto record = [&](const void* resource, void* data) {
            return hud ? maps.RecordHud(resource, data) : maps.RecordCamera(resource, data, 1);
        };
        auto take = [&](const void* resource) {
            return hud ? maps.Take(resource, 0).hud.data : maps.Take(resource, 0).camera.data;
        };
        ASSERT_TRUE(record(&a, &dataA));
        ASSERT_TRUE(record(&b, &firstB));
        EXPECT_EQ(take(&a), &dataA);
        ASSERT_TRUE(record(&b, &secondB));
        EXPECT_EQ(take(&b), &secondB);
        EXPECT_EQ(take(&b), nullptr) << "a stale map of B is left";
    }
}

TEST(PendingMapTables, AFullTableDropsTheNewMapAndEvictsNothing) {
    struct Case {
        uint32_t slots;
        bool hud;
    };
    for (const Case c : {Case{8, true}, Case{32, false}}) {
        PendingMaps maps;
        std::vector<int> resources(c.slots + 1);
        char data = 0;
        for (uint32_t i = 0; i < c.slots; ++i) {
            ASSERT_TRUE(c.hud ? maps.RecordHud(&resources[i], &data)
                              : maps.RecordCamera(&resources[i], &data, 1));
        }
        EXPECT_FALSE(c.hud ? maps.RecordHud(&resources[c.slots], &data)
                           : maps.RecordCamera(&resources[c.slots], &data, 1))
            << c.slots;
        EXPECT_TRUE(c.hud ? maps.RecordHud(&resources[3], &data) : maps.RecordCamera(&resources[3], &data, 1))
            << "a resource already held is mapped again in its slot";
        for (uint32_t i = 0; i < c.slots; ++i) {
            const void* found =
                c.hud ? maps.Take(&resources[i], 0).hud.data : maps.Take(&resources[i], 0).camera.data;
            EXPECT_EQ(found, &data) << "slot " << i << " survived";
        }
        // After the unmaps the table takes new maps again.
        EXPECT_TRUE(c.hud ? maps.RecordHud(&resources[c.slots], &data)
                          : maps.RecordCamera(&resources[c.slots], &data, 1));
    }
}

// Each thread keeps its own maps, but an unmap ends the resource's map on every thread: a map
// unmapped on another thread leaves its slot behind, which is never taken, not even for a later
// unmap of a buffer made again at the same address and mapped elsewhere.
TEST(PendingMapTables, AMapUnmappedOnAnotherThreadIsNeverTakenAgain) {
    int buffer = 0;
    char data = 0;
    char reused = 0;
    ASSERT_TRUE(ThreadPendingMaps().RecordCamera(&buffer, &data, 1));
    const void* seenElsewhere = &data;
    std::thread([&] { seenElsewhere = ThreadPendingMaps().Take(&buffer, 0).camera.data; }).join();
    EXPECT_EQ(seenElsewhere, nullptr) << "the other thread has no map of its own";
    EXPECT_EQ(ThreadPendingMaps().Take(&buffer, 0).camera.data, nullptr) << "the map was unmapped elsewhere";

    // Mapped here, unmapped there; the address mapped again there; unmapped here.
    ASSERT_TRUE(ThreadPendingMaps().RecordHud(&buffer, &data));
    std::thread([&] {
        (void)ThreadPendingMaps().Take(&buffer, 0);
        ASSERT_TRUE(ThreadPendingMaps().RecordHud(&buffer, &reused));
    }).join();
    EXPECT_EQ(ThreadPendingMaps().Take(&buffer, 0).hud.data, nullptr) << "never the first map's memory";

    // On one thread, map and unmap pair up as before.
    ASSERT_TRUE(ThreadPendingMaps().RecordCamera(&buffer, &reused, 1));
    EXPECT_EQ(ThreadPendingMaps().Take(&buffer, 0).camera.data, &reused);
}

TEST(ObservationKeys, PackTheContextTypeSlotAndWidth) {
    EXPECT_EQ(ObservationKey(0, 0, 0), 1u);
    EXPECT_EQ(ObservationKey(1, 7, 528), 2259152798753u);  // ((1 << 8 | 7) << 32 | 528) x 2 + 1
    EXPECT_EQ(ObservationKey(0, 13, 2048), 111669153793u); // ((0 << 8 | 13) << 32 | 2048) x 2 + 1
    EXPECT_NE(ObservationKey(0, 1, 128), ObservationKey(1, 1, 128));
}

TEST(ObservationSetInsert, StoresEachKeyOnceAndStopsWhenFull) {
    ObservationSet set;
    EXPECT_TRUE(set.Insert(ObservationKey(0, 0, 528)));
    EXPECT_FALSE(set.Insert(ObservationKey(0, 0, 528)));
    EXPECT_TRUE(set.Insert(ObservationKey(1, 0, 528))) << "the deferred context is a different key";
    for (uint32_t width = 1; width <= 62; ++width) {
        EXPECT_TRUE(set.Insert(ObservationKey(0, 1, width)));
    }
    EXPECT_FALSE(set.Insert(ObservationKey(0, 2, 16))) << "the 65th key";
    EXPECT_FALSE(set.Insert(ObservationKey(0, 1, 62)));
}

TEST(ObservationSetInsert, RacingThreadsReportAKeyOnce) {
    for (int round = 0; round < 50; ++round) {
        ObservationSet set;
        std::atomic<int> stored{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (uint32_t k = 0; k < 16; ++k) {
                    // Threads insert overlapping keys in different orders.
                    const uint32_t width = (k + static_cast<uint32_t>(t) * 5) % 16;
                    if (set.Insert(ObservationKey(0, 0, width))) {
                        stored.fetch_add(1);
                    }
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        ASSERT_EQ(stored.load(), 16) << "round " << round;
    }
}

bool g_rewriteSaw = false;
bool MarkFirstByte(uint8_t* data) {
    g_rewriteSaw = true;
    data[0] = 0xEE;
    return true;
}

TEST(CameraBufferRewriteSeam, CallsTheInstalledRewriteOnly) {
    uint8_t buffer[528] = {};
    SetCameraBufferRewrite(nullptr);
    EXPECT_FALSE(RewriteCameraBuffer(buffer));
    EXPECT_EQ(buffer[0], 0);
    SetCameraBufferRewrite(&MarkFirstByte);
    EXPECT_FALSE(RewriteCameraBuffer(nullptr));
    EXPECT_FALSE(g_rewriteSaw);
    EXPECT_TRUE(RewriteCameraBuffer(buffer));
    EXPECT_EQ(buffer[0], 0xEE);
    SetCameraBufferRewrite(nullptr);
    EXPECT_EQ(CameraBufferKind(528), 1u);
    EXPECT_EQ(CameraBufferKind(527), 0u);
    EXPECT_EQ(CameraBufferKind(128), 0u);
}

} // namespace
} // namespace corvane
