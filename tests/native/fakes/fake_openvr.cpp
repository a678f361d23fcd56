#include "fakes/fake_openvr.h"

#include "vr/openvr_port.h"

namespace corvane {
namespace fake {
namespace {

FakeOpenVr g_vr;
std::map<EVRInitError, std::string> g_descriptions;
// Each session of the client library hands out interfaces at addresses of its own, so a
// pointer kept from an earlier session is told apart from the current one.
constexpr uint32_t kSessionSlots = 8;
int g_systemInterfaces[kSessionSlots] = {};
int g_compositorInterfaces[kSessionSlots] = {};

void* SessionSystem() {
    return &g_systemInterfaces[g_vr.initToken % kSessionSlots];
}

void* SessionCompositor() {
    return &g_compositorInterfaces[g_vr.initToken % kSessionSlots];
}

void* System(void* self) {
    if (!g_vr.initialized || self != SessionSystem()) {
        ++g_vr.callsOnWrongInterface;
    }
    return self;
}

void* Compositor(void* self) {
    if (!g_vr.initialized || self != SessionCompositor()) {
        ++g_vr.callsOnWrongInterface;
    }
    return self;
}

FakeDevice* Device(uint32_t index) {
    return index < k_unMaxTrackedDeviceCount ? &g_vr.devices[index] : nullptr;
}

} // namespace

FakeOpenVr& OpenVr() {
    return g_vr;
}

void ResetOpenVr() {
    g_vr = FakeOpenVr{};
}

std::string DescribeInitError(EVRInitError error) {
    return "fake init error " + std::to_string(error);
}

TrackedDevicePose_t PoseAt(const Vector3& position, const Quaternion& orientation) {
    TrackedDevicePose_t pose{};
    pose.mDeviceToAbsoluteTracking = QuaternionToMatrix(orientation, position);
    pose.eTrackingResult = 200;
    pose.bPoseIsValid = true;
    pose.bDeviceIsConnected = true;
    return pose;
}

void PlaceHeadset(const Vector3& position, const Quaternion& orientation) {
    FakeDevice& headset = g_vr.devices[k_unTrackedDeviceIndex_Hmd];
    headset.connected = true;
    headset.deviceClass = TrackedDeviceClass_HMD;
    headset.pose = PoseAt(position, orientation);
}

void PlaceController(uint32_t index, ETrackedControllerRole role, bool announcedByRole) {
    FakeDevice& device = g_vr.devices[index];
    device.connected = true;
    device.deviceClass = TrackedDeviceClass_Controller;
    device.role = role;
    device.pose = PoseAt({0.2f, 1.0f, -0.3f}, Quaternion{});
    if (announcedByRole && role > 0 && role < 3) {
        g_vr.roleDevice[role] = index;
    }
}

} // namespace fake

using fake::g_vr;

bool OpenVrLoadClient(std::string& failure) {
    ++g_vr.loadCalls;
    if (!g_vr.loadFailure.empty()) {
        failure = g_vr.loadFailure;
        return false;
    }
    return true;
}

const char* HeadsetRuntimeLabel() {
    return "OpenVR";
}

void OpenVrNoteSwapChain(IDXGISwapChain*) {}

bool HeadsetRuntimeOffersScreenLayer() {
    return g_vr.offersScreenLayer;
}

void HeadsetRuntimeNoteEyeContent(const uint64_t (&versions)[2]) {
    g_vr.eyeContent[0] = versions[0];
    g_vr.eyeContent[1] = versions[1];
}

void HeadsetRuntimeReleaseDeviceObjects() {
    ++g_vr.deviceObjectReleases;
}

void HeadsetRuntimeShowScreenLayer(const ScreenLayer* layer) {
    // Recorded only where a test asked for the layer: elsewhere frames count their allocations.
    if (g_vr.offersScreenLayer) {
        g_vr.screenLayers.push_back(layer != nullptr ? *layer : ScreenLayer{});
    }
}

bool OpenVrIsRuntimeInstalled() {
    return g_vr.runtimeInstalled;
}

uint32_t OpenVrInitInternal2(EVRInitError* error, EVRApplicationType applicationType,
                             const char* startupInfo) {
    ++g_vr.initCalls;
    if (applicationType != VRApplication_Scene || startupInfo != nullptr) {
        *error = 130;
        return 0;
    }
    *error = g_vr.initError;
    if (g_vr.initError != VRInitError_None) {
        return 0;
    }
    g_vr.initialized = true;
    return ++g_vr.initToken;
}

bool OpenVrIsInterfaceVersionValid(const char* version) {
    return g_vr.systemVersionValid && std::string(version) == kSystemInterfaceVersion;
}

void* OpenVrGetGenericInterface(const char* version, EVRInitError* error) {
    const std::string name = version;
    if (g_vr.initialized && name == kSystemInterfaceVersion && g_vr.systemAvailable) {
        return fake::SessionSystem();
    }
    if (g_vr.initialized && name == kCompositorInterfaceVersion && g_vr.compositorAvailable) {
        return fake::SessionCompositor();
    }
    *error = VRInitError_Init_InterfaceNotFound;
    return nullptr;
}

uint32_t OpenVrGetInitToken() {
    return g_vr.initToken;
}

void OpenVrShutdownInternal() {
    ++g_vr.shutdownCalls;
    g_vr.initialized = false;
}

const char* OpenVrGetInitErrorAsEnglishDescription(EVRInitError error) {
    if (!g_vr.describesErrors) {
        return nullptr;
    }
    std::string& text = fake::g_descriptions[error];
    text = fake::DescribeInitError(error);
    return text.c_str();
}

void OpenVrGetRecommendedRenderTargetSize(void* system, uint32_t* width, uint32_t* height) {
    fake::System(system);
    *width = g_vr.renderWidth;
    *height = g_vr.renderHeight;
}

void OpenVrGetProjectionRaw(void* system, EVREye eye, float* left, float* right, float* top, float* bottom) {
    fake::System(system);
    const float* raw = g_vr.rawProjection[eye == Eye_Right ? 1 : 0];
    *left = raw[0];
    *right = raw[1];
    *top = raw[2];
    *bottom = raw[3];
}

HmdMatrix34_t OpenVrGetEyeToHeadTransform(void* system, EVREye eye) {
    fake::System(system);
    HmdMatrix34_t m = QuaternionToMatrix(Quaternion{}, Vector3{});
    m.m[0][3] = g_vr.eyeToHeadX[eye == Eye_Right ? 1 : 0];
    return m;
}

bool OpenVrPollNextEvent(void* system, VREvent_t* event, uint32_t eventSize) {
    fake::System(system);
    if (g_vr.events.empty() || event == nullptr || eventSize != sizeof(VREvent_t)) {
        return false;
    }
    *event = VREvent_t{};
    event->eventType = g_vr.events.front();
    g_vr.events.erase(g_vr.events.begin());
    return true;
}

uint32_t OpenVrGetTrackedDeviceIndexForControllerRole(void* system, ETrackedControllerRole role) {
    fake::System(system);
    return role > 0 && role < 3 ? g_vr.roleDevice[role] : k_unTrackedDeviceIndexInvalid;
}

ETrackedControllerRole OpenVrGetControllerRoleForTrackedDeviceIndex(void* system, uint32_t device) {
    fake::System(system);
    const fake::FakeDevice* d = fake::Device(device);
    return d != nullptr ? d->role : TrackedControllerRole_Invalid;
}

ETrackedDeviceClass OpenVrGetTrackedDeviceClass(void* system, uint32_t device) {
    fake::System(system);
    const fake::FakeDevice* d = fake::Device(device);
    return d != nullptr ? d->deviceClass : 0;
}

bool OpenVrIsTrackedDeviceConnected(void* system, uint32_t device) {
    fake::System(system);
    const fake::FakeDevice* d = fake::Device(device);
    return d != nullptr && d->connected;
}

int32_t OpenVrGetInt32TrackedDeviceProperty(void* system, uint32_t device, ETrackedDeviceProperty property,
                                            ETrackedPropertyError* error) {
    fake::System(system);
    const fake::FakeDevice* d = fake::Device(device);
    const int32_t axis = property - Prop_Axis0Type_Int32;
    if (d == nullptr || axis < 0 || axis >= static_cast<int32_t>(kControllerStateAxisCount)) {
        *error = 4;
        return 0;
    }
    *error = d->axisTypeErrors[axis];
    return d->axisTypes[axis];
}

bool OpenVrGetControllerState(void* system, uint32_t device, VRControllerState_t* state, uint32_t stateSize) {
    fake::System(system);
    g_vr.controllerStateSize = stateSize;
    const fake::FakeDevice* d = fake::Device(device);
    if (d == nullptr || !d->controllerStateAvailable) {
        return false;
    }
    *state = d->state;
    return true;
}

EVRInitError OpenVrSetSDKVersion(void* system, uint32_t major, uint32_t minor, uint32_t build) {
    fake::System(system);
    g_vr.sdkVersion = {major, minor, build};
    return g_vr.sdkVersionResult;
}

void OpenVrSetTrackingSpace(void* compositor, ETrackingUniverseOrigin origin) {
    fake::Compositor(compositor);
    g_vr.trackingSpace = origin;
}

EVRCompositorError OpenVrWaitGetPoses(void* compositor, TrackedDevicePose_t* renderPoses,
                                      uint32_t renderCount, TrackedDevicePose_t* /*gamePoses*/,
                                      uint32_t /*gameCount*/) {
    fake::Compositor(compositor);
    ++g_vr.waitGetPosesCalls;
    if (g_vr.duringWaitGetPoses) {
        g_vr.duringWaitGetPoses();
    }
    if (g_vr.waitGetPosesResult != VRCompositorError_None) {
        return g_vr.waitGetPosesResult;
    }
    for (uint32_t i = 0; i < renderCount && i < k_unMaxTrackedDeviceCount; ++i) {
        renderPoses[i] = g_vr.devices[i].pose;
    }
    return VRCompositorError_None;
}

// The documented projection of the raw tangents (left, right, top down, bottom up), depth 0 at
// near and 1 at far.
HmdMatrix44_t OpenVrGetProjectionMatrix(void* system, EVREye eye, float nearZ, float farZ) {
    fake::System(system);
    const float(&raw)[4] = g_vr.rawProjection[eye == Eye_Right ? 1 : 0];
    const float l = raw[0];
    const float r = raw[1];
    const float t = raw[2];
    const float b = raw[3];
    return HmdMatrix44_t{{{2.0f / (r - l), 0.0f, (r + l) / (r - l), 0.0f},
                          {0.0f, 2.0f / (b - t), (b + t) / (b - t), 0.0f},
                          {0.0f, 0.0f, -farZ / (farZ - nearZ), -farZ * nearZ / (farZ - nearZ)},
                          {0.0f, 0.0f, -1.0f, 0.0f}}};
}

EVRCompositorError OpenVrSubmit(void* compositor, EVREye eye, const void* texture,
                                const VRTextureBounds_t* bounds, EVRSubmitFlags flags) {
    fake::Compositor(compositor);
    fake::FakeSubmission submission;
    submission.eye = eye;
    submission.flags = flags;
    if ((flags & Submit_TextureWithPose) != 0) {
        const auto* withPose = static_cast<const VRTextureWithPose_t*>(texture);
        submission.texture = withPose->texture.handle;
        submission.pose = withPose->mDeviceToAbsoluteTracking;
    } else {
        submission.texture = static_cast<const Texture_t*>(texture)->handle;
    }
    if (bounds != nullptr) {
        submission.bounds = *bounds;
    }
    g_vr.submissions.push_back(submission);
    return g_vr.submitResult[eye == Eye_Right ? 1 : 0];
}

void OpenVrPostPresentHandoff(void* compositor) {
    fake::Compositor(compositor);
    ++g_vr.postPresentHandoffCalls;
}

} // namespace corvane
