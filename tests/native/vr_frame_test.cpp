// The frame driver with the presenter behind it: VR failures reach the log once per change
// and never stop the frame, and controller input travels from the runtime to the mapping.
#include "allocation_counter.h"
#include "test_support.h"
#include "vr/eye_bounds.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace corvane {
namespace {

using testing_support::MessageOf;

class VrFrameTest : public testing_support::ProcessStateTest {
protected:
    // Any non-null swap chain: nothing in this build reads it.
    IDXGISwapChain* SwapChain() { return reinterpret_cast<IDXGISwapChain*>(&swapChainStandIn); }
    void Frames(int count) {
        for (int i = 0; i < count; ++i) {
            RunFrame(SwapChain());
        }
    }
    static void AdvanceSeconds(int64_t seconds) { fake::Os().steadyNs += seconds * 1'000'000'000; }
    static std::vector<std::string> VrMessages() {
        std::vector<std::string> messages;
        for (const std::string& line : fake::LogLines()) {
            const std::string message = MessageOf(line);
            if (message.rfind("VR renderer", 0) == 0 || message.rfind("OpenVR", 0) == 0) {
                messages.push_back(message);
            }
        }
        return messages;
    }

    int swapChainStandIn = 0;
    fake::FakeOpenVr& vr = fake::OpenVr();
};

TEST_F(VrFrameTest, EachVrFailureIsLoggedOnceWhileItLasts) {
    vr.runtimeInstalled = false;
    Frames(3);
    AdvanceSeconds(10);
    Frames(2);
    vr.runtimeInstalled = true;
    vr.initError = 108;
    AdvanceSeconds(10);
    Frames(2);
    vr.initError = 0;
    vr.waitGetPosesResult = 101;
    AdvanceSeconds(10);
    Frames(3);

    const std::vector<std::string> expected = {
        "VR renderer unavailable: No OpenVR runtime is installed",
        "VR renderer unavailable: OpenVR initialization failed: " + fake::DescribeInitError(108),
        "OpenVR projection: target=1852x2056; left raw=(-1.390000, 1.250000, -1.470000, 1.470000) "
        "u0=0.526515; "
        "right raw=(-1.250000, 1.390000, -1.470000, 1.470000) u0=0.473485; common tan=(1.390000, 1.470000)",
        "VR renderer unavailable: OpenVR WaitGetPoses failed (101)",
    };
    EXPECT_EQ(VrMessages(), expected);
    EXPECT_EQ(vr.initCalls, 2) << "the failed WaitGetPoses holds the next attempt back for 10 seconds";
    EXPECT_EQ(GetStereoState().currentEye, FirstEye()) << "unsubmitted frames stay on the first eye";
}

TEST_F(VrFrameTest, DisabledFramesDoNotTouchOpenVr) {
    fake::SetIni(L"VR", L"Enabled", L"0");
    Frames(2);
    EXPECT_EQ(vr.loadCalls, 0);
    EXPECT_TRUE(VrMessages().empty());
}

TEST_F(VrFrameTest, ControllerStateTravelsFromTheRuntimeToTheGamepad) {
    fake::PlaceHeadset({0.0f, 1.6f, 0.0f}, Quaternion{});
    fake::PlaceController(1, TrackedControllerRole_LeftHand, true);
    fake::PlaceController(2, TrackedControllerRole_RightHand, true);
    vr.devices[1].axisTypes[0] = k_eControllerAxis_Joystick;
    vr.devices[1].state.rAxis[0] = {0.0f, 1.0f};
    vr.devices[2].axisTypes[1] = k_eControllerAxis_Trigger;
    vr.devices[2].state.rAxis[1] = {1.0f, 0.0f};
    vr.devices[2].state.ulButtonPressed = uint64_t{1} << 7; // A
    Frames(1);

    // Submission is not built yet, so the frame driver publishes nothing; the presenter's
    // snapshot is handed on as a submitted frame would hand it.
    InputSnapshot snapshot;
    ASSERT_TRUE(VrPresenter::Instance().TakeInputSnapshot(snapshot));
    PublishFrameInput(true, &snapshot);
    GamepadState gamepad;
    MergeIntoGamepad(ReadInput(), false, gamepad);
    EXPECT_EQ(gamepad.sThumbLY, 32767);
    EXPECT_EQ(gamepad.bRightTrigger, 255);
    EXPECT_NE(gamepad.wButtons & 0x1000, 0) << "A";
}

// A frame while VR is unavailable must not allocate: the game runs such frames for as long
// as the headset is off.
TEST_F(VrFrameTest, FramesWhileVrIsUnavailableAllocateNothingAfterTheFirst) {
    struct Case {
        const char* name;
        std::function<void(fake::FakeOpenVr&)> fault;
        const char* message;
    };
    const Case cases[] = {
        {"no runtime", [](fake::FakeOpenVr& v) { v.runtimeInstalled = false; },
         "VR renderer unavailable: No OpenVR runtime is installed"},
        {"no client library", [](fake::FakeOpenVr& v) { v.loadFailure = "openvr_api.dll is missing"; },
         "VR renderer unavailable: openvr_api.dll is missing"},
        {"WaitGetPoses failing", [](fake::FakeOpenVr& v) { v.waitGetPosesResult = 101; },
         "VR renderer unavailable: OpenVR WaitGetPoses failed (101)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::ResetProcessState();
        c.fault(vr);
        Frames(1); // startup, the failure and its log line
        const uint64_t before = testing_support::AllocationCount();
        Frames(100);
        EXPECT_EQ(testing_support::AllocationCount() - before, 0u);
        const std::vector<std::string> messages = VrMessages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(), c.message) << "said once, on the first frame";
        EXPECT_EQ(
            std::count_if(messages.begin(), messages.end(),
                          [](const std::string& m) { return m.rfind("VR renderer unavailable", 0) == 0; }),
            1);
    }
}

// Every live stereo value, each distinct, must reach the bounds of the eye it belongs to.
TEST_F(VrFrameTest, EveryLiveStereoValueReachesTheBoundsOfItsEye) {
    const std::pair<const wchar_t*, const wchar_t*> keys[] = {
        {L"ConvergenceOffset", L"-0.08"},
        {L"FrameScale", L"0.61"},
        {L"FrameHorizontalOffset", L"0.011"},
        {L"FrameVerticalOffset", L"-0.013"},
        {L"RightFrameScale", L"0.67"},
        {L"RightFrameHorizontalOffset", L"0.017"},
        {L"RightFrameVerticalOffset", L"-0.019"},
        {L"RightFrameRollDegrees", L"1.3"},
        {L"HudScale", L"0.7"},
        {L"HudVerticalOffset", L"0.023"},
    };
    for (const auto& [key, text] : keys) {
        fake::SetIni(L"VR", key, text);
    }
    // The detours displaced the camera and replaced the projection in this frame and the one
    // before it: the frame is pair-valid and was rendered with the common projection.
    StereoState& stereo = GetStereoState();
    stereo.projectionHookSeenInPair = true;
    stereo.projectionHookSeen.store(true);
    stereo.eyeCameraApplied.store(true);
    Frames(1);

    EXPECT_FLOAT_EQ(stereo.hudScale, 0.7f);
    EXPECT_FLOAT_EQ(stereo.hudVerticalOffset, 0.023f);
    ASSERT_EQ(vr.submissions.size(), 2u) << VrPresenter::Instance().LastError();
    const PictureParams picture{0.61f, 0.011f, -0.013f, 0.67f, 0.017f, -0.019f, 1.3f};
    const RawProjection raw[2] = {{-1.39f, 1.25f, -1.47f, 1.47f}, {-1.25f, 1.39f, -1.47f, 1.47f}};
    for (unsigned eye = 0; eye < 2; ++eye) {
        SCOPED_TRACE(eye);
        EyeBoundsInput input;
        input.eye = eye;
        input.convergence = -0.08f - -0.095f;
        input.source = PictureSource{PictureProjection::Common, 0};
        input.commonTanX = 1.39f;
        input.commonTanY = 1.47f;
        input.raw = raw[eye];
        input.picture = picture;
        const VRTextureBounds_t expected = ComputeEyeBounds(input);
        const VRTextureBounds_t& bounds = vr.submissions[eye].bounds;
        EXPECT_NEAR(bounds.uMin, expected.uMin, 1e-6f);
        EXPECT_NEAR(bounds.vMin, expected.vMin, 1e-6f);
        EXPECT_NEAR(bounds.uMax, expected.uMax, 1e-6f);
        EXPECT_NEAR(bounds.vMax, expected.vMax, 1e-6f);
    }
    size_t boundsLines = 0;
    for (const std::string& line : fake::LogLines()) {
        const std::string message = MessageOf(line);
        if (message.rfind("Stereo bounds: ", 0) == 0) {
            ++boundsLines;
            EXPECT_EQ(message.substr(0, message.find("; L=")),
                      "Stereo bounds: left scale/offsets 0.610/+0.011/-0.013, right scale/offsets/roll "
                      "0.670/+0.017/-0.019/+1.30, requested convergence -0.0800, applied 0.0150; "
                      "projection=OpenVR common");
        }
    }
    EXPECT_EQ(boundsLines, 1u);
}

// A frame in which either eye's Submit failed was not submitted: the connection drops and is
// retried on the throttle, and the stereo cycle does not advance with one eye missing.
TEST_F(VrFrameTest, AFailedSubmitOfEitherEyeIsAFailedFrame) {
    struct Case {
        int failingEye;
        const char* message;
    };
    const Case cases[] = {
        {0, "VR renderer unavailable: OpenVR Submit failed (left 105, right 0)"},
        {1, "VR renderer unavailable: OpenVR Submit failed (left 0, right 105)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failingEye);
        testing_support::ResetProcessState();
        // A pair-valid first-eye frame, which would hand over to the second eye if submitted.
        StereoState& stereo = GetStereoState();
        stereo.projectionHookSeenInPair = true;
        stereo.projectionHookSeen.store(true);
        stereo.eyeCameraApplied.store(true);
        vr.submitResult[c.failingEye] = 105;
        Frames(1);

        EXPECT_EQ(vr.submissions.size(), 2u) << "both eyes are always submitted";
        EXPECT_EQ(VrMessages().back(), c.message);
        EXPECT_EQ(vr.shutdownCalls, 1) << "the connection was dropped";
        ProjectionInfo info;
        EXPECT_FALSE(VrPresenter::Instance().GetProjectionInfo(info));
        EXPECT_EQ(stereo.currentEye, FirstEye()) << "the pair starts again with the first eye";
        EXPECT_FALSE(stereo.projectionHookSeenInPair);
        EXPECT_EQ(ReadInput().state.valid, 0u);

        vr.submitResult[c.failingEye] = VRCompositorError_None;
        Frames(1);
        EXPECT_EQ(vr.initCalls, 1) << "no new attempt within 10 seconds";
        AdvanceSeconds(10);
        Frames(1);
        EXPECT_EQ(vr.initCalls, 2);
        EXPECT_EQ(vr.submissions.size(), 4u);
        EXPECT_EQ(VrMessages().back(), "OpenVR eye submission is active");
    }
}

} // namespace
} // namespace corvane
