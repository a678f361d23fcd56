// The known interaction profiles as tables: one row per component.
#include "input_profiles.h"

#include <span>

namespace xrsim {
namespace {

using enum ComponentKind;

constexpr Component kIndex[] = {
    {"/input/a/click", Click, kBothHands},          {"/input/b/click", Click, kBothHands},
    {"/input/system/click", Click, kBothHands},     {"/input/squeeze/value", Value, kBothHands},
    {"/input/squeeze/force", Value, kBothHands},    {"/input/trigger/value", Value, kBothHands},
    {"/input/trigger/click", Click, kBothHands},    {"/input/thumbstick", Vector2, kBothHands},
    {"/input/thumbstick/x", Axis, kBothHands},      {"/input/thumbstick/y", Axis, kBothHands},
    {"/input/thumbstick/click", Click, kBothHands}, {"/input/trackpad", Vector2, kBothHands},
    {"/input/trackpad/force", Value, kBothHands},   {"/input/grip/pose", Pose, kBothHands},
    {"/input/aim/pose", Pose, kBothHands},
};

constexpr Component kTouch[] = {
    {"/input/x/click", Click, kLeftOnly},        {"/input/y/click", Click, kLeftOnly},
    {"/input/menu/click", Click, kLeftOnly},     {"/input/a/click", Click, kRightOnly},
    {"/input/b/click", Click, kRightOnly},       {"/input/system/click", Click, kRightOnly},
    {"/input/squeeze/value", Value, kBothHands}, {"/input/trigger/value", Value, kBothHands},
    {"/input/thumbstick", Vector2, kBothHands},  {"/input/thumbstick/click", Click, kBothHands},
    {"/input/grip/pose", Pose, kBothHands},      {"/input/aim/pose", Pose, kBothHands},
};

constexpr Component kVive[] = {
    {"/input/system/click", Click, kBothHands},   {"/input/squeeze/click", Click, kBothHands},
    {"/input/menu/click", Click, kBothHands},     {"/input/trigger/value", Value, kBothHands},
    {"/input/trigger/click", Click, kBothHands},  {"/input/trackpad", Vector2, kBothHands},
    {"/input/trackpad/click", Click, kBothHands}, {"/input/grip/pose", Pose, kBothHands},
    {"/input/aim/pose", Pose, kBothHands},
};

constexpr Component kSimple[] = {
    {"/input/select/click", Click, kBothHands},
    {"/input/menu/click", Click, kBothHands},
    {"/input/grip/pose", Pose, kBothHands},
    {"/input/aim/pose", Pose, kBothHands},
};

struct Profile {
    std::string_view path;
    std::span<const Component> components;
};

constexpr Profile kProfiles[] = {
    {"/interaction_profiles/valve/index_controller", kIndex},
    {"/interaction_profiles/oculus/touch_controller", kTouch},
    {"/interaction_profiles/htc/vive_controller", kVive},
    {"/interaction_profiles/khr/simple_controller", kSimple},
};

const Profile* ProfileAt(std::string_view path) {
    for (const Profile& profile : kProfiles) {
        if (profile.path == path) {
            return &profile;
        }
    }
    return nullptr;
}

} // namespace

const Component* FindComponent(std::string_view profilePath, std::string_view component, int hand) {
    const Profile* profile = ProfileAt(profilePath);
    if (profile == nullptr || hand < 0 || hand > 1) {
        return nullptr;
    }
    for (const Component& candidate : profile->components) {
        if (candidate.path == component && (candidate.hands & (1u << hand)) != 0) {
            return &candidate;
        }
    }
    return nullptr;
}

bool IsKnownProfile(std::string_view profile) {
    return ProfileAt(profile) != nullptr;
}

bool IsScriptableComponent(std::string_view component) {
    for (const Profile& profile : kProfiles) {
        for (const Component& candidate : profile.components) {
            if (candidate.path == component && candidate.kind != Axis && candidate.kind != Pose) {
                return true;
            }
        }
    }
    return false;
}

bool SplitBindingPath(std::string_view path, int& hand, std::string_view& component) {
    constexpr std::string_view kHands[] = {"/user/hand/left", "/user/hand/right"};
    for (int h = 0; h < 2; ++h) {
        if (path.starts_with(kHands[h]) && path.size() > kHands[h].size() && path[kHands[h].size()] == '/') {
            hand = h;
            component = path.substr(kHands[h].size());
            return true;
        }
    }
    return false;
}

bool Binds(int32_t actionType, ComponentKind kind) {
    switch (actionType) {
    case 1: // boolean
    case 2: // float
        return kind == Click || kind == Value || kind == Axis;
    case 3: // vector2
        return kind == Vector2;
    case 4: // pose
        return kind == Pose;
    default:
        return false;
    }
}

std::string_view ScriptedSource(std::string_view component, ComponentKind kind) {
    if (kind == Axis) {
        return component.substr(0, component.rfind('/'));
    }
    return component;
}

InputReading ReadAs(int32_t actionType, const Component& component, float x, float y) {
    float scalar = x;
    if (component.kind == Axis) {
        scalar = component.path.ends_with("/y") ? y : x;
    }
    switch (actionType) {
    case 1:
        return {scalar >= 0.5f ? 1.0f : 0.0f, 0.0f};
    case 2:
        return {component.kind == Click ? (scalar >= 0.5f ? 1.0f : 0.0f) : scalar, 0.0f};
    case 3:
        return {x, y};
    default:
        return {};
    }
}

} // namespace xrsim
