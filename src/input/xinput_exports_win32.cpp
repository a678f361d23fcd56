// The XInput 1.3 export surface. Each export forwards to the system library and, for
// user 0 while VR input is live, merges in (or stands in with) the motion controllers.
// Called by the game on any thread; nothing may throw out of here.
#include "core/game_thread_boundary.h"
#include "input/gamepad_mapping.h"
#include "input/hold_commands.h"
#include "input/snap_turn.h"
#include "input/system_xinput_win32.h"
#include "input/xinput_exports_win32.h"

#include <windows.h>
#include <xinput.h>

#include <atomic>

namespace corvane {
namespace {

constexpr DWORD kSuccess = ERROR_SUCCESS;                         // 0
constexpr DWORD kBadArguments = ERROR_BAD_ARGUMENTS;              // 160
constexpr DWORD kDeviceNotConnected = ERROR_DEVICE_NOT_CONNECTED; // 1167
constexpr DWORD kEmpty = ERROR_EMPTY;                             // 4306

// Set by XInputEnable; read by every other export.
std::atomic<bool> g_enabled{true};

// The extended query of the system library writes a reserved word after the standard
// record; the local it writes into must have room for it.
struct ExtendedState {
    XINPUT_STATE state;
    DWORD reserved;
};

// VR live: user 0, XInput enabled, and a fresh valid publication.
bool ReadLiveInput(DWORD userIndex, InputReadCopy& copy) noexcept {
    if (userIndex != 0 || !g_enabled.load(std::memory_order_relaxed) || !ValidInputStored()) {
        return false;
    }
    try {
        copy = ReadInput();
    } catch (...) {
        return false;
    }
    return copy.state.valid != 0;
}

GamepadState FromXInput(const XINPUT_STATE& state) {
    GamepadState gamepad;
    gamepad.dwPacketNumber = state.dwPacketNumber;
    gamepad.wButtons = state.Gamepad.wButtons;
    gamepad.bLeftTrigger = state.Gamepad.bLeftTrigger;
    gamepad.bRightTrigger = state.Gamepad.bRightTrigger;
    gamepad.sThumbLX = state.Gamepad.sThumbLX;
    gamepad.sThumbLY = state.Gamepad.sThumbLY;
    gamepad.sThumbRX = state.Gamepad.sThumbRX;
    gamepad.sThumbRY = state.Gamepad.sThumbRY;
    return gamepad;
}

XINPUT_STATE ToXInput(const GamepadState& gamepad) {
    XINPUT_STATE state{};
    state.dwPacketNumber = gamepad.dwPacketNumber;
    state.Gamepad.wButtons = gamepad.wButtons;
    state.Gamepad.bLeftTrigger = gamepad.bLeftTrigger;
    state.Gamepad.bRightTrigger = gamepad.bRightTrigger;
    state.Gamepad.sThumbLX = gamepad.sThumbLX;
    state.Gamepad.sThumbLY = gamepad.sThumbLY;
    state.Gamepad.sThumbRX = gamepad.sThumbRX;
    state.Gamepad.sThumbRY = gamepad.sThumbRY;
    return state;
}

bool IsVrLive(DWORD userIndex) noexcept {
    InputReadCopy copy;
    return ReadLiveInput(userIndex, copy);
}

DWORD GetStateWithVr(DWORD userIndex, XINPUT_STATE* state, bool extendedQuery) {
    if (state == nullptr) {
        return kBadArguments;
    }
    const SystemXInput& system = EnsureSystemXInput();
    const SystemXInput::GetStateFn getState =
        (extendedQuery && system.getStateEx != nullptr) ? system.getStateEx : system.getState;

    ExtendedState local{};
    const DWORD result = getState != nullptr ? getState(userIndex, &local.state) : kDeviceNotConnected;
    if (result == kSuccess && userIndex == 0) {
        NoteRealGamepad(local.state.Gamepad.wButtons, local.state.Gamepad.sThumbRX,
                        local.state.Gamepad.sThumbRY, GetTickCount64());
    }

    InputReadCopy copy;
    if (ReadLiveInput(userIndex, copy)) {
        GamepadState gamepad = result == kSuccess ? FromXInput(local.state) : GamepadState{};
        MergeIntoGamepad(copy, extendedQuery, gamepad);
        gamepad.sThumbRX = GetSnapTurn().OnTurnStick(gamepad.sThumbRX);
        *state = ToXInput(gamepad);
        return kSuccess;
    }
    if (result == kSuccess) {
        *state = local.state;
        if (userIndex == 0) {
            state->Gamepad.sThumbRX = GetSnapTurn().OnTurnStick(state->Gamepad.sThumbRX);
        }
    }
    return result;
}

void FillVrCapabilities(XINPUT_CAPABILITIES& capabilities) {
    capabilities = XINPUT_CAPABILITIES{};
    capabilities.Type = XINPUT_DEVTYPE_GAMEPAD;
    capabilities.SubType = XINPUT_DEVSUBTYPE_GAMEPAD;
    capabilities.Flags = 0;
    capabilities.Gamepad.wButtons = 0xF3FF;
    capabilities.Gamepad.bLeftTrigger = 255;
    capabilities.Gamepad.bRightTrigger = 255;
    capabilities.Gamepad.sThumbLX = 32767;
    capabilities.Gamepad.sThumbLY = 32767;
    capabilities.Gamepad.sThumbRX = 32767;
    capabilities.Gamepad.sThumbRY = 32767;
}

} // namespace
} // namespace corvane

