// The controllers the runtime knows: interaction profiles, their input components per hand, and
// how a scripted component value reads for each action type. Platform-free; any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace xrsim {

// What a component holds: a button, an analogue value, a two-axis control, one axis of such a
// control (its parent's value), or a pose.
enum class ComponentKind { Click, Value, Vector2, Axis, Pose };

inline constexpr uint8_t kLeftOnly = 1;
inline constexpr uint8_t kRightOnly = 2;
inline constexpr uint8_t kBothHands = 3;

struct Component {
    std::string_view path; // "/input/trigger/value"
    ComponentKind kind;
    uint8_t hands; // kLeftOnly, kRightOnly or kBothHands
};

// The component of `profile` (a full interaction profile path) at `component` for this hand
// (0 left, 1 right), or null when the profile is unknown or has no such component there.
[[nodiscard]] const Component* FindComponent(std::string_view profile, std::string_view component, int hand);

[[nodiscard]] bool IsKnownProfile(std::string_view profile);

// True when some known profile has this component on some hand (what a scenario may script).
[[nodiscard]] bool IsScriptableComponent(std::string_view component);

// "/user/hand/left/input/a/click" -> hand 0 and "/input/a/click"; false for anything else.
[[nodiscard]] bool SplitBindingPath(std::string_view path, int& hand, std::string_view& component);

// Whether an action of this type may be bound to a component of this kind. Action types are
// the XrActionType numbers: 1 boolean, 2 float, 3 vector2, 4 pose.
[[nodiscard]] bool Binds(int32_t actionType, ComponentKind kind);

// The scripted component a value is read from: an axis reads its parent's line.
[[nodiscard]] std::string_view ScriptedSource(std::string_view component, ComponentKind kind);

// A scripted (x, y) read as an action of `actionType` bound to a component of `kind`:
// booleans are on at 0.5 and above, floats on a click read 0 or 1, an axis takes x or y.
struct InputReading {
    float x = 0.0f;
    float y = 0.0f;
};
[[nodiscard]] InputReading ReadAs(int32_t actionType, const Component& component, float x, float y);

} // namespace xrsim
