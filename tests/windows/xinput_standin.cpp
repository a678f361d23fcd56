// A stand-in for the system's xinput1_3.dll, built by the tests in three export sets (see the
// .def files) and put in front of the XInput exports through the system-directory test seam:
// a scripted pad for user 0 and a record of every call.
#include "xinput_standin.h"

#include <windows.h>
#include <xinput.h>

namespace {

constexpr WORD kGuideButton = 0x0400;

XInputStandInPad pad;
XInputStandInRecord record;

void Record(int ordinal, DWORD user, DWORD value, const void* first, const void* second) {
    ++record.calls[ordinal];
    record.lastOrdinal = ordinal;
    record.user = user;
    record.value = value;
    record.first = first;
    record.second = second;
}

DWORD ReportState(DWORD user, XINPUT_STATE* state, bool withGuide) {
    if (user != 0 || pad.result != ERROR_SUCCESS) {
        return user != 0 ? ERROR_DEVICE_NOT_CONNECTED : pad.result;
    }
    *state = pad.state;
    if (!withGuide) {
        state->Gamepad.wButtons &= static_cast<WORD>(~kGuideButton);
    }
    return ERROR_SUCCESS;
}

bool PadConnected(DWORD user) {
    return user == 0 && pad.result == ERROR_SUCCESS;
}

} // namespace

extern "C" {

void XInputStandIn_SetPad(const XInputStandInPad* newPad) {
    pad = *newPad;
}

const XInputStandInRecord* XInputStandIn_Record() {
    return &record;
}

void XInputStandIn_Reset() {
    pad = XInputStandInPad{};
    record = XInputStandInRecord{};
}

DWORD WINAPI StandInGetState(DWORD user, XINPUT_STATE* state) {
    Record(2, user, 0, state, nullptr);
    return ReportState(user, state, false);
}

DWORD WINAPI StandInSetState(DWORD user, XINPUT_VIBRATION* vibration) {
    Record(3, user, 0, vibration, nullptr);
    return PadConnected(user) ? ERROR_SUCCESS : ERROR_DEVICE_NOT_CONNECTED;
}

DWORD WINAPI StandInGetCapabilities(DWORD user, DWORD flags, XINPUT_CAPABILITIES* capabilities) {
    Record(4, user, flags, capabilities, nullptr);
    if (!PadConnected(user)) {
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    *capabilities = XINPUT_CAPABILITIES{};
    capabilities->Type = XINPUT_DEVTYPE_GAMEPAD;
    capabilities->SubType = XINPUT_DEVSUBTYPE_GAMEPAD;
    capabilities->Gamepad.wButtons = kXInputStandInCapabilityButtons;
    return ERROR_SUCCESS;
}

void WINAPI StandInEnable(BOOL enable) {
    Record(5, 0, static_cast<DWORD>(enable), nullptr, nullptr);
}

DWORD WINAPI StandInGetDSoundAudioDeviceGuids(DWORD user, GUID* render, GUID* capture) {
    Record(6, user, 0, render, capture);
    return kXInputStandInAnswerBase + 6;
}

DWORD WINAPI StandInGetBatteryInformation(DWORD user, BYTE deviceType, XINPUT_BATTERY_INFORMATION* battery) {
    Record(7, user, deviceType, battery, nullptr);
    if (!PadConnected(user)) {
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    battery->BatteryType = kXInputStandInBatteryType;
    battery->BatteryLevel = kXInputStandInBatteryLevel;
    return ERROR_SUCCESS;
}

DWORD WINAPI StandInGetKeystroke(DWORD user, DWORD reserved, PXINPUT_KEYSTROKE keystroke) {
    Record(8, user, reserved, keystroke, nullptr);
    return kXInputStandInAnswerBase + 8;
}

// The platform library writes one more word after the standard record here.
DWORD WINAPI StandInGetStateEx(DWORD user, XINPUT_STATE* state) {
    Record(100, user, 0, state, nullptr);
    const DWORD result = ReportState(user, state, true);
    if (result == ERROR_SUCCESS) {
        *reinterpret_cast<DWORD*>(state + 1) = 0xA5A5A5A5;
    }
    return result;
}

DWORD WINAPI StandInWaitForGuideButton(DWORD user, DWORD flags, void* overlapped) {
    Record(101, user, flags, overlapped, nullptr);
    return kXInputStandInAnswerBase + 101;
}

DWORD WINAPI StandInCancelGuideButtonWait(DWORD user) {
    Record(102, user, 0, nullptr, nullptr);
    return kXInputStandInAnswerBase + 102;
}

DWORD WINAPI StandInPowerOffController(DWORD user) {
    Record(103, user, 0, nullptr, nullptr);
    return kXInputStandInAnswerBase + 103;
}

} // extern "C"