using namespace corvane;

// Each export is one boundary: whatever escapes its body is stopped there and the game gets
// the answer it would get without a system library.
namespace {

BoundarySite g_getStateSite{BoundaryReport::DebuggerOutput,
                            "[CorvaneVR/XInput] XInputGetState stopped an exception.\n"};
BoundarySite g_getStateExSite{BoundaryReport::DebuggerOutput,
                              "[CorvaneVR/XInput] Extended state query stopped an exception.\n"};
BoundarySite g_setStateSite{BoundaryReport::DebuggerOutput,
                            "[CorvaneVR/XInput] XInputSetState stopped an exception.\n"};
BoundarySite g_capabilitiesSite{BoundaryReport::DebuggerOutput,
                                "[CorvaneVR/XInput] XInputGetCapabilities stopped an exception.\n"};
BoundarySite g_enableSite{BoundaryReport::DebuggerOutput,
                          "[CorvaneVR/XInput] XInputEnable stopped an exception.\n"};
BoundarySite g_dsoundSite{BoundaryReport::DebuggerOutput,
                          "[CorvaneVR/XInput] XInputGetDSoundAudioDeviceGuids stopped an exception.\n"};
BoundarySite g_batterySite{BoundaryReport::DebuggerOutput,
                           "[CorvaneVR/XInput] XInputGetBatteryInformation stopped an exception.\n"};
BoundarySite g_keystrokeSite{BoundaryReport::DebuggerOutput,
                             "[CorvaneVR/XInput] XInputGetKeystroke stopped an exception.\n"};
BoundarySite g_waitForGuideSite{BoundaryReport::DebuggerOutput,
                                "[CorvaneVR/XInput] Ordinal 101 stopped an exception.\n"};
BoundarySite g_cancelGuideWaitSite{BoundaryReport::DebuggerOutput,
                                   "[CorvaneVR/XInput] Ordinal 102 stopped an exception.\n"};
BoundarySite g_powerOffSite{BoundaryReport::DebuggerOutput,
                            "[CorvaneVR/XInput] Ordinal 103 stopped an exception.\n"};

} // namespace

