// Actions: sets and actions, suggested bindings, attaching, syncing and reading states.
#include "action_values.h"
#include "call_support.h"
#include "input_profiles.h"
#include "xr_calls.h"

#include <algorithm>
#include <cstring>

namespace xrsim {
namespace {

uint64_t Raw(const void* handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

bool WellFormedName(const char* name, size_t capacity) {
    const size_t length = strnlen(name, capacity);
    if (length == 0 || length == capacity) {
        return false;
    }
    return std::all_of(name, name + length, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    });
}

bool Contains(const std::vector<uint64_t>& handles, uint64_t handle) {
    return std::find(handles.begin(), handles.end(), handle) != handles.end();
}

// The checks every xrGetActionState* call makes; on success `action` is the action.
XrResult CheckGet(RuntimeState& state, const char* function, XrSession session, SessionObject*& object,
                  const XrActionStateGetInfo* info, XrActionType type, ActionObject*& action) {
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_ACTION_STATE_GET_INFO, "get info");
    }
    if (result == XR_SUCCESS) {
        result = UseAction(state, function, info->action, action);
    }
    if (result == XR_SUCCESS && !Contains(object->attachedSets, action->set)) {
        result = Rule(state, function, XR_ERROR_ACTIONSET_NOT_ATTACHED,
                      "action '" + action->name + "' is in no set attached to this session");
    }
    if (result == XR_SUCCESS && action->type != type) {
        result = Rule(state, function, XR_ERROR_ACTION_TYPE_MISMATCH,
                      "action '" + action->name + "' is of type " +
                          std::to_string(static_cast<int>(action->type)));
    }
    if (result == XR_SUCCESS && info->subactionPath != XR_NULL_PATH &&
        std::find(action->subactions.begin(), action->subactions.end(), info->subactionPath) ==
            action->subactions.end()) {
        result = Rule(state, function, XR_ERROR_PATH_UNSUPPORTED,
                      "subaction path " + std::to_string(info->subactionPath) + " was not declared for '" +
                          action->name + "'");
    }
    return result;
}

struct Reading {
    ActionReading now;
    bool changed = false;
};

Reading ReadSynced(const RuntimeState& state, const SessionObject& session, XrAction action,
                   XrPath subaction) {
    Reading reading;
    const uint64_t set = state.actions.at(Raw(action)).set;
    if (!session.synced || !Contains(session.syncedSets, set)) {
        return reading;
    }
    reading.now = ReadAction(state, session, Raw(action), subaction, session.syncFrame);
    if (reading.now.active && session.previouslySynced && Contains(session.previousSyncedSets, set)) {
        const ActionReading before =
            ReadAction(state, session, Raw(action), subaction, session.previousSyncFrame);
        reading.changed = before.active && (before.x != reading.now.x || before.y != reading.now.y);
    }
    return reading;
}

void LogQuery(RuntimeState& state, const char* function, const ActionObject* action, XrResult result,
              const std::string& out) {
    if (result != XR_SUCCESS || state.scenario.logQueries) {
        LogCall(state, function, action != nullptr ? "action=" + action->name : std::string(), result, out);
    }
}

} // namespace

XrResult XRAPI_CALL CreateActionSet(XrInstance instance, const XrActionSetCreateInfo* info,
                                    XrActionSet* set) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrCreateActionSet";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_ACTION_SET_CREATE_INFO, "create info");
    }
    if (result == XR_SUCCESS && !WellFormedName(info->actionSetName, XR_MAX_ACTION_SET_NAME_SIZE)) {
        result = Rule(state, function, XR_ERROR_NAME_INVALID, "action set name is not well formed");
    }
    if (result == XR_SUCCESS &&
        strnlen(info->localizedActionSetName, XR_MAX_LOCALIZED_ACTION_SET_NAME_SIZE) == 0) {
        result = Rule(state, function, XR_ERROR_LOCALIZED_NAME_INVALID, "localized action set name is empty");
    }
    if (result == XR_SUCCESS) {
        for (const auto& [handle, existing] : state.actionSets) {
            if (existing.instance == Raw(instance) && existing.name == info->actionSetName) {
                result = Rule(state, function, XR_ERROR_NAME_DUPLICATED,
                              std::string("action set '") + info->actionSetName + "' exists");
            }
        }
    }
    std::string out;
    if (result == XR_SUCCESS && set != nullptr) {
        const uint64_t handle = state.NewHandle();
        state.actionSets[handle] = {Raw(instance), info->actionSetName, false};
        *set = reinterpret_cast<XrActionSet>(handle);
        out = "set=" + HandleText(handle);
    }
    LogCall(state, function, result == XR_SUCCESS ? std::string("name=") + info->actionSetName : "", result,
            out);
    return result;
}

