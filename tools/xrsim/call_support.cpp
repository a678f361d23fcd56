// Shared call plumbing.
#include "call_support.h"

#include "action_values.h"
#include "xr_names.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace xrsim {

XrDuration FramePeriod(const Scenario& scenario) {
    const double hz =
        std::isfinite(scenario.refreshHz) && scenario.refreshHz > 0.0f ? scenario.refreshHz : 90.0;
    return static_cast<XrDuration>(std::llround(1e9 / hz));
}

XrTime TimeOfFrame(const Scenario& scenario, uint32_t frame) {
    return kTimeOfFrameZero + static_cast<XrTime>(frame) * FramePeriod(scenario);
}

uint32_t FrameOfTime(const Scenario& scenario, XrTime time) {
    if (time <= kTimeOfFrameZero) {
        return 0;
    }
    const double frames =
        static_cast<double>(time - kTimeOfFrameZero) / static_cast<double>(FramePeriod(scenario));
    return frames >= 4e9 ? kLastFrame : static_cast<uint32_t>(std::llround(frames));
}

void LogCall(RuntimeState& state, const char* function, const std::string& args, XrResult result,
             const std::string& out) {
    state.log.Line("%s frame=%u%s%s -> %s%s%s", function, state.frame, args.empty() ? "" : " ", args.c_str(),
                   ResultName(result).c_str(), out.empty() ? "" : " ", out.c_str());
}

XrResult Rule(RuntimeState& state, const char* function, XrResult result, const std::string& text) {
    state.log.Line("rule broken: %s frame=%u: %s", function, state.frame, text.c_str());
    return result;
}

std::string HandleText(uint64_t handle) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%" PRIx64, handle);
    return text;
}

