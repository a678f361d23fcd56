// Reference and action spaces, and where spaces and the two views are at a time.
#include "call_support.h"
#include "xr_calls.h"

#include <cmath>

namespace xrsim {
namespace {

constexpr XrSpaceLocationFlags kAllTracked =
    XR_SPACE_LOCATION_ORIENTATION_VALID_BIT | XR_SPACE_LOCATION_POSITION_VALID_BIT |
    XR_SPACE_LOCATION_ORIENTATION_TRACKED_BIT | XR_SPACE_LOCATION_POSITION_TRACKED_BIT;

uint64_t Raw(const void* handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

bool RigidPose(const XrPosef& pose) {
    const XrQuaternionf& q = pose.orientation;
    const double length =
        std::sqrt(double{q.x} * q.x + double{q.y} * q.y + double{q.z} * q.z + double{q.w} * q.w);
    return std::fabs(length - 1.0) <= 1e-3 && std::isfinite(pose.position.x) &&
           std::isfinite(pose.position.y) && std::isfinite(pose.position.z);
}

XrResult NewSpace(RuntimeState& state, const SpaceObject& space, XrSpace* out, std::string& text) {
    const uint64_t handle = state.NewHandle();
    state.spaces[handle] = space;
    *out = reinterpret_cast<XrSpace>(handle);
    text = "space=" + HandleText(handle);
    return XR_SUCCESS;
}

} // namespace

XrResult XRAPI_CALL EnumerateReferenceSpaces(XrSession session, uint32_t capacity, uint32_t* count,
                                             XrReferenceSpaceType* spaces) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrEnumerateReferenceSpaces";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = FillArray(capacity, count, spaces,
                           std::vector{XR_REFERENCE_SPACE_TYPE_VIEW, XR_REFERENCE_SPACE_TYPE_LOCAL});
    }
    LogCall(state, function, "capacity=" + std::to_string(capacity), result);
    return result;
}

XrResult XRAPI_CALL CreateReferenceSpace(XrSession session, const XrReferenceSpaceCreateInfo* info,
                                         XrSpace* space) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrCreateReferenceSpace";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_REFERENCE_SPACE_CREATE_INFO, "create info");
    }
    std::string args, out;
    if (result == XR_SUCCESS) {
        const XrReferenceSpaceType type = info->referenceSpaceType;
        args = type == XR_REFERENCE_SPACE_TYPE_LOCAL  ? "type=LOCAL"
               : type == XR_REFERENCE_SPACE_TYPE_VIEW ? "type=VIEW"
                                                      : "type=" + std::to_string(static_cast<int>(type));
        if (type != XR_REFERENCE_SPACE_TYPE_LOCAL && type != XR_REFERENCE_SPACE_TYPE_VIEW) {
            result = Rule(state, function, XR_ERROR_REFERENCE_SPACE_UNSUPPORTED,
                          "reference space " + std::to_string(static_cast<int>(type)) + " is not offered");
        } else if (!RigidPose(info->poseInReferenceSpace)) {
            result =
                Rule(state, function, XR_ERROR_POSE_INVALID, "poseInReferenceSpace is not a rigid transform");
        } else if (space == nullptr) {
            result = Rule(state, function, XR_ERROR_VALIDATION_FAILURE, "space pointer is null");
        } else {
            SpaceObject created;
            created.session = Raw(session);
            created.kind = type == XR_REFERENCE_SPACE_TYPE_LOCAL ? SpaceKind::Local : SpaceKind::View;
            created.offset = FromXr(info->poseInReferenceSpace);
            result = NewSpace(state, created, space, out);
        }
    }
    LogCall(state, function, args, result, out);
    return result;
}

XrResult XRAPI_CALL CreateActionSpace(XrSession session, const XrActionSpaceCreateInfo* info,
                                      XrSpace* space) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrCreateActionSpace";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_ACTION_SPACE_CREATE_INFO, "create info");
    }
    ActionObject* action = nullptr;
    if (result == XR_SUCCESS) {
        result = UseAction(state, function, info->action, action);
    }
    if (result == XR_SUCCESS && action->type != XR_ACTION_TYPE_POSE_INPUT) {
        result = Rule(state, function, XR_ERROR_ACTION_TYPE_MISMATCH,
                      "action '" + action->name + "' is not a pose action");
    }
    if (result == XR_SUCCESS && !RigidPose(info->poseInActionSpace)) {
        result = Rule(state, function, XR_ERROR_POSE_INVALID, "poseInActionSpace is not a rigid transform");
    }
    std::string out;
    if (result == XR_SUCCESS) {
        SpaceObject created;
        created.session = Raw(session);
        created.kind = SpaceKind::Action;
        created.offset = FromXr(info->poseInActionSpace);
        created.action = Raw(info->action);
        created.subaction = info->subactionPath;
        result = NewSpace(state, created, space, out);
    }
    LogCall(state, function, action ? "action=" + action->name : std::string(), result, out);
    return result;
}

