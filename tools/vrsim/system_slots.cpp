// IVRSystem_026: the implemented slots and the vtable in slot order. Every slot is a free
// function with `this` first; struct results go through the caller's buffer, passed second.
#include "served_interface.h"
#include "simulation.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace vrsim {
namespace {

constexpr Served kSystem = Served::System;

HmdMatrix34 IdentityPose() {
    HmdMatrix34 m{};
    m.m[0][0] = m.m[1][1] = m.m[2][2] = 1.0f;
    return m;
}

bool IsEye(int32_t eye) {
    return eye == kEyeLeft || eye == kEyeRight;
}

void GetRecommendedRenderTargetSize(void* self, uint32_t* width, uint32_t* height) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 0)) {
        return;
    }
    if (width != nullptr) {
        *width = state.scenario.renderWidth;
    }
    if (height != nullptr) {
        *height = state.scenario.renderHeight;
    }
    state.log.Line("system.GetRecommendedRenderTargetSize frame=%u -> %u %u", state.frame,
                   state.scenario.renderWidth, state.scenario.renderHeight);
}

HmdMatrix44* GetProjectionMatrix(void* self, HmdMatrix44* out, int32_t eye, float nearZ,
                                 float farZ) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 1) || out == nullptr) {
        return out;
    }
    *out = IsEye(eye) ? ProjectionFromRaw(state.scenario.rawProjection[eye], nearZ, farZ) : HmdMatrix44{};
    state.log.Line("system.GetProjectionMatrix frame=%u eye=%d near=%.6f far=%.6f -> %s", state.frame, eye,
                   static_cast<double>(nearZ), static_cast<double>(farZ), IsEye(eye) ? "ok" : "zero");
    return out;
}

void GetProjectionRaw(void* self, int32_t eye, float* left, float* right, float* top,
                      float* bottom) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 2)) {
        return;
    }
    float raw[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    if (IsEye(eye)) {
        std::copy(state.scenario.rawProjection[eye], state.scenario.rawProjection[eye] + 4, raw);
    }
    float* outs[4] = {left, right, top, bottom};
    for (int i = 0; i < 4; ++i) {
        if (outs[i] != nullptr) {
            *outs[i] = raw[i];
        }
    }
    state.log.Line("system.GetProjectionRaw frame=%u eye=%d -> %.6f %.6f %.6f %.6f", state.frame, eye,
                   static_cast<double>(raw[0]), static_cast<double>(raw[1]), static_cast<double>(raw[2]),
                   static_cast<double>(raw[3]));
}

HmdMatrix34* GetEyeToHeadTransform(void* self, HmdMatrix34* out, int32_t eye) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 5) || out == nullptr) {
        return out;
    }
    *out = IdentityPose();
    out->m[0][3] = IsEye(eye) ? state.scenario.eyeToHeadX[eye] : 0.0f;
    if (IsEye(eye) && OpticsInvalidFor(state.scenario, state.initAttempts)) {
        out->m[0][3] = std::numeric_limits<float>::quiet_NaN();
    }
    state.log.Line("system.GetEyeToHeadTransform frame=%u eye=%d -> x=%.6f", state.frame, eye,
                   static_cast<double>(out->m[0][3]));
    return out;
}

uint32_t GetTrackedDeviceIndexForControllerRole(void* self, int32_t role) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 18)) {
        return kTrackedDeviceIndexInvalid;
    }
    uint32_t device = DeviceForRole(state.scenario, role, state.frame);
    if (state.scenario.logQueries) {
        state.log.Line("system.GetTrackedDeviceIndexForControllerRole frame=%u role=%d -> %u", state.frame,
                       role, device);
    }
    return device;
}

int32_t GetControllerRoleForTrackedDeviceIndex(void* self, uint32_t device) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 19)) {
        return kRoleInvalid;
    }
    const ScriptedController* controller = FindController(state.scenario, device);
    int32_t role = controller != nullptr && IsControllerConnected(*controller, state.frame) ? controller->role
                                                                                            : kRoleInvalid;
    if (state.scenario.logQueries) {
        state.log.Line("system.GetControllerRoleForTrackedDeviceIndex frame=%u device=%u -> %d", state.frame,
                       device, role);
    }
    return role;
}

int32_t GetTrackedDeviceClass(void* self, uint32_t device) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 20)) {
        return kDeviceClassInvalid;
    }
    int32_t deviceClass = DeviceClass(state.scenario, device);
    if (state.scenario.logQueries) {
        state.log.Line("system.GetTrackedDeviceClass frame=%u device=%u -> %d", state.frame, device,
                       deviceClass);
    }
    return deviceClass;
}