XrResult XRAPI_CALL DestroyActionSet(XrActionSet set) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrDestroyActionSet";
    ActionSetObject* object = nullptr;
    XrResult result = UseActionSet(state, function, set, object);
    if (result == XR_ERROR_INSTANCE_LOST) {
        result = XR_SUCCESS;
    }
    if (result == XR_SUCCESS) {
        std::erase_if(state.actions, [set](const auto& entry) { return entry.second.set == Raw(set); });
        state.actionSets.erase(Raw(set));
    }
    LogCall(state, function, "set=" + HandleText(Raw(set)), result);
    return result;
}

XrResult XRAPI_CALL CreateAction(XrActionSet set, const XrActionCreateInfo* info, XrAction* action) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrCreateAction";
    ActionSetObject* object = nullptr;
    XrResult result = UseActionSet(state, function, set, object);
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_ACTION_CREATE_INFO, "create info");
    }
    if (result == XR_SUCCESS && object->attached) {
        result = Rule(state, function, XR_ERROR_ACTIONSETS_ALREADY_ATTACHED, "the set is already attached");
    }
    if (result == XR_SUCCESS && !WellFormedName(info->actionName, XR_MAX_ACTION_NAME_SIZE)) {
        result = Rule(state, function, XR_ERROR_NAME_INVALID, "action name is not well formed");
    }
    if (result == XR_SUCCESS && strnlen(info->localizedActionName, XR_MAX_LOCALIZED_ACTION_NAME_SIZE) == 0) {
        result = Rule(state, function, XR_ERROR_LOCALIZED_NAME_INVALID, "localized action name is empty");
    }
    if (result == XR_SUCCESS) {
        for (const auto& [handle, existing] : state.actions) {
            if (existing.set == Raw(set) && existing.name == info->actionName) {
                result = Rule(state, function, XR_ERROR_NAME_DUPLICATED,
                              std::string("action '") + info->actionName + "' exists in the set");
            }
        }
    }
    std::vector<XrPath> subactions;
    if (result == XR_SUCCESS) {
        const InstanceObject& instance = state.instances.at(object->instance);
        for (uint32_t i = 0; i < info->countSubactionPaths && result == XR_SUCCESS; ++i) {
            if (HandOfPath(instance, info->subactionPaths[i]) < 0) {
                result = Rule(state, function, XR_ERROR_PATH_UNSUPPORTED,
                              "subaction path '" + PathText(instance, info->subactionPaths[i]) +
                                  "' is not a hand");
            }
            subactions.push_back(info->subactionPaths[i]);
        }
    }
    std::string out;
    if (result == XR_SUCCESS && action != nullptr) {
        const uint64_t handle = state.NewHandle();
        state.actions[handle] = {Raw(set), object->instance, info->actionName, info->actionType, subactions};
        *action = reinterpret_cast<XrAction>(handle);
        out = "action=" + HandleText(handle);
    }
    LogCall(state, function,
            result == XR_SUCCESS ? std::string("name=") + info->actionName +
                                       " type=" + std::to_string(static_cast<int>(info->actionType))
                                 : "",
            result, out);
    return result;
}

XrResult XRAPI_CALL DestroyAction(XrAction action) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrDestroyAction";
    ActionObject* object = nullptr;
    XrResult result = UseAction(state, function, action, object);
    if (result == XR_ERROR_INSTANCE_LOST) {
        result = XR_SUCCESS;
    }
    if (result == XR_SUCCESS) {
        state.actions.erase(Raw(action));
    }
    LogCall(state, function, "action=" + HandleText(Raw(action)), result);
    return result;
}

