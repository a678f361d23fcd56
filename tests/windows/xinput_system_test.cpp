// The XInput exports linked into this program in front of a stand-in system library (built by
// the tests with a scripted pad, in three export sets), of a load that throws, or of a system
// directory the loader cannot use. The system
// library is loaded once per process, so each suite runs as a program of its own (see
// CMakeLists.txt) and points the loader's system directory at its own folder first.
#include "input/gamepad_mapping.h"
#include "input/hold_commands.h"
#include "input/snap_turn.h"
#include "input/system_xinput_win32.h"
#include "input/xinput_exports_win32.h"
#include "platform/win32/os_win32.h"
#include "debug_output_capture.h"
#include "test_files.h"
#include "xinput_standin.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <xinput.h>

#include <algorithm>
#include <functional>
#include <new>
#include <numeric>
#include <string>

namespace corvane {
namespace {

constexpr DWORD kSuccess = ERROR_SUCCESS;
constexpr DWORD kNotConnected = ERROR_DEVICE_NOT_CONNECTED;
constexpr WORD kGuide = 0x0400;

// ---- The loader's system directory ----

std::wstring g_systemDirectory;
int g_directoryRequests = 0;
// Set when a second suite of this program tried to choose a library in the same process.
bool g_secondChoice = false;

UINT WINAPI StandInDirectory(LPWSTR buffer, UINT capacity) {
    ++g_directoryRequests;
    if (g_systemDirectory.size() + 1 > capacity) {
        return static_cast<UINT>(g_systemDirectory.size() + 1);
    }
    g_systemDirectory.copy(buffer, g_systemDirectory.size());
    buffer[g_systemDirectory.size()] = L'\0';
    return static_cast<UINT>(g_systemDirectory.size());
}

UINT WINAPI ThrowingDirectory(LPWSTR, UINT) {
    ++g_directoryRequests;
    throw std::bad_alloc();
}

// ---- VR input as the frame driver publishes it ----

InputState VrInput() {
    InputState state;
    state.valid = 1;
    state.left.active = 1;
    state.left.buttons = kHandButtonA | kHandButtonSystem; // X, and guide through ordinal 100
    state.left.stickX = -0.5f;
    state.left.trigger = 0.5f;
    state.right.active = 1;
    state.right.buttons = kHandButtonMenu; // B
    state.right.stickX = -0.5f;
    state.right.trigger = 0.5f;
    state.right.grip = 1.0f; // right shoulder
    return state;
}

// A connected pad with every field set, guide button included.
XInputStandInPad RealPad() {
    XInputStandInPad pad;
    pad.result = kSuccess;
    pad.state.dwPacketNumber = 0x11;
    pad.state.Gamepad.wButtons = XINPUT_GAMEPAD_A | XINPUT_GAMEPAD_DPAD_UP | kGuide;
    pad.state.Gamepad.bLeftTrigger = 200;
    pad.state.Gamepad.bRightTrigger = 10;
    pad.state.Gamepad.sThumbLX = 1000;
    pad.state.Gamepad.sThumbLY = -300;
    pad.state.Gamepad.sThumbRX = -20000;
    pad.state.Gamepad.sThumbRY = 7;
    return pad;
}

void ExpectSameState(const XINPUT_STATE& expected, const XINPUT_STATE& actual) {
    EXPECT_EQ(expected.dwPacketNumber, actual.dwPacketNumber);
    EXPECT_EQ(expected.Gamepad.wButtons, actual.Gamepad.wButtons);
    EXPECT_EQ(expected.Gamepad.bLeftTrigger, actual.Gamepad.bLeftTrigger);
    EXPECT_EQ(expected.Gamepad.bRightTrigger, actual.Gamepad.bRightTrigger);
    EXPECT_EQ(expected.Gamepad.sThumbLX, actual.Gamepad.sThumbLX);
    EXPECT_EQ(expected.Gamepad.sThumbLY, actual.Gamepad.sThumbLY);
    EXPECT_EQ(expected.Gamepad.sThumbRX, actual.Gamepad.sThumbRX);
    EXPECT_EQ(expected.Gamepad.sThumbRY, actual.Gamepad.sThumbRY);
}

XINPUT_STATE WithoutGuide(XINPUT_STATE state) {
    state.Gamepad.wButtons &= static_cast<WORD>(~kGuide);
    return state;
}

// The exports with the stand-in library of one export set in front of them.
class StandInTest : public ::testing::Test {
protected:
    static void UseStandIn(const wchar_t* folder) {
        RecordOwnModule(GetModuleHandleW(nullptr));
        g_secondChoice = !g_systemDirectory.empty();
        g_systemDirectory = testing_support::Beside(folder);
        SetSystemDirectorySourceForTests(&StandInDirectory);
        // The same module the exports load later (same full path), so the test can script it.
        library = LoadLibraryW((g_systemDirectory + L"\\xinput1_3.dll").c_str());
        setPad = StandInExport<XInputStandInSetPadFn>(200);
        record = StandInExport<XInputStandInRecordFn>(201);
        reset = StandInExport<XInputStandInResetFn>(202);
    }

