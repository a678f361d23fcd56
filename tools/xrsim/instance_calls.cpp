// Instance, system, event and path functions.
#include "call_support.h"
#include "layer_checks.h"
#include "motion.h"
#include "xr_calls.h"
#include "xr_names.h"

#include <cstring>

namespace xrsim {
namespace {

constexpr XrSystemId kSystemId = 1;
constexpr const char* kD3D11Extension = "XR_KHR_D3D11_enable"; // the platform header is not needed here
constexpr uint32_t kD3D11ExtensionVersion = 9;

XrResult CheckSystem(RuntimeState& state, const char* function, XrSystemId system) {
    if (system != kSystemId) {
        return Rule(state, function, XR_ERROR_SYSTEM_INVALID,
                    "system " + std::to_string(system) + " was not handed out");
    }
    return XR_SUCCESS;
}

XrResult CheckStereo(RuntimeState& state, const char* function, XrViewConfigurationType type) {
    if (type != XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO) {
        return Rule(state, function, XR_ERROR_VIEW_CONFIGURATION_TYPE_UNSUPPORTED,
                    "view configuration " + std::to_string(static_cast<int>(type)) + " is not offered");
    }
    return XR_SUCCESS;
}

// A well-formed path: absolute, segments of lower-case letters, digits, '-', '_' and '.', no
// empty, "." or ".." segment, no trailing separator.
bool WellFormedPath(const char* text) {
    const size_t length = std::strlen(text);
    if (length < 2 || length >= XR_MAX_PATH_LENGTH || text[0] != '/' || text[length - 1] == '/') {
        return false;
    }
    std::string segment;
    for (size_t i = 1; i <= length; ++i) {
        const char c = text[i];
        if (c == '/' || c == '\0') {
            if (segment.empty() || segment == "." || segment == "..") {
                return false;
            }
            segment.clear();
            continue;
        }
        const bool allowed =
            (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!allowed) {
            return false;
        }
        segment += c;
    }
    return true;
}

// Queues the announcement of a recentre now due, once, for every live session of the instance.
void QueueRecentre(RuntimeState& state, uint64_t instanceHandle, InstanceObject& instance) {
    const Recentre* due = RecentreToAnnounce(state.scenario, state.frame, instance.recentreAnnouncedThrough);
    if (due == nullptr) {
        return;
    }
    bool announced = false;
    for (const auto& [handle, session] : state.sessions) {
        if (session.instance == instanceHandle && !session.lost) {
            QueuedEvent event;
            event.kind = QueuedEvent::Kind::LocalSpaceChange;
            event.session = handle;
            event.time = TimeOfFrame(state.scenario, due->frame);
            instance.events.push_back(event);
            announced = true;
        }
    }
    if (announced) {
        instance.recentreAnnouncedThrough = due->frame;
    }
}

std::string Deliver(RuntimeState& state, const QueuedEvent& event, XrEventDataBuffer& buffer) {
    std::memset(&buffer, 0, sizeof buffer);
    switch (event.kind) {
    case QueuedEvent::Kind::SessionState: {
        auto& out = reinterpret_cast<XrEventDataSessionStateChanged&>(buffer);
        out.type = XR_TYPE_EVENT_DATA_SESSION_STATE_CHANGED;
        out.session = reinterpret_cast<XrSession>(event.session);
        out.state = event.state;
        out.time = event.time;
        state.sessions.at(event.session).state = event.state;
        return std::string("SESSION_STATE_CHANGED state=") + SessionStateName(event.state) +
               " session=" + HandleText(event.session);
    }
    case QueuedEvent::Kind::InstanceLoss: {
        auto& out = reinterpret_cast<XrEventDataInstanceLossPending&>(buffer);
        out.type = XR_TYPE_EVENT_DATA_INSTANCE_LOSS_PENDING;
        out.lossTime = event.time;
        return "INSTANCE_LOSS_PENDING";
    }
    case QueuedEvent::Kind::LocalSpaceChange: {
        auto& out = reinterpret_cast<XrEventDataReferenceSpaceChangePending&>(buffer);
        out.type = XR_TYPE_EVENT_DATA_REFERENCE_SPACE_CHANGE_PENDING;
        out.session = reinterpret_cast<XrSession>(event.session);
        out.referenceSpaceType = XR_REFERENCE_SPACE_TYPE_LOCAL;
        out.changeTime = event.time;
        out.poseValid = XR_FALSE;
        out.poseInPreviousSpace.orientation.w = 1.0f;
        return "REFERENCE_SPACE_CHANGE_PENDING space=LOCAL session=" + HandleText(event.session);
    }
    }
    return {};
}

} // namespace

XrResult XRAPI_CALL EnumerateApiLayerProperties(uint32_t capacity, uint32_t* count,
                                                XrApiLayerProperties* properties) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const XrResult result = FillArray(capacity, count, properties, std::vector<XrApiLayerProperties>{});
    LogCall(state, "xrEnumerateApiLayerProperties", {}, result, "count=0");
    return result;
}