XrResult XRAPI_CALL SuggestInteractionProfileBindings(
    XrInstance instance, const XrInteractionProfileSuggestedBinding* suggested) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrSuggestInteractionProfileBindings";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS) {
        result =
            Structure(state, function, suggested, XR_TYPE_INTERACTION_PROFILE_SUGGESTED_BINDING, "bindings");
    }
    std::string profile;
    if (result == XR_SUCCESS) {
        profile = PathText(*object, suggested->interactionProfile);
        if (!IsKnownProfile(profile)) {
            result =
                Rule(state, function, XR_ERROR_PATH_UNSUPPORTED, "profile '" + profile + "' is not known");
        }
    }
    if (result == XR_SUCCESS) {
        for (const auto& [handle, set] : state.actionSets) {
            if (set.instance == Raw(instance) && set.attached) {
                result = Rule(state, function, XR_ERROR_ACTIONSETS_ALREADY_ATTACHED,
                              "action sets are already attached");
                break;
            }
        }
    }
    std::vector<std::pair<uint64_t, XrPath>> bindings;
    for (uint32_t i = 0; result == XR_SUCCESS && i < suggested->countSuggestedBindings; ++i) {
        const XrActionSuggestedBinding& binding = suggested->suggestedBindings[i];
        ActionObject* action = nullptr;
        result = UseAction(state, function, binding.action, action);
        if (result != XR_SUCCESS) {
            break;
        }
        const std::string path = PathText(*object, binding.binding);
        int hand = -1;
        std::string_view component;
        const Component* found =
            SplitBindingPath(path, hand, component) ? FindComponent(profile, component, hand) : nullptr;
        if (found == nullptr) {
            result = Rule(state, function, XR_ERROR_PATH_UNSUPPORTED,
                          "'" + path + "' is not a path of " + profile);
        } else if (!Binds(action->type, found->kind)) {
            result = Rule(state, function, XR_ERROR_PATH_UNSUPPORTED,
                          "action '" + action->name + "' cannot bind to '" + path + "'");
        }
        bindings.emplace_back(Raw(binding.action), binding.binding);
    }
    if (result == XR_SUCCESS) {
        object->suggested[suggested->interactionProfile] = bindings;
    }
    LogCall(state, function, "profile=" + profile + " bindings=" + std::to_string(bindings.size()), result);
    return result;
}

XrResult XRAPI_CALL AttachSessionActionSets(XrSession session,
                                            const XrSessionActionSetsAttachInfo* info) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrAttachSessionActionSets";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_SESSION_ACTION_SETS_ATTACH_INFO, "attach info");
    }
    if (result == XR_SUCCESS && !object->attachedSets.empty()) {
        result = Rule(state, function, XR_ERROR_ACTIONSETS_ALREADY_ATTACHED,
                      "the session already has action sets");
    }
    std::vector<uint64_t> sets;
    for (uint32_t i = 0; result == XR_SUCCESS && i < info->countActionSets; ++i) {
        ActionSetObject* set = nullptr;
        result = UseActionSet(state, function, info->actionSets[i], set);
        sets.push_back(Raw(info->actionSets[i]));
    }
    std::string out;
    if (result == XR_SUCCESS) {
        object->attachedSets = sets;
        const InstanceObject& instance = state.instances.at(object->instance);
        for (uint64_t set : sets) {
            state.actionSets.at(set).attached = true;
        }
        for (int hand : {kLeftHand, kRightHand}) {
            object->profile[hand] = ProfileForHand(state.scenario, instance, hand);
            const std::string text = PathText(instance, object->profile[hand]);
            out += std::string(hand == kLeftHand ? "left=" : " right=") + (text.empty() ? "none" : text);
        }
    }
    LogCall(state, function, "sets=" + std::to_string(sets.size()), result, out);
    return result;
}

XrResult XRAPI_CALL GetCurrentInteractionProfile(XrSession session, XrPath topLevelUserPath,
                                                 XrInteractionProfileState* profileState) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrGetCurrentInteractionProfile";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Structure(state, function, profileState, XR_TYPE_INTERACTION_PROFILE_STATE, "profile state");
    }
    if (result == XR_SUCCESS && object->attachedSets.empty()) {
        result = Rule(state, function, XR_ERROR_ACTIONSET_NOT_ATTACHED, "no action sets are attached yet");
    }
    const int hand =
        result == XR_SUCCESS ? HandOfPath(state.instances.at(object->instance), topLevelUserPath) : -1;
    if (result == XR_SUCCESS && hand < 0) {
        result = Rule(state, function, XR_ERROR_PATH_UNSUPPORTED, "top-level path is not a hand");
    }
    if (result == XR_SUCCESS) {
        profileState->interactionProfile = object->profile[hand];
    }
    LogQuery(state, function, nullptr, result,
             result == XR_SUCCESS ? "profile=" + std::to_string(object->profile[hand]) : "");
    return result;
}

XrResult XRAPI_CALL SyncActions(XrSession session, const XrActionsSyncInfo* info) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrSyncActions";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_ACTIONS_SYNC_INFO, "sync info");
    }
    std::vector<uint64_t> sets;
    for (uint32_t i = 0; result == XR_SUCCESS && i < info->countActiveActionSets; ++i) {
        const uint64_t set = Raw(info->activeActionSets[i].actionSet);
        if (!Contains(object->attachedSets, set)) {
            result = Rule(state, function, XR_ERROR_ACTIONSET_NOT_ATTACHED,
                          "set " + HandleText(set) + " is not attached to this session");
        }
        sets.push_back(set);
    }
    if (result == XR_SUCCESS) {
        object->previouslySynced = object->synced;
        object->previousSyncedSets = object->syncedSets;
        object->previousSyncFrame = object->syncFrame;
        // Inputs go to the focused application only.
        object->synced = object->state == XR_SESSION_STATE_FOCUSED;
        object->syncedSets = object->synced ? sets : std::vector<uint64_t>{};
        object->syncFrame = state.frame;
        if (!object->synced) {
            result = XR_SESSION_NOT_FOCUSED;
        }
    }
    LogQuery(state, function, nullptr, result, "sets=" + std::to_string(sets.size()));
    return result;
}

