// OpenVR on Windows: openvr_api.dll loaded at run time (never imported at load time, so a
// missing library cannot stop the game from starting) and the interface methods called
// through their vtable slots. The runtime is MSVC-built: every slot goes through a plain
// function pointer with the interface pointer first, and a struct result comes back through
// an explicit result pointer right after it, which is how MSVC passes it. Calling them as
// C++ virtual methods from GCC would swap that pointer with `this`.
#include "vr/openvr_port.h"

#include "core/log.h"
#include "core/settings.h"
#include "vr/openvr_client_functions.h"
#include "vr/openxr_bridge_win32.h"

#include <windows.h>

namespace corvane {
namespace {

constexpr const wchar_t* kClientLibraryFile = L"openvr_api.dll";
constexpr const char* kClientLibraryName = "openvr_api.dll";

struct ClientLibrary {
    HMODULE module = nullptr;
    OpenVrClientFunctions functions;
};

// Loaded once and kept for the life of the process; only the presenter, under its lock,
// reaches these.
ClientLibrary g_openVr;
// The functions the presenter's calls go to once a runtime was chosen, and that runtime's name.
OpenVrClientFunctions g_client;
const char* g_clientName = "OpenVR";

// A line said once until a different one is to be said: the choice is made again on every
// connection attempt, and a runtime that stays away must not fill the log.
struct ChangeLine {
    std::string last;
    void Say(const std::string& line) {
        if (line != last) {
            LogMessage("%s", line.c_str());
            last = line;
        }
    }
} g_choiceSaid;

HMODULE LoadClientModule() {
    // Beside the program first, so the copy shipped with it wins over any other on the path.
    const std::wstring besideModule = GetModuleDirectory() + L"\\" + kClientLibraryFile;
    HMODULE module = LoadLibraryExW(besideModule.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        module = LoadLibraryW(kClientLibraryFile);
    }
    return module;
}

template <typename Fn> bool Resolve(HMODULE module, const char* name, Fn& out, std::string& failure) {
    out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (out == nullptr) {
        failure = std::string("OpenVR client library ") + kClientLibraryName + " is missing " + name;
        return false;
    }
    return true;
}

// The function in vtable slot `slot` of an interface object, typed as the caller states.
template <typename Fn> Fn Slot(void* object, size_t slot) {
    void* const* vtable = *static_cast<void* const* const*>(object);
    return reinterpret_cast<Fn>(vtable[slot]);
}

bool LoadOpenVrClient(std::string& failure) {
    if (g_openVr.module != nullptr) {
        return true;
    }
    ClientLibrary client;
    client.module = LoadClientModule();
    if (client.module == nullptr) {
        failure = std::string("OpenVR client library ") + kClientLibraryName + " could not be loaded";
        return false;
    }
    OpenVrClientFunctions& f = client.functions;
    const bool resolved =
        Resolve(client.module, "VR_IsRuntimeInstalled", f.isRuntimeInstalled, failure) &&
        Resolve(client.module, "VR_InitInternal2", f.initInternal2, failure) &&
        Resolve(client.module, "VR_IsInterfaceVersionValid", f.isInterfaceVersionValid, failure) &&
        Resolve(client.module, "VR_GetGenericInterface", f.getGenericInterface, failure) &&
        Resolve(client.module, "VR_GetInitToken", f.getInitToken, failure) &&
        Resolve(client.module, "VR_ShutdownInternal", f.shutdownInternal, failure) &&
        Resolve(client.module, "VR_GetVRInitErrorAsEnglishDescription", f.getInitErrorAsEnglishDescription,
                failure);
    if (!resolved) {
        // Let a later attempt find a complete library instead of this one.
        FreeLibrary(client.module);
        return false;
    }
    g_openVr = client;
    return true;
}

} // namespace

bool OpenVrLoadClient(std::string& failure) {
    if (g_client.isRuntimeInstalled != nullptr) {
        return true;
    }
    const HeadsetRuntimeChoice choice = GetSettings().Runtime;
    std::string openVrReason;
    if (choice != HeadsetRuntimeChoice::OpenXr) {
        if (LoadOpenVrClient(openVrReason)) {
            if (choice == HeadsetRuntimeChoice::OpenVr || g_openVr.functions.isRuntimeInstalled()) {
                g_client = g_openVr.functions;
                g_clientName = "OpenVR";
                return true;
            }
            openVrReason = "No OpenVR runtime is installed";
        }
        if (choice == HeadsetRuntimeChoice::OpenVr) {
            failure = openVrReason;
            return false;
        }
    }
    std::string openXrReason;
    std::string openXrName;
    if (OpenXrBridgeLoad(g_client, openXrName, openXrReason)) {
        g_clientName = "OpenXR";
        if (choice == HeadsetRuntimeChoice::Auto) {
            g_choiceSaid.Say("OpenVR not used: " + openVrReason);
        }
        g_choiceSaid.Say("Headset runtime: OpenXR (" + openXrName + ")");
        return true;
    }
    if (choice == HeadsetRuntimeChoice::OpenXr) {
        failure = "OpenXR not used: " + openXrReason;
        return false;
    }
    // Neither: OpenVR's reason is the failure, as it was before there was a choice, and OpenXR's
    // has a line of its own.
    g_choiceSaid.Say("OpenXR not used: " + openXrReason);
    failure = openVrReason;
    return false;
}

const char* HeadsetRuntimeLabel() {
    return g_clientName;
}

void OpenVrNoteSwapChain(IDXGISwapChain* swapChain) {
    OpenXrBridgeNoteSwapChain(swapChain);
}

namespace {

// The calls only the OpenXR back end has a use for go to it while it serves the presenter.
bool ServedByOpenXr() {
    return g_client.isRuntimeInstalled != nullptr && OpenXrBridgeServes(g_client);
}

} // namespace

bool HeadsetRuntimeOffersScreenLayer() {
    return ServedByOpenXr();
}

void HeadsetRuntimeNoteEyeContent(const uint64_t (&versions)[2]) {
    if (ServedByOpenXr()) {
        OpenXrBridgeNoteEyeContent(versions);
    }
}

void HeadsetRuntimeReleaseDeviceObjects() {
    if (ServedByOpenXr()) {
        OpenXrBridgeReleaseDeviceObjects();
    }
}

void HeadsetRuntimeShowScreenLayer(const ScreenLayer* layer) {
    if (ServedByOpenXr()) {
        OpenXrBridgeShowScreenLayer(layer);
    }
}

bool OpenVrIsRuntimeInstalled() {
    return g_client.isRuntimeInstalled != nullptr && g_client.isRuntimeInstalled();
}

uint32_t OpenVrInitInternal2(EVRInitError* error, EVRApplicationType applicationType,
                             const char* startupInfo) {
    return g_client.initInternal2(error, applicationType, startupInfo);
}

bool OpenVrIsInterfaceVersionValid(const char* version) {
    return g_client.isInterfaceVersionValid(version);
}

void* OpenVrGetGenericInterface(const char* version, EVRInitError* error) {
    return g_client.getGenericInterface(version, error);
}

uint32_t OpenVrGetInitToken() {
    return g_client.getInitToken();
}

void OpenVrShutdownInternal() {
    g_client.shutdownInternal();
}

const char* OpenVrGetInitErrorAsEnglishDescription(EVRInitError error) {
    return g_client.getInitErrorAsEnglishDescription(error);
}

void OpenVrGetRecommendedRenderTargetSize(void* system, uint32_t* width, uint32_t* height) {
    using Fn = void (*)(void* self, uint32_t* width, uint32_t* height);
    Slot<Fn>(system, system_slot::GetRecommendedRenderTargetSize)(system, width, height);
}

void OpenVrGetProjectionRaw(void* system, EVREye eye, float* left, float* right, float* top, float* bottom) {
    using Fn = void (*)(void* self, EVREye eye, float* left, float* right, float* top, float* bottom);
    Slot<Fn>(system, system_slot::GetProjectionRaw)(system, eye, left, right, top, bottom);
}

HmdMatrix34_t OpenVrGetEyeToHeadTransform(void* system, EVREye eye) {
    using Fn = HmdMatrix34_t* (*)(void* self, HmdMatrix34_t* result, EVREye eye);
    HmdMatrix34_t result{};
    Slot<Fn>(system, system_slot::GetEyeToHeadTransform)(system, &result, eye);
    return result;
}

bool OpenVrPollNextEvent(void* system, VREvent_t* event, uint32_t eventSize) {
    using Fn = bool (*)(void* self, VREvent_t* event, uint32_t eventSize);
    return Slot<Fn>(system, system_slot::PollNextEvent)(system, event, eventSize);
}

uint32_t OpenVrGetTrackedDeviceIndexForControllerRole(void* system, ETrackedControllerRole role) {
    using Fn = uint32_t (*)(void* self, ETrackedControllerRole role);
    return Slot<Fn>(system, system_slot::GetTrackedDeviceIndexForControllerRole)(system, role);
}

ETrackedControllerRole OpenVrGetControllerRoleForTrackedDeviceIndex(void* system, uint32_t device) {
    using Fn = ETrackedControllerRole (*)(void* self, uint32_t device);
    return Slot<Fn>(system, system_slot::GetControllerRoleForTrackedDeviceIndex)(system, device);
}

ETrackedDeviceClass OpenVrGetTrackedDeviceClass(void* system, uint32_t device) {
    using Fn = ETrackedDeviceClass (*)(void* self, uint32_t device);
    return Slot<Fn>(system, system_slot::GetTrackedDeviceClass)(system, device);
}

bool OpenVrIsTrackedDeviceConnected(void* system, uint32_t device) {
    using Fn = bool (*)(void* self, uint32_t device);
    return Slot<Fn>(system, system_slot::IsTrackedDeviceConnected)(system, device);
}

int32_t OpenVrGetInt32TrackedDeviceProperty(void* system, uint32_t device, ETrackedDeviceProperty property,
                                            ETrackedPropertyError* error) {
    using Fn = int32_t (*)(void* self, uint32_t device, ETrackedDeviceProperty property,
                           ETrackedPropertyError* error);
    return Slot<Fn>(system, system_slot::GetInt32TrackedDeviceProperty)(system, device, property, error);
}

HmdMatrix44_t OpenVrGetProjectionMatrix(void* system, EVREye eye, float nearZ, float farZ) {
    using Fn = HmdMatrix44_t* (*)(void* self, HmdMatrix44_t* result, EVREye eye, float nearZ, float farZ);
    HmdMatrix44_t result{};
    Slot<Fn>(system, system_slot::GetProjectionMatrix)(system, &result, eye, nearZ, farZ);
    return result;
}

bool OpenVrGetControllerState(void* system, uint32_t device, VRControllerState_t* state, uint32_t stateSize) {
    using Fn = bool (*)(void* self, uint32_t device, VRControllerState_t* state, uint32_t stateSize);
    return Slot<Fn>(system, system_slot::GetControllerState)(system, device, state, stateSize);
}

EVRInitError OpenVrSetSDKVersion(void* system, uint32_t major, uint32_t minor, uint32_t build) {
    using Fn = EVRInitError (*)(void* self, uint32_t major, uint32_t minor, uint32_t build);
    return Slot<Fn>(system, system_slot::SetSDKVersion)(system, major, minor, build);
}

void OpenVrSetTrackingSpace(void* compositor, ETrackingUniverseOrigin origin) {
    using Fn = void (*)(void* self, ETrackingUniverseOrigin origin);
    Slot<Fn>(compositor, compositor_slot::SetTrackingSpace)(compositor, origin);
}

EVRCompositorError OpenVrWaitGetPoses(void* compositor, TrackedDevicePose_t* renderPoses,
                                      uint32_t renderCount, TrackedDevicePose_t* gamePoses,
                                      uint32_t gameCount) {
    using Fn = EVRCompositorError (*)(void* self, TrackedDevicePose_t* renderPoses, uint32_t renderCount,
                                      TrackedDevicePose_t* gamePoses, uint32_t gameCount);
    return Slot<Fn>(compositor, compositor_slot::WaitGetPoses)(compositor, renderPoses, renderCount,
                                                               gamePoses, gameCount);
}

EVRCompositorError OpenVrSubmit(void* compositor, EVREye eye, const void* texture,
                                const VRTextureBounds_t* bounds, EVRSubmitFlags flags) {
    using Fn = EVRCompositorError (*)(void* self, EVREye eye, const void* texture,
                                      const VRTextureBounds_t* bounds, EVRSubmitFlags flags);
    return Slot<Fn>(compositor, compositor_slot::Submit)(compositor, eye, texture, bounds, flags);
}

void OpenVrPostPresentHandoff(void* compositor) {
    using Fn = void (*)(void* self);
    Slot<Fn>(compositor, compositor_slot::PostPresentHandoff)(compositor);
}

} // namespace corvane