bool IsTrackedDeviceConnected(void* self, uint32_t device) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 21)) {
        return false;
    }
    bool connected = IsDeviceConnected(state.scenario, device, state.frame);
    if (state.scenario.logQueries) {
        state.log.Line("system.IsTrackedDeviceConnected frame=%u device=%u -> %d", state.frame, device,
                       connected ? 1 : 0);
    }
    return connected;
}

float GetFloatTrackedDeviceProperty(void* self, uint32_t device, int32_t property, int32_t* error) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 23)) {
        return 0.0f;
    }
    float value = 0.0f;
    int32_t result = kPropErrorUnknownProperty;
    if (DeviceClass(state.scenario, device) == kDeviceClassInvalid) {
        result = kPropErrorInvalidDevice;
    } else if (device == kTrackedDeviceIndexHmd && property == kPropDisplayFrequencyFloat) {
        value = state.scenario.refreshHz;
        result = kPropErrorSuccess;
    }
    if (error != nullptr) {
        *error = result;
    }
    if (state.scenario.logQueries) {
        state.log.Line("system.GetFloatTrackedDeviceProperty frame=%u device=%u prop=%d -> %.6f error=%d",
                       state.frame, device, property, static_cast<double>(value), result);
    }
    return value;
}

int32_t GetInt32TrackedDeviceProperty(void* self, uint32_t device, int32_t property,
                                      int32_t* error) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 24)) {
        return 0;
    }
    int32_t value = 0;
    int32_t result = kPropErrorUnknownProperty;
    const ScriptedController* controller = FindController(state.scenario, device);
    int32_t deviceClass = DeviceClass(state.scenario, device);
    if (deviceClass == kDeviceClassInvalid) {
        result = kPropErrorInvalidDevice;
    } else if (property == kPropDeviceClassInt32) {
        value = deviceClass;
        result = kPropErrorSuccess;
    } else if (controller != nullptr && property >= kPropAxis0TypeInt32 &&
               property < kPropAxis0TypeInt32 + static_cast<int32_t>(kControllerAxisCount)) {
        value = controller->axisType[property - kPropAxis0TypeInt32];
        result = kPropErrorSuccess;
    } else if (controller != nullptr && property == kPropControllerRoleHintInt32) {
        value = controller->role;
        result = kPropErrorSuccess;
    }
    if (error != nullptr) {
        *error = result;
    }
    if (state.scenario.logQueries) {
        state.log.Line("system.GetInt32TrackedDeviceProperty frame=%u device=%u prop=%d -> %d error=%d",
                       state.frame, device, property, value, result);
    }
    return value;
}

bool GetControllerState(void* self, uint32_t device, ControllerState* out, uint32_t size) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 37)) {
        return false;
    }
    const ScriptedController* controller = FindController(state.scenario, device);
    bool ok = out != nullptr && size == sizeof(ControllerState) && controller != nullptr &&
              IsControllerConnected(*controller, state.frame);
    if (!ok) {
        if (state.scenario.logQueries) {
            state.log.Line("system.GetControllerState frame=%u device=%u size=%u -> 0", state.frame, device,
                           size);
        }
        return false;
    }
    *out = ControllerInput(*controller, state.frame);
    if (state.scenario.logQueries) {
        const ControllerAxis* a = out->axis;
        state.log.Line("system.GetControllerState frame=%u device=%u size=%u -> 1 packet=%u pressed=0x%llx "
                       "touched=0x%llx axes=%.6f,%.6f %.6f,%.6f %.6f,%.6f %.6f,%.6f %.6f,%.6f",
                       state.frame, device, size, out->packetNum,
                       static_cast<unsigned long long>(out->buttonPressed),
                       static_cast<unsigned long long>(out->buttonTouched), static_cast<double>(a[0].x),
                       static_cast<double>(a[0].y), static_cast<double>(a[1].x), static_cast<double>(a[1].y),
                       static_cast<double>(a[2].x), static_cast<double>(a[2].y), static_cast<double>(a[3].x),
                       static_cast<double>(a[3].y), static_cast<double>(a[4].x), static_cast<double>(a[4].y));
    }
    return true;
}

// The runtime announces each scripted recentre once, as a seated-zero reset, from its frame on.
bool PollNextEvent(void* self, Event* out, uint32_t size) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 30) || out == nullptr || size != sizeof(Event)) {
        return false;
    }
    for (const Recentre& r : state.scenario.recentres) {
        if (r.frame > state.eventsAnnouncedThrough && r.frame <= state.frame) {
            state.eventsAnnouncedThrough = r.frame;
            *out = Event{};
            out->eventType = kEventSeatedZeroPoseReset;
            out->trackedDeviceIndex = 0xFFFFFFFFu;
            state.log.Line("system.PollNextEvent frame=%u -> %u", state.frame, out->eventType);
            return true;
        }
    }
    return false;
}

