// Any two controller records, any stick deadzone the settings allow and any pad state the
// system library returns: after the controller-to-hand mapping, the publication and the read,
// the merge only adds to the pad (buttons kept, triggers and sticks never smaller), every
// value it takes from the controllers is in range, the guide button comes only when asked for,
// and the packet number always changes. Without a valid publication the pad keeps every
// field but the packet number.
//
// Input: left and right ControllerState records, the deadzone as a float (brought into the
// settings' 0..0.9), a GamepadState, a flag byte (bit 0: the state is valid, bit 1: include
// the guide button, bit 2: publish nothing) and a change counter to start from.
#include "fakes/fake_platform.h"
#include "fuzz_check.h"
#include "input/gamepad_mapping.h"

#include <cstdlib>

namespace {

constexpr uint16_t kGuide = 0x0400;

bool HandInRange(const corvane::HandInput& hand) {
    const auto within = [](float v, float low, float high) {
        return std::isfinite(v) && v >= low && v <= high;
    };
    if (hand.active == 0) {
        return hand.buttons == 0 && hand.stickX == 0.0f && hand.stickY == 0.0f && hand.trigger == 0.0f &&
               hand.grip == 0.0f;
    }
    return hand.active == 1 && (hand.buttons & ~corvane::kHandButtonMask) == 0 &&
           within(hand.stickX, -1, 1) && within(hand.stickY, -1, 1) && within(hand.trigger, 0, 1) &&
           within(hand.grip, 0, 1);
}

// The VR stick wins only when it is deflected further, so the magnitude never shrinks.
bool StickKept(int16_t before, int16_t after) {
    return std::abs(int{after}) >= std::abs(int{before});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace corvane;
    fake::ResetPlatform();
    fuzz::InputReader in(data, size);
    const auto left = in.Take<ControllerState>();
    const auto right = in.Take<ControllerState>();
    const float rawDeadzone = in.Take<float>();
    const float deadzone = std::isfinite(rawDeadzone) ? std::fmin(std::fmax(rawDeadzone, 0.0f), 0.9f) : 0.18f;
    const auto pad = in.Take<GamepadState>();
    const auto flags = in.Take<uint8_t>();
    const auto counter = in.Take<int32_t>();
    const bool includeGuide = (flags & 2) != 0;

    ResetPublishedInput(counter == 0 ? 1 : counter);
    InputState state;
    state.valid = (flags & 1) != 0 ? 1u : 0u;
    state.left = MapControllerToHand(left, deadzone);
    state.right = MapControllerToHand(right, deadzone);
    FUZZ_CHECK(state.left.active == ((left.connected != 0 && left.poseValid != 0) ? 1u : 0u));
    FUZZ_CHECK(state.right.active == ((right.connected != 0 && right.poseValid != 0) ? 1u : 0u));
    FUZZ_CHECK((state.left.buttons & ~kHandButtonMask) == 0 && (state.right.buttons & ~kHandButtonMask) == 0);
    if ((flags & 4) == 0) {
        PublishInput(state);
    }
    const InputReadCopy copy = ReadInput();
    FUZZ_CHECK(copy.changeCounter != 0);
    FUZZ_CHECK(HandInRange(copy.state.left) && HandInRange(copy.state.right));
    const bool published = (flags & 4) == 0 && state.valid != 0;
    FUZZ_CHECK(copy.state.valid == (published ? 1u : 0u));

    GamepadState merged = pad;
    MergeIntoGamepad(copy, includeGuide, merged);
    FUZZ_CHECK((merged.wButtons & pad.wButtons) == pad.wButtons);
    if (!includeGuide) {
        FUZZ_CHECK((merged.wButtons & kGuide) == (pad.wButtons & kGuide));
    }
    FUZZ_CHECK(merged.bLeftTrigger >= pad.bLeftTrigger && merged.bRightTrigger >= pad.bRightTrigger);
    FUZZ_CHECK(StickKept(pad.sThumbLX, merged.sThumbLX) && StickKept(pad.sThumbLY, merged.sThumbLY));
    FUZZ_CHECK(StickKept(pad.sThumbRX, merged.sThumbRX) && StickKept(pad.sThumbRY, merged.sThumbRY));
    FUZZ_CHECK(merged.dwPacketNumber != pad.dwPacketNumber);
    if (!published) {
        GamepadState expected = pad;
        expected.dwPacketNumber = merged.dwPacketNumber;
        FUZZ_CHECK(std::memcmp(&expected, &merged, sizeof merged) == 0);
    }
    return 0;
}
