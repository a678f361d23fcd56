#include "input/gamepad_mapping.h"

#include "fakes/fake_platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace corvane {
namespace {

class GamepadMappingTest : public testing_support::ProcessStateTest {};

ControllerState HeldController() {
    ControllerState controller;
    controller.connected = 1;
    controller.poseValid = 1;
    return controller;
}

InputReadCopy LiveCopy(const HandInput& left, const HandInput& right, int32_t counter = 1) {
    InputReadCopy copy;
    copy.state.valid = 1;
    copy.state.left = left;
    copy.state.right = right;
    copy.changeCounter = counter;
    return copy;
}

HandInput ActiveHand() {
    HandInput hand;
    hand.active = 1;
    return hand;
}

TEST_F(GamepadMappingTest, DeadzoneRescalesEachAxis) {
    const struct {
        float value, deadzone, expected;
    } cases[] = {{0.18f, 0.18f, 0.0f},   {0.59f, 0.18f, 0.5f}, {-1.0f, 0.18f, -1.0f}, {1.0f, 0.18f, 1.0f},
                 {-0.59f, 0.18f, -0.5f}, {0.3f, 0.0f, 0.3f},   {1.5f, 0.18f, 1.0f},   {0.95f, 0.9f, 0.5f}};
    for (const auto& c : cases) {
        EXPECT_NEAR(c.expected, ApplyDeadzone(c.value, c.deadzone), 1e-6f) << c.value << " / " << c.deadzone;
    }
}

TEST_F(GamepadMappingTest, ControllerMapsToHandFlags) {
    ControllerState controller = HeldController();
    controller.buttonsPressed = (1ull << 7) | (1ull << 1) | (1ull << 32) | (1ull << 4) | (1ull << 6) |
                                (1ull << 3) | (1ull << 5) | (1ull << 0) | (1ull << 2) | (1ull << 33);
    controller.trigger = 1.4f;
    controller.grip = 1.0f;
    controller.stickY = -0.59f;

    const HandInput hand = MapControllerToHand(controller, 0.18f);
    EXPECT_EQ(1u, hand.active);
    EXPECT_EQ(0x1FBu, hand.buttons); // everything but 0x004, which no button sets
    EXPECT_FLOAT_EQ(1.0f, hand.trigger);
    EXPECT_FLOAT_EQ(1.0f, hand.grip);
    EXPECT_NEAR(-0.5f, hand.stickY, 1e-6f);

    controller.poseValid = 0;
    EXPECT_EQ(0u, MapControllerToHand(controller, 0.18f).active);
}

TEST_F(GamepadMappingTest, MergeMapsButtonsOntoTheGamepad) {
    const struct {
        bool leftHand;
        uint32_t flag;
        uint16_t bit;
    } cases[] = {
        {false, kHandButtonA, 0x1000},
        {false, kHandButtonMenu, 0x2000},
        {true, kHandButtonA, 0x4000},
        {true, kHandButtonMenu, 0x8000},
        {true, kHandButtonStickPress, 0x0020},
        {false, kHandButtonStickPress, 0x0010},
        {true, kHandButtonDpadUp, 0x0001},
        {false, kHandButtonDpadDown, 0x0002},
        {false, kHandButtonDpadLeft, 0x0004},
        {true, kHandButtonDpadRight, 0x0008},
        {true, 0x004, 0x0000},
    };
    for (const auto& c : cases) {
        HandInput hand = ActiveHand();
        hand.buttons = c.flag;
        const InputReadCopy copy = c.leftHand ? LiveCopy(hand, HandInput{}) : LiveCopy(HandInput{}, hand);
        GamepadState gamepad;
        gamepad.wButtons = 0x0040; // a real button stays set
        MergeIntoGamepad(copy, true, gamepad);
        EXPECT_EQ(static_cast<uint16_t>(0x0040 | c.bit), gamepad.wButtons) << std::hex << c.flag;
    }
}

TEST_F(GamepadMappingTest, GripShouldersAndGuideOnlyWhenAsked) {
    HandInput left = ActiveHand();
    left.grip = 0.5f;
    HandInput right = ActiveHand();
    right.grip = 0.49f;
    right.buttons = kHandButtonSystem;

    GamepadState plain;
    MergeIntoGamepad(LiveCopy(left, right), false, plain);
    EXPECT_EQ(0x0100, plain.wButtons);

    GamepadState extended;
    MergeIntoGamepad(LiveCopy(left, right), true, extended);
    EXPECT_EQ(0x0100 | kGamepadGuideButton, extended.wButtons);
}

TEST_F(GamepadMappingTest, TriggersAndSticksKeepTheStrongerValue) {
    HandInput left = ActiveHand();
    left.stickX = -0.5f;
    left.stickY = 1.0f;
    left.trigger = 0.2f;
    HandInput right = ActiveHand();
    right.trigger = 0.5f;
    right.stickX = -1.0f;

    GamepadState gamepad;
    gamepad.sThumbLX = 1000;
    gamepad.sThumbLY = 32767;
    gamepad.bLeftTrigger = 100;
    gamepad.sThumbRY = -5;
    MergeIntoGamepad(LiveCopy(left, right), false, gamepad);
    EXPECT_EQ(-16384, gamepad.sThumbLX);
    EXPECT_EQ(32767, gamepad.sThumbLY); // a tie keeps the real stick
    EXPECT_EQ(100, gamepad.bLeftTrigger);
    EXPECT_EQ(128, gamepad.bRightTrigger); // 127.5 rounds away from zero
    EXPECT_EQ(-32768, gamepad.sThumbRX);
    EXPECT_EQ(-5, gamepad.sThumbRY);

    gamepad.sThumbLX = -20000;
    MergeIntoGamepad(LiveCopy(left, right), false, gamepad);
    EXPECT_EQ(-20000, gamepad.sThumbLX);
}

TEST_F(GamepadMappingTest, PacketNumberCarriesTheRotatedChangeCounter) {
    GamepadState gamepad;
    MergeIntoGamepad(LiveCopy(HandInput{}, HandInput{}, 1), false, gamepad);
    EXPECT_EQ(1u << 13, gamepad.dwPacketNumber);

    gamepad.dwPacketNumber = 0x12345678;
    MergeIntoGamepad(LiveCopy(HandInput{}, HandInput{}, 0x00080000), false, gamepad);
    EXPECT_EQ(0x12345678u ^ 1u, gamepad.dwPacketNumber);
}

TEST_F(GamepadMappingTest, PublishSanitisesEveryHand) {
    InputState state;
    state.valid = 7;
    state.left.active = 5;
    state.left.buttons = 0xFFFF;
    state.left.stickX = std::numeric_limits<float>::quiet_NaN();
    state.left.stickY = -3.0f;
    state.left.trigger = std::numeric_limits<float>::infinity();
    state.left.grip = 2.0f;
    state.right.active = 0;
    state.right.buttons = 0x1;
    state.right.trigger = 1.0f;
    PublishInput(state);

    const InputReadCopy copy = ReadInput();
    EXPECT_EQ(1u, copy.state.valid);
    EXPECT_EQ(1u, copy.state.left.active);
    EXPECT_EQ(0x1FFu, copy.state.left.buttons);
    EXPECT_EQ(0.0f, copy.state.left.stickX);
    EXPECT_EQ(-1.0f, copy.state.left.stickY);
    EXPECT_EQ(0.0f, copy.state.left.trigger);
    EXPECT_EQ(1.0f, copy.state.left.grip);
    EXPECT_EQ(0u, copy.state.right.buttons);
    EXPECT_EQ(0.0f, copy.state.right.trigger);
}

TEST_F(GamepadMappingTest, ChangeCounterMovesOnlyWithTheInputAndSkipsZero) {
    InputState state;
    state.valid = 1;
    state.left = ActiveHand();
    PublishInput(state);
    const int32_t afterFirst = ReadInput().changeCounter;
    EXPECT_EQ(2, afterFirst);
    PublishInput(state);
    EXPECT_EQ(afterFirst, ReadInput().changeCounter);

    ResetPublishedInput(-1); // 2^32 - 1 increments after the start
    PublishInput(state);
    EXPECT_EQ(1, ReadInput().changeCounter);
}

TEST_F(GamepadMappingTest, PublicationIsFreshForFiveHundredMilliseconds) {
    InputState state;
    state.valid = 1;
    state.right = ActiveHand();
    fake::Os().tickMs = 10'000;
    PublishInput(state);

    fake::Os().tickMs = 10'500;
    InputReadCopy copy = ReadInput();
    EXPECT_EQ(1u, copy.state.valid);
    EXPECT_EQ(1u, copy.state.right.active);

    fake::Os().tickMs = 10'501;
    copy = ReadInput();
    EXPECT_EQ(0u, copy.state.valid);
    EXPECT_EQ(0u, copy.state.right.active);
    EXPECT_EQ(2, copy.changeCounter);

    // An unchanged state still refreshes the time.
    PublishInput(state);
    EXPECT_EQ(1u, ReadInput().state.valid);
    EXPECT_EQ(2, ReadInput().changeCounter);
}

TEST_F(GamepadMappingTest, NeverPublishedOrNeutralInputIsNotValid) {
    EXPECT_EQ(0u, ReadInput().state.valid);
    PublishNeutralInput();
    EXPECT_EQ(0u, ReadInput().state.valid);
}

} // namespace
} // namespace corvane