    template <typename Fn> static Fn StandInExport(WORD ordinal) {
        return reinterpret_cast<Fn>(
            reinterpret_cast<void*>(GetProcAddress(library, MAKEINTRESOURCEA(ordinal))));
    }

    void SetUp() override {
        ASSERT_FALSE(g_secondChoice)
            << "the system library is loaded once per process: run one suite at a time";
        ASSERT_NE(nullptr, library) << "stand-in library not found";
        ASSERT_NE(nullptr, setPad);
        ASSERT_NE(nullptr, record);
        ASSERT_NE(nullptr, reset);
        // No export is called here: the first one loads the library, and a test may want to
        // watch that happen.
        ResetPublishedInput();
        reset();
    }
    void TearDown() override {
        ResetPublishedInput();
        GetSnapTurn().Reset();
        ResetRealGamepadNote();
    }

    static int TotalCalls() {
        const XInputStandInRecord& r = *record();
        return std::accumulate(std::begin(r.calls), std::end(r.calls), 0);
    }

    static HMODULE library;
    static XInputStandInSetPadFn setPad;
    static XInputStandInRecordFn record;
    static XInputStandInResetFn reset;
};
HMODULE StandInTest::library = nullptr;
XInputStandInSetPadFn StandInTest::setPad = nullptr;
XInputStandInRecordFn StandInTest::record = nullptr;
XInputStandInResetFn StandInTest::reset = nullptr;

// ---- Every entry point ----

class StandInSystemLibrary : public StandInTest {
protected:
    static void SetUpTestSuite() { UseStandIn(L"full"); }
};

TEST_F(StandInSystemLibrary, EachExportCallsItsSystemOrdinalWithItsArgumentsAndReturnsItsAnswer) {
    XINPUT_STATE state{};
    XINPUT_VIBRATION vibration{};
    XINPUT_CAPABILITIES capabilities{};
    XINPUT_BATTERY_INFORMATION battery{};
    XINPUT_KEYSTROKE keystroke{};
    GUID render{};
    GUID capture{};
    int overlapped = 0;
    // The state, capabilities and battery queries hand the system library a record of the
    // proxy's own (copied out on success); every other pointer is passed on unchanged.
    const int ownRecordMarker = 0;
    const void* const kOwnRecord = &ownRecordMarker;
    struct Case {
        const char* name;
        int ordinal;
        std::function<DWORD()> call;
        DWORD result;
        DWORD user;
        DWORD value;
        const void* first;
        const void* second;
    };
    const Case cases[] = {
        {"XInputGetState", 2, [&] { return XInputGetState(2, &state); }, kNotConnected, 2, 0, kOwnRecord,
         nullptr},
        {"XInputSetState", 3, [&] { return XInputSetState(1, &vibration); }, kNotConnected, 1, 0, &vibration,
         nullptr},
        {"XInputGetCapabilities", 4,
         [&] { return XInputGetCapabilities(3, XINPUT_FLAG_GAMEPAD, &capabilities); }, kNotConnected, 3,
         XINPUT_FLAG_GAMEPAD, kOwnRecord, nullptr},
        {"XInputEnable", 5,
         [&] {
             XInputEnable(TRUE);
             return kSuccess;
         },
         kSuccess, 0, TRUE, nullptr, nullptr},
        {"XInputGetDSoundAudioDeviceGuids", 6,
         [&] { return XInputGetDSoundAudioDeviceGuids(1, &render, &capture); }, kXInputStandInAnswerBase + 6,
         1, 0, &render, &capture},
        {"XInputGetBatteryInformation", 7,
         [&] { return XInputGetBatteryInformation(2, BATTERY_DEVTYPE_HEADSET, &battery); }, kNotConnected, 2,
         BATTERY_DEVTYPE_HEADSET, kOwnRecord, nullptr},
        {"XInputGetKeystroke", 8, [&] { return XInputGetKeystroke(3, 0x77, &keystroke); },
         kXInputStandInAnswerBase + 8, 3, 0x77, &keystroke, nullptr},
        {"extended state query", 100, [&] { return XInputGetStateEx(1, &state); }, kNotConnected, 1, 0,
         kOwnRecord, nullptr},
        {"ordinal 101", 101, [&] { return XInputWaitForGuideButton(2, 0x55, &overlapped); },
         kXInputStandInAnswerBase + 101, 2, 0x55, &overlapped, nullptr},
        {"ordinal 102", 102, [&] { return XInputCancelGuideButtonWait(3); }, kXInputStandInAnswerBase + 102,
         3, 0, nullptr, nullptr},
        {"ordinal 103", 103, [&] { return XInputPowerOffController(1); }, kXInputStandInAnswerBase + 103, 1,
         0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        reset();
        EXPECT_EQ(c.result, c.call()) << c.name;
        const XInputStandInRecord& r = *record();
        EXPECT_EQ(1, TotalCalls()) << c.name;
        EXPECT_EQ(c.ordinal, r.lastOrdinal) << c.name;
        EXPECT_EQ(c.user, r.user) << c.name;
        EXPECT_EQ(c.value, r.value) << c.name;
        if (c.first == kOwnRecord) {
            EXPECT_NE(nullptr, r.first) << c.name;
        } else {
            EXPECT_EQ(c.first, r.first) << c.name;
        }
        EXPECT_EQ(c.second, r.second) << c.name;
    }
}

TEST_F(StandInSystemLibrary, WithoutVrInputTheRealPadIsPassedThroughAsItIs) {
    const XInputStandInPad pad = RealPad();
    setPad(&pad);
    XINPUT_STATE state{};
    ASSERT_EQ(kSuccess, XInputGetState(0, &state));
    ExpectSameState(WithoutGuide(pad.state), state);
    ASSERT_EQ(kSuccess, XInputGetStateEx(0, &state));
    ExpectSameState(pad.state, state);
    EXPECT_EQ(kNotConnected, XInputGetState(1, &state));
}

TEST_F(StandInSystemLibrary, TheRealPadMergesWithVrInput) {
    const XInputStandInPad pad = RealPad();
    setPad(&pad);
    ResetPublishedInput(0x12345);
    PublishInput(VrInput()); // change counter 0x12346

    XINPUT_STATE expected{};
    // 0x11 from the pad XOR the change counter rotated right by 19 bits.
    expected.dwPacketNumber = 0x2468C011;
    expected.Gamepad.wButtons = XINPUT_GAMEPAD_A | XINPUT_GAMEPAD_DPAD_UP | XINPUT_GAMEPAD_X |
                                XINPUT_GAMEPAD_B | XINPUT_GAMEPAD_RIGHT_SHOULDER;
    expected.Gamepad.bLeftTrigger = 200;  // the real trigger is higher than 128
    expected.Gamepad.bRightTrigger = 128; // 0.5 x 255, rounded away from zero
    expected.Gamepad.sThumbLX = -16384;   // the VR stick has the larger magnitude
    expected.Gamepad.sThumbLY = -300;     // VR at rest
    expected.Gamepad.sThumbRX = -20000;   // the real stick has the larger magnitude
    expected.Gamepad.sThumbRY = 7;
    XINPUT_STATE state{};
    ASSERT_EQ(kSuccess, XInputGetState(0, &state));
    ExpectSameState(expected, state);

    expected.Gamepad.wButtons |= kGuide;
    ASSERT_EQ(kSuccess, XInputGetStateEx(0, &state));
    ExpectSameState(expected, state);

    // Other users are not touched by VR input.
    EXPECT_EQ(kNotConnected, XInputGetState(1, &state));
}

TEST_F(StandInSystemLibrary, ThePacketNumberMovesOnlyWhenTheVrInputChanges) {
    const XInputStandInPad pad = RealPad();
    setPad(&pad);
    ResetPublishedInput(0x12345);
    InputState vr = VrInput();
    PublishInput(vr);
    XINPUT_STATE state{};
    ASSERT_EQ(kSuccess, XInputGetState(0, &state));
    EXPECT_EQ(0x2468C011u, state.dwPacketNumber);

    PublishInput(vr);
    ASSERT_EQ(kSuccess, XInputGetState(0, &state));
    EXPECT_EQ(0x2468C011u, state.dwPacketNumber);

    vr.right.trigger = 1.0f;
    PublishInput(vr); // change counter 0x12347
    ASSERT_EQ(kSuccess, XInputGetState(0, &state));
    EXPECT_EQ(0x2468E011u, state.dwPacketNumber);
    EXPECT_EQ(255, state.Gamepad.bRightTrigger);
}

// Snap turning takes the turning stick the game reads, from the real pad alone or merged with
// VR input; the pad's buttons and right stick are noted for the held-button commands.
TEST_F(StandInSystemLibrary, WithSnapTurningTheGameReadsTheStepsOnTheRightStick) {
    XInputStandInPad pad = RealPad();
    pad.state.Gamepad.sThumbRX = 30000; // a flick to the right
    pad.state.Gamepad.wButtons = XINPUT_GAMEPAD_LEFT_THUMB | XINPUT_GAMEPAD_RIGHT_THUMB;
    setPad(&pad);
    for (const bool vrLive : {false, true}) {
        SCOPED_TRACE(vrLive ? "merged with VR input" : "the real pad alone");
        GetSnapTurn().Reset();
        ResetPublishedInput();
        if (vrLive) {
            PublishInput(VrInput());
        }
        GetSnapTurn().Engage(30.0f);
        XINPUT_STATE state{};
        ASSERT_EQ(kSuccess, XInputGetState(0, &state));
        EXPECT_EQ(0, state.Gamepad.sThumbRX) << "the flick itself does not turn the game";
        EXPECT_EQ(7, state.Gamepad.sThumbRY);
        // The camera starts the step; the next poll drives the game's turn.
        (void)GetSnapTurn().OnCameraHeading(0.0f, true);
        ASSERT_EQ(kSuccess, XInputGetStateEx(0, &state));
        EXPECT_EQ(32767, state.Gamepad.sThumbRX);
        GetSnapTurn().Engage(0.0f);
        ASSERT_EQ(kSuccess, XInputGetState(0, &state));
        EXPECT_EQ(30000, state.Gamepad.sThumbRX);
    }
    const GamepadNote note = ReadRealGamepad(GetTickCount64());
    EXPECT_TRUE(note.fresh);
    EXPECT_EQ(XINPUT_GAMEPAD_LEFT_THUMB | XINPUT_GAMEPAD_RIGHT_THUMB, note.buttons);
    EXPECT_EQ(30000, note.rightX);
    EXPECT_EQ(7, note.rightY);
}

TEST_F(StandInSystemLibrary, VrInputOlderThan500MsLeavesExactlyTheSystemAnswer) {
    const XInputStandInPad pad = RealPad();
    setPad(&pad);
    PublishInput(VrInput());
    XINPUT_STATE state{};
    ASSERT_EQ(kSuccess, XInputGetState(0, &state));
    EXPECT_NE(pad.state.dwPacketNumber, state.dwPacketNumber);

    // The frame driver stops publishing (the game stopped presenting).
    Sleep(600);
    ASSERT_EQ(kSuccess, XInputGetState(0, &state));
    ExpectSameState(WithoutGuide(pad.state), state);
    ASSERT_EQ(kSuccess, XInputGetStateEx(0, &state));
    ExpectSameState(pad.state, state);

    const XInputStandInPad unplugged;
    setPad(&unplugged);
    XINPUT_STATE untouched{};
    untouched.dwPacketNumber = 77;
    EXPECT_EQ(kNotConnected, XInputGetState(0, &untouched));
    EXPECT_EQ(77u, untouched.dwPacketNumber);
    XINPUT_VIBRATION vibration{};
    EXPECT_EQ(kNotConnected, XInputSetState(0, &vibration));
    XINPUT_CAPABILITIES capabilities{};
    EXPECT_EQ(kNotConnected, XInputGetCapabilities(0, 0, &capabilities));
}

TEST_F(StandInSystemLibrary, ARealPadAnswersCapabilitiesAndBatteryItselfWhileVrIsLive) {
    PublishInput(VrInput());
    const XInputStandInPad pad = RealPad();
    setPad(&pad);
    XINPUT_CAPABILITIES capabilities{};
    ASSERT_EQ(kSuccess, XInputGetCapabilities(0, 0, &capabilities));
    EXPECT_EQ(kXInputStandInCapabilityButtons, capabilities.Gamepad.wButtons);
    XINPUT_BATTERY_INFORMATION battery{};
    ASSERT_EQ(kSuccess, XInputGetBatteryInformation(0, BATTERY_DEVTYPE_GAMEPAD, &battery));
    EXPECT_EQ(kXInputStandInBatteryType, battery.BatteryType);
    EXPECT_EQ(kXInputStandInBatteryLevel, battery.BatteryLevel);

    // Unplugged: the VR stand-ins answer instead.
    const XInputStandInPad unplugged;
    setPad(&unplugged);
    ASSERT_EQ(kSuccess, XInputGetCapabilities(0, 0, &capabilities));
    EXPECT_EQ(0xF3FF, capabilities.Gamepad.wButtons);
    ASSERT_EQ(kSuccess, XInputGetBatteryInformation(0, BATTERY_DEVTYPE_GAMEPAD, &battery));
    EXPECT_EQ(BATTERY_TYPE_WIRED, battery.BatteryType);
    EXPECT_EQ(BATTERY_LEVEL_FULL, battery.BatteryLevel);
}

// ---- No extended state query in the system library ----

class StandInWithoutExtendedQuery : public StandInTest {
protected:
    static void SetUpTestSuite() { UseStandIn(L"no_extended_query"); }
};

TEST_F(StandInWithoutExtendedQuery, TheExtendedQueryFallsBackToGetStateAndStillCarriesTheVrGuideButton) {
    const XInputStandInPad pad = RealPad();
    setPad(&pad);
    XINPUT_STATE state{};
    ASSERT_EQ(kSuccess, XInputGetStateEx(0, &state));
    EXPECT_EQ(1, record()->calls[2]);
    EXPECT_EQ(1, TotalCalls());
    // Ordinal 2 never reports the pad's own guide button.
    ExpectSameState(WithoutGuide(pad.state), state);

    PublishInput(VrInput());
    ASSERT_EQ(kSuccess, XInputGetStateEx(0, &state));
    EXPECT_EQ(kGuide, state.Gamepad.wButtons & kGuide);
    ASSERT_EQ(kSuccess, XInputGetState(0, &state));
    EXPECT_EQ(0, state.Gamepad.wButtons & kGuide);
    EXPECT_EQ(3, record()->calls[2]);
}

// ---- No XInputGetState in the system library ----

class StandInWithoutGetState : public StandInTest {
protected:
    static void SetUpTestSuite() { UseStandIn(L"no_get_state"); }
};

TEST_F(StandInWithoutGetState, TheMissingExportIsReportedOnceAndTheOtherEntryPointsStay) {
    testing_support::DebugOutputCapture capture;
    const XInputStandInPad pad = RealPad();
    setPad(&pad);

    XINPUT_STATE state{};
    state.dwPacketNumber = 77;
    EXPECT_EQ(kNotConnected, XInputGetState(0, &state));
    EXPECT_EQ(77u, state.dwPacketNumber);
    EXPECT_EQ("[CorvaneVR/XInput] System XInputGetState export is missing.\n", capture.Text());
    EXPECT_EQ(0, TotalCalls());

    ASSERT_EQ(kSuccess, XInputGetStateEx(0, &state));
    ExpectSameState(pad.state, state);
    XINPUT_VIBRATION vibration{};
    EXPECT_EQ(kSuccess, XInputSetState(0, &vibration));
    EXPECT_EQ(1, record()->calls[100]);
    EXPECT_EQ(1, record()->calls[3]);

    // VR input alone makes user 0 a gamepad: counter 2 rotated right by 19 bits.
    PublishInput(VrInput());
    ASSERT_EQ(kSuccess, XInputGetState(0, &state));
    EXPECT_EQ(0x4000u, state.dwPacketNumber);
    EXPECT_EQ(XINPUT_GAMEPAD_X | XINPUT_GAMEPAD_B | XINPUT_GAMEPAD_RIGHT_SHOULDER, state.Gamepad.wButtons);
    EXPECT_EQ("[CorvaneVR/XInput] System XInputGetState export is missing.\n", capture.Text());
}

// ---- A load that throws ----

TEST(ThrowingSystemLoad, AnExceptionWhileLoadingLeavesTheLibraryAbsentAndTheGameGoingOn) {
    ASSERT_TRUE(g_systemDirectory.empty())
        << "the system library is loaded once per process: run one suite at a time";
    RecordOwnModule(GetModuleHandleW(nullptr));
    ResetPublishedInput();
    SetSystemDirectorySourceForTests(&ThrowingDirectory);
    testing_support::DebugOutputCapture capture;

    XINPUT_STATE state{};
    EXPECT_EQ(kNotConnected, XInputGetState(0, &state));
    EXPECT_EQ(kNotConnected, XInputGetStateEx(0, &state));
    XINPUT_VIBRATION vibration{};
    EXPECT_EQ(kNotConnected, XInputSetState(0, &vibration));
    XINPUT_CAPABILITIES capabilities{};
    EXPECT_EQ(kNotConnected, XInputGetCapabilities(0, 0, &capabilities));
    XINPUT_BATTERY_INFORMATION battery{};
    EXPECT_EQ(kNotConnected, XInputGetBatteryInformation(0, BATTERY_DEVTYPE_GAMEPAD, &battery));
    XINPUT_KEYSTROKE keystroke{};
    EXPECT_EQ(DWORD{ERROR_EMPTY}, XInputGetKeystroke(0, 0, &keystroke));
    GUID render{};
    GUID captureGuid{};
    EXPECT_EQ(kNotConnected, XInputGetDSoundAudioDeviceGuids(0, &render, &captureGuid));
    EXPECT_EQ(kNotConnected, XInputWaitForGuideButton(0, 0, nullptr));
    EXPECT_EQ(kNotConnected, XInputCancelGuideButtonWait(0));
    EXPECT_EQ(kNotConnected, XInputPowerOffController(0));
    XInputEnable(TRUE);

    // Attempted once, reported as a library that could not be loaded.
    EXPECT_EQ(1, g_directoryRequests);
    EXPECT_EQ("[CorvaneVR/XInput] Could not load System32\\xinput1_3.dll.\n", capture.Text());

    // The VR side keeps working for user 0.
    PublishInput(VrInput());
    ASSERT_EQ(kSuccess, XInputGetStateEx(0, &state));
    EXPECT_EQ(XINPUT_GAMEPAD_X | XINPUT_GAMEPAD_B | XINPUT_GAMEPAD_RIGHT_SHOULDER | kGuide,
              state.Gamepad.wButtons);
    EXPECT_EQ(kSuccess, XInputSetState(0, &vibration));
    EXPECT_EQ(kNotConnected, XInputGetState(1, &state));
    EXPECT_EQ(1, g_directoryRequests);
    ResetPublishedInput();
}

// ---- A system directory the loader cannot use ----

// What the directory source reports in these processes: the text written and the length.
std::wstring g_unusableDirectory;
UINT g_unusableLength = 0;

UINT WINAPI UnusableDirectory(LPWSTR buffer, UINT capacity) {
    ++g_directoryRequests;
    const size_t written = std::min<size_t>(g_unusableDirectory.size(), capacity - 1);
    g_unusableDirectory.copy(buffer, written);
    buffer[written] = L'\0';
    return g_unusableLength;
}

// Each case is a process of its own (see CMakeLists.txt): the loader tries once per process.
void ExpectTheDirectoryRefused(const std::wstring& directory, UINT length, const char* report) {
    ASSERT_EQ(0, g_directoryRequests)
        << "the system library is loaded once per process: run one case at a time";
    RecordOwnModule(GetModuleHandleW(nullptr));
    ResetPublishedInput();
    g_unusableDirectory = directory;
    g_unusableLength = length;
    SetSystemDirectorySourceForTests(&UnusableDirectory);
    testing_support::DebugOutputCapture capture;

    XINPUT_STATE state{};
    EXPECT_EQ(kNotConnected, XInputGetState(0, &state));
    EXPECT_EQ(kNotConnected, XInputGetState(1, &state));
    EXPECT_EQ(1, g_directoryRequests) << "a refused directory is not asked for again";
    EXPECT_EQ(std::string("[CorvaneVR/XInput] ") + report + "\n", capture.Text());

    // The VR side keeps working for user 0.
    PublishInput(VrInput());
    EXPECT_EQ(kSuccess, XInputGetStateEx(0, &state));
    ResetPublishedInput();
}

TEST(UnusableSystemDirectory, NoDirectoryIsReported) {
    ExpectTheDirectoryRefused(L"", 0, "GetSystemDirectoryW failed; real XInput is unavailable.");
}

TEST(UnusableSystemDirectory, ADirectoryFillingThePathBufferIsReported) {
    ExpectTheDirectoryRefused(std::wstring(259, L'a'), 259,
                              "System32 path is too long; real XInput is unavailable.");
}

TEST(UnusableSystemDirectory, ADirectoryWithoutRoomForTheFileNameIsReported) {
    ExpectTheDirectoryRefused(std::wstring(246, L'a'), 246,
                              "System32 XInput path is too long; real XInput is unavailable.");
}

} // namespace
} // namespace corvane
