// The final camera and projection detours written with the validation's breakpoints: one stop
// of the game's threads for all of them, and a projection that never outlives a final camera
// whose site could not be written. Sites and bytes are typed as the supported build has them.
#include "interception/gameplay_detours.h"

#include "game/executable_validation.h"
#include "game/game_bridge.h"
#include "interception/game_detours.h"

#include "fake_game_image.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

constexpr uintptr_t kFinalCameraSite = kImageBase + 0x24D7D0;
constexpr uintptr_t kProjectionSite = kImageBase + 0x24F980;
constexpr uintptr_t kFinalCameraHandler = 0x7FF712340000;
constexpr uintptr_t kProjectionHandler = 0x7FF712350000;
constexpr uint8_t kFinalCameraBytes[19] = {0x48, 0x8B, 0xC4, 0x48, 0x89, 0x58, 0x08, 0x48, 0x89, 0x70,
                                           0x10, 0x57, 0x48, 0x81, 0xEC, 0x90, 0x00, 0x00, 0x00};
constexpr uint8_t kProjectionBytes[15] = {0x48, 0x8B, 0xC4, 0x55, 0x48, 0x8D, 0x68, 0xA1,
                                          0x48, 0x81, 0xEC, 0xF0, 0x00, 0x00, 0x00};

std::vector<uint8_t> BytesAt(uintptr_t address, size_t size) {
    std::vector<uint8_t> bytes(size);
    fake::Peek(address, bytes.data(), size);
    return bytes;
}

// FF 25 00000000 and the handler's address: the jump a written site holds.
std::vector<uint8_t> JumpTo(uintptr_t handler) {
    std::vector<uint8_t> jump = {0xFF, 0x25, 0x00, 0x00, 0x00, 0x00};
    jump.resize(14);
    std::memcpy(jump.data() + 6, &handler, 8);
    return jump;
}

class GameplayDetoursTest : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        InstallFakeHost();
        LayOutGameImage();
        const uint8_t finalCameraCall[5] = {0xE8, 0x20, 0x65, 0x1D, 0x00};
        const uint8_t projectionCall[5] = {0xE8, 0x3B, 0x8B, 0x1D, 0x00};
        CommitCode(kImageBase, 0x24D7D0, kFinalCameraBytes, sizeof(kFinalCameraBytes));
        CommitCode(kImageBase, 0x772AB, finalCameraCall, sizeof(finalCameraCall));
        CommitCode(kImageBase, 0x24F980, kProjectionBytes, sizeof(kProjectionBytes));
        CommitCode(kImageBase, 0x76E40, projectionCall, sizeof(projectionCall));
        SetDetourHandler(GameDetour::FinalCamera, kFinalCameraHandler);
        SetDetourHandler(GameDetour::Projection, kProjectionHandler);
        RecordCameraMessages();
    }
    void TearDown() override {
        SetDetourHandler(GameDetour::FinalCamera, 0);
        SetDetourHandler(GameDetour::Projection, 0);
        ProcessStateTest::TearDown();
    }
};

TEST_F(GameplayDetoursTest, BreakpointsAndBothDetoursGoInUnderOneStop) {
    ASSERT_TRUE(IsExecutableValidated(&GameplayDetourCompanion()));
    EXPECT_EQ(1u, fake::Memory().suspendCount);
    EXPECT_TRUE(GetGameBridge().DetectorInstalled);
    EXPECT_EQ(0xCC, fake::PeekValue<uint8_t>(kImageBase + 0x842FE));
    EXPECT_EQ(0xCC, fake::PeekValue<uint8_t>(kImageBase + 0x208110));
    EXPECT_EQ(JumpTo(kFinalCameraHandler), BytesAt(kFinalCameraSite, 14));
    EXPECT_EQ(JumpTo(kProjectionHandler), BytesAt(kProjectionSite, 14));
    EXPECT_EQ(kImageBase + 0x772B0, DetourExpectedReturn(GameDetour::FinalCamera));
    EXPECT_EQ(kImageBase + 0x76E45, DetourExpectedReturn(GameDetour::Projection));

    // The device creation's installations find them in place and stop nothing again.
    DetourDescription finalCamera = DescribeDetour(GameDetour::FinalCamera);
    finalCamera.handler = kFinalCameraHandler;
    DetourDescription projection = DescribeDetour(GameDetour::Projection);
    projection.handler = kProjectionHandler;
    EXPECT_TRUE(InstallDetour(finalCamera));
    EXPECT_TRUE(InstallDetour(projection));
    EXPECT_EQ(1u, fake::Memory().suspendCount);
    EXPECT_EQ(2u, fake::Memory().liveAllocations.size());
}

// The projection serves only the final camera's frames: when the final camera's site is
// refused in the batch, the projection's jump is taken back, its trampoline kept for threads
// already on their way through, with no call site to serve.
TEST_F(GameplayDetoursTest, AProjectionWithoutAFinalCameraIsTakenBack) {
    fake::Memory().failProtect = [](const fake::ProtectCall& call, size_t) {
        return call.address == kFinalCameraSite;
    };
    ASSERT_TRUE(IsExecutableValidated(&GameplayDetourCompanion()));
    EXPECT_TRUE(GetGameBridge().DetectorInstalled);
    EXPECT_EQ(std::vector<uint8_t>(kFinalCameraBytes, kFinalCameraBytes + 19), BytesAt(kFinalCameraSite, 19));
    EXPECT_EQ(std::vector<uint8_t>(kProjectionBytes, kProjectionBytes + 15), BytesAt(kProjectionSite, 15));
    EXPECT_EQ(0u, DetourTrampoline(GameDetour::FinalCamera));
    EXPECT_NE(0u, DetourTrampoline(GameDetour::Projection));
    EXPECT_EQ(0u, DetourExpectedReturn(GameDetour::Projection));
    EXPECT_EQ(1u, fake::Memory().liveAllocations.size());
}

