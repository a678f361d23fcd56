// Head and controller tracking against the fake runtime: epochs, the relative head pose,
// render poses, controller discovery and the axis rules.
#include "test_support.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

namespace corvane {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kPi = 3.14159265358979f;

Quaternion Yaw(float degrees) {
    const float half = degrees * kPi / 360.0f;
    return {0.0f, std::sin(half), 0.0f, std::cos(half)};
}

EyeRenderPose RenderPoseIn(uint64_t epoch) {
    EyeRenderPose pose;
    pose.valid = true;
    pose.referenceEpoch = epoch;
    pose.position[1] = 1.6f;
    pose.orientation[1] = 2.0f; // normalised on the way in
    pose.orientation[3] = 0.0f;
    return pose;
}

class VrTrackingTest : public testing_support::ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        fake::PlaceHeadset({0.0f, 1.6f, 0.0f}, Quaternion{});
    }

    // One presenter frame: connection, poses, head and controllers, then a mono submission.
    bool Frame() {
        int dummy = 0;
        FrameRequest request;
        request.requestedConvergence = 0.0f;
        return presenter->RenderFrame(reinterpret_cast<IDXGISwapChain*>(&dummy), request);
    }

    bool Connect() {
        std::lock_guard<std::mutex> lock(presenter->presenterMutex);
        return presenter->EnsureConnected();
    }

    void UpdateRelativeWith(const Quaternion& orientation, const Vector3& position) {
        presenter->UpdateHeadRelativePose(orientation, position);
    }

    HeadPoseSample Sample() {
        HeadPoseSample sample;
        (void)presenter->GetHeadPoseSample(sample);
        return sample;
    }

    std::unique_ptr<VrPresenter> presenter = std::make_unique<VrPresenter>();
    fake::FakeOpenVr& vr = fake::OpenVr();
};

TEST_F(VrTrackingTest, FirstValidPoseOfAnEpochIsTheReference) {
    Frame();
    HeadPoseSample sample = Sample();
    ASSERT_TRUE(sample.valid);
    const uint64_t epoch = sample.referenceEpoch;
    EXPECT_NE(epoch, 0u);
    EXPECT_FLOAT_EQ(sample.relativePosition[0], 0.0f);
    EXPECT_FLOAT_EQ(sample.referencePosition[1], 1.6f);

    fake::PlaceHeadset({0.1f, 1.7f, -0.2f}, Yaw(30));
    Frame();
    sample = Sample();
    ASSERT_TRUE(sample.valid);
    EXPECT_EQ(sample.referenceEpoch, epoch);
    EXPECT_NEAR(sample.relativePosition[0], 0.1f, 1e-5f);
    EXPECT_NEAR(sample.relativePosition[1], 0.1f, 1e-5f);
    EXPECT_NEAR(sample.relativePosition[2], -0.2f, 1e-5f);
    EXPECT_NEAR(sample.absolutePosition[1], 1.7f, 1e-6f);
    EXPECT_NEAR(sample.relativeOrientation[1], Yaw(30).y, 1e-5f);
    EXPECT_NEAR(sample.relativeOrientation[3], Yaw(30).w, 1e-5f);
}

TEST_F(VrTrackingTest, RelativePoseIsMeasuredAgainstAYawedReference) {
    fake::PlaceHeadset({1.0f, 1.6f, 2.0f}, Yaw(90));
    Frame();
    fake::PlaceHeadset({0.9f, 1.6f, 2.0f}, Yaw(100));
    Frame();
    const HeadPoseSample sample = Sample();
    ASSERT_TRUE(sample.valid);
    EXPECT_NEAR(sample.relativePosition[0], 0.0f, 1e-5f);
    EXPECT_NEAR(sample.relativePosition[2], -0.1f, 1e-5f);
    // Relative orientation: 10 degrees of yaw beyond the reference.
    EXPECT_NEAR(sample.relativeOrientation[1], Yaw(10).y, 1e-5f);
}

