// Action values from the scenario's inputs.
#include "action_values.h"

#include "call_support.h"
#include "input_profiles.h"

#include <cmath>

namespace xrsim {

int HandOfPath(const InstanceObject& instance, XrPath path) {
    const std::string text = PathText(instance, path);
    if (text == "/user/hand/left") {
        return kLeftHand;
    }
    if (text == "/user/hand/right") {
        return kRightHand;
    }
    return -1;
}

XrPath ProfileForHand(const Scenario& scenario, const InstanceObject& instance, int hand) {
    for (const auto& [profile, bindings] : instance.suggested) {
        if (PathText(instance, profile) == scenario.hands[hand].profile) {
            return profile;
        }
    }
    return XR_NULL_PATH;
}

ActionReading ReadAction(const RuntimeState& state, const SessionObject& session, uint64_t actionHandle,
                         XrPath subaction, uint32_t frame) {
    const InstanceObject& instance = state.instances.at(session.instance);
    const ActionObject& action = state.actions.at(actionHandle);
    const int onlyHand = subaction == XR_NULL_PATH ? -1 : HandOfPath(instance, subaction);
    ActionReading reading;
    for (int hand : {kLeftHand, kRightHand}) {
        if ((onlyHand >= 0 && hand != onlyHand) || session.profile[hand] == XR_NULL_PATH) {
            continue;
        }
        const ScriptedHand& scripted = state.scenario.hands[hand];
        if (!HandConnected(scripted, frame)) {
            continue;
        }
        const auto bindings = instance.suggested.find(session.profile[hand]);
        if (bindings == instance.suggested.end()) {
            continue;
        }
        const std::string profile = PathText(instance, session.profile[hand]);
        for (const auto& [boundAction, bindingPath] : bindings->second) {
            if (actionHandle != boundAction) {
                continue;
            }
            int bindingHand = -1;
            std::string_view component;
            const std::string path = PathText(instance, bindingPath);
            if (!SplitBindingPath(path, bindingHand, component) || bindingHand != hand) {
                continue;
            }
            const Component* found = FindComponent(profile, component, hand);
            if (found == nullptr || !Binds(action.type, found->kind)) {
                continue;
            }
            const bool first = !reading.active;
            reading.active = true;
            if (action.type == XR_ACTION_TYPE_POSE_INPUT) {
                if (first) {
                    reading.hand = hand;
                }
                continue;
            }
            const ScriptedInput* input = InputAt(scripted, ScriptedSource(found->path, found->kind), frame);
            const InputReading value =
                ReadAs(action.type, *found, input ? input->x : 0.0f, input ? input->y : 0.0f);
            const bool larger = std::hypot(value.x, value.y) > std::hypot(reading.x, reading.y);
            if (first || larger) {
                reading.x = value.x;
                reading.y = value.y;
                reading.hand = hand;
            }
        }
    }
    return reading;
}

} // namespace xrsim
