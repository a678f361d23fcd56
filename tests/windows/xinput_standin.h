// What the stand-in system XInput library of the XInput tests answers and records. Its entry
// points are exported by ordinal only, so only a lookup by ordinal finds them. Test thread.
#pragma once

#include <windows.h>
#include <xinput.h>

// The gamepad of user 0 (users 1 to 3 are never connected). `state` carries the guide
// button (0x0400) when pressed; like the platform library, only ordinal 100 reports it.
struct XInputStandInPad {
    DWORD result = ERROR_DEVICE_NOT_CONNECTED;
    XINPUT_STATE state{};
};

// The entry points that only forward answer this plus their ordinal, so a test sees which
// one ran and that its answer came back unchanged.
inline constexpr DWORD kXInputStandInAnswerBase = 10000;

// The arguments of the latest call into the library, and how often each ordinal ran.
struct XInputStandInRecord {
    int calls[104] = {};
    int lastOrdinal = 0;
    DWORD user = 0;
    DWORD value = 0; // flags, reserved word, enable flag or device type
    const void* first = nullptr;
    const void* second = nullptr;
};

// Capabilities and battery of the connected pad, distinct from the proxy's VR stand-ins.
inline constexpr WORD kXInputStandInCapabilityButtons = 0x1234;
inline constexpr BYTE kXInputStandInBatteryType = BATTERY_TYPE_ALKALINE;
inline constexpr BYTE kXInputStandInBatteryLevel = BATTERY_LEVEL_LOW;

using XInputStandInSetPadFn = void (*)(const XInputStandInPad*);
using XInputStandInRecordFn = const XInputStandInRecord* (*)();
using XInputStandInResetFn = void (*)();
