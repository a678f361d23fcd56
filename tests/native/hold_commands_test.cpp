#include "input/hold_commands.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

namespace corvane {
namespace {

ControllerState Controller(uint64_t pressed, float stickX = 0.0f, float stickY = 0.0f) {
    ControllerState controller;
    controller.connected = 1;
    controller.buttonsPressed = pressed;
    controller.stickX = stickX;
    controller.stickY = stickY;
    return controller;
}

constexpr std::optional<CinemaChange> kNoStep;
constexpr uint64_t kJoystickClick = uint64_t{1} << 35;
constexpr uint64_t kStickPress = uint64_t{1} << 32;

TEST(HoldCommandsTest, TheHoldIsFoundOnTheButtonsTheMappingLeavesFree) {
    struct Case {
        const char* name;
        uint64_t left;
        uint64_t right;
        uint16_t pad;
        HoldSource expected;
    };
    const Case cases[] = {
        {"right joystick click", 0, kJoystickClick, 0, HoldSource::RightJoystickClick},
        {"left joystick click", kJoystickClick, 0, 0, HoldSource::LeftJoystickClick},
        {"both stick presses", kStickPress, kStickPress, 0, HoldSource::ControllerStickPresses},
        {"one stick press is Start alone", 0, kStickPress, 0, HoldSource::None},
        {"the mapped buttons", 0xFF, 0xFF | (uint64_t{1} << 33), 0, HoldSource::None},
        {"gamepad L3 + R3", 0, 0, 0x00C0, HoldSource::GamepadStickClicks},
        {"gamepad L3 alone", 0, 0, 0x0040, HoldSource::None},
        {"gamepad Back + Start", 0, 0, 0x0030, HoldSource::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InputSnapshot snapshot;
        snapshot.left = Controller(c.left);
        snapshot.right = Controller(c.right);
        GamepadNote pad;
        pad.buttons = c.pad;
        pad.fresh = true;
        EXPECT_EQ(c.expected, FindHold(&snapshot, pad).source);
    }
    // A controller that is not connected holds nothing; the stick goes with the hold.
    InputSnapshot snapshot;
    snapshot.right = Controller(kJoystickClick, 0.2f, 0.9f);
    snapshot.right.connected = 0;
    EXPECT_EQ(HoldSource::None, FindHold(&snapshot, GamepadNote{}).source);
    snapshot.left = Controller(kJoystickClick, -0.4f, 0.5f);
    const Hold left = FindHold(&snapshot, GamepadNote{});
    EXPECT_EQ(-0.4f, left.stickX);
    EXPECT_EQ(0.5f, left.stickY);
    GamepadNote pad{0x00C0, -32768, 32767, true};
    const Hold gamepad = FindHold(nullptr, pad);
    EXPECT_EQ(-1.0f, gamepad.stickX);
    EXPECT_EQ(1.0f, gamepad.stickY);
    pad.fresh = false;
    EXPECT_EQ(HoldSource::None, FindHold(nullptr, pad).source);
}

TEST(HoldCommandsTest, TheGamepadNoteIsFreshForHalfASecond) {
    ResetRealGamepadNote();
    EXPECT_FALSE(ReadRealGamepad(5000).fresh);
    NoteRealGamepad(0x00C0, 1200, -300, 5000);
    const GamepadNote note = ReadRealGamepad(5500);
    EXPECT_TRUE(note.fresh);
    EXPECT_EQ(0x00C0, note.buttons);
    EXPECT_EQ(1200, note.rightX);
    EXPECT_EQ(-300, note.rightY);
    EXPECT_FALSE(ReadRealGamepad(5501).fresh);
    ResetRealGamepadNote();
}

TEST(HoldCommandsTest, ALongPressRecentresOnceAndAShortOneDoesNothing) {
    HoldCommands holds;
    const Hold held{HoldSource::RightJoystickClick, 0.0f, 0.0f};
    int recentres = 0;
    // Held 900 ms, let go: nothing.
    for (uint64_t t = 0; t <= 900; t += 100) {
        recentres += holds.Update(held, false, 10000 + t).recentre ? 1 : 0;
    }
    EXPECT_FALSE(holds.Update(Hold{}, false, 11000).recentre);
    EXPECT_EQ(0, recentres);
    // Held again: at 999 ms nothing, at 1000 ms once, then never again while held.
    EXPECT_FALSE(holds.Update(held, false, 20000).recentre);
    EXPECT_FALSE(holds.Update(held, false, 20999).recentre);
    const HoldCommand command = holds.Update(held, false, 21000);
    EXPECT_TRUE(command.recentre);
    EXPECT_EQ(HoldSource::RightJoystickClick, command.by);
    EXPECT_FALSE(holds.Update(held, false, 25000).recentre);
    // Another hold taking over starts its own second.
    const Hold pad{HoldSource::GamepadStickClicks, 0.0f, 0.0f};
    EXPECT_FALSE(holds.Update(pad, false, 25100).recentre);
    EXPECT_TRUE(holds.Update(pad, false, 26100).recentre);
}

TEST(HoldCommandsTest, WhileTheScreenIsUpEachPushOfTheStickIsOneStep) {
    struct Case {
        float x;
        float y;
        std::optional<CinemaChange> expected;
    };
    const Case cases[] = {
        {0.0f, 0.9f, CinemaChange::Farther},
        {0.1f, -0.8f, CinemaChange::Nearer},
        {0.75f, 0.2f, CinemaChange::Larger},
        {-1.0f, 0.0f, CinemaChange::Smaller},
        {0.6f, 0.6f, kNoStep}, // not far enough either way
    };
    for (const Case& c : cases) {
        HoldCommands holds;
        const Hold centred{HoldSource::ControllerStickPresses, 0.0f, 0.0f};
        const Hold pushed{HoldSource::ControllerStickPresses, c.x, c.y};
        EXPECT_EQ(kNoStep, holds.Update(centred, true, 1000).screen);
        EXPECT_EQ(c.expected, holds.Update(pushed, true, 1100).screen) << c.x << "," << c.y;
        // Held over: no more steps until the stick comes back.
        EXPECT_EQ(kNoStep, holds.Update(pushed, true, 1200).screen);
        EXPECT_EQ(kNoStep, holds.Update(centred, true, 1300).screen);
        EXPECT_EQ(c.expected, holds.Update(pushed, true, 1400).screen);
        // A hold that placed the screen does not also centre the view.
        EXPECT_EQ(c.expected == kNoStep, holds.Update(centred, true, 2500).recentre);
    }
}

TEST(HoldCommandsTest, NoStepsWithoutTheScreenOrFromAStickPushedBeforeTheHold) {
    HoldCommands holds;
    const Hold pushed{HoldSource::GamepadStickClicks, 0.0f, 1.0f};
    // Pushed when the hold began: not a step, even with the screen up.
    EXPECT_EQ(kNoStep, holds.Update(pushed, true, 1000).screen);
    EXPECT_EQ(kNoStep, holds.Update(pushed, true, 1100).screen);
    // The screen is down: the stick is the game's; the hold still recentres.
    HoldCommands other;
    EXPECT_EQ(kNoStep, other.Update({HoldSource::GamepadStickClicks, 0.0f, 0.0f}, false, 1000).screen);
    EXPECT_EQ(kNoStep, other.Update(pushed, false, 1100).screen);
    EXPECT_TRUE(other.Update(pushed, false, 2000).recentre);
    // A stick that is not a number is centred.
    HoldCommands third;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(kNoStep, third.Update({HoldSource::GamepadStickClicks, nan, nan}, true, 1000).screen);
    EXPECT_EQ(CinemaChange::Farther, third.Update(pushed, true, 1100).screen);
}

} // namespace
} // namespace corvane