// Looking up after turning away from the reference must stay a pitch of the head: composed
// the other way round, the turn would tip the pitch over into a sideways roll.
TEST_F(VrTrackingTest, LookingUpAfterTurningAwayStaysAPitch) {
    fake::PlaceHeadset({0.0f, 1.6f, 0.0f}, Yaw(90));
    Frame();
    // Turned 90 degrees, then 20 degrees up about the head's own x axis: yaw(90) * pitch(20).
    const float s45 = std::sin(kPi / 4), c45 = std::cos(kPi / 4);
    const float s10 = std::sin(kPi / 18), c10 = std::cos(kPi / 18);
    fake::PlaceHeadset({0.0f, 1.6f, 0.0f}, Quaternion{c45 * s10, s45 * c10, -s45 * s10, c45 * c10});
    Frame();
    const HeadPoseSample sample = Sample();
    ASSERT_TRUE(sample.valid);
    EXPECT_NEAR(sample.relativeOrientation[0], s10, 1e-5f) << "20 degrees up";
    EXPECT_NEAR(sample.relativeOrientation[1], 0.0f, 1e-5f) << "no turn left";
    EXPECT_NEAR(sample.relativeOrientation[2], 0.0f, 1e-5f) << "no roll";
    EXPECT_NEAR(sample.relativeOrientation[3], c10, 1e-5f);
}

TEST_F(VrTrackingTest, LostTrackingStartsANewEpochEveryFrame) {
    Frame();
    const uint64_t first = Sample().referenceEpoch;
    vr.devices[0].pose.bPoseIsValid = false;
    Frame();
    const uint64_t afterLoss = presenter->trackingEpoch.load();
    Frame();
    EXPECT_GT(afterLoss, first);
    EXPECT_EQ(presenter->trackingEpoch.load(), afterLoss + 1);
    EXPECT_FALSE(Sample().valid);

    InputSnapshot snapshot;
    EXPECT_FALSE(presenter->TakeInputSnapshot(snapshot)) << "no head and no controller";
    fake::PlaceController(1, TrackedControllerRole_LeftHand, true);
    Frame();
    EXPECT_TRUE(presenter->TakeInputSnapshot(snapshot)) << "a connected controller is input enough";
    EXPECT_FALSE(snapshot.head.valid);

    fake::PlaceHeadset({0.0f, 1.5f, 0.0f}, Quaternion{});
    Frame();
    const HeadPoseSample sample = Sample();
    ASSERT_TRUE(sample.valid);
    EXPECT_EQ(sample.referenceEpoch, presenter->trackingEpoch.load());
    EXPECT_FLOAT_EQ(sample.referencePosition[1], 1.5f);
}

