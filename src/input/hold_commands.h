// Commands given by holding buttons the game never sees as a whole: held for a second they
// centre the view again; held while the cinema screen is up, the stick pushed up, down, right
// or left moves the screen farther or nearer or makes it larger or smaller, one step a push.
//
// The holds, by controller:
// - a controller with a joystick click of its own (OpenVR button 35, which the gamepad mapping
//   leaves free), that click on either hand, with that hand's stick;
// - any controller: both stick or touchpad presses together (each alone is Back or Start to
//   the game), with the right hand's stick;
// - the gamepad: both stick clicks together (L3 + R3), with its right stick.
#pragma once

#include "core/cinema_keys.h"
#include "headset/tracking_state.h"

#include <cstdint>
#include <optional>

namespace corvane {

inline constexpr uint64_t kRecentreHoldMs = 1000;
// Axis3: the joystick of controllers with a trackpad too.
inline constexpr uint32_t kFreeJoystickClickButton = 35;
inline constexpr uint16_t kGamepadLeftThumb = 0x0040;
inline constexpr uint16_t kGamepadRightThumb = 0x0080;
// A gamepad poll older than this says nothing of what is held now.
inline constexpr uint64_t kGamepadNoteFreshMs = 500;

enum class HoldSource : uint8_t {
    None,
    LeftJoystickClick,
    RightJoystickClick,
    ControllerStickPresses,
    GamepadStickClicks,
};

// What is held this frame and the stick that goes with it (x right, y up, -1..1).
struct Hold {
    HoldSource source = HoldSource::None;
    float stickX = 0.0f;
    float stickY = 0.0f;
};

// The real gamepad as the game last polled it.
struct GamepadNote {
    uint16_t buttons = 0;
    int16_t rightX = 0;
    int16_t rightY = 0;
    bool fresh = false;
};

// The game's XInput poll (any thread) leaves the real pad here for the frame driver.
void NoteRealGamepad(uint16_t buttons, int16_t rightX, int16_t rightY, uint64_t nowMs) noexcept;
GamepadNote ReadRealGamepad(uint64_t nowMs) noexcept;
void ResetRealGamepadNote() noexcept;

// The hold among the controllers (null when there are none this frame) and the pad, the
// controllers first.
Hold FindHold(const InputSnapshot* controllers, const GamepadNote& pad) noexcept;

// For the log: what centred the view ("a long press of the right controller's joystick click
// (button 35)"), and what moved the screen ("Right controller's joystick click").
struct HoldNames {
    const char* recentre;
    const char* screen;
};
HoldNames NamesOf(HoldSource source) noexcept;

struct HoldCommand {
    bool recentre = false;
    std::optional<CinemaChange> screen; // a step of the cinema screen
    HoldSource by = HoldSource::None;
};

// Render thread, once per frame.
class HoldCommands {
public:
    HoldCommand Update(const Hold& hold, bool screenUp, uint64_t nowMs) noexcept;
    void Reset() noexcept { *this = HoldCommands{}; }

private:
    HoldSource held_ = HoldSource::None;
    uint64_t heldSinceMs_ = 0;
    bool used_ = false; // this hold recentred or moved the screen already
    bool stickArmed_ = true;
};

} // namespace corvane