extern "C" {

DWORD WINAPI XInputGetState(DWORD userIndex, XINPUT_STATE* state) noexcept {
    return CallAtBoundary(g_getStateSite, kDeviceNotConnected,
                          [&] { return GetStateWithVr(userIndex, state, false); });
}

DWORD WINAPI XInputGetStateEx(DWORD userIndex, XINPUT_STATE* state) noexcept {
    return CallAtBoundary(g_getStateExSite, kDeviceNotConnected,
                          [&] { return GetStateWithVr(userIndex, state, true); });
}

DWORD WINAPI XInputSetState(DWORD userIndex, XINPUT_VIBRATION* vibration) noexcept {
    return CallAtBoundary(g_setStateSite, kDeviceNotConnected, [&] {
        // The system library is not guaranteed to survive a null record; refuse it up front.
        if (vibration == nullptr) {
            return kBadArguments;
        }
        const SystemXInput& system = EnsureSystemXInput();
        const DWORD result =
            system.setState != nullptr ? system.setState(userIndex, vibration) : kDeviceNotConnected;
        if (result != kDeviceNotConnected) {
            return result;
        }
        return IsVrLive(userIndex) ? kSuccess : kDeviceNotConnected;
    });
}

DWORD WINAPI XInputGetCapabilities(DWORD userIndex, DWORD flags, XINPUT_CAPABILITIES* capabilities) noexcept {
    return CallAtBoundary(g_capabilitiesSite, kDeviceNotConnected, [&] {
        if (capabilities == nullptr) {
            return kBadArguments;
        }
        const SystemXInput& system = EnsureSystemXInput();
        XINPUT_CAPABILITIES local{};
        const DWORD result = system.getCapabilities != nullptr
                                 ? system.getCapabilities(userIndex, flags, &local)
                                 : kDeviceNotConnected;
        if (result == kSuccess) {
            *capabilities = local;
            return kSuccess;
        }
        if (IsVrLive(userIndex)) {
            FillVrCapabilities(*capabilities);
            return kSuccess;
        }
        return result;
    });
}

void WINAPI XInputEnable(BOOL enable) noexcept {
    g_enabled.store(enable != FALSE, std::memory_order_relaxed);
    CallAtBoundary(g_enableSite, [&] {
        const SystemXInput& system = EnsureSystemXInput();
        if (system.enable != nullptr) {
            system.enable(enable);
        }
    });
}

DWORD WINAPI XInputGetDSoundAudioDeviceGuids(DWORD userIndex, GUID* renderGuid, GUID* captureGuid) noexcept {
    return CallAtBoundary(g_dsoundSite, kDeviceNotConnected, [&] {
        const SystemXInput& system = EnsureSystemXInput();
        return system.getDSoundGuids != nullptr ? system.getDSoundGuids(userIndex, renderGuid, captureGuid)
                                                : kDeviceNotConnected;
    });
}

DWORD WINAPI XInputGetBatteryInformation(DWORD userIndex, BYTE deviceType,
                                         XINPUT_BATTERY_INFORMATION* information) noexcept {
    return CallAtBoundary(g_batterySite, kDeviceNotConnected, [&] {
        if (information == nullptr) {
            return kBadArguments;
        }
        const SystemXInput& system = EnsureSystemXInput();
        XINPUT_BATTERY_INFORMATION local{};
        const DWORD result = system.getBattery != nullptr ? system.getBattery(userIndex, deviceType, &local)
                                                          : kDeviceNotConnected;
        if (result == kSuccess) {
            *information = local;
            return kSuccess;
        }
        if (IsVrLive(userIndex)) {
            information->BatteryType = BATTERY_TYPE_WIRED;
            information->BatteryLevel = BATTERY_LEVEL_FULL;
            return kSuccess;
        }
        return result;
    });
}

DWORD WINAPI XInputGetKeystroke(DWORD userIndex, DWORD reserved, PXINPUT_KEYSTROKE keystroke) noexcept {
    return CallAtBoundary(g_keystrokeSite, kEmpty, [&] {
        if (keystroke == nullptr) {
            return kBadArguments;
        }
        const SystemXInput& system = EnsureSystemXInput();
        return system.getKeystroke != nullptr ? system.getKeystroke(userIndex, reserved, keystroke) : kEmpty;
    });
}

DWORD WINAPI XInputWaitForGuideButton(DWORD userIndex, DWORD flags, void* overlapped) noexcept {
    return CallAtBoundary(g_waitForGuideSite, kDeviceNotConnected, [&] {
        const SystemXInput& system = EnsureSystemXInput();
        return system.waitForGuide != nullptr ? system.waitForGuide(userIndex, flags, overlapped)
                                              : kDeviceNotConnected;
    });
}

DWORD WINAPI XInputCancelGuideButtonWait(DWORD userIndex) noexcept {
    return CallAtBoundary(g_cancelGuideWaitSite, kDeviceNotConnected, [&] {
        const SystemXInput& system = EnsureSystemXInput();
        return system.cancelGuideWait != nullptr ? system.cancelGuideWait(userIndex) : kDeviceNotConnected;
    });
}

DWORD WINAPI XInputPowerOffController(DWORD userIndex) noexcept {
    return CallAtBoundary(g_powerOffSite, kDeviceNotConnected, [&] {
        const SystemXInput& system = EnsureSystemXInput();
        return system.powerOff != nullptr ? system.powerOff(userIndex) : kDeviceNotConnected;
    });
}

} // extern "C"