TEST_F(VrTrackingTest, AHeadsetThatIsNotValidOrNotConnectedIsLost) {
    struct Case {
        const char* name;
        bool poseValid;
        bool connected;
    };
    const Case cases[] = {{"pose not valid", false, true}, {"headset disconnected", true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::ResetProcessState();
        presenter = std::make_unique<VrPresenter>();
        fake::PlaceHeadset({0.0f, 1.6f, 0.0f}, Quaternion{});
        Frame();
        ASSERT_TRUE(Sample().valid);
        const uint64_t epoch = presenter->trackingEpoch.load();
        vr.devices[0].pose.bPoseIsValid = c.poseValid;
        vr.devices[0].pose.bDeviceIsConnected = c.connected;
        Frame();
        Frame();
        EXPECT_EQ(presenter->trackingEpoch.load(), epoch + 2) << "every such frame starts a new epoch";
        EXPECT_FALSE(Sample().valid);
        InputSnapshot snapshot;
        EXPECT_FALSE(presenter->TakeInputSnapshot(snapshot));
        EXPECT_FALSE(snapshot.head.valid) << "no hands are drawn for a lost headset";
    }
}

TEST_F(VrTrackingTest, GarbageHeadPosesAreTreatedAsLostTracking) {
    Frame();
    const uint64_t epoch = presenter->trackingEpoch.load();
    vr.devices[0].pose.mDeviceToAbsoluteTracking.m[1][3] = kNan;
    Frame();
    EXPECT_FALSE(Sample().valid);
    EXPECT_EQ(presenter->trackingEpoch.load(), epoch + 1);
    InputSnapshot snapshot;
    (void)presenter->TakeInputSnapshot(snapshot);
    EXPECT_FALSE(snapshot.head.valid) << "a non-finite head must not reach the hands";

    UpdateRelativeWith({0, 0, 0, 0}, {0, 1.6f, 0});
    EXPECT_EQ(presenter->trackingEpoch.load(), epoch + 2);
}

TEST_F(VrTrackingTest, ResetForTransitionStartsANewEpochAndDropsPublishedPoses) {
    Frame();
    const uint64_t epoch = Sample().referenceEpoch;
    presenter->SetEyeRenderPose(0, RenderPoseIn(epoch));
    presenter->ResetForTransition();
    EXPECT_EQ(presenter->trackingEpoch.load(), epoch + 1);
    EXPECT_FALSE(Sample().valid);
    EyeRenderPose taken;
    EXPECT_FALSE(presenter->TakeEyeRenderPose(0, taken));

    fake::PlaceHeadset({0.5f, 1.6f, 0.0f}, Quaternion{});
    Frame();
    EXPECT_EQ(Sample().referenceEpoch, epoch + 1);
    EXPECT_FLOAT_EQ(Sample().referencePosition[0], 0.5f)
        << "the first pose after the reset is the new reference";
}

TEST_F(VrTrackingTest, RenderPosesAreUsedOnceAndOnlyWithinTheirEpoch) {
    Frame();
    const uint64_t epoch = Sample().referenceEpoch;

    presenter->SetEyeRenderPose(1, RenderPoseIn(epoch));
    EyeRenderPose taken;
    ASSERT_TRUE(presenter->TakeEyeRenderPose(1, taken));
    EXPECT_EQ(taken.referenceEpoch, epoch);
    EXPECT_FLOAT_EQ(taken.orientation[1], 1.0f);
    EXPECT_FALSE(presenter->TakeEyeRenderPose(1, taken)) << "used at most once";
    EXPECT_FALSE(taken.valid);

    // Published with a sample of the old epoch after a reset: refused, and the slot is emptied.
    presenter->ResetForTransition();
    Frame();
    ASSERT_EQ(Sample().referenceEpoch, epoch + 1);
    presenter->SetEyeRenderPose(1, RenderPoseIn(epoch));
    ASSERT_TRUE(presenter->publishedRenderPoses[1].valid);
    EXPECT_FALSE(presenter->TakeEyeRenderPose(1, taken));
    EXPECT_FALSE(presenter->publishedRenderPoses[1].valid);

    // The frame takes the record of the eye it renders, so it cannot reach a later frame.
    presenter->SetEyeRenderPose(0, RenderPoseIn(epoch + 1));
    Frame();
    EXPECT_FALSE(presenter->publishedRenderPoses[0].valid);

    EXPECT_FALSE(presenter->TakeEyeRenderPose(2, taken));
}

TEST_F(VrTrackingTest, UnusableRenderPosesAreStoredAsTheEmptyRecord) {
    Frame();
    const uint64_t epoch = Sample().referenceEpoch;
    EyeRenderPose zeroQuaternion = RenderPoseIn(epoch);
    zeroQuaternion.orientation[1] = 0.0f;
    EyeRenderPose noEpoch = RenderPoseIn(0);
    EyeRenderPose badPosition = RenderPoseIn(epoch);
    badPosition.position[2] = kNan;
    for (const EyeRenderPose& pose : {zeroQuaternion, noEpoch, badPosition}) {
        presenter->SetEyeRenderPose(0, RenderPoseIn(epoch));
        presenter->SetEyeRenderPose(0, pose);
        EXPECT_FALSE(presenter->publishedRenderPoses[0].valid);
        EXPECT_EQ(presenter->publishedRenderPoses[0].orientation[3], 1.0f);
    }
    presenter->SetEyeRenderPose(7, RenderPoseIn(epoch)); // ignored, no crash
}

TEST_F(VrTrackingTest, ControllersAreFoundByRoleThenByOrder) {
    struct Device {
        uint32_t index;
        ETrackedControllerRole role;
        bool announced;
    };
    struct Case {
        const char* name;
        std::vector<Device> devices;
        uint32_t left;
        uint32_t right;
    };
    const uint32_t none = k_unTrackedDeviceIndexInvalid;
    const std::vector<Case> cases = {
        {"both announced",
         {{3, TrackedControllerRole_RightHand, true}, {4, TrackedControllerRole_LeftHand, true}},
         4,
         3},
        {"roles only on the devices",
         {{3, TrackedControllerRole_RightHand, false}, {4, TrackedControllerRole_LeftHand, false}},
         4,
         3},
        {"no roles: in index order",
         {{5, TrackedControllerRole_Invalid, false}, {2, TrackedControllerRole_Invalid, false}},
         2,
         5},
        {"a third controller is not used",
         {{1, TrackedControllerRole_LeftHand, true},
          {2, TrackedControllerRole_RightHand, true},
          {3, TrackedControllerRole_Invalid, false}},
         1,
         2},
        {"a second left hand takes the free right side",
         {{1, TrackedControllerRole_LeftHand, true}, {6, TrackedControllerRole_LeftHand, false}},
         1,
         6},
        {"one controller", {{9, TrackedControllerRole_RightHand, false}}, none, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::ResetOpenVr();
        for (const Device& d : c.devices) {
            fake::PlaceController(d.index, d.role, d.announced);
        }
        // A tracker is no controller.
        vr.devices[8].connected = true;
        vr.devices[8].deviceClass = 3;
        ASSERT_TRUE(Connect());
        uint32_t left = 0;
        uint32_t right = 0;
        {
            std::lock_guard<std::mutex> lock(presenter->presenterMutex);
            presenter->FindControllerIndices(left, right);
        }
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(right, c.right);
    }
}

TEST_F(VrTrackingTest, AxisTypesDecideWhereStickAndTriggerComeFrom) {
    fake::PlaceController(1, TrackedControllerRole_LeftHand, true);
    fake::FakeDevice& device = vr.devices[1];
    device.axisTypes[0] = k_eControllerAxis_TrackPad;
    device.axisTypes[1] = k_eControllerAxis_Joystick;
    device.axisTypes[2] = k_eControllerAxis_Trigger;
    device.axisTypes[3] = k_eControllerAxis_Trigger;
    device.axisTypes[4] = k_eControllerAxis_Trigger;
    device.axisTypeErrors[4] = 7; // not provided: its value is ignored
    device.state.rAxis[0] = {0.25f, -3.0f};
    device.state.rAxis[1] = {0.9f, 0.9f};
    device.state.rAxis[2] = {0.3f, 0.0f};
    device.state.rAxis[3] = {1.5f, 0.0f};
    device.state.rAxis[4] = {0.1f, 0.0f};
    device.state.ulButtonPressed = (uint64_t{1} << k_EButton_Grip) | 1u;
    device.state.ulButtonTouched = uint64_t{1} << 32;
    Frame();

    InputSnapshot snapshot;
    ASSERT_TRUE(presenter->TakeInputSnapshot(snapshot));
    const ControllerState& left = snapshot.left;
    EXPECT_EQ(left.connected, 1);
    EXPECT_EQ(left.isLeftHand, 1);
    EXPECT_EQ(left.deviceIndex, 1u);
    EXPECT_FLOAT_EQ(left.stickX, 0.25f) << "the trackpad comes first";
    EXPECT_FLOAT_EQ(left.stickY, -1.0f);
    EXPECT_FLOAT_EQ(left.trigger, 1.0f) << "the later trigger axis wins, clamped";
    EXPECT_FLOAT_EQ(left.grip, 1.0f);
    EXPECT_EQ(left.buttonsPressed, device.state.ulButtonPressed);
    EXPECT_EQ(left.buttonsTouched, device.state.ulButtonTouched);
    EXPECT_EQ(vr.controllerStateSize, 64u);
    EXPECT_EQ(snapshot.right.connected, 0);
    EXPECT_EQ(snapshot.right.deviceIndex, k_unTrackedDeviceIndexInvalid);
    EXPECT_EQ(snapshot.right.isLeftHand, 0);
}

TEST_F(VrTrackingTest, TriggerAndStickValuesAreClampedToTheirRanges) {
    struct Case {
        float trigger;
        float stickX;
        float stickY;
        float expectedTrigger;
        float expectedX;
        float expectedY;
    };
    const Case cases[] = {
        {-0.5f, -1.5f, 2.0f, 0.0f, -1.0f, 1.0f},
        {2.0f, 0.25f, -7.0f, 1.0f, 0.25f, -1.0f},
        {0.4f, -0.75f, 0.5f, 0.4f, -0.75f, 0.5f},
    };
    fake::PlaceController(1, TrackedControllerRole_LeftHand, true);
    fake::FakeDevice& device = vr.devices[1];
    device.axisTypes[0] = k_eControllerAxis_Joystick;
    device.axisTypes[1] = k_eControllerAxis_Trigger;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trigger);
        device.state.rAxis[0] = {c.stickX, c.stickY};
        device.state.rAxis[1] = {c.trigger, 0.0f};
        Frame();
        InputSnapshot snapshot;
        ASSERT_TRUE(presenter->TakeInputSnapshot(snapshot));
        EXPECT_EQ(snapshot.left.trigger, c.expectedTrigger);
        EXPECT_EQ(snapshot.left.stickX, c.expectedX);
        EXPECT_EQ(snapshot.left.stickY, c.expectedY);
    }
}

