#include "input/gamepad_mapping.h"

#include "platform/os.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <shared_mutex>

namespace corvane {
namespace {

// OpenVR button ids and the hand flag each one sets.
struct ButtonMapping {
    unsigned openVrButton;
    uint32_t handFlag;
};
constexpr ButtonMapping kButtonMappings[] = {
    {7, kHandButtonA},        {1, kHandButtonMenu},     {32, kHandButtonStickPress}, {4, kHandButtonDpadUp},
    {6, kHandButtonDpadDown}, {3, kHandButtonDpadLeft}, {5, kHandButtonDpadRight},   {0, kHandButtonSystem},
};

// XInput bits driven by one flag of one hand (or of either hand).
enum class Hand { Left, Right, Either };
struct GamepadBitMapping {
    Hand hand;
    uint32_t handFlag;
    uint16_t gamepadBit;
};
constexpr GamepadBitMapping kGamepadBits[] = {
    {Hand::Right, kHandButtonA, 0x1000},         {Hand::Right, kHandButtonMenu, 0x2000},
    {Hand::Left, kHandButtonA, 0x4000},          {Hand::Left, kHandButtonMenu, 0x8000},
    {Hand::Left, kHandButtonStickPress, 0x0020}, {Hand::Right, kHandButtonStickPress, 0x0010},
    {Hand::Either, kHandButtonDpadUp, 0x0001},   {Hand::Either, kHandButtonDpadDown, 0x0002},
    {Hand::Either, kHandButtonDpadLeft, 0x0004}, {Hand::Either, kHandButtonDpadRight, 0x0008},
};
constexpr uint16_t kLeftShoulder = 0x0100;
constexpr uint16_t kRightShoulder = 0x0200;
constexpr float kShoulderGrip = 0.5f;

struct PublishedInput {
    std::shared_mutex lock;
    InputState state;
    int32_t changeCounter = 1;
    uint64_t publishedAtMs = 0;
    // Whether `state` is valid, readable without the lock: the game polls XInput on every
    // frame and mostly while nothing valid is published (flat play, no headset), when the
    // reader lock would be most of the call's cost.
    std::atomic<bool> validStored{false};
};

PublishedInput g_published;

float FiniteOrZero(float value) {
    return std::isfinite(value) ? value : 0.0f;
}

HandInput SanitiseHand(const HandInput& hand) {
    if (hand.active == 0) {
        return HandInput{};
    }
    HandInput clean;
    clean.active = 1;
    clean.buttons = hand.buttons & kHandButtonMask;
    clean.stickX = std::clamp(FiniteOrZero(hand.stickX), -1.0f, 1.0f);
    clean.stickY = std::clamp(FiniteOrZero(hand.stickY), -1.0f, 1.0f);
    clean.trigger = std::clamp(FiniteOrZero(hand.trigger), 0.0f, 1.0f);
    clean.grip = std::clamp(FiniteOrZero(hand.grip), 0.0f, 1.0f);
    return clean;
}

bool SameHand(const HandInput& a, const HandInput& b) {
    return a.active == b.active && a.buttons == b.buttons && a.stickX == b.stickX && a.stickY == b.stickY &&
           a.trigger == b.trigger && a.grip == b.grip;
}

bool SameState(const InputState& a, const InputState& b) {
    return a.valid == b.valid && SameHand(a.left, b.left) && SameHand(a.right, b.right);
}

void StorePublication(const InputState& state) {
    std::unique_lock<std::shared_mutex> lock(g_published.lock);
    if (!SameState(state, g_published.state)) {
        // The counter feeds the packet number: it must change with the input and never be 0.
        uint32_t next = static_cast<uint32_t>(g_published.changeCounter) + 1u;
        if (next == 0) {
            next = 1;
        }
        g_published.changeCounter = static_cast<int32_t>(next);
        g_published.state = state;
    }
    g_published.publishedAtMs = OsTickCountMs();
    g_published.validStored.store(g_published.state.valid != 0, std::memory_order_release);
}

uint8_t TriggerByte(float trigger) {
    return static_cast<uint8_t>(std::lround(std::clamp(FiniteOrZero(trigger), 0.0f, 1.0f) * 255.0f));
}

// The VR stick replaces the real one only when it is deflected further.
void MergeStick(int16_t& current, float value) {
    const int candidate = ThumbFromStick(value);
    if (std::abs(candidate) > std::abs(int{current})) {
        current = static_cast<int16_t>(candidate);
    }
}

bool HandHas(const HandInput& hand, uint32_t flag) {
    return hand.active != 0 && (hand.buttons & flag) != 0;
}

uint32_t RotateRight(uint32_t value, unsigned bits) {
    return (value >> bits) | (value << (32u - bits));
}

} // namespace

int16_t ThumbFromStick(float value) {
    const float v = std::clamp(FiniteOrZero(value), -1.0f, 1.0f);
    return static_cast<int16_t>(std::lround(v < 0.0f ? v * 32768.0f : v * 32767.0f));
}

float StickFromThumb(int16_t value) {
    return value < 0 ? static_cast<float>(value) / 32768.0f : static_cast<float>(value) / 32767.0f;
}

float ApplyDeadzone(float value, float deadzone) {
    const float magnitude = std::fabs(value);
    if (deadzone >= magnitude) {
        return 0.0f;
    }
    const float scaled = std::clamp((magnitude - deadzone) / (1.0f - deadzone), 0.0f, 1.0f);
    return value < 0.0f ? -scaled : scaled;
}

HandInput MapControllerToHand(const ControllerState& controller, float deadzone) {
    HandInput hand;
    hand.active = (controller.connected != 0 && controller.poseValid != 0) ? 1u : 0u;
    hand.stickX = ApplyDeadzone(controller.stickX, deadzone);
    hand.stickY = ApplyDeadzone(controller.stickY, deadzone);
    hand.trigger = std::clamp(controller.trigger, 0.0f, 1.0f);
    hand.grip = std::clamp(controller.grip, 0.0f, 1.0f);
    for (const ButtonMapping& mapping : kButtonMappings) {
        if ((controller.buttonsPressed >> mapping.openVrButton) & 1u) {
            hand.buttons |= mapping.handFlag;
        }
    }
    return hand;
}

void PublishInput(const InputState& state) {
    InputState clean;
    clean.valid = state.valid != 0 ? 1u : 0u;
    clean.left = SanitiseHand(state.left);
    clean.right = SanitiseHand(state.right);
    StorePublication(clean);
}

void PublishNeutralInput() {
    StorePublication(InputState{});
}

InputReadCopy ReadInput() {
    InputReadCopy copy;
    uint64_t publishedAtMs = 0;
    {
        std::shared_lock<std::shared_mutex> lock(g_published.lock);
        copy.state = g_published.state;
        copy.changeCounter = g_published.changeCounter;
        publishedAtMs = g_published.publishedAtMs;
    }
    const uint64_t now = OsTickCountMs();
    const bool fresh = publishedAtMs != 0 && now >= publishedAtMs && now - publishedAtMs <= kInputFreshnessMs;
    if (copy.state.valid == 0 || !fresh) {
        copy.state = InputState{};
    }
    return copy;
}

void MergeIntoGamepad(const InputReadCopy& copy, bool includeGuide, GamepadState& gamepad) {
    const HandInput& left = copy.state.left;
    const HandInput& right = copy.state.right;

    uint16_t buttons = 0;
    for (const GamepadBitMapping& mapping : kGamepadBits) {
        const bool set = (mapping.hand != Hand::Right && HandHas(left, mapping.handFlag)) ||
                         (mapping.hand != Hand::Left && HandHas(right, mapping.handFlag));
        if (set) {
            buttons |= mapping.gamepadBit;
        }
    }
    if (left.active != 0 && left.grip >= kShoulderGrip) {
        buttons |= kLeftShoulder;
    }
    if (right.active != 0 && right.grip >= kShoulderGrip) {
        buttons |= kRightShoulder;
    }
    if (includeGuide && (HandHas(left, kHandButtonSystem) || HandHas(right, kHandButtonSystem))) {
        buttons |= kGamepadGuideButton;
    }
    gamepad.wButtons |= buttons;

    const uint8_t leftTrigger = TriggerByte(left.trigger);
    const uint8_t rightTrigger = TriggerByte(right.trigger);
    if (leftTrigger > gamepad.bLeftTrigger) {
        gamepad.bLeftTrigger = leftTrigger;
    }
    if (rightTrigger > gamepad.bRightTrigger) {
        gamepad.bRightTrigger = rightTrigger;
    }

    MergeStick(gamepad.sThumbLX, left.stickX);
    MergeStick(gamepad.sThumbLY, left.stickY);
    MergeStick(gamepad.sThumbRX, right.stickX);
    MergeStick(gamepad.sThumbRY, right.stickY);

    gamepad.dwPacketNumber ^= RotateRight(static_cast<uint32_t>(copy.changeCounter), 19);
}

void ResetPublishedInput(int32_t changeCounter) {
    std::unique_lock<std::shared_mutex> lock(g_published.lock);
    g_published.state = InputState{};
    g_published.changeCounter = changeCounter;
    g_published.publishedAtMs = 0;
    g_published.validStored.store(false, std::memory_order_release);
}

bool ValidInputStored() noexcept {
    return g_published.validStored.load(std::memory_order_acquire);
}

} // namespace corvane
