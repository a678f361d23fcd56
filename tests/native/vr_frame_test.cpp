// The frame driver with the presenter behind it: VR failures reach the log once per change
// and never stop the frame, and controller input travels from the runtime to the mapping.
#include "test_support.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace corvane
