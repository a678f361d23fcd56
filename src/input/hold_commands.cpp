#include "input/hold_commands.h"

#include "input/gamepad_mapping.h"

#include <atomic>
#include <cmath>

namespace corvane {
namespace {

constexpr uint32_t kStickPressButton = 32; // Axis0: mapped to Back (left) and Start (right)
// A push past this is a step; the stick must come back inside the re-arm value first.
constexpr float kStepPush = 0.7f;
constexpr float kStepRearm = 0.3f;

// buttons | right x | right y | fresh bit, and the poll's time beside it.
std::atomic<uint64_t> g_padNote{0};
std::atomic<uint64_t> g_padNoteMs{0};

bool Pressed(const ControllerState& controller, uint32_t button) noexcept {
    return controller.connected != 0 && (controller.buttonsPressed & (uint64_t{1} << button)) != 0;
}

} // namespace

void NoteRealGamepad(uint16_t buttons, int16_t rightX, int16_t rightY, uint64_t nowMs) noexcept {
    const uint64_t packed = (uint64_t{buttons} << 48) | (uint64_t{static_cast<uint16_t>(rightX)} << 32) |
                            (uint64_t{static_cast<uint16_t>(rightY)} << 16) | 1u;
    g_padNote.store(packed);
    g_padNoteMs.store(nowMs);
}

GamepadNote ReadRealGamepad(uint64_t nowMs) noexcept {
    const uint64_t packed = g_padNote.load();
    const uint64_t at = g_padNoteMs.load();
    GamepadNote note;
    if ((packed & 1u) == 0 || nowMs < at || nowMs - at > kGamepadNoteFreshMs) {
        return note;
    }
    note.buttons = static_cast<uint16_t>(packed >> 48);
    note.rightX = static_cast<int16_t>(static_cast<uint16_t>(packed >> 32));
    note.rightY = static_cast<int16_t>(static_cast<uint16_t>(packed >> 16));
    note.fresh = true;
    return note;
}

void ResetRealGamepadNote() noexcept {
    g_padNote.store(0);
    g_padNoteMs.store(0);
}

Hold FindHold(const InputSnapshot* controllers, const GamepadNote& pad) noexcept {
    if (controllers != nullptr) {
        const ControllerState& left = controllers->left;
        const ControllerState& right = controllers->right;
        if (Pressed(right, kFreeJoystickClickButton)) {
            return {HoldSource::RightJoystickClick, right.stickX, right.stickY};
        }
        if (Pressed(left, kFreeJoystickClickButton)) {
            return {HoldSource::LeftJoystickClick, left.stickX, left.stickY};
        }
        if (Pressed(left, kStickPressButton) && Pressed(right, kStickPressButton)) {
            return {HoldSource::ControllerStickPresses, right.stickX, right.stickY};
        }
    }
    const uint16_t both = kGamepadLeftThumb | kGamepadRightThumb;
    if (pad.fresh && (pad.buttons & both) == both) {
        return {HoldSource::GamepadStickClicks, StickFromThumb(pad.rightX), StickFromThumb(pad.rightY)};
    }
    return {};
}

HoldNames NamesOf(HoldSource source) noexcept {
    switch (source) {
    case HoldSource::LeftJoystickClick:
        return {"a long press of the left controller's joystick click (button 35)",
                "Left controller's joystick click"};
    case HoldSource::RightJoystickClick:
        return {"a long press of the right controller's joystick click (button 35)",
                "Right controller's joystick click"};
    case HoldSource::ControllerStickPresses:
        return {"a long press of both controllers' stick presses", "Both controllers' stick presses"};
    case HoldSource::GamepadStickClicks:
        return {"a long press of the gamepad's stick clicks (L3 + R3)", "Gamepad stick clicks (L3 + R3)"};
    case HoldSource::None:
        break;
    }
    return {"nothing", "Nothing"};
}

HoldCommand HoldCommands::Update(const Hold& hold, bool screenUp, uint64_t nowMs) noexcept {
    if (hold.source != held_) {
        held_ = hold.source;
        heldSinceMs_ = nowMs;
        used_ = false;
        // A stick already pushed when the hold begins is not a step until it comes back.
        stickArmed_ = false;
    }
    HoldCommand command;
    command.by = held_;
    if (held_ == HoldSource::None) {
        return command;
    }
    const float x = std::isfinite(hold.stickX) ? hold.stickX : 0.0f;
    const float y = std::isfinite(hold.stickY) ? hold.stickY : 0.0f;
    if (std::fabs(x) < kStepRearm && std::fabs(y) < kStepRearm) {
        stickArmed_ = true;
    } else if (screenUp && stickArmed_ && (std::fabs(x) >= kStepPush || std::fabs(y) >= kStepPush)) {
        stickArmed_ = false;
        used_ = true;
        if (std::fabs(y) >= std::fabs(x)) {
            command.screen = y > 0.0f ? CinemaChange::Farther : CinemaChange::Nearer;
        } else {
            command.screen = x > 0.0f ? CinemaChange::Larger : CinemaChange::Smaller;
        }
        return command;
    }
    // Placing the screen is not a request to centre the view.
    if (!used_ && nowMs - heldSinceMs_ >= kRecentreHoldMs) {
        used_ = true;
        command.recentre = true;
    }
    return command;
}

} // namespace corvane