int32_t SetSDKVersion(void* self, uint32_t major, uint32_t minor, uint32_t build) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kSystem, self, 50)) {
        return kInitErrorInterfaceNotFound;
    }
    int32_t result = state.scenario.sdkVersionError;
    state.log.Line("system.SetSDKVersion frame=%u version=%u.%u.%u -> %d", state.frame, major, minor, build,
                   result);
    return result;
}

template <int Index, uint64_t Failure = 0> SlotEntry Unexpected() {
    return Slot(&UnexpectedScalar<kSystem, Index, Failure>);
}

} // namespace

extern const SlotEntry kSystemSlots[];
const SlotEntry kSystemSlots[] = {
    Slot(&GetRecommendedRenderTargetSize), // 0
    Slot(&GetProjectionMatrix),            // 1
    Slot(&GetProjectionRaw),               // 2
    Unexpected<3>(),                       // ComputeDistortion
    Unexpected<4>(),                       // ComputeDistortionSet
    Slot(&GetEyeToHeadTransform),          // 5
    Unexpected<6>(),                       // GetTimeSinceLastVsync
    Unexpected<7>(),                       // GetD3D9AdapterIndex
    Unexpected<8>(),                       // GetDXGIOutputInfo
    Unexpected<9>(),                       // GetOutputDevice
    Unexpected<10>(),                      // IsDisplayOnDesktop
    Unexpected<11>(),                      // SetDisplayVisibility
    Unexpected<12>(),                      // GetDeviceToAbsoluteTrackingPose
    Slot(&UnexpectedStruct<kSystem, 13,
                           sizeof(HmdMatrix34)>), // GetSeatedZeroPoseToStandingAbsoluteTrackingPose
    Slot(&UnexpectedStruct<kSystem, 14, sizeof(HmdMatrix34)>), // GetRawZeroPoseToStandingAbsoluteTrackingPose
    Unexpected<15>(),                                          // GetSortedTrackedDeviceIndicesOfClass
    Unexpected<16>(),                                          // GetTrackedDeviceActivityLevel
    Unexpected<17>(),                                          // ApplyTransform
    Slot(&GetTrackedDeviceIndexForControllerRole),             // 18
    Slot(&GetControllerRoleForTrackedDeviceIndex),             // 19
    Slot(&GetTrackedDeviceClass),                              // 20
    Slot(&IsTrackedDeviceConnected),                           // 21
    Unexpected<22>(),                                          // GetBoolTrackedDeviceProperty
    Slot(&GetFloatTrackedDeviceProperty),                      // 23
    Slot(&GetInt32TrackedDeviceProperty),                      // 24
    Unexpected<25>(),                                          // GetUint64TrackedDeviceProperty
    Slot(&UnexpectedStruct<kSystem, 26, sizeof(HmdMatrix34)>), // GetMatrix34TrackedDeviceProperty
    Unexpected<27>(),                                          // GetArrayTrackedDeviceProperty
    Unexpected<28>(),                                          // GetStringTrackedDeviceProperty
    Unexpected<29>(),                                          // GetPropErrorNameFromEnum
    Slot(&PollNextEvent),                                      // 30
    Unexpected<31>(),                                          // PollNextEventWithPose
    Unexpected<32>(),                                          // PollNextEventWithPoseAndOverlays
    Unexpected<33>(),                                          // GetEventTypeNameFromEnum
    Slot(&UnexpectedStruct<kSystem, 34, sizeof(HiddenAreaMesh)>), // GetHiddenAreaMesh
    Unexpected<35>(),                                             // GetEyeTrackedFoveationCenter
    Unexpected<36>(),                                             // GetEyeTrackedFoveationCenterForProjection
    Slot(&GetControllerState),                                    // 37
    Unexpected<38>(),                                             // GetControllerStateWithPose
    Unexpected<39>(),                                             // TriggerHapticPulse
    Unexpected<40>(),                                             // GetButtonIdNameFromEnum
    Unexpected<41>(),                                             // GetControllerAxisTypeNameFromEnum
    Unexpected<42>(),                                             // IsInputAvailable
    Unexpected<43>(),                                             // runtime-drawing-controllers query
    Unexpected<44>(),                                             // ShouldApplicationPause
    Unexpected<45>(),                                             // ShouldApplicationReduceRenderingWork
    Unexpected<46, kFirmwareErrorFail>(),                         // PerformFirmwareUpdate
    Unexpected<47>(),                                             // AcknowledgeQuit_Exiting
    Unexpected<48>(),                                             // GetAppContainerFilePaths
    Unexpected<49>(),                                             // GetRuntimeVersion
    Slot(&SetSDKVersion),                                         // 50
};
static_assert(std::size(kSystemSlots) == 51);

} // namespace vrsim
