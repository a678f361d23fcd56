// The unnamed exports (ordinals 101 to 103) that the platform header does not declare.
// The named ones and ordinal 100 (XInputGetStateEx) come from <xinput.h>.
#pragma once

#include <windows.h>

extern "C" {
DWORD WINAPI XInputWaitForGuideButton(DWORD userIndex, DWORD flags, void* overlapped) noexcept;
DWORD WINAPI XInputCancelGuideButtonWait(DWORD userIndex) noexcept;
DWORD WINAPI XInputPowerOffController(DWORD userIndex) noexcept;
}