TEST_F(VrTrackingTest, EveryCallOfANewSessionGoesToThatSessionsInterfaces) {
    fake::PlaceController(1, TrackedControllerRole_LeftHand, true);
    ASSERT_TRUE(Frame());
    const void* firstSystem = presenter->system;
    vr.waitGetPosesResult = 101;
    EXPECT_FALSE(Frame());
    vr.waitGetPosesResult = VRCompositorError_None;
    fake::Os().steadyNs += kReconnectIntervalNs;
    ASSERT_TRUE(Frame()) << presenter->LastError();
    ASSERT_TRUE(Frame());
    EXPECT_NE(presenter->system, firstSystem) << "the runtime hands out new interfaces per session";
    EXPECT_EQ(vr.callsOnWrongInterface, 0);
}

TEST_F(VrTrackingTest, ControllerPoseAndGarbageFromTheRuntime) {
    fake::PlaceController(2, TrackedControllerRole_RightHand, true);
    fake::FakeDevice& device = vr.devices[2];
    device.pose = fake::PoseAt({0.3f, 1.1f, -0.4f}, Yaw(45));
    device.axisTypes[0] = k_eControllerAxis_Joystick;
    device.axisTypes[1] = k_eControllerAxis_Trigger;
    device.state.rAxis[0] = {kNan, 0.5f};
    device.state.rAxis[1] = {std::numeric_limits<float>::infinity(), 0.0f};
    Frame();
    InputSnapshot snapshot;
    ASSERT_TRUE(presenter->TakeInputSnapshot(snapshot));
    const ControllerState& right = snapshot.right;
    EXPECT_EQ(right.poseValid, 1);
    EXPECT_FLOAT_EQ(right.position[2], -0.4f);
    EXPECT_NEAR(right.orientation[1], Yaw(45).y, 1e-6f);
    EXPECT_FLOAT_EQ(right.deviceToTracking[3], 0.3f);
    EXPECT_EQ(right.stickX, 0.0f) << "not a number is no input";
    EXPECT_FLOAT_EQ(right.stickY, 0.5f);
    EXPECT_EQ(right.trigger, 0.0f) << "an infinite value is garbage, not a full pull";

    device.pose.mDeviceToAbsoluteTracking.m[0][0] = kNan;
    device.controllerStateAvailable = false;
    device.state.ulButtonPressed = 1;
    Frame();
    ASSERT_TRUE(presenter->TakeInputSnapshot(snapshot));
    EXPECT_EQ(snapshot.right.connected, 1);
    EXPECT_EQ(snapshot.right.poseValid, 0);
    EXPECT_EQ(snapshot.right.orientation[3], 1.0f);
    EXPECT_EQ(snapshot.right.buttonsPressed, 0u) << "no state read, no buttons";
}

