// Motion controllers as gamepad input. The frame driver (render thread) publishes one
// InputState per frame; the XInput exports (any thread) read it back and merge it into
// the gamepad state the game polls. The two sides meet only in the published state.
#pragma once

#include "headset/tracking_state.h"

#include <cstdint>

namespace corvane {

// Hand button flags.
inline constexpr uint32_t kHandButtonA = 0x001;
inline constexpr uint32_t kHandButtonMenu = 0x002;
inline constexpr uint32_t kHandButtonStickPress = 0x008;
inline constexpr uint32_t kHandButtonDpadUp = 0x010;
inline constexpr uint32_t kHandButtonDpadDown = 0x020;
inline constexpr uint32_t kHandButtonDpadLeft = 0x040;
inline constexpr uint32_t kHandButtonDpadRight = 0x080;
inline constexpr uint32_t kHandButtonSystem = 0x100;
inline constexpr uint32_t kHandButtonMask = 0x1FF;

// A published state older than this is treated as absent.
inline constexpr uint64_t kInputFreshnessMs = 500;

struct HandInput {
    uint32_t active = 0;
    uint32_t buttons = 0;
    float stickX = 0.0f;
    float stickY = 0.0f;
    float trigger = 0.0f;
    float grip = 0.0f;
};

struct InputState {
    uint32_t valid = 0;
    HandInput left;
    HandInput right;
};

// What the XInput side takes out: the state and the change counter it was published under.
struct InputReadCopy {
    InputState state;
    int32_t changeCounter = 1;
};

// The gamepad record of XInput (XINPUT_STATE), field for field.
struct GamepadState {
    uint32_t dwPacketNumber = 0;
    uint16_t wButtons = 0;
    uint8_t bLeftTrigger = 0;
    uint8_t bRightTrigger = 0;
    int16_t sThumbLX = 0;
    int16_t sThumbLY = 0;
    int16_t sThumbRX = 0;
    int16_t sThumbRY = 0;
};

inline constexpr uint16_t kGamepadGuideButton = 0x0400;

float ApplyDeadzone(float value, float deadzone);
// A stick value (-1 to 1, clamped; not finite reads as 0) as an XInput thumbstick holds it
// (-32768 to 32767, rounded half away from zero), and a thumbstick's value as a stick value.
int16_t ThumbFromStick(float value);
float StickFromThumb(int16_t value);
HandInput MapControllerToHand(const ControllerState& controller, float deadzone);

void PublishInput(const InputState& state);
void PublishNeutralInput();
InputReadCopy ReadInput();
// False when the last publication was not valid: ReadInput would return a neutral state. Takes
// no lock.
bool ValidInputStored() noexcept;

void MergeIntoGamepad(const InputReadCopy& copy, bool includeGuide, GamepadState& gamepad);

// Sets the stored state and counter directly; lets tests start from any counter value.
void ResetPublishedInput(int32_t changeCounter = 1);

} // namespace corvane
