// The program's own declarations of the OpenVR client ABI it uses (IVRSystem_026,
// IVRCompositor_029, Windows x64): records, enum values and vtable slot numbers. Any thread.
// Layouts are checked below: the runtime is built by another compiler, so a silently
// different size or offset would corrupt every pose and controller read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

// ---- Records -------------------------------------------------------------------------------

struct HmdMatrix34_t {
    float m[3][4];
};

struct HmdMatrix44_t {
    float m[4][4];
};

struct HmdVector3_t {
    float v[3];
};

struct TrackedDevicePose_t {
    HmdMatrix34_t mDeviceToAbsoluteTracking;
    HmdVector3_t vVelocity;
    HmdVector3_t vAngularVelocity;
    int32_t eTrackingResult;
    bool bPoseIsValid;
    bool bDeviceIsConnected;
};

struct VRControllerAxis_t {
    float x;
    float y;
};

inline constexpr uint32_t kControllerStateAxisCount = 5;

struct VRControllerState_t {
    uint32_t unPacketNum;
    uint64_t ulButtonPressed;
    uint64_t ulButtonTouched;
    VRControllerAxis_t rAxis[kControllerStateAxisCount];
};

struct Texture_t {
    void* handle;
    int32_t eType;
    int32_t eColorSpace;
};

struct VRTextureBounds_t {
    float uMin;
    float vMin;
    float uMax;
    float vMax;
};

struct VRTextureWithPose_t {
    Texture_t texture;
    HmdMatrix34_t mDeviceToAbsoluteTracking;
};

static_assert(sizeof(HmdMatrix34_t) == 48 && alignof(HmdMatrix34_t) == 4);
static_assert(sizeof(HmdMatrix44_t) == 64);
static_assert(sizeof(HmdVector3_t) == 12);
static_assert(sizeof(TrackedDevicePose_t) == 80 && alignof(TrackedDevicePose_t) == 4);
static_assert(offsetof(TrackedDevicePose_t, vVelocity) == 48);
static_assert(offsetof(TrackedDevicePose_t, vAngularVelocity) == 60);
static_assert(offsetof(TrackedDevicePose_t, eTrackingResult) == 72);
static_assert(offsetof(TrackedDevicePose_t, bPoseIsValid) == 76);
static_assert(offsetof(TrackedDevicePose_t, bDeviceIsConnected) == 77);
static_assert(sizeof(VRControllerAxis_t) == 8);
static_assert(sizeof(VRControllerState_t) == 64 && alignof(VRControllerState_t) == 8);
static_assert(offsetof(VRControllerState_t, ulButtonPressed) == 8);
static_assert(offsetof(VRControllerState_t, ulButtonTouched) == 16);
static_assert(offsetof(VRControllerState_t, rAxis) == 24);
static_assert(sizeof(Texture_t) == 16 && offsetof(Texture_t, eType) == 8 &&
              offsetof(Texture_t, eColorSpace) == 12);
static_assert(sizeof(VRTextureBounds_t) == 16);
static_assert(sizeof(VRTextureWithPose_t) == 64 &&
              offsetof(VRTextureWithPose_t, mDeviceToAbsoluteTracking) == 16);

// ---- Enum values (all 4 bytes wide) --------------------------------------------------------

using EVRInitError = int32_t;
inline constexpr EVRInitError VRInitError_None = 0;
inline constexpr EVRInitError VRInitError_Unknown = 1;
inline constexpr EVRInitError VRInitError_Init_InterfaceNotFound = 105;

using ETrackingResult = int32_t;
inline constexpr ETrackingResult kTrackingResultRunningOk = 200;
inline constexpr ETrackingResult kTrackingResultOutOfRange = 201;

using EVRApplicationType = int32_t;
inline constexpr EVRApplicationType VRApplication_Scene = 1;

using EVREye = int32_t;
inline constexpr EVREye Eye_Left = 0;
inline constexpr EVREye Eye_Right = 1;

using ETrackingUniverseOrigin = int32_t;
inline constexpr ETrackingUniverseOrigin TrackingUniverseStanding = 1;

