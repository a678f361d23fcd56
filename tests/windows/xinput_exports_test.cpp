// The XInput exports linked into this program, with motion-controller input published the
// way the frame driver publishes it and Wine's xinput1_3 (no pads) as the system library.
#include "input/gamepad_mapping.h"
#include "input/xinput_exports_win32.h"
#include "platform/win32/os_win32.h"
#include "debug_output_capture.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <xinput.h>

namespace corvane {
namespace {

constexpr DWORD kSuccess = ERROR_SUCCESS;
constexpr DWORD kNotConnected = ERROR_DEVICE_NOT_CONNECTED;
constexpr DWORD kBadArguments = ERROR_BAD_ARGUMENTS;

InputState LiveInput() {
    InputState state;
    state.valid = 1;
    state.left.active = 1;
    state.left.buttons = kHandButtonA | kHandButtonSystem;
    state.left.stickX = -0.5f;
    state.right.active = 1;
    state.right.trigger = 0.5f;
    state.right.grip = 1.0f;
    return state;
}

class XInputExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        RecordOwnModule(GetModuleHandleW(nullptr));
        XInputEnable(TRUE);
        ResetPublishedInput();
    }
    void TearDown() override {
        XInputEnable(TRUE);
        ResetPublishedInput();
    }
};

TEST_F(XInputExportsTest, VrInputMakesUserZeroAConnectedGamepad) {
    XINPUT_STATE state{};
    ASSERT_EQ(kNotConnected, XInputGetState(0, &state)); // Wine reports no pad here

    PublishInput(LiveInput());
    ASSERT_EQ(kSuccess, XInputGetState(0, &state));
    EXPECT_EQ(XINPUT_GAMEPAD_X | XINPUT_GAMEPAD_RIGHT_SHOULDER, state.Gamepad.wButtons);
    EXPECT_EQ(-16384, state.Gamepad.sThumbLX);
    EXPECT_EQ(128, state.Gamepad.bRightTrigger);
    EXPECT_EQ(0, state.Gamepad.bLeftTrigger);
    EXPECT_EQ(2u << 13, state.dwPacketNumber); // change counter 2, rotated right by 19

    for (DWORD user = 1; user < 4; ++user) {
        EXPECT_EQ(kNotConnected, XInputGetState(user, &state)) << user;
    }
}

TEST_F(XInputExportsTest, GuideButtonOnlyThroughTheExtendedQuery) {
    PublishInput(LiveInput());
    XINPUT_STATE state{};
    ASSERT_EQ(kSuccess, XInputGetState(0, &state));
    EXPECT_EQ(0, state.Gamepad.wButtons & 0x0400);
    ASSERT_EQ(kSuccess, XInputGetStateEx(0, &state));
    EXPECT_EQ(0x0400, state.Gamepad.wButtons & 0x0400);
}

TEST_F(XInputExportsTest, DisabledXInputIgnoresVrInput) {
    PublishInput(LiveInput());
    XInputEnable(FALSE);
    XINPUT_STATE state{};
    EXPECT_EQ(kNotConnected, XInputGetState(0, &state));
    XINPUT_VIBRATION vibration{};
    EXPECT_EQ(kNotConnected, XInputSetState(0, &vibration));
    XInputEnable(TRUE);
    EXPECT_EQ(kSuccess, XInputGetState(0, &state));
}