// The take-back itself fails (its site cannot be opened again), or writes the old bytes but
// cannot close the site: either way the handler serves no call site any more, so the game keeps
// its own projection; a jump left in place is found in place when the final camera goes in
// later, and serves its call site again.
TEST_F(GameplayDetoursTest, AProjectionThatCannotBeTakenBackPassesTheGameThrough) {
    struct Case {
        const char* name;
        int refusedProjectionCall; // 3: opening the site to take back, 4: closing it after
        bool jumpStays;
    };
    for (const Case c : {Case{"the take-back cannot open the site", 3, true},
                         Case{"the take-back cannot close the site", 4, false}}) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        int projectionCalls = 0;
        bool finalCameraRefused = true;
        fake::Memory().failProtect = [&](const fake::ProtectCall& call, size_t) {
            if (call.address == kFinalCameraSite) {
                return finalCameraRefused;
            }
            return call.address == kProjectionSite && ++projectionCalls == c.refusedProjectionCall;
        };
        ASSERT_TRUE(IsExecutableValidated(&GameplayDetourCompanion()));
        EXPECT_EQ(c.jumpStays ? JumpTo(kProjectionHandler)
                              : std::vector<uint8_t>(kProjectionBytes, kProjectionBytes + 14),
                  BytesAt(kProjectionSite, 14));
        EXPECT_NE(0u, DetourTrampoline(GameDetour::Projection));
        EXPECT_EQ(0u, DetourExpectedReturn(GameDetour::Projection)) << "the game's projection passes through";
        EXPECT_EQ(c.jumpStays ? 1u : 0u,
                  CountCameraMessages(
                      "Common-frustum projection jump could not be taken back; it passes the game's "
                      "projection through unchanged."));
        if (c.jumpStays) {
            finalCameraRefused = false;
            DetourDescription finalCamera = DescribeDetour(GameDetour::FinalCamera);
            finalCamera.handler = kFinalCameraHandler;
            ASSERT_TRUE(InstallDetour(finalCamera));
            DetourDescription projection = DescribeDetour(GameDetour::Projection);
            projection.handler = kProjectionHandler;
            ASSERT_TRUE(InstallDetour(projection));
            EXPECT_EQ(kImageBase + 0x76E45, DetourExpectedReturn(GameDetour::Projection));
        }
    }
}

// Without a final camera to install, the breakpoints go in alone and the detours are left to
// the device creation (which then tries the allocator fallback).
TEST_F(GameplayDetoursTest, AFinalCameraSiteThatDiffersLeavesTheBreakpointsAlone) {
    fake::SetProtection(kFinalCameraSite, 19, kPageReadWrite);
    fake::PokeValue<uint8_t>(kFinalCameraSite + 18, 0x01);
    ASSERT_TRUE(IsExecutableValidated(&GameplayDetourCompanion()));
    EXPECT_TRUE(GetGameBridge().DetectorInstalled);
    EXPECT_EQ(std::vector<uint8_t>(kProjectionBytes, kProjectionBytes + 15), BytesAt(kProjectionSite, 15));
    EXPECT_EQ(0u, DetourTrampoline(GameDetour::Projection));
    EXPECT_TRUE(fake::Memory().liveAllocations.empty());
}

// A breakpoint handler the system refuses keeps the breakpoints out, not the detours.
TEST_F(GameplayDetoursTest, DetoursGoInWhenTheBreakpointsCannot) {
    GameHostSeam seam = GetGameHostSeam();
    seam.addBreakpointHandler = [] { return false; };
    SetGameHostSeam(seam);
    ASSERT_TRUE(IsExecutableValidated(&GameplayDetourCompanion()));
    EXPECT_FALSE(GetGameBridge().DetectorInstalled);
    EXPECT_EQ(0x89, fake::PeekValue<uint8_t>(kImageBase + 0x842FE));
    EXPECT_EQ(JumpTo(kFinalCameraHandler), BytesAt(kFinalCameraSite, 14));
    EXPECT_EQ(JumpTo(kProjectionHandler), BytesAt(kProjectionSite, 14));
}

// A validation that refuses the executable writes neither breakpoints nor detours.
TEST_F(GameplayDetoursTest, AnUnsupportedExecutableGetsNoDetours) {
    Host().hashFails = true;
    EXPECT_FALSE(IsExecutableValidated(&GameplayDetourCompanion()));
    EXPECT_EQ(std::vector<uint8_t>(kFinalCameraBytes, kFinalCameraBytes + 19), BytesAt(kFinalCameraSite, 19));
    EXPECT_EQ(0u, fake::Memory().suspendCount);
    EXPECT_TRUE(fake::Memory().liveAllocations.empty());
}

} // namespace
} // namespace corvane
