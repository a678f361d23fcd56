// Session life: the graphics requirements, the Direct3D 11 binding, and the state machine's
// begin, end and exit request. Win32 only for the binding's types.
#include "call_support.h"
#include "xr_calls.h"
#include "xr_names.h"

#include <windows.h>
#include <d3d11.h>

#include <openxr/openxr_platform.h>

namespace xrsim {
namespace {

uint64_t Raw(const void* handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

// The Direct3D 11 binding in a create info's chain, or null.
const XrGraphicsBindingD3D11KHR* FindBinding(const void* next) {
    for (auto* item = static_cast<const XrBaseInStructure*>(next); item != nullptr; item = item->next) {
        if (item->type == XR_TYPE_GRAPHICS_BINDING_D3D11_KHR) {
            return reinterpret_cast<const XrGraphicsBindingD3D11KHR*>(item);
        }
    }
    return nullptr;
}

} // namespace

void DestroySessionObjects(RuntimeState& state, uint64_t session) {
    for (auto at = state.swapchains.begin(); at != state.swapchains.end();) {
        if (at->second.session == session) {
            for (void* texture : at->second.textures) {
                ReleaseComObject(texture);
            }
            at = state.swapchains.erase(at);
        } else {
            ++at;
        }
    }
    std::erase_if(state.spaces, [session](const auto& entry) { return entry.second.session == session; });
    const auto found = state.sessions.find(session);
    if (found == state.sessions.end()) {
        return;
    }
    auto& events = state.instances.at(found->second.instance).events;
    std::erase_if(events, [session](const QueuedEvent& event) { return event.session == session; });
    ReleaseComObject(found->second.device);
    state.sessions.erase(found);
}

void DestroyInstanceObjects(RuntimeState& state, uint64_t instance) {
    std::vector<uint64_t> sessions;
    for (const auto& [handle, session] : state.sessions) {
        if (session.instance == instance) {
            sessions.push_back(handle);
        }
    }
    for (uint64_t session : sessions) {
        DestroySessionObjects(state, session);
    }
    std::erase_if(state.actions, [instance](const auto& entry) { return entry.second.instance == instance; });
    std::erase_if(state.actionSets,
                  [instance](const auto& entry) { return entry.second.instance == instance; });
    state.instances.erase(instance);
}

XrResult XRAPI_CALL GetD3D11GraphicsRequirementsKHR(XrInstance instance, XrSystemId system,
                                                    XrGraphicsRequirementsD3D11KHR* requirements) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrGetD3D11GraphicsRequirementsKHR";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS && system != 1) {
        result = Rule(state, function, XR_ERROR_SYSTEM_INVALID,
                      "system " + std::to_string(system) + " was not handed out");
    }
    if (result == XR_SUCCESS) {
        result =
            Structure(state, function, requirements, XR_TYPE_GRAPHICS_REQUIREMENTS_D3D11_KHR, "requirements");
    }
    if (result == XR_SUCCESS) {
        // Any adapter: the runtime composes on whatever device the client renders with.
        requirements->adapterLuid = LUID{};
        requirements->minFeatureLevel = D3D_FEATURE_LEVEL_11_0;
        object->requirementsQueried = true;
    }
    LogCall(state, function, {}, result);
    return result;
}