XrResult XRAPI_CALL EnumerateInstanceExtensionProperties(const char* layerName, uint32_t capacity,
                                                         uint32_t* count,
                                                         XrExtensionProperties* properties) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrEnumerateInstanceExtensionProperties";
    XrResult result = Injected(state, function);
    std::vector<XrExtensionProperties> offered;
    if (!state.scenario.extensionMissing) {
        XrExtensionProperties d3d11{};
        d3d11.type = XR_TYPE_EXTENSION_PROPERTIES;
        std::strncpy(d3d11.extensionName, kD3D11Extension, sizeof d3d11.extensionName - 1);
        d3d11.extensionVersion = kD3D11ExtensionVersion;
        offered.push_back(d3d11);
    }
    if (result == XR_SUCCESS && layerName != nullptr) {
        result = XR_ERROR_API_LAYER_NOT_PRESENT;
    }
    if (result == XR_SUCCESS) {
        if (capacity != 0 && properties != nullptr) {
            // The type of each element is the caller's to set; the runtime fills the rest.
            for (uint32_t i = 0; i < capacity && i < offered.size(); ++i) {
                if (properties[i].type != XR_TYPE_EXTENSION_PROPERTIES) {
                    result = Rule(state, function, XR_ERROR_VALIDATION_FAILURE,
                                  "element " + std::to_string(i) + " is not XR_TYPE_EXTENSION_PROPERTIES");
                }
                offered[i].next = properties[i].next;
            }
        }
        if (result == XR_SUCCESS) {
            result = FillArray(capacity, count, properties, offered);
        }
    }
    LogCall(state, function, "capacity=" + std::to_string(capacity), result,
            "count=" + std::to_string(offered.size()));
    return result;
}

XrResult XRAPI_CALL CreateInstance(const XrInstanceCreateInfo* info, XrInstance* instance) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrCreateInstance";
    XrResult result = Injected(state, function);
    std::string args;
    if (result == XR_SUCCESS && !state.scenario.runtimeInstalled) {
        result = XR_ERROR_RUNTIME_UNAVAILABLE;
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_INSTANCE_CREATE_INFO, "create info");
    }
    if (result == XR_SUCCESS && instance == nullptr) {
        result = Rule(state, function, XR_ERROR_VALIDATION_FAILURE, "instance pointer is null");
    }
    if (result == XR_SUCCESS) {
        const XrVersion api = info->applicationInfo.apiVersion;
        char text[96];
        std::snprintf(text, sizeof text, "app=%.*s api=%u.%u.%u",
                      static_cast<int>(XR_MAX_APPLICATION_NAME_SIZE), info->applicationInfo.applicationName,
                      XR_VERSION_MAJOR(api), XR_VERSION_MINOR(api), XR_VERSION_PATCH(api));
        args = text;
        std::string extensions;
        for (uint32_t i = 0; i < info->enabledExtensionCount; ++i) {
            const char* name = info->enabledExtensionNames[i];
            if (!extensions.empty()) {
                extensions += ',';
            }
            extensions += name;
            const bool offered = !state.scenario.extensionMissing && std::strcmp(name, kD3D11Extension) == 0;
            if (!offered && result == XR_SUCCESS) {
                result = XR_ERROR_EXTENSION_NOT_PRESENT;
            }
        }
        args += " extensions=" + (extensions.empty() ? std::string("none") : extensions);
        if (result == XR_SUCCESS && info->enabledApiLayerCount != 0) {
            result = XR_ERROR_API_LAYER_NOT_PRESENT;
        }
        if (result == XR_SUCCESS && (XR_VERSION_MAJOR(api) != 1 || XR_VERSION_MINOR(api) != 0)) {
            result = XR_ERROR_API_VERSION_UNSUPPORTED;
        }
        if (result == XR_SUCCESS && !state.instances.empty()) {
            result = XR_ERROR_LIMIT_REACHED; // one instance at a time, as on a real headset
        }
    }
    std::string out;
    if (result == XR_SUCCESS) {
        const uint64_t handle = state.NewHandle();
        state.instances[handle] = InstanceObject{};
        *instance = reinterpret_cast<XrInstance>(handle);
        out = "instance=" + HandleText(handle);
    }
    LogCall(state, function, args, result, out);
    return result;
}

XrResult XRAPI_CALL DestroyInstance(XrInstance instance) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrDestroyInstance";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_ERROR_INSTANCE_LOST) {
        result = XR_SUCCESS; // a lost instance is still the client's to destroy
    }
    if (result == XR_SUCCESS) {
        DestroyInstanceObjects(state, reinterpret_cast<uintptr_t>(instance));
    }
    LogCall(state, function, "instance=" + HandleText(reinterpret_cast<uintptr_t>(instance)), result);
    return result;
}

