// Head yaw and pitch from the presenter's head pose sample, the AER pair pose lock, and the
// render pose built from them.
#include "stereo/head_look.h"

#include "camera_test_support.h"
#include "stereo/stereo_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

class HeadLookTest : public ProcessStateTest {
protected:
    static bool Compute(uint32_t eye, bool lockAllowed, const HeadLookSettings& settings, float& yaw,
                        float& pitch) {
        HeadPoseSample sample;
        return ComputeHeadYawPitch(yaw, pitch, sample, eye, lockAllowed, settings);
    }
    static bool PairPoseStored() {
        std::lock_guard<std::mutex> lock(GetPairPoseLock().mutex);
        return GetPairPoseLock().sample.valid;
    }
};

TEST_F(HeadLookTest, YawTurnsRightAndPitchLooksUpScaledAndLimited) {
    struct Case {
        float headYaw;
        float headPitch;
        float yawScale;
        float pitchScale;
        float yaw;
        float pitch;
    };
    const Case cases[] = {
        {0.0f, 0.0f, 1.0f, 1.0f, 0.0f, 0.0f},       {30.0f, 0.0f, 1.0f, 1.0f, 30.0f, 0.0f},
        {-30.0f, 20.0f, 1.0f, 1.0f, -30.0f, 20.0f}, {30.0f, -20.0f, -2.0f, 0.5f, -60.0f, -10.0f},
        {0.0f, 80.0f, 1.0f, 2.0f, 0.0f, 89.0f},     {0.0f, -80.0f, 1.0f, 2.0f, 0.0f, -89.0f},
        {45.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.headYaw << "/" << c.headPitch);
        SetHeadSample(HeadTurn(c.headYaw, c.headPitch));
        HeadLookSettings settings;
        settings.yawScale = c.yawScale;
        settings.pitchScale = c.pitchScale;
        float yaw = kPi;
        float pitch = kPi;
        ASSERT_TRUE(Compute(1, false, settings, yaw, pitch));
        EXPECT_NEAR(c.yaw, Degrees(yaw), 1e-3f);
        EXPECT_NEAR(c.pitch, Degrees(pitch), 1e-3f);
    }
}

TEST_F(HeadLookTest, NoPoseOrNoUsableOrientationFails) {
    HeadLookSettings settings;
    float yaw = 0.25f;
    float pitch = 0.5f;
    ClearHeadSample();
    EXPECT_FALSE(Compute(1, false, settings, yaw, pitch));
    SetHeadSample(Quaternion{std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f, 1.0f});
    EXPECT_FALSE(Compute(1, false, settings, yaw, pitch));
    SetHeadSample(Quaternion{1e20f, 1e20f, 0.0f, 1.0f});
    EXPECT_FALSE(Compute(1, false, settings, yaw, pitch));
    EXPECT_EQ(0.25f, yaw);
    EXPECT_EQ(0.5f, pitch);
}

TEST_F(HeadLookTest, PairLockIsKeptWithinAnEpochAndDroppedAcrossARecentre) {
    struct Case {
        const char* name;
        bool lockAllowed;
        bool pairPoseLock;
        uint32_t firstEye;
        uint64_t secondEpoch;
        bool shared;
        const char* line;
    };
    const Case cases[] = {
        {"same epoch", true, true, 1, 5, true,
         "AER pair head-pose lock active (right then left; shared render pose)"},
        {"left first", true, true, 0, 5, true,
         "AER pair head-pose lock active (left then right; shared render pose)"},
        {"recentred between the eyes", true, true, 1, 6, false, nullptr},
        {"stereo not engaged", false, true, 1, 5, false, nullptr},
        {"lock setting off", true, false, 1, 5, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        HeadLookSettings settings;
        settings.pairPoseLock = c.pairPoseLock;
        settings.firstEye = c.firstEye;
        float yaw = 0.0f;
        float pitch = 0.0f;

        SetHeadSample(HeadTurn(10.0f, 5.0f), {}, 5);
        ASSERT_TRUE(Compute(c.firstEye, c.lockAllowed, settings, yaw, pitch));
        EXPECT_EQ(c.lockAllowed && c.pairPoseLock, PairPoseStored());

        SetHeadSample(HeadTurn(30.0f, -5.0f), {0.3f, 0.0f, 0.0f}, c.secondEpoch);
        HeadPoseSample sample;
        ASSERT_TRUE(ComputeHeadYawPitch(yaw, pitch, sample, 1 - c.firstEye, c.lockAllowed, settings));
        EXPECT_NEAR(c.shared ? 10.0f : 30.0f, Degrees(yaw), 1e-3f);
        EXPECT_NEAR(c.shared ? 5.0f : -5.0f, Degrees(pitch), 1e-3f);
        // The whole sample is the pair's, position included.
        EXPECT_EQ(c.shared ? 0.0f : 0.3f, sample.relativePosition[0]);
        EXPECT_EQ(c.shared ? 5u : c.secondEpoch, sample.referenceEpoch);
        if (c.lockAllowed && c.pairPoseLock && !c.shared) {
            EXPECT_FALSE(PairPoseStored()) << "a lock from another epoch is dropped";
        }

        (void)Compute(1 - c.firstEye, c.lockAllowed, settings, yaw, pitch);
        const std::vector<std::string> expected =
            c.line != nullptr ? std::vector<std::string>{c.line} : std::vector<std::string>{};
        EXPECT_EQ(expected, LogMessages());
    }
}

TEST_F(HeadLookTest, RenderPoseTurnsTheReferenceWithoutRoll) {
    HeadPoseSample sample;
    sample.valid = true;
    sample.referenceEpoch = 9;
    const Quaternion reference = HeadTurn(90.0f, 0.0f);
    sample.referenceOrientation[0] = reference.x;
    sample.referenceOrientation[1] = reference.y;
    sample.referenceOrientation[2] = reference.z;
    sample.referenceOrientation[3] = reference.w;
    sample.absolutePosition[0] = 0.5f;
    sample.absolutePosition[1] = 1.7f;
    sample.absolutePosition[2] = -0.25f;
    sample.relativePosition[0] = 3.0f; // not the pose's position

    EyeRenderPose pose;
    ASSERT_TRUE(MakeEyeRenderPose(Radians(20.0f), Radians(-10.0f), sample, pose));
    EXPECT_TRUE(pose.valid);
    EXPECT_EQ(9u, pose.referenceEpoch);
    EXPECT_EQ(0.5f, pose.position[0]);
    EXPECT_EQ(1.7f, pose.position[1]);
    EXPECT_EQ(-0.25f, pose.position[2]);
    ExpectSameRotation(MultiplyQuaternions(reference, HeadTurn(20.0f, -10.0f)), pose.orientation);

    // A reference that does not normalise leaves the pose as it was.
    sample.referenceOrientation[3] = 0.0f;
    sample.referenceOrientation[1] = 0.0f;
    EyeRenderPose untouched;
    EXPECT_FALSE(MakeEyeRenderPose(0.1f, 0.1f, sample, untouched));
    EXPECT_FALSE(untouched.valid);
}

} // namespace
} // namespace corvane