std::string FloatText(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

XrResult Injected(const RuntimeState& state, const char* function) {
    return static_cast<XrResult>(InjectedCode(state.scenario, function, state.frame));
}

XrResult Structure(RuntimeState& state, const char* function, const void* structure, XrStructureType type,
                   const char* what) {
    if (structure == nullptr) {
        return Rule(state, function, XR_ERROR_VALIDATION_FAILURE, std::string(what) + " is null");
    }
    const auto given = static_cast<const XrBaseInStructure*>(structure)->type;
    if (given != type) {
        return Rule(state, function, XR_ERROR_VALIDATION_FAILURE,
                    std::string(what) + " has type " + StructureTypeName(given) + ", not " +
                        StructureTypeName(type));
    }
    return XR_SUCCESS;
}

namespace {

template <typename Object>
XrResult Find(RuntimeState& state, const char* function, std::map<uint64_t, Object>& objects, uint64_t handle,
              const char* kind, Object*& found) {
    const auto at = objects.find(handle);
    if (at == objects.end()) {
        found = nullptr;
        return Rule(state, function, XR_ERROR_HANDLE_INVALID,
                    "handle " + HandleText(handle) + " is not a live " + kind);
    }
    found = &at->second;
    return XR_SUCCESS;
}

XrResult InstanceAlive(const RuntimeState& state, uint64_t instance) {
    return state.instances.at(instance).lost ? XR_ERROR_INSTANCE_LOST : XR_SUCCESS;
}

XrResult SessionAlive(const RuntimeState& state, uint64_t session) {
    const SessionObject& object = state.sessions.at(session);
    if (XrResult alive = InstanceAlive(state, object.instance); alive != XR_SUCCESS) {
        return alive;
    }
    return object.lost ? XR_ERROR_SESSION_LOST : XR_SUCCESS;
}

uint64_t Raw(const void* handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

} // namespace

XrResult UseInstance(RuntimeState& state, const char* function, XrInstance handle,
                     InstanceObject*& instance) {
    XrResult found = Find(state, function, state.instances, Raw(handle), "instance", instance);
    return found != XR_SUCCESS ? found : InstanceAlive(state, Raw(handle));
}

XrResult UseSession(RuntimeState& state, const char* function, XrSession handle, SessionObject*& session) {
    XrResult found = Find(state, function, state.sessions, Raw(handle), "session", session);
    return found != XR_SUCCESS ? found : SessionAlive(state, Raw(handle));
}

XrResult UseSpace(RuntimeState& state, const char* function, XrSpace handle, SpaceObject*& space) {
    XrResult found = Find(state, function, state.spaces, Raw(handle), "space", space);
    return found != XR_SUCCESS ? found : SessionAlive(state, space->session);
}

XrResult UseSwapchain(RuntimeState& state, const char* function, XrSwapchain handle,
                      SwapchainObject*& swapchain) {
    XrResult found = Find(state, function, state.swapchains, Raw(handle), "swapchain", swapchain);
    return found != XR_SUCCESS ? found : SessionAlive(state, swapchain->session);
}

XrResult UseActionSet(RuntimeState& state, const char* function, XrActionSet handle, ActionSetObject*& set) {
    XrResult found = Find(state, function, state.actionSets, Raw(handle), "action set", set);
    return found != XR_SUCCESS ? found : InstanceAlive(state, set->instance);
}

XrResult UseAction(RuntimeState& state, const char* function, XrAction handle, ActionObject*& action) {
    XrResult found = Find(state, function, state.actions, Raw(handle), "action", action);
    return found != XR_SUCCESS ? found : InstanceAlive(state, action->instance);
}

void QueueState(RuntimeState& state, uint64_t session, XrSessionState next) {
    QueuedEvent event;
    event.kind = QueuedEvent::Kind::SessionState;
    event.session = session;
    event.state = next;
    event.time = TimeOfFrame(state.scenario, state.frame);
    state.instances.at(state.sessions.at(session).instance).events.push_back(event);
}

namespace {

// How many of the scripted frames are due by `frame`.
uint32_t Due(const std::vector<uint32_t>& frames, uint32_t frame) {
    uint32_t due = 0;
    for (uint32_t scripted : frames) {
        due += scripted <= frame ? 1u : 0u;
    }
    return due;
}

} // namespace

void ApplyScriptedFaults(RuntimeState& state) {
    const Scenario& scenario = state.scenario;
    const uint32_t frame = state.frame;
    const uint32_t sessionLosses = Due(scenario.sessionLossFrames, frame);
    if (sessionLosses > state.sessionLossFired) {
        state.sessionLossFired = sessionLosses;
        for (auto& [handle, session] : state.sessions) {
            if (!session.lost && !state.instances.at(session.instance).lost) {
                session.lost = true;
                QueueState(state, handle, XR_SESSION_STATE_LOSS_PENDING);
                state.log.Line("scripted session_loss frame=%u session=%s", frame,
                               HandleText(handle).c_str());
            }
        }
    }
    const uint32_t instanceLosses = Due(scenario.instanceLossFrames, frame);
    if (instanceLosses > state.instanceLossFired) {
        state.instanceLossFired = instanceLosses;
        for (auto& [handle, instance] : state.instances) {
            if (!instance.lost) {
                instance.lost = true;
                QueuedEvent event;
                event.kind = QueuedEvent::Kind::InstanceLoss;
                event.time = TimeOfFrame(scenario, frame);
                instance.events.push_back(event);
                state.log.Line("scripted instance_loss frame=%u instance=%s", frame,
                               HandleText(handle).c_str());
            }
        }
    }
    const uint32_t exits = Due(scenario.exitRequestFrames, frame);
    if (exits > state.exitRequestFired) {
        state.exitRequestFired = exits;
        for (auto& [handle, session] : state.sessions) {
            if (session.running && !session.stoppingQueued && !session.lost) {
                session.stoppingQueued = true;
                QueueState(state, handle, XR_SESSION_STATE_STOPPING);
                state.log.Line("scripted exit_request frame=%u session=%s", frame,
                               HandleText(handle).c_str());
            }
        }
    }
}

Pose FromXr(const XrPosef& pose) {
    return {{pose.orientation.x, pose.orientation.y, pose.orientation.z, pose.orientation.w},
            {pose.position.x, pose.position.y, pose.position.z}};
}

XrPosef ToXr(const Pose& pose) {
    XrPosef out{};
    out.orientation = {static_cast<float>(pose.orientation.x), static_cast<float>(pose.orientation.y),
                       static_cast<float>(pose.orientation.z), static_cast<float>(pose.orientation.w)};
    out.position = {static_cast<float>(pose.position.x), static_cast<float>(pose.position.y),
                    static_cast<float>(pose.position.z)};
    return out;
}

TrackedPose SpaceInLocal(const RuntimeState& state, const SpaceObject& space, uint32_t frame) {
    switch (space.kind) {
    case SpaceKind::Local:
        return {true, space.offset};
    case SpaceKind::View: {
        const TrackedPose head = ScriptedPoseAt(state.scenario, state.scenario.head, frame);
        return head.tracked ? TrackedPose{true, Compose(head.pose, space.offset)} : TrackedPose{};
    }
    case SpaceKind::Action: {
        const SessionObject& session = state.sessions.at(space.session);
        if (state.actions.count(space.action) == 0) {
            return {};
        }
        const ActionReading reading = ReadAction(state, session, space.action, space.subaction, frame);
        if (!reading.active || reading.hand < 0) {
            return {};
        }
        const TrackedPose hand =
            ScriptedPoseAt(state.scenario, state.scenario.hands[reading.hand].pose, frame);
        return hand.tracked ? TrackedPose{true, Compose(hand.pose, space.offset)} : TrackedPose{};
    }
    }
    return {};
}

std::string PathText(const InstanceObject& instance, XrPath path) {
    if (path == XR_NULL_PATH || path > instance.paths.size()) {
        return {};
    }
    return instance.paths[path - 1];
}

XrResult FillText(uint32_t capacity, uint32_t* countOutput, char* out, const std::string& text) {
    if (countOutput == nullptr) {
        return XR_ERROR_VALIDATION_FAILURE;
    }
    const uint32_t needed = static_cast<uint32_t>(text.size() + 1);
    *countOutput = needed;
    if (capacity == 0) {
        return XR_SUCCESS;
    }
    if (capacity < needed || out == nullptr) {
        return XR_ERROR_SIZE_INSUFFICIENT;
    }
    std::memcpy(out, text.c_str(), needed);
    return XR_SUCCESS;
}

} // namespace xrsim