TEST_F(VrTrackingTest, WaitGetPosesFailureDisconnectsAndRetriesAfterTenSeconds) {
    fake::PlaceController(1, TrackedControllerRole_LeftHand, true);
    Frame();
    const uint64_t epoch = presenter->trackingEpoch.load();
    vr.waitGetPosesResult = 101;
    Frame();
    EXPECT_EQ(presenter->LastError(), "OpenVR WaitGetPoses failed (101)");
    EXPECT_EQ(presenter->system, nullptr);
    EXPECT_EQ(vr.shutdownCalls, 1);
    EXPECT_GT(presenter->trackingEpoch.load(), epoch);
    InputSnapshot snapshot;
    EXPECT_FALSE(presenter->TakeInputSnapshot(snapshot)) << "controllers and head were forgotten";

    vr.waitGetPosesResult = 0;
    fake::Os().steadyNs += 9'000'000'000;
    Frame();
    EXPECT_EQ(vr.initCalls, 1);
    fake::Os().steadyNs += 1'000'000'000;
    Frame();
    EXPECT_EQ(vr.initCalls, 2);
    EXPECT_EQ(presenter->LastError(), "");
    EXPECT_TRUE(presenter->TakeInputSnapshot(snapshot));
}

TEST_F(VrTrackingTest, DisabledOrWithoutSwapChainNothingIsTouched) {
    EXPECT_FALSE(presenter->RenderFrame(nullptr, FrameRequest{}));
    GetSettings().Enabled = false;
    int dummy = 0;
    EXPECT_FALSE(presenter->RenderFrame(reinterpret_cast<IDXGISwapChain*>(&dummy), FrameRequest{}));
    EXPECT_EQ(vr.loadCalls, 0);
}

} // namespace
} // namespace corvane