XrResult XRAPI_CALL DestroySpace(XrSpace space) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrDestroySpace";
    SpaceObject* object = nullptr;
    XrResult result = UseSpace(state, function, space, object);
    if (result == XR_ERROR_SESSION_LOST || result == XR_ERROR_INSTANCE_LOST) {
        result = XR_SUCCESS;
    }
    if (result == XR_SUCCESS) {
        state.spaces.erase(Raw(space));
    }
    LogCall(state, function, "space=" + HandleText(Raw(space)), result);
    return result;
}

XrResult XRAPI_CALL LocateSpace(XrSpace space, XrSpace baseSpace, XrTime time,
                                XrSpaceLocation* location) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrLocateSpace";
    SpaceObject* object = nullptr;
    SpaceObject* base = nullptr;
    XrResult result = UseSpace(state, function, space, object);
    if (result == XR_SUCCESS) {
        result = UseSpace(state, function, baseSpace, base);
    }
    if (result == XR_SUCCESS && object->session != base->session) {
        result =
            Rule(state, function, XR_ERROR_VALIDATION_FAILURE, "the two spaces belong to different sessions");
    }
    if (result == XR_SUCCESS && time <= 0) {
        result =
            Rule(state, function, XR_ERROR_TIME_INVALID, "time " + std::to_string(time) + " is not a time");
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, location, XR_TYPE_SPACE_LOCATION, "location");
    }
    std::string out;
    if (result == XR_SUCCESS) {
        const uint32_t frame = FrameOfTime(state.scenario, time);
        const TrackedPose located = SpaceInLocal(state, *object, frame);
        const TrackedPose from = SpaceInLocal(state, *base, frame);
        const bool tracked = located.tracked && from.tracked;
        location->locationFlags = tracked ? kAllTracked : 0;
        location->pose = ToXr(tracked ? Compose(Inverse(from.pose), located.pose) : Pose{});
        char text[64];
        std::snprintf(text, sizeof text, "flags=0x%llx",
                      static_cast<unsigned long long>(location->locationFlags));
        out = text;
    }
    if (result != XR_SUCCESS || state.scenario.logQueries) {
        LogCall(state, function, "time=" + std::to_string(time), result, out);
    }
    return result;
}

XrResult XRAPI_CALL LocateViews(XrSession session, const XrViewLocateInfo* info, XrViewState* viewState,
                                uint32_t capacity, uint32_t* count, XrView* views) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrLocateViews";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_VIEW_LOCATE_INFO, "locate info");
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, viewState, XR_TYPE_VIEW_STATE, "view state");
    }
    if (result == XR_SUCCESS && info->viewConfigurationType != XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO) {
        result = Rule(state, function, XR_ERROR_VIEW_CONFIGURATION_TYPE_UNSUPPORTED,
                      "view configuration " + std::to_string(static_cast<int>(info->viewConfigurationType)) +
                          " is not offered");
    }
    SpaceObject* space = nullptr;
    if (result == XR_SUCCESS) {
        result = UseSpace(state, function, info->space, space);
    }
    if (result == XR_SUCCESS && space->session != Raw(session)) {
        result = Rule(state, function, XR_ERROR_VALIDATION_FAILURE, "the space belongs to another session");
    }
    if (result == XR_SUCCESS && info->displayTime <= 0) {
        result = Rule(state, function, XR_ERROR_TIME_INVALID,
                      "time " + std::to_string(info->displayTime) + " is not a time");
    }
    if (result == XR_SUCCESS && count == nullptr) {
        result = Rule(state, function, XR_ERROR_VALIDATION_FAILURE, "count pointer is null");
    }
    if (result == XR_SUCCESS) {
        *count = 2;
        if (capacity != 0 && (capacity < 2 || views == nullptr)) {
            result = XR_ERROR_SIZE_INSUFFICIENT;
        }
    }
    std::string args, out;
    if (result == XR_SUCCESS && capacity != 0) {
        const uint32_t frame = FrameOfTime(state.scenario, info->displayTime);
        args = "time=" + std::to_string(info->displayTime) + " at=" + std::to_string(frame);
        const TrackedPose head = ScriptedPoseAt(state.scenario, state.scenario.head, frame);
        const TrackedPose base = SpaceInLocal(state, *space, frame);
        const bool tracked = head.tracked && base.tracked;
        viewState->viewStateFlags = tracked ? kAllTracked : 0;
        for (int eye : {0, 1}) {
            const Pose eyeInHead{{}, {state.scenario.eyeToHeadX[eye], 0.0, 0.0}};
            const Pose eyeInBase = Compose(Inverse(base.pose), Compose(head.pose, eyeInHead));
            const float* raw = state.scenario.rawProjection[eye];
            if (views[eye].type != XR_TYPE_VIEW) {
                result = Rule(state, function, XR_ERROR_VALIDATION_FAILURE,
                              "view " + std::to_string(eye) + " is not XR_TYPE_VIEW");
                break;
            }
            views[eye].pose = ToXr(tracked ? eyeInBase : Pose{});
            views[eye].fov = {std::atan(raw[0]), std::atan(raw[1]), std::atan(raw[3]), std::atan(raw[2])};
        }
        char text[64];
        std::snprintf(text, sizeof text, "flags=0x%llx",
                      static_cast<unsigned long long>(viewState->viewStateFlags));
        out = text;
    }
    LogCall(state, function, args, result, out);
    return result;
}

} // namespace xrsim
