// The system's own XInput 1.3 library, loaded once on the first XInput call from any
// thread and kept until the host frees this DLL. Every entry point may be missing.
#pragma once

#include <windows.h>
#include <xinput.h>

namespace corvane {

struct SystemXInput {
    using GetStateFn = DWORD(WINAPI*)(DWORD, XINPUT_STATE*);
    using SetStateFn = DWORD(WINAPI*)(DWORD, XINPUT_VIBRATION*);
    using GetCapabilitiesFn = DWORD(WINAPI*)(DWORD, DWORD, XINPUT_CAPABILITIES*);
    using EnableFn = void(WINAPI*)(BOOL);
    using GetDSoundGuidsFn = DWORD(WINAPI*)(DWORD, GUID*, GUID*);
    using GetBatteryFn = DWORD(WINAPI*)(DWORD, BYTE, XINPUT_BATTERY_INFORMATION*);
    using GetKeystrokeFn = DWORD(WINAPI*)(DWORD, DWORD, PXINPUT_KEYSTROKE);
    using WaitForGuideFn = DWORD(WINAPI*)(DWORD, DWORD, void*);
    using UserOnlyFn = DWORD(WINAPI*)(DWORD);

    HMODULE module = nullptr;
    GetStateFn getState = nullptr;               // ordinal 2
    SetStateFn setState = nullptr;               // ordinal 3
    GetCapabilitiesFn getCapabilities = nullptr; // ordinal 4
    EnableFn enable = nullptr;                   // ordinal 5
    GetDSoundGuidsFn getDSoundGuids = nullptr;   // ordinal 6
    GetBatteryFn getBattery = nullptr;           // ordinal 7
    GetKeystrokeFn getKeystroke = nullptr;       // ordinal 8
    GetStateFn getStateEx = nullptr;             // ordinal 100
    WaitForGuideFn waitForGuide = nullptr;       // ordinal 101
    UserOnlyFn cancelGuideWait = nullptr;        // ordinal 102
    UserOnlyFn powerOff = nullptr;               // ordinal 103
};

// Loads the library on the first call (whether or not that succeeds) and returns what
// was resolved. A load that fails in any way, an exception included, leaves every entry
// point missing and is not tried again.
const SystemXInput& EnsureSystemXInput() noexcept;

// Lets the system library go when the host unloads this DLL while the process lives on.
// Module entry only (process detach, loader lock held): no export runs after it.
void ReleaseSystemXInput() noexcept;

// Test seam: where the loader takes the system directory from, with the contract of
// GetSystemDirectoryW (its default). Lets a test program put a stand-in system library in
// front of the exports, or make the load fail; it must be set before the first XInput call.
using SystemDirectorySource = UINT(WINAPI*)(LPWSTR buffer, UINT capacity);
void SetSystemDirectorySourceForTests(SystemDirectorySource source) noexcept;

} // namespace corvane