XrResult XRAPI_CALL GetInstanceProperties(XrInstance instance, XrInstanceProperties* properties) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrGetInstanceProperties";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS) {
        result = Structure(state, function, properties, XR_TYPE_INSTANCE_PROPERTIES, "properties");
    }
    if (result == XR_SUCCESS) {
        properties->runtimeVersion = XR_MAKE_VERSION(1, 0, 0);
        std::strncpy(properties->runtimeName, "xrsim", XR_MAX_RUNTIME_NAME_SIZE - 1);
    }
    LogCall(state, function, {}, result);
    return result;
}

XrResult XRAPI_CALL PollEvent(XrInstance instance, XrEventDataBuffer* buffer) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrPollEvent";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result != XR_SUCCESS && result != XR_ERROR_INSTANCE_LOST) {
        LogCall(state, function, {}, result);
        return result;
    }
    if (XrResult injected = Injected(state, function); injected != XR_SUCCESS) {
        LogCall(state, function, {}, injected);
        return injected;
    }
    if (XrResult given = Structure(state, function, buffer, XR_TYPE_EVENT_DATA_BUFFER, "buffer");
        given != XR_SUCCESS) {
        LogCall(state, function, {}, given);
        return given;
    }
    ApplyScriptedFaults(state);
    if (!object->lost) {
        QueueRecentre(state, reinterpret_cast<uintptr_t>(instance), *object);
    }
    if (object->events.empty()) {
        // An empty queue is the common case every frame; only a lost instance is worth a line.
        if (object->lost) {
            LogCall(state, function, {}, XR_ERROR_INSTANCE_LOST);
            return XR_ERROR_INSTANCE_LOST;
        }
        return XR_EVENT_UNAVAILABLE;
    }
    const QueuedEvent event = object->events.front();
    object->events.pop_front();
    const std::string what = Deliver(state, event, *buffer);
    LogCall(state, function, {}, XR_SUCCESS, what);
    return XR_SUCCESS;
}

XrResult XRAPI_CALL ResultToString(XrInstance instance, XrResult value, char* buffer) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, "xrResultToString", instance, object);
    if (result == XR_SUCCESS && buffer != nullptr) {
        std::snprintf(buffer, XR_MAX_RESULT_STRING_SIZE, "%s", ResultName(value).c_str());
    }
    return result;
}

XrResult XRAPI_CALL StructureTypeToString(XrInstance instance, XrStructureType value, char* buffer) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, "xrStructureTypeToString", instance, object);
    if (result == XR_SUCCESS && buffer != nullptr) {
        std::snprintf(buffer, XR_MAX_STRUCTURE_NAME_SIZE, "%s", StructureTypeName(value).c_str());
    }
    return result;
}

XrResult XRAPI_CALL GetSystem(XrInstance instance, const XrSystemGetInfo* info, XrSystemId* system) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrGetSystem";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_SYSTEM_GET_INFO, "get info");
    }
    if (result == XR_SUCCESS && info->formFactor != XR_FORM_FACTOR_HEAD_MOUNTED_DISPLAY) {
        result = XR_ERROR_FORM_FACTOR_UNSUPPORTED;
    }
    if (result == XR_SUCCESS && system != nullptr) {
        *system = kSystemId;
    }
    LogCall(state, function, {}, result, result == XR_SUCCESS ? "system=1" : "");
    return result;
}

XrResult XRAPI_CALL GetSystemProperties(XrInstance instance, XrSystemId system,
                                        XrSystemProperties* properties) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrGetSystemProperties";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS) {
        result = CheckSystem(state, function, system);
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, properties, XR_TYPE_SYSTEM_PROPERTIES, "properties");
    }
    if (result == XR_SUCCESS) {
        properties->systemId = kSystemId;
        properties->vendorId = 0;
        std::strncpy(properties->systemName, "xrsim headset", XR_MAX_SYSTEM_NAME_SIZE - 1);
        properties->graphicsProperties.maxSwapchainImageWidth = 8192;
        properties->graphicsProperties.maxSwapchainImageHeight = 8192;
        properties->graphicsProperties.maxLayerCount = kMaxLayers;
        properties->trackingProperties.orientationTracking = XR_TRUE;
        properties->trackingProperties.positionTracking = XR_TRUE;
    }
    LogCall(state, function, {}, result);
    return result;
}

