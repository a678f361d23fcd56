// The DLL's exports: the loader negotiation, the test controls, and xrGetInstanceProcAddr,
// which hands out every other function by name.
#include "call_support.h"
#include "xr_calls.h"

#include <windows.h>
#include <d3d11.h>

#include <openxr/openxr_platform.h>

#include <cstring>
#include <string_view>

namespace xrsim {
namespace {

// The loader's negotiation records, declared from their published layout.
struct NegotiateLoaderInfo {
    uint32_t structType; // 1
    uint32_t structVersion;
    size_t structSize;
    uint32_t minInterfaceVersion;
    uint32_t maxInterfaceVersion;
    XrVersion minApiVersion;
    XrVersion maxApiVersion;
};

struct NegotiateRuntimeRequest {
    uint32_t structType; // 3
    uint32_t structVersion;
    size_t structSize;
    uint32_t runtimeInterfaceVersion;
    XrVersion runtimeApiVersion;
    PFN_xrGetInstanceProcAddr getInstanceProcAddr;
};

constexpr uint32_t kLoaderInfoType = 1;
constexpr uint32_t kRuntimeRequestType = 3;
constexpr uint32_t kInterfaceVersion = 1;
constexpr XrVersion kApiVersion = XR_MAKE_VERSION(1, 0, 20);

struct Served {
    std::string_view name;
    PFN_xrVoidFunction function;
    bool global; // may be asked for with a null instance
};

template <typename Function> PFN_xrVoidFunction Erase(Function function) {
    return reinterpret_cast<PFN_xrVoidFunction>(function);
}

XrResult XRAPI_CALL GetInstanceProcAddr(XrInstance instance, const char* name,
                                        PFN_xrVoidFunction* function) noexcept;

const Served kServed[] = {
    {"xrGetInstanceProcAddr", Erase(&GetInstanceProcAddr), false},
    {"xrEnumerateApiLayerProperties", Erase(&EnumerateApiLayerProperties), true},
    {"xrEnumerateInstanceExtensionProperties", Erase(&EnumerateInstanceExtensionProperties), true},
    {"xrCreateInstance", Erase(&CreateInstance), true},
    {"xrDestroyInstance", Erase(&DestroyInstance), false},
    {"xrGetInstanceProperties", Erase(&GetInstanceProperties), false},
    {"xrPollEvent", Erase(&PollEvent), false},
    {"xrResultToString", Erase(&ResultToString), false},
    {"xrStructureTypeToString", Erase(&StructureTypeToString), false},
    {"xrGetSystem", Erase(&GetSystem), false},
    {"xrGetSystemProperties", Erase(&GetSystemProperties), false},
    {"xrEnumerateViewConfigurations", Erase(&EnumerateViewConfigurations), false},
    {"xrGetViewConfigurationProperties", Erase(&GetViewConfigurationProperties), false},
    {"xrEnumerateViewConfigurationViews", Erase(&EnumerateViewConfigurationViews), false},
    {"xrEnumerateEnvironmentBlendModes", Erase(&EnumerateEnvironmentBlendModes), false},
    {"xrGetD3D11GraphicsRequirementsKHR", Erase(&GetD3D11GraphicsRequirementsKHR), false},
    {"xrCreateSession", Erase(&CreateSession), false},
    {"xrDestroySession", Erase(&DestroySession), false},
    {"xrBeginSession", Erase(&BeginSession), false},
    {"xrEndSession", Erase(&EndSession), false},
    {"xrRequestExitSession", Erase(&RequestExitSession), false},
    {"xrEnumerateReferenceSpaces", Erase(&EnumerateReferenceSpaces), false},
    {"xrCreateReferenceSpace", Erase(&CreateReferenceSpace), false},
    {"xrDestroySpace", Erase(&DestroySpace), false},
    {"xrLocateSpace", Erase(&LocateSpace), false},
    {"xrLocateViews", Erase(&LocateViews), false},
    {"xrEnumerateSwapchainFormats", Erase(&EnumerateSwapchainFormats), false},
    {"xrCreateSwapchain", Erase(&CreateSwapchain), false},
    {"xrDestroySwapchain", Erase(&DestroySwapchain), false},
    {"xrEnumerateSwapchainImages", Erase(&EnumerateSwapchainImages), false},
    {"xrAcquireSwapchainImage", Erase(&AcquireSwapchainImage), false},
    {"xrWaitSwapchainImage", Erase(&WaitSwapchainImage), false},
    {"xrReleaseSwapchainImage", Erase(&ReleaseSwapchainImage), false},
    {"xrWaitFrame", Erase(&WaitFrame), false},
    {"xrBeginFrame", Erase(&BeginFrame), false},
    {"xrEndFrame", Erase(&EndFrame), false},
    {"xrStringToPath", Erase(&StringToPath), false},
    {"xrPathToString", Erase(&PathToString), false},
    {"xrCreateActionSet", Erase(&CreateActionSet), false},
    {"xrDestroyActionSet", Erase(&DestroyActionSet), false},
    {"xrCreateAction", Erase(&CreateAction), false},
    {"xrDestroyAction", Erase(&DestroyAction), false},
    {"xrSuggestInteractionProfileBindings", Erase(&SuggestInteractionProfileBindings), false},
    {"xrAttachSessionActionSets", Erase(&AttachSessionActionSets), false},
    {"xrGetCurrentInteractionProfile", Erase(&GetCurrentInteractionProfile), false},
    {"xrSyncActions", Erase(&SyncActions), false},
    {"xrGetActionStateBoolean", Erase(&GetActionStateBoolean), false},
    {"xrGetActionStateFloat", Erase(&GetActionStateFloat), false},
    {"xrGetActionStateVector2f", Erase(&GetActionStateVector2f), false},
    {"xrGetActionStatePose", Erase(&GetActionStatePose), false},
    {"xrCreateActionSpace", Erase(&CreateActionSpace), false},
};

XrResult XRAPI_CALL GetInstanceProcAddr(XrInstance instance, const char* name,
                                        PFN_xrVoidFunction* function) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* self = "xrGetInstanceProcAddr";
    if (function == nullptr || name == nullptr) {
        return Rule(state, self, XR_ERROR_VALIDATION_FAILURE, "null name or function pointer");
    }
    *function = nullptr;
    const Served* served = nullptr;
    for (const Served& candidate : kServed) {
        if (candidate.name == name) {
            served = &candidate;
        }
    }
    XrResult result = XR_SUCCESS;
    if (instance == XR_NULL_HANDLE) {
        if (served != nullptr && !served->global) {
            result = Rule(state, self, XR_ERROR_HANDLE_INVALID,
                          std::string(name) + " asked for without an instance");
        }
    } else if (state.instances.count(reinterpret_cast<uintptr_t>(instance)) == 0) {
        result =
            Rule(state, self, XR_ERROR_HANDLE_INVALID,
                 "handle " + HandleText(reinterpret_cast<uintptr_t>(instance)) + " is not a live instance");
    }
    if (result == XR_SUCCESS && served == nullptr) {
        result = XR_ERROR_FUNCTION_UNSUPPORTED;
    }
    if (result == XR_SUCCESS) {
        *function = served->function;
        return result; // found functions are not logged: a client asks for dozens at start
    }
    LogCall(state, self, std::string("name=") + name, result);
    return result;
}

} // namespace
} // namespace xrsim