XrResult XRAPI_CALL GetActionStateBoolean(XrSession session, const XrActionStateGetInfo* info,
                                          XrActionStateBoolean* out) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrGetActionStateBoolean";
    SessionObject* object = nullptr;
    ActionObject* action = nullptr;
    XrResult result = CheckGet(state, function, session, object, info, XR_ACTION_TYPE_BOOLEAN_INPUT, action);
    if (result == XR_SUCCESS) {
        result = Structure(state, function, out, XR_TYPE_ACTION_STATE_BOOLEAN, "state");
    }
    std::string text;
    if (result == XR_SUCCESS) {
        const Reading reading = ReadSynced(state, *object, info->action, info->subactionPath);
        out->isActive = reading.now.active;
        out->currentState = reading.now.x >= 0.5f;
        out->changedSinceLastSync = reading.changed;
        out->lastChangeTime = reading.changed ? TimeOfFrame(state.scenario, object->syncFrame) : 0;
        text = "active=" + std::to_string(out->isActive) + " value=" + std::to_string(out->currentState);
    }
    LogQuery(state, function, action, result, text);
    return result;
}

XrResult XRAPI_CALL GetActionStateFloat(XrSession session, const XrActionStateGetInfo* info,
                                        XrActionStateFloat* out) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrGetActionStateFloat";
    SessionObject* object = nullptr;
    ActionObject* action = nullptr;
    XrResult result = CheckGet(state, function, session, object, info, XR_ACTION_TYPE_FLOAT_INPUT, action);
    if (result == XR_SUCCESS) {
        result = Structure(state, function, out, XR_TYPE_ACTION_STATE_FLOAT, "state");
    }
    std::string text;
    if (result == XR_SUCCESS) {
        const Reading reading = ReadSynced(state, *object, info->action, info->subactionPath);
        out->isActive = reading.now.active;
        out->currentState = reading.now.x;
        out->changedSinceLastSync = reading.changed;
        out->lastChangeTime = reading.changed ? TimeOfFrame(state.scenario, object->syncFrame) : 0;
        text = "active=" + std::to_string(out->isActive) + " value=" + FloatText(out->currentState);
    }
    LogQuery(state, function, action, result, text);
    return result;
}

XrResult XRAPI_CALL GetActionStateVector2f(XrSession session, const XrActionStateGetInfo* info,
                                           XrActionStateVector2f* out) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrGetActionStateVector2f";
    SessionObject* object = nullptr;
    ActionObject* action = nullptr;
    XrResult result = CheckGet(state, function, session, object, info, XR_ACTION_TYPE_VECTOR2F_INPUT, action);
    if (result == XR_SUCCESS) {
        result = Structure(state, function, out, XR_TYPE_ACTION_STATE_VECTOR2F, "state");
    }
    std::string text;
    if (result == XR_SUCCESS) {
        const Reading reading = ReadSynced(state, *object, info->action, info->subactionPath);
        out->isActive = reading.now.active;
        out->currentState = {reading.now.x, reading.now.y};
        out->changedSinceLastSync = reading.changed;
        out->lastChangeTime = reading.changed ? TimeOfFrame(state.scenario, object->syncFrame) : 0;
        text = "active=" + std::to_string(out->isActive) + " value=" + FloatText(reading.now.x) + " " +
               FloatText(reading.now.y);
    }
    LogQuery(state, function, action, result, text);
    return result;
}

XrResult XRAPI_CALL GetActionStatePose(XrSession session, const XrActionStateGetInfo* info,
                                       XrActionStatePose* out) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrGetActionStatePose";
    SessionObject* object = nullptr;
    ActionObject* action = nullptr;
    XrResult result = CheckGet(state, function, session, object, info, XR_ACTION_TYPE_POSE_INPUT, action);
    if (result == XR_SUCCESS) {
        result = Structure(state, function, out, XR_TYPE_ACTION_STATE_POSE, "state");
    }
    std::string text;
    if (result == XR_SUCCESS) {
        out->isActive = ReadSynced(state, *object, info->action, info->subactionPath).now.active;
        text = "active=" + std::to_string(out->isActive);
    }
    LogQuery(state, function, action, result, text);
    return result;
}

} // namespace xrsim