TEST_F(XInputExportsTest, CapabilitiesBatteryAndVibrationFallBackWhileVrIsLive) {
    XINPUT_CAPABILITIES capabilities{};
    XINPUT_BATTERY_INFORMATION battery{};
    XINPUT_VIBRATION vibration{};
    EXPECT_EQ(kNotConnected, XInputGetCapabilities(0, 0, &capabilities));
    EXPECT_EQ(kNotConnected, XInputGetBatteryInformation(0, BATTERY_DEVTYPE_GAMEPAD, &battery));
    EXPECT_EQ(kNotConnected, XInputSetState(0, &vibration));

    PublishInput(LiveInput());
    ASSERT_EQ(kSuccess, XInputGetCapabilities(0, 0, &capabilities));
    EXPECT_EQ(XINPUT_DEVTYPE_GAMEPAD, capabilities.Type);
    EXPECT_EQ(XINPUT_DEVSUBTYPE_GAMEPAD, capabilities.SubType);
    EXPECT_EQ(0, capabilities.Flags);
    EXPECT_EQ(0xF3FF, capabilities.Gamepad.wButtons);
    EXPECT_EQ(255, capabilities.Gamepad.bLeftTrigger);
    EXPECT_EQ(32767, capabilities.Gamepad.sThumbRY);
    EXPECT_EQ(0, capabilities.Vibration.wLeftMotorSpeed);

    ASSERT_EQ(kSuccess, XInputGetBatteryInformation(0, BATTERY_DEVTYPE_HEADSET, &battery));
    EXPECT_EQ(BATTERY_TYPE_WIRED, battery.BatteryType);
    EXPECT_EQ(BATTERY_LEVEL_FULL, battery.BatteryLevel);
    EXPECT_EQ(kSuccess, XInputSetState(0, &vibration));

    EXPECT_EQ(kNotConnected, XInputGetCapabilities(2, 0, &capabilities));
    EXPECT_EQ(kNotConnected, XInputGetBatteryInformation(2, BATTERY_DEVTYPE_GAMEPAD, &battery));
}

TEST_F(XInputExportsTest, NeutralInputLeavesTheSystemAnswer) {
    PublishInput(LiveInput());
    PublishNeutralInput();
    XINPUT_STATE state{};
    state.dwPacketNumber = 77;
    EXPECT_EQ(kNotConnected, XInputGetState(0, &state));
    EXPECT_EQ(77u, state.dwPacketNumber); // untouched on failure
}

// Run with Wine's xinput1_3 switched off, so the system library cannot be loaded.
TEST(NoSystemLibrary, ExportsStillAnswerAndVrKeepsWorking) {
    RecordOwnModule(GetModuleHandleW(nullptr));
    ResetPublishedInput();
    testing_support::DebugOutputCapture capture;

    // A null record is refused before the system library is even asked for.
    EXPECT_EQ(kBadArguments, XInputGetState(0, nullptr));
    EXPECT_EQ("", capture.Text());

    XINPUT_KEYSTROKE keystroke{};
    EXPECT_EQ(DWORD{ERROR_EMPTY}, XInputGetKeystroke(0, 0, &keystroke));
    EXPECT_EQ("[CorvaneVR/XInput] Could not load System32\\xinput1_3.dll.\n", capture.Text());
    XINPUT_VIBRATION vibration{};
    EXPECT_EQ(kNotConnected, XInputSetState(0, &vibration));
    XINPUT_STATE state{};
    EXPECT_EQ(kNotConnected, XInputGetState(0, &state));
    EXPECT_EQ(kNotConnected, XInputGetStateEx(0, &state));
    GUID render{};
    GUID captureGuid{};
    EXPECT_EQ(kNotConnected, XInputGetDSoundAudioDeviceGuids(0, &render, &captureGuid));
    EXPECT_EQ(kNotConnected, XInputWaitForGuideButton(0, 0, nullptr));
    EXPECT_EQ(kNotConnected, XInputCancelGuideButtonWait(0));
    EXPECT_EQ(kNotConnected, XInputPowerOffController(0));
    XInputEnable(TRUE); // nothing to forward to; must not crash

    PublishInput(LiveInput());
    EXPECT_EQ(kSuccess, XInputSetState(0, &vibration));
    EXPECT_EQ(kNotConnected, XInputSetState(1, &vibration));
    ASSERT_EQ(kSuccess, XInputGetStateEx(0, &state));
    EXPECT_EQ(XINPUT_GAMEPAD_X | XINPUT_GAMEPAD_RIGHT_SHOULDER | 0x0400, state.Gamepad.wButtons);
    EXPECT_EQ(kNotConnected, XInputGetState(1, &state));
    // The load is tried once per process only.
    EXPECT_EQ("[CorvaneVR/XInput] Could not load System32\\xinput1_3.dll.\n", capture.Text());
    ResetPublishedInput();
}

} // namespace
} // namespace corvane