using xrsim::AccessRuntime;
using xrsim::RuntimeAccess;

extern "C" {

XrResult xrNegotiateLoaderRuntimeInterface(const xrsim::NegotiateLoaderInfo* info,
                                           xrsim::NegotiateRuntimeRequest* request) noexcept {
    RuntimeAccess access = AccessRuntime();
    xrsim::RuntimeState& state = access.State();
    const char* function = "xrNegotiateLoaderRuntimeInterface";
    XrResult result = XR_SUCCESS;
    std::string args;
    if (info == nullptr || request == nullptr || info->structType != xrsim::kLoaderInfoType ||
        info->structVersion != 1 || info->structSize != sizeof(xrsim::NegotiateLoaderInfo) ||
        request->structType != xrsim::kRuntimeRequestType || request->structVersion != 1 ||
        request->structSize != sizeof(xrsim::NegotiateRuntimeRequest)) {
        result = xrsim::Rule(state, function, XR_ERROR_INITIALIZATION_FAILED,
                             "the loader info or runtime request is not the version 1 layout");
    }
    XrVersion api = xrsim::kApiVersion;
    if (result == XR_SUCCESS) {
        char text[128];
        std::snprintf(text, sizeof text, "interface=%u..%u api=%u.%u.%u..%u.%u.%u", info->minInterfaceVersion,
                      info->maxInterfaceVersion, XR_VERSION_MAJOR(info->minApiVersion),
                      XR_VERSION_MINOR(info->minApiVersion), XR_VERSION_PATCH(info->minApiVersion),
                      XR_VERSION_MAJOR(info->maxApiVersion), XR_VERSION_MINOR(info->maxApiVersion),
                      XR_VERSION_PATCH(info->maxApiVersion));
        args = text;
        api = std::max(info->minApiVersion, std::min(info->maxApiVersion, xrsim::kApiVersion));
        const bool interfaceOffered = info->minInterfaceVersion <= xrsim::kInterfaceVersion &&
                                      info->maxInterfaceVersion >= xrsim::kInterfaceVersion;
        const bool apiOffered =
            XR_VERSION_MAJOR(api) == 1 && XR_VERSION_MINOR(api) == 0 && api <= info->maxApiVersion;
        if (state.scenario.negotiationRefused || !interfaceOffered || !apiOffered) {
            result = XR_ERROR_INITIALIZATION_FAILED;
        }
    }
    std::string out;
    if (result == XR_SUCCESS) {
        request->runtimeInterfaceVersion = xrsim::kInterfaceVersion;
        request->runtimeApiVersion = api;
        request->getInstanceProcAddr = &xrsim::GetInstanceProcAddr;
        char text[64];
        std::snprintf(text, sizeof text, "interface=1 api=%u.%u.%u", XR_VERSION_MAJOR(api),
                      XR_VERSION_MINOR(api), XR_VERSION_PATCH(api));
        out = text;
    }
    xrsim::LogCall(state, function, args, result, out);
    return result;
}

void XRSim_Reset() noexcept {
    RuntimeAccess access = AccessRuntime();
    xrsim::ReloadRuntime(access.State());
}

uint32_t XRSim_FrameCount() noexcept {
    RuntimeAccess access = AccessRuntime();
    return access.State().frame;
}

} // extern "C"
