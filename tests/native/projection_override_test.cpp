// The projection override called as the detour would call it: a fake game routine stands in
// for the trampoline, and the return address is given explicitly.
#include "stereo/projection_override.h"

#include "camera_test_support.h"
#include "fake_game_image.h"
#include "interception/game_detours.h"
#include "stereo/stereo_state.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

// Where the gameplay camera's projection setup returns to: GameBase + 0x76E45.
constexpr uintptr_t kProjectionReturn = kImageBase + 0x76E45;
constexpr uint32_t kGameAngle = 12000;
constexpr float kGameAspect = 1.7777778f;

struct ProjectionCall {
    uint32_t angle = 0;
    float aspect = 0.0f;
    double arg3 = 0.0;
    double arg4 = 0.0;
};

std::vector<ProjectionCall>& ProjectionCalls() {
    static std::vector<ProjectionCall> calls;
    return calls;
}

void GameProjectionRoutine(uint32_t angle, float aspect, double arg3, double arg4) {
    ProjectionCalls().push_back({angle, aspect, arg3, arg4});
}

double DoubleFromBits(uint64_t bits) {
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool SameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A float in the low half and other bits above it, and a NaN with a payload: either reaches
// the routine unchanged.
const double kArg3 = DoubleFromBits(0x12345678'3DCCCCCDull);
const double kArg4 = DoubleFromBits(0x7FF4'0000'0000'1234ull);

class ProjectionOverrideTest : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        ProjectionCalls().clear();
        SetRaw({-1.0f, 0.8f, -1.0f, 1.0f}, {-0.8f, 1.0f, -1.0f, 1.0f}); // common tangents 1.0 and 1.0
        PublishDetour(GameDetour::Projection, reinterpret_cast<uintptr_t>(&GameProjectionRoutine),
                      kProjectionReturn);
        GetStereoState().cameraBuildSupported = true;
        GetStereoState().stereoRendering = true;
    }

    static void SetRaw(const std::array<float, 4>& left, const std::array<float, 4>& right) {
        VrPresenter& presenter = VrPresenter::Instance();
        {
            std::lock_guard<std::mutex> lock(presenter.presenterMutex);
            presenter.Disconnect(0);
        }
        std::copy(left.begin(), left.end(), fake::OpenVr().rawProjection[0]);
        std::copy(right.begin(), right.end(), fake::OpenVr().rawProjection[1]);
        ConnectPresenter();
    }

    // Calls the handler with the game's own arguments; returns the one routine call.
    static ProjectionCall Call(uintptr_t returnAddress = kProjectionReturn) {
        const size_t before = ProjectionCalls().size();
        HandleGameplayProjection(returnAddress, kGameAngle, kGameAspect, kArg3, kArg4);
        EXPECT_EQ(before + 1, ProjectionCalls().size()) << "the game routine runs exactly once";
        if (ProjectionCalls().size() != before + 1) {
            return ProjectionCall{};
        }
        const ProjectionCall call = ProjectionCalls().back();
        EXPECT_TRUE(SameBits(kArg3, call.arg3));
        EXPECT_TRUE(SameBits(kArg4, call.arg4));
        return call;
    }

    static bool PassedThrough(const ProjectionCall& call) {
        return call.angle == kGameAngle && call.aspect == kGameAspect;
    }
};

TEST_F(ProjectionOverrideTest, CommonTangentsOfOneGiveTheWorkedExample) {
    const ProjectionCall call = Call();
    EXPECT_EQ(16893u, call.angle);
    EXPECT_EQ(1.0f, call.aspect);
    EXPECT_TRUE(GetStereoState().projectionHookSeen.load());
    const std::vector<std::string> expected = {
        "Gameplay projection override active: original angle=12000 (65.918 deg), aspect=1.777778; effective "
        "angle=16893 (92.794 deg), aspect=1.000000; raw common tan=(1.000000, 1.000000), render "
        "tan=(1.050000, "
        "1.050000), FOV scale=1.00000000"};
    EXPECT_EQ(expected, LogMessages());

    // Every qualifying call is replaced; the line is written once.
    GetStereoState().projectionHookSeen.store(false);
    EXPECT_EQ(16893u, Call().angle);
    EXPECT_TRUE(GetStereoState().projectionHookSeen.load());
    EXPECT_EQ(expected, LogMessages());
}

TEST_F(ProjectionOverrideTest, AngleAndAspectFollowTheHeadsetAndTheGuardScale) {
    struct Case {
        const char* name;
        std::array<float, 4> left;
        std::array<float, 4> right;
        float fovScale;
        uint32_t angle;
        float aspect;
    };
    const Case cases[] = {
        {"wider than tall", {-1.25f, 1.0f, -1.0f, 1.0f}, {-1.0f, 1.25f, -1.0f, 1.0f}, 1.0f, 16893, 1.25f},
        {"guard scale widens", {-1.0f, 0.8f, -1.0f, 1.0f}, {-0.8f, 1.0f, -1.0f, 1.0f}, 2.0f, 23497, 1.0f},
        {"rounds to 0, sent as 1",
         {-1.0f, 1.0f, -2e-5f, 2e-5f},
         {-1.0f, 1.0f, -2e-5f, 2e-5f},
         1.0f,
         1,
         50000.0f},
        {"rounds above 32767, sent as 32767",
         {-1.0f, 1.0f, -1e5f, 1e5f},
         {-1.0f, 1.0f, -1e5f, 1e5f},
         1.0f,
         32767,
         1e-5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        SetRaw(c.left, c.right);
        GetStereoState().fovScale = c.fovScale;
        const ProjectionCall call = Call();
        EXPECT_EQ(c.angle, call.angle);
        EXPECT_FLOAT_EQ(c.aspect, call.aspect);
        EXPECT_TRUE(GetStereoState().projectionHookSeen.load());
    }
}

TEST_F(ProjectionOverrideTest, EveryFailedConditionPassesTheGameArgumentsThrough) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        uintptr_t returnAddress;
    };
    const std::vector<Case> cases = {
        {"another call site", [] {}, kImageBase + 0x772B0},
        {"no call site published",
         [] {
             PublishDetour(GameDetour::Projection, reinterpret_cast<uintptr_t>(&GameProjectionRoutine), 0);
         },
         kProjectionReturn},
        {"unvalidated build", [] { GetStereoState().cameraBuildSupported = false; }, kProjectionReturn},
        // The cinema screen shows the game's own picture.
        {"the game has the camera", [] { GetStereoState().stereoRendering = false; }, kProjectionReturn},
        {"VR disabled", [] { GetSettings().Enabled = false; }, kProjectionReturn},
        {"presenter not connected",
         [] {
             VrPresenter& presenter = VrPresenter::Instance();
             std::lock_guard<std::mutex> lock(presenter.presenterMutex);
             presenter.Disconnect(0);
         },
         kProjectionReturn},
        {"guard scale 0", [] { GetStereoState().fovScale = 0.0f; }, kProjectionReturn},
        {"guard scale negative", [] { GetStereoState().fovScale = -1.0f; }, kProjectionReturn},
        {"guard scale not finite",
         [] { GetStereoState().fovScale = std::numeric_limits<float>::quiet_NaN(); }, kProjectionReturn},
        {"field of view rounds to half a turn",
         [] {
             SetRaw({-1.0f, 1.0f, -1e30f, 1e30f}, {-1.0f, 1.0f, -1e30f, 1e30f});
         },
         kProjectionReturn},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        GetStereoState().stereoActive = true;
        c.arrange();
        EXPECT_TRUE(PassedThrough(Call(c.returnAddress)));
        EXPECT_FALSE(GetStereoState().projectionHookSeen.load());
        EXPECT_TRUE(LogMessages().empty());
    }
}

TEST_F(ProjectionOverrideTest, WithoutATrampolineNothingIsCalled) {
    PublishDetour(GameDetour::Projection, 0, 0);
    HandleGameplayProjection(kProjectionReturn, kGameAngle, kGameAspect, kArg3, kArg4);
    EXPECT_TRUE(ProjectionCalls().empty());
    EXPECT_FALSE(GetStereoState().projectionHookSeen.load());
}

TEST_F(ProjectionOverrideTest, OnlyTheLowSixteenBitsOfTheGameAngleAreLogged) {
    HandleGameplayProjection(kProjectionReturn, 0x10000u | kGameAngle, kGameAspect, kArg3, kArg4);
    ASSERT_EQ(1u, LogMessages().size());
    EXPECT_EQ(0u,
              LogMessages()[0].find("Gameplay projection override active: original angle=12000 (65.918 deg)"))
        << LogMessages()[0];
}

} // namespace
} // namespace corvane