XrResult XRAPI_CALL CreateSession(XrInstance instance, const XrSessionCreateInfo* info,
                                  XrSession* session) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrCreateSession";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_SESSION_CREATE_INFO, "create info");
    }
    if (result == XR_SUCCESS && info->systemId != 1) {
        result = Rule(state, function, XR_ERROR_SYSTEM_INVALID,
                      "system " + std::to_string(info->systemId) + " was not handed out");
    }
    if (result == XR_SUCCESS && !object->requirementsQueried) {
        result = Rule(state, function, XR_ERROR_GRAPHICS_REQUIREMENTS_CALL_MISSING,
                      "xrGetD3D11GraphicsRequirementsKHR was not called first");
    }
    const XrGraphicsBindingD3D11KHR* binding = result == XR_SUCCESS ? FindBinding(info->next) : nullptr;
    if (result == XR_SUCCESS && (binding == nullptr || binding->device == nullptr)) {
        result = Rule(state, function, XR_ERROR_GRAPHICS_DEVICE_INVALID,
                      binding == nullptr ? "no XrGraphicsBindingD3D11KHR in the chain"
                                         : "the binding's device is null");
    }
    if (result == XR_SUCCESS && session == nullptr) {
        result = Rule(state, function, XR_ERROR_VALIDATION_FAILURE, "session pointer is null");
    }
    std::string out;
    if (result == XR_SUCCESS) {
        const uint64_t handle = state.NewHandle();
        SessionObject created;
        created.instance = Raw(instance);
        created.device = binding->device;
        AddDeviceReference(created.device);
        state.sessions[handle] = created;
        QueueState(state, handle, XR_SESSION_STATE_IDLE);
        QueueState(state, handle, XR_SESSION_STATE_READY);
        *session = reinterpret_cast<XrSession>(handle);
        out = "session=" + HandleText(handle);
    }
    LogCall(state, function, {}, result, out);
    return result;
}

XrResult XRAPI_CALL DestroySession(XrSession session) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrDestroySession";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_ERROR_SESSION_LOST || result == XR_ERROR_INSTANCE_LOST) {
        result = XR_SUCCESS; // destroying is how a client leaves a lost session
    }
    if (result == XR_SUCCESS) {
        DestroySessionObjects(state, Raw(session));
    }
    LogCall(state, function, "session=" + HandleText(Raw(session)), result);
    return result;
}

XrResult XRAPI_CALL BeginSession(XrSession session, const XrSessionBeginInfo* info) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrBeginSession";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_SESSION_BEGIN_INFO, "begin info");
    }
    if (result == XR_SUCCESS &&
        info->primaryViewConfigurationType != XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO) {
        result = Rule(state, function, XR_ERROR_VIEW_CONFIGURATION_TYPE_UNSUPPORTED,
                      "view configuration " +
                          std::to_string(static_cast<int>(info->primaryViewConfigurationType)) +
                          " is not offered");
    }
    if (result == XR_SUCCESS && object->running) {
        result = Rule(state, function, XR_ERROR_SESSION_RUNNING, "the session is already running");
    }
    if (result == XR_SUCCESS && object->state != XR_SESSION_STATE_READY) {
        result = Rule(state, function, XR_ERROR_SESSION_NOT_READY,
                      std::string("the session is ") + SessionStateName(object->state) + ", not READY");
    }
    if (result == XR_SUCCESS) {
        object->running = true;
        object->shownQueued = false;
        object->stoppingQueued = false;
        object->frames.Restart();
    }
    LogCall(state, function, {}, result);
    return result;
}

XrResult XRAPI_CALL EndSession(XrSession session) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrEndSession";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS && !object->running) {
        result = Rule(state, function, XR_ERROR_SESSION_NOT_RUNNING, "the session is not running");
    }
    if (result == XR_SUCCESS && object->state != XR_SESSION_STATE_STOPPING) {
        result = Rule(state, function, XR_ERROR_SESSION_NOT_STOPPING,
                      std::string("the session is ") + SessionStateName(object->state) + ", not STOPPING");
    }
    if (result == XR_SUCCESS) {
        object->running = false;
        object->frames.Restart();
        QueueState(state, Raw(session), XR_SESSION_STATE_IDLE);
        QueueState(state, Raw(session), XR_SESSION_STATE_EXITING);
    }
    LogCall(state, function, {}, result);
    return result;
}

XrResult XRAPI_CALL RequestExitSession(XrSession session) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrRequestExitSession";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS && !object->running) {
        result = Rule(state, function, XR_ERROR_SESSION_NOT_RUNNING, "the session is not running");
    }
    if (result == XR_SUCCESS && !object->stoppingQueued) {
        object->stoppingQueued = true;
        QueueState(state, Raw(session), XR_SESSION_STATE_STOPPING);
    }
    LogCall(state, function, {}, result);
    return result;
}

} // namespace xrsim
