// A scriptable OpenVR runtime behind the presenter's OpenVR seam, for the native tests:
// optics, devices, poses and faults are set per test, and the calls that matter recorded.
#pragma once

#include "vr/openvr_abi.h"
#include "vr/openvr_port.h"
#include "vr/pose_math.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace corvane::fake {

struct FakeDevice {
    bool connected = false;
    ETrackedDeviceClass deviceClass = 0;
    ETrackedControllerRole role = TrackedControllerRole_Invalid;
    EVRControllerAxisType axisTypes[kControllerStateAxisCount] = {};
    ETrackedPropertyError axisTypeErrors[kControllerStateAxisCount] = {};
    bool controllerStateAvailable = true;
    VRControllerState_t state{};
    TrackedDevicePose_t pose{};
};

// One IVRCompositor::Submit as the presenter made it.
struct FakeSubmission {
    EVREye eye = 0;
    void* texture = nullptr;
    EVRSubmitFlags flags = 0;
    VRTextureBounds_t bounds{};
    HmdMatrix34_t pose{}; // only with Submit_TextureWithPose
};

struct FakeOpenVr {
    // Faults and answers.
    std::string loadFailure; // non-empty: the client library cannot be made callable
    bool runtimeInstalled = true;
    EVRInitError initError = VRInitError_None;
    bool systemVersionValid = true;
    bool systemAvailable = true;
    bool compositorAvailable = true;
    EVRInitError sdkVersionResult = VRInitError_None;
    bool describesErrors = true;
    // A runtime that composes the cinema screen itself, and the screens it was handed, one per
    // frame that submitted (an empty record for "no screen").
    bool offersScreenLayer = false;
    std::vector<ScreenLayer> screenLayers;
    uint64_t eyeContent[2] = {};  // the eye textures' content versions as last noted
    int deviceObjectReleases = 0; // times the runtime was told the game's device is going
    uint32_t renderWidth = 1852;
    uint32_t renderHeight = 2056;
    float eyeToHeadX[2] = {-0.0315f, 0.0315f};
    float rawProjection[2][4] = {{-1.39f, 1.25f, -1.47f, 1.47f}, {-1.25f, 1.39f, -1.47f, 1.47f}};
    EVRCompositorError waitGetPosesResult = VRCompositorError_None;
    // Runs inside WaitGetPoses, before its result: lets a test hold the compositor's wait.
    std::function<void()> duringWaitGetPoses;
    EVRCompositorError submitResult[2] = {VRCompositorError_None, VRCompositorError_None};
    uint32_t roleDevice[3] = {k_unTrackedDeviceIndexInvalid, k_unTrackedDeviceIndexInvalid,
                              k_unTrackedDeviceIndexInvalid};
    FakeDevice devices[k_unMaxTrackedDeviceCount];
    std::vector<uint32_t> events; // event types PollNextEvent hands out, oldest first

    // What the presenter did.
    int loadCalls = 0;
    int initCalls = 0;
    int shutdownCalls = 0;
    int waitGetPosesCalls = 0;
    int callsOnWrongInterface = 0; // another session's interface, or none in effect
    bool initialized = false;
    uint32_t initToken = 0;
    std::vector<uint32_t> sdkVersion;
    ETrackingUniverseOrigin trackingSpace = -1;
    uint32_t controllerStateSize = 0;
    std::vector<FakeSubmission> submissions;
    int postPresentHandoffCalls = 0;
};

FakeOpenVr& OpenVr();
void ResetOpenVr();

// The text the fake gives for an init error.
std::string DescribeInitError(EVRInitError error);

// A valid, connected pose at a position with an orientation.
TrackedDevicePose_t PoseAt(const Vector3& position, const Quaternion& orientation);

// A connected headset at device 0 with the given pose.
void PlaceHeadset(const Vector3& position, const Quaternion& orientation);

// A connected controller at a device index, optionally announced under a role.
void PlaceController(uint32_t index, ETrackedControllerRole role, bool announcedByRole);

} // namespace corvane::fake
