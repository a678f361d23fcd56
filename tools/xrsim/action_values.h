// What an action reads at a frame: through the bindings the client suggested for the profile
// each hand has, the scripted component values. Platform-free; called under the runtime lock.
#pragma once

#include "runtime_state.h"

namespace xrsim {

struct ActionReading {
    bool active = false; // bound on a connected hand
    float x = 0.0f;
    float y = 0.0f;
    int hand = -1; // the hand the value came from (the first one for a pose)
};

// The action's value for the hands `subaction` selects (XR_NULL_PATH: both), combined over its
// bindings: booleans any-on, floats and vectors the largest magnitude, a pose its first hand.
[[nodiscard]] ActionReading ReadAction(const RuntimeState& state, const SessionObject& session,
                                       uint64_t actionHandle, XrPath subaction, uint32_t frame);

// The profile the session gets for a hand at attach: the scripted one, when the client
// suggested bindings for it; else none.
[[nodiscard]] XrPath ProfileForHand(const Scenario& scenario, const InstanceObject& instance, int hand);

// 0 or 1 for "/user/hand/left" and "/user/hand/right", -1 for anything else.
[[nodiscard]] int HandOfPath(const InstanceObject& instance, XrPath path);

} // namespace xrsim