XrResult XRAPI_CALL EnumerateViewConfigurations(XrInstance instance, XrSystemId system, uint32_t capacity,
                                                uint32_t* count, XrViewConfigurationType* types) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrEnumerateViewConfigurations";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS) {
        result = CheckSystem(state, function, system);
    }
    if (result == XR_SUCCESS) {
        result = FillArray(capacity, count, types, std::vector{XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO});
    }
    LogCall(state, function, "capacity=" + std::to_string(capacity), result);
    return result;
}

XrResult XRAPI_CALL GetViewConfigurationProperties(XrInstance instance, XrSystemId system,
                                                   XrViewConfigurationType type,
                                                   XrViewConfigurationProperties* properties) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrGetViewConfigurationProperties";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS) {
        result = CheckSystem(state, function, system);
    }
    if (result == XR_SUCCESS) {
        result = CheckStereo(state, function, type);
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, properties, XR_TYPE_VIEW_CONFIGURATION_PROPERTIES, "properties");
    }
    if (result == XR_SUCCESS) {
        properties->viewConfigurationType = type;
        properties->fovMutable = XR_FALSE;
    }
    LogCall(state, function, {}, result);
    return result;
}

XrResult XRAPI_CALL EnumerateViewConfigurationViews(XrInstance instance, XrSystemId system,
                                                    XrViewConfigurationType type, uint32_t capacity,
                                                    uint32_t* count,
                                                    XrViewConfigurationView* views) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrEnumerateViewConfigurationViews";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS) {
        result = CheckSystem(state, function, system);
    }
    if (result == XR_SUCCESS) {
        result = CheckStereo(state, function, type);
    }
    const uint32_t width = state.scenario.renderWidth, height = state.scenario.renderHeight;
    if (result == XR_SUCCESS) {
        XrViewConfigurationView view{};
        view.type = XR_TYPE_VIEW_CONFIGURATION_VIEW;
        view.recommendedImageRectWidth = view.maxImageRectWidth = width;
        view.recommendedImageRectHeight = view.maxImageRectHeight = height;
        view.recommendedSwapchainSampleCount = view.maxSwapchainSampleCount = 1;
        result = FillArray(capacity, count, views, std::vector{view, view});
    }
    LogCall(state, function, "capacity=" + std::to_string(capacity), result,
            result == XR_SUCCESS ? "size=" + std::to_string(width) + " " + std::to_string(height) : "");
    return result;
}

XrResult XRAPI_CALL EnumerateEnvironmentBlendModes(XrInstance instance, XrSystemId system,
                                                   XrViewConfigurationType type, uint32_t capacity,
                                                   uint32_t* count, XrEnvironmentBlendMode* modes) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrEnumerateEnvironmentBlendModes";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS) {
        result = CheckSystem(state, function, system);
    }
    if (result == XR_SUCCESS) {
        result = CheckStereo(state, function, type);
    }
    if (result == XR_SUCCESS) {
        result = FillArray(capacity, count, modes, std::vector{XR_ENVIRONMENT_BLEND_MODE_OPAQUE});
    }
    LogCall(state, function, "capacity=" + std::to_string(capacity), result);
    return result;
}

XrResult XRAPI_CALL StringToPath(XrInstance instance, const char* text, XrPath* path) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrStringToPath";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS && (text == nullptr || path == nullptr)) {
        result = Rule(state, function, XR_ERROR_VALIDATION_FAILURE, "null string or path pointer");
    }
    if (result == XR_SUCCESS && !WellFormedPath(text)) {
        result = Rule(state, function, XR_ERROR_PATH_FORMAT_INVALID,
                      std::string("'") + text + "' is not a well-formed path");
    }
    XrPath atom = XR_NULL_PATH;
    if (result == XR_SUCCESS) {
        for (size_t i = 0; i < object->paths.size() && atom == XR_NULL_PATH; ++i) {
            if (object->paths[i] == text) {
                atom = i + 1;
            }
        }
        if (atom == XR_NULL_PATH) {
            object->paths.emplace_back(text);
            atom = object->paths.size();
        }
        *path = atom;
    }
    LogCall(state, function, std::string("text=") + (text ? text : "(null)"), result,
            result == XR_SUCCESS ? "path=" + std::to_string(atom) : "");
    return result;
}

XrResult XRAPI_CALL PathToString(XrInstance instance, XrPath path, uint32_t capacity, uint32_t* count,
                                 char* buffer) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrPathToString";
    InstanceObject* object = nullptr;
    XrResult result = UseInstance(state, function, instance, object);
    if (result == XR_SUCCESS && (path == XR_NULL_PATH || path > object->paths.size())) {
        result = Rule(state, function, XR_ERROR_PATH_INVALID,
                      "path " + std::to_string(path) + " was not handed out");
    }
    if (result == XR_SUCCESS) {
        result = FillText(capacity, count, buffer, object->paths[path - 1]);
    }
    LogCall(state, function, "path=" + std::to_string(path), result);
    return result;
}

} // namespace xrsim
