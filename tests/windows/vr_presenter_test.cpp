// The presenter against the stand-in OpenVR runtime, through the real client library
// loading and vtable slot calls: connection, optics, faults, throttling, tracking and the
// road from controller buttons to XInputGetState.
#include "program/frame_driver.h"
#include "input/gamepad_mapping.h"
#include "stereo/stereo_state.h"
#include "vr_runtime_fixture.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <xinput.h>

#include <cmath>

namespace corvane::vr_test {
namespace {

const char* const kDefaultProjectionLine =
    "OpenVR projection: target=2016x2240; left raw=(-1.390000, 1.250000, -1.470000, 1.470000) u0=0.526515; "
    "right raw=(-1.250000, 1.390000, -1.470000, 1.470000) u0=0.473485; common tan=(1.390000, 1.470000)";

using PresenterTest = VrRuntimeTest;

TEST_F(PresenterTest, CleanConnectionReadsTheOpticsThroughTheRightSlots) {
    RunScenario("");
    ASSERT_TRUE(Connect()) << presenter->LastError();
    EXPECT_EQ(Messages(), std::vector<std::string>{kDefaultProjectionLine});
    EXPECT_EQ(RuntimeCalls("system.SetSDKVersion frame=0 version=2.15.6 -> 0"), 1u);
    EXPECT_EQ(RuntimeCalls("compositor.SetTrackingSpace frame=0 origin=1"), 1u);
    EXPECT_TRUE(NoMisdirectedCalls());

    // The eye-to-head transform comes back through the explicit result pointer.
    float offset = 0.0f;
    ASSERT_TRUE(presenter->GetEyeOffset(0, offset));
    EXPECT_FLOAT_EQ(offset, -0.0315f);
    ASSERT_TRUE(presenter->GetEyeOffset(1, offset));
    EXPECT_FLOAT_EQ(offset, 0.0315f);
    ProjectionInfo info;
    ASSERT_TRUE(presenter->GetProjectionInfo(info));
    EXPECT_FLOAT_EQ(info.commonTanX, 1.39f);
    EXPECT_FLOAT_EQ(info.commonTanY, 1.47f);
    EXPECT_NEAR(presenter->u0[0], 0.5265f, 1e-4f);
    EXPECT_NEAR(presenter->u0[1], 0.4735f, 1e-4f);
}

TEST_F(PresenterTest, EachRuntimeFaultGivesItsTextAndLeavesNoSessionOpen) {
    struct Case {
        const char* scenario;
        std::string text;
    };
    const Case cases[] = {
        {"runtime_installed no", "No OpenVR runtime is installed"},
        {"init_error 108", "OpenVR initialization failed: " + Describe(108)},
        {"init_error 301\nerror_text none", "OpenVR initialization failed: unknown error"},
        {"interface_missing IVRSystem_026", "OpenVR initialization failed: " + Describe(105)},
        {"interface_null IVRSystem_026", "OpenVR initialization failed: " + Describe(105)},
        {"sdk_version_error 168", "OpenVR initialization failed: " + Describe(168)},
        {"interface_missing IVRCompositor_029", "OpenVR compositor interface is unavailable"},
        {"interface_null IVRCompositor_029", "OpenVR compositor interface is unavailable"},
        {"eye_to_head left nan", "OpenVR supplied invalid eye-to-head transforms"},
        {"eye_to_head left -0.0003\neye_to_head right 0.0003",
         "OpenVR supplied invalid eye-to-head transforms"},
        {"projection left 0 1.25 -1.47 1.47", "OpenVR supplied invalid raw eye projections"},
        {"projection right -1.25 1.39 -1.47 nan", "OpenVR supplied invalid raw eye projections"},
        {"projection left -1.39 1.25 1.47 -1.47", "OpenVR supplied invalid raw eye projections"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        presenter = std::make_unique<VrPresenter>();
        RunScenario(c.scenario);
        EXPECT_FALSE(Connect());
        EXPECT_EQ(presenter->LastError(), c.text);
        EXPECT_EQ(RuntimeCalls("VR_ShutdownInternal"), RuntimeCalls("VR_InitInternal2"))
            << "every init is shut down again";
        EXPECT_TRUE(NoMisdirectedCalls());
        float offset = 1.0f;
        EXPECT_FALSE(presenter->GetEyeOffset(0, offset));
        EXPECT_EQ(offset, 0.0f);
        ProjectionInfo info;
        EXPECT_FALSE(presenter->GetProjectionInfo(info));
    }
    EXPECT_TRUE(Messages().empty()) << "the presenter leaves reporting to the frame driver";
}

TEST_F(PresenterTest, ASecondAttemptWithinTenSecondsDoesNothing) {
    RunScenario("init_error 108 1");
    EXPECT_FALSE(Connect());
    const std::string first = presenter->LastError();
    AdvanceSeconds(9);
    EXPECT_FALSE(Connect());
    EXPECT_EQ(RuntimeCalls("VR_InitInternal2"), 1u);
    EXPECT_EQ(RuntimeCalls("VR_IsRuntimeInstalled"), 1u);
    EXPECT_EQ(presenter->LastError(), first);
    AdvanceSeconds(1);
    EXPECT_TRUE(Connect());
    EXPECT_EQ(presenter->LastError(), "");
}

TEST_F(PresenterTest, ZeroRecommendedWidthGivesAOneByOneTarget) {
    RunScenario("render_size 0 1080");
    ASSERT_TRUE(Connect());
    EXPECT_EQ(presenter->renderTargetWidth, 1u);
    EXPECT_EQ(presenter->renderTargetHeight, 1u);
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].rfind("OpenVR projection: target=1x1;", 0), 0u) << Messages()[0];
}

TEST_F(PresenterTest, DisconnectShutsDownAndForgetsTheOptics) {
    RunScenario("");
    ASSERT_TRUE(Connect());
    Disconnect();
    EXPECT_EQ(RuntimeCalls("VR_ShutdownInternal"), 1u);
    ProjectionInfo info;
    info.commonTanX = 3.0f;
    EXPECT_FALSE(presenter->GetProjectionInfo(info));
    EXPECT_EQ(info.commonTanX, 0.0f);
    EXPECT_EQ(info.rightEyeRaw[1], 0.0f);
    float offset = 1.0f;
    EXPECT_FALSE(presenter->GetEyeOffset(1, offset));
    EXPECT_EQ(offset, 0.0f);
}

TEST_F(PresenterTest, FailingWaitGetPosesDisconnectsAndRetriesAfterTenSeconds) {
    RunScenario("wait_error 101 2");
    EXPECT_TRUE(Frame()) << presenter->LastError();
    EXPECT_FALSE(Frame());
    EXPECT_EQ(presenter->LastError(), "OpenVR WaitGetPoses failed (101)");
    EXPECT_EQ(RuntimeCalls("VR_ShutdownInternal"), 1u);

    AdvanceSeconds(9);
    EXPECT_FALSE(Frame());
    EXPECT_EQ(RuntimeCalls("VR_InitInternal2"), 1u);
    EXPECT_EQ(RuntimeCalls("compositor.WaitGetPoses"), 2u);

    AdvanceSeconds(1);
    EXPECT_TRUE(Frame());
    EXPECT_EQ(RuntimeCalls("VR_InitInternal2"), 2u);
    EXPECT_EQ(presenter->LastError(), "");
    EXPECT_TRUE(NoMisdirectedCalls());
}

TEST_F(PresenterTest, HeadPoseIsRelativeToTheYawedReferenceOfItsEpoch) {
    // Frame 1 faces -x; frame 2 steps 10 cm that way; frame 3 loses tracking; frame 4 is back.
    RunScenario("head key 1 0 1.6 0 90 0 0\n"
                "head key 2 -0.1 1.6 0 90 0 0\n"
                "head key 4 0.5 1.5 0 0 0 0\n"
                "head lost 3\n");
    Frame();
    HeadPoseSample sample;
    ASSERT_TRUE(presenter->GetHeadPoseSample(sample));
    const uint64_t epoch = sample.referenceEpoch;

    Frame();
    ASSERT_TRUE(presenter->GetHeadPoseSample(sample));
    EXPECT_EQ(sample.referenceEpoch, epoch);
    EXPECT_NEAR(sample.relativePosition[0], 0.0f, 1e-4f);
    EXPECT_NEAR(sample.relativePosition[2], -0.1f, 1e-4f) << "a step forward";
    EXPECT_NEAR(sample.referenceOrientation[1], std::sqrt(0.5f), 1e-4f);

    Frame();
    EXPECT_FALSE(presenter->GetHeadPoseSample(sample));
    InputSnapshot snapshot;
    ASSERT_TRUE(presenter->TakeInputSnapshot(snapshot)) << "the controllers are still there";
    EXPECT_FALSE(snapshot.head.valid);

    Frame();
    ASSERT_TRUE(presenter->GetHeadPoseSample(sample));
    EXPECT_GT(sample.referenceEpoch, epoch);
    EXPECT_NEAR(sample.referencePosition[0], 0.5f, 1e-4f);
    EXPECT_NEAR(sample.relativePosition[0], 0.0f, 1e-6f);
}

TEST_F(PresenterTest, ControllersAreFoundByRoleAndByOrder) {
    struct Case {
        const char* scenario;
        uint32_t left;
        uint32_t right;
    };
    const Case cases[] = {
        {"", 1, 2},
        {"controller 3 role none", 1, 2},                                           // a third one is not used
        {"controllers none\ncontroller 6 role none\ncontroller 4 role none", 4, 6}, // no roles: index order
        {"controllers none\ncontroller 5 role right", kNoTrackedDevice, 5},
        {"controller 1 absent", kNoTrackedDevice, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        presenter = std::make_unique<VrPresenter>();
        RunScenario(c.scenario);
        Frame();
        InputSnapshot snapshot;
        ASSERT_TRUE(presenter->TakeInputSnapshot(snapshot));
        EXPECT_EQ(snapshot.left.deviceIndex, c.left);
        EXPECT_EQ(snapshot.right.deviceIndex, c.right);
        EXPECT_EQ(snapshot.left.connected, c.left != kNoTrackedDevice ? 1 : 0);
        EXPECT_TRUE(NoMisdirectedCalls());
    }
}

TEST_F(PresenterTest, AxisTypesPickStickAndTrigger) {
    RunScenario("controller 1 axis 0 trackpad\n"
                "controller 1 axis 1 joystick\n"
                "controller 1 axis 2 trigger\n"
                "controller 1 axis 3 trigger\n"
                "controller 1 value 1.. 0 0.25 -1.5\n"
                "controller 1 value 1.. 1 0.9 0.9\n"
                "controller 1 value 1.. 2 0.2 0\n"
                "controller 1 value 1.. 3 0.7 0\n"
                "controller 1 grip 1..\n");
    Frame();
    InputSnapshot snapshot;
    ASSERT_TRUE(presenter->TakeInputSnapshot(snapshot));
    EXPECT_FLOAT_EQ(snapshot.left.stickX, 0.25f);
    EXPECT_FLOAT_EQ(snapshot.left.stickY, -1.0f);
    EXPECT_FLOAT_EQ(snapshot.left.trigger, 0.7f);
    EXPECT_FLOAT_EQ(snapshot.left.grip, 1.0f);
    EXPECT_EQ(snapshot.left.poseValid, 1);
    EXPECT_NEAR(snapshot.left.position[0], -0.2f, 1e-5f);
    EXPECT_NEAR(snapshot.left.position[2], -0.35f, 1e-5f);
    EXPECT_EQ(RuntimeCalls("system.GetControllerState frame=1 device=1 size=64 -> 1"), 1u);
}

TEST_F(PresenterTest, ControllerInputReachesXInputUserZero) {
    ResetPublishedInput();
    XInputEnable(TRUE);
    // Right: A pressed, trigger pulled. Left: stick pushed forward.
    RunScenario("controller 2 pressed 1.. 0x80\n"
                "controller 2 trigger 1.. 1.0\n"
                "controller 1 stick 1.. 0 1\n");
    Frame();
    InputSnapshot snapshot;
    ASSERT_TRUE(presenter->TakeInputSnapshot(snapshot));
    PublishFrameInput(true, &snapshot);

    XINPUT_STATE state{};
    ASSERT_EQ(XInputGetState(0, &state), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_NE(state.Gamepad.wButtons & XINPUT_GAMEPAD_A, 0);
    EXPECT_EQ(state.Gamepad.bRightTrigger, 255);
    EXPECT_EQ(state.Gamepad.sThumbLY, 32767);
    EXPECT_EQ(state.Gamepad.sThumbLX, 0);
    ResetPublishedInput();
}

class FrameDriverWithRuntimeTest : public VrRuntimeTest {
protected:
    void SetUp() override {
        VrRuntimeTest::SetUp();
        VrPresenter::Instance().RestoreInitialState();
        ResetFrameDriver();
        ResetPublishedInput();
    }
    void TearDown() override {
        VrPresenter::Instance().RestoreInitialState();
        VrRuntimeTest::TearDown();
    }
    void Frames(int count) {
        for (int i = 0; i < count; ++i) {
            RunFrame(Game().SwapChain());
            VrPresenter::Instance().AfterPresent();
        }
    }
    static std::vector<std::string> VrMessages() {
        std::vector<std::string> messages;
        for (const std::string& message : Messages()) {
            if (message.rfind("VR renderer", 0) == 0 || message.rfind("OpenVR", 0) == 0) {
                messages.push_back(message);
            }
        }
        return messages;
    }
};

TEST_F(FrameDriverWithRuntimeTest, VrErrorsAreLoggedOncePerChangeAndTheFramesGoOn) {
    // The connection works, poses fail on frame 3; the reconnection 10 s later fails once.
    RunScenario("wait_error 101 3\ninit_error 108 2\n");
    Frames(5);
    AdvanceSeconds(10);
    Frames(3);
    AdvanceSeconds(10);
    Frames(2);

    const std::vector<std::string> expected = {
        kDefaultProjectionLine,
        "OpenVR eye submission is active",
        "VR renderer unavailable: OpenVR WaitGetPoses failed (101)",
        "VR renderer unavailable: OpenVR initialization failed: " + Describe(108),
        kDefaultProjectionLine,
        "OpenVR eye submission is active",
    };
    EXPECT_EQ(VrMessages(), expected);
    // Frame 1 waits for its own poses and each Present for the next frame's: the third wait,
    // after frame 2, fails. Reconnected, the first frame waits for its own again.
    EXPECT_EQ(Export<uint32_t (*)()>("VRSim_FrameCount")(), 6u) << "waits 1-3, then 3 after reconnecting";
    EXPECT_EQ(RuntimeCalls("compositor.PostPresentHandoff"), 4u) << "after each submitted frame only";
    EXPECT_EQ(ReadInput().state.valid, 1u) << "submitted frames publish the controllers";
}

} // namespace
} // namespace corvane::vr_test