using ETrackedControllerRole = int32_t;
inline constexpr ETrackedControllerRole TrackedControllerRole_Invalid = 0;
inline constexpr ETrackedControllerRole TrackedControllerRole_LeftHand = 1;
inline constexpr ETrackedControllerRole TrackedControllerRole_RightHand = 2;

using ETrackedDeviceClass = int32_t;
inline constexpr ETrackedDeviceClass TrackedDeviceClass_HMD = 1;
inline constexpr ETrackedDeviceClass TrackedDeviceClass_Controller = 2;

using ETrackedDeviceProperty = int32_t;
inline constexpr ETrackedDeviceProperty Prop_Axis0Type_Int32 = 3002;

using ETrackedPropertyError = int32_t;
inline constexpr ETrackedPropertyError TrackedProp_Success = 0;

using EVRControllerAxisType = int32_t;
inline constexpr EVRControllerAxisType k_eControllerAxis_None = 0;
inline constexpr EVRControllerAxisType k_eControllerAxis_TrackPad = 1;
inline constexpr EVRControllerAxisType k_eControllerAxis_Joystick = 2;
inline constexpr EVRControllerAxisType k_eControllerAxis_Trigger = 3;

using EVRCompositorError = int32_t;
inline constexpr EVRCompositorError VRCompositorError_None = 0;

using EVRSubmitFlags = int32_t;
inline constexpr EVRSubmitFlags Submit_Default = 0x00;
inline constexpr EVRSubmitFlags Submit_TextureWithPose = 0x08;
inline constexpr EVRSubmitFlags Submit_FrameDiscontinuty = 0x20;

using ETextureType = int32_t;
inline constexpr ETextureType TextureType_DirectX = 0;

using EColorSpace = int32_t;
inline constexpr EColorSpace ColorSpace_Auto = 0;

inline constexpr uint32_t k_EButton_Grip = 2;

inline constexpr uint32_t k_unTrackedDeviceIndex_Hmd = 0;
inline constexpr uint32_t k_unMaxTrackedDeviceCount = 64;
inline constexpr uint32_t k_unTrackedDeviceIndexInvalid = 0xFFFFFFFFu;

// ---- Interfaces ------------------------------------------------------------------------------

inline constexpr const char* kSystemInterfaceVersion = "IVRSystem_026";
inline constexpr const char* kCompositorInterfaceVersion = "IVRCompositor_029";

// The client SDK version the runtime compatibility call announces.
inline constexpr uint32_t kSdkVersionMajor = 2;
inline constexpr uint32_t kSdkVersionMinor = 15;
inline constexpr uint32_t kSdkVersionBuild = 6;

// Vtable slots (0-based) of the methods the program calls.
// One event of the runtime's queue (64 bytes): the type, the device it concerns and its age;
// the data union that follows is not read.
struct VREvent_t {
    uint32_t eventType;
    uint32_t trackedDeviceIndex;
    float eventAgeSeconds;
    uint32_t padding;
    uint8_t data[48];
};
static_assert(sizeof(VREvent_t) == 64);

// The user or the runtime reset the seated zero pose: the tracking space turned under the head.
inline constexpr uint32_t VREvent_SeatedZeroPoseReset = 804;

namespace system_slot {
inline constexpr size_t GetRecommendedRenderTargetSize = 0;
inline constexpr size_t GetProjectionMatrix = 1;
inline constexpr size_t GetProjectionRaw = 2;
inline constexpr size_t GetEyeToHeadTransform = 5;
inline constexpr size_t GetTrackedDeviceIndexForControllerRole = 18;
inline constexpr size_t PollNextEvent = 30;
inline constexpr size_t GetControllerRoleForTrackedDeviceIndex = 19;
inline constexpr size_t GetTrackedDeviceClass = 20;
inline constexpr size_t IsTrackedDeviceConnected = 21;
inline constexpr size_t GetInt32TrackedDeviceProperty = 24;
inline constexpr size_t GetControllerState = 37;
inline constexpr size_t SetSDKVersion = 50;
} // namespace system_slot

namespace compositor_slot {
inline constexpr size_t SetTrackingSpace = 0;
inline constexpr size_t WaitGetPoses = 2;
inline constexpr size_t Submit = 6;
inline constexpr size_t PostPresentHandoff = 9;
} // namespace compositor_slot

} // namespace corvane
