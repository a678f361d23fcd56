// The runtime's own declarations of the OpenVR structures, enums and constants it serves,
// written from the published binary layout (Windows x64). Used by every vrsim file, any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vrsim {

struct HmdMatrix34 {
    float m[3][4];
};
struct HmdMatrix44 {
    float m[4][4];
};
struct HmdVector3 {
    float v[3];
};
struct HmdVector2 {
    float v[2];
};
struct HmdColor {
    float r, g, b, a;
};

struct TrackedDevicePose {
    HmdMatrix34 deviceToAbsoluteTracking;
    HmdVector3 velocity;
    HmdVector3 angularVelocity;
    int32_t trackingResult;
    bool poseIsValid;
    bool deviceIsConnected;
};

struct Texture {
    void* handle;
    int32_t type;
    int32_t colorSpace;
};

struct TextureBounds {
    float uMin, vMin, uMax, vMax;
};

struct TextureWithPose {
    Texture texture;
    HmdMatrix34 deviceToAbsoluteTracking;
};

struct ControllerAxis {
    float x, y;
};

inline constexpr uint32_t kControllerAxisCount = 5;

// VREvent_t: type, device, age, then a 48-byte data union this runtime leaves zero.
struct Event {
    uint32_t eventType;
    uint32_t trackedDeviceIndex;
    float eventAgeSeconds;
    uint32_t padding;
    uint8_t data[48];
};
static_assert(sizeof(Event) == 64);

inline constexpr uint32_t kEventSeatedZeroPoseReset = 804;

struct ControllerState {
    uint32_t packetNum;
    uint64_t buttonPressed;
    uint64_t buttonTouched;
    ControllerAxis axis[kControllerAxisCount];
};

struct HiddenAreaMesh {
    const HmdVector2* vertexData;
    uint32_t triangleCount;
};

static_assert(sizeof(HmdMatrix34) == 48);
static_assert(sizeof(HmdMatrix44) == 64);
static_assert(sizeof(HmdColor) == 16);
static_assert(sizeof(TrackedDevicePose) == 80);
static_assert(offsetof(TrackedDevicePose, velocity) == 48);
static_assert(offsetof(TrackedDevicePose, angularVelocity) == 60);
static_assert(offsetof(TrackedDevicePose, trackingResult) == 72);
static_assert(offsetof(TrackedDevicePose, poseIsValid) == 76);
static_assert(offsetof(TrackedDevicePose, deviceIsConnected) == 77);
static_assert(sizeof(Texture) == 16);
static_assert(offsetof(Texture, type) == 8);
static_assert(offsetof(Texture, colorSpace) == 12);
static_assert(sizeof(TextureBounds) == 16);
static_assert(sizeof(TextureWithPose) == 64);
static_assert(offsetof(TextureWithPose, deviceToAbsoluteTracking) == 16);
static_assert(sizeof(ControllerState) == 64);
static_assert(offsetof(ControllerState, buttonPressed) == 8);
static_assert(offsetof(ControllerState, buttonTouched) == 16);
static_assert(offsetof(ControllerState, axis) == 24);
static_assert(sizeof(HiddenAreaMesh) == 16);

// Enum values travel as 4-byte integers; these are the ones the runtime answers with.
inline constexpr int32_t kEyeLeft = 0;
inline constexpr int32_t kEyeRight = 1;

inline constexpr uint32_t kMaxTrackedDeviceCount = 64;
inline constexpr uint32_t kTrackedDeviceIndexHmd = 0;
inline constexpr uint32_t kTrackedDeviceIndexInvalid = 0xFFFFFFFFu;

inline constexpr int32_t kDeviceClassInvalid = 0;
inline constexpr int32_t kDeviceClassHmd = 1;
inline constexpr int32_t kDeviceClassController = 2;

inline constexpr int32_t kRoleInvalid = 0;
inline constexpr int32_t kRoleLeftHand = 1;
inline constexpr int32_t kRoleRightHand = 2;
inline constexpr int32_t kRoleOptOut = 3;
inline constexpr int32_t kRoleTreadmill = 4;
inline constexpr int32_t kRoleStylus = 5;

inline constexpr int32_t kAxisNone = 0;
inline constexpr int32_t kAxisTrackPad = 1;
inline constexpr int32_t kAxisJoystick = 2;
inline constexpr int32_t kAxisTrigger = 3;

inline constexpr int32_t kButtonGrip = 2;

inline constexpr int32_t kTrackingResultRunningOk = 200;
inline constexpr int32_t kTrackingResultRunningOutOfRange = 201;

inline constexpr int32_t kTextureTypeDirectX = 0;

inline constexpr uint32_t kSubmitTextureWithPose = 0x08;

inline constexpr int32_t kPropDisplayFrequencyFloat = 2002;
inline constexpr int32_t kPropAxis0TypeInt32 = 3002;
inline constexpr int32_t kPropControllerRoleHintInt32 = 3007;
inline constexpr int32_t kPropDeviceClassInt32 = 1029;

inline constexpr int32_t kPropErrorSuccess = 0;
inline constexpr int32_t kPropErrorWrongDataType = 1;
inline constexpr int32_t kPropErrorUnknownProperty = 4;
inline constexpr int32_t kPropErrorInvalidDevice = 5;

inline constexpr int32_t kCompositorErrorNone = 0;
inline constexpr int32_t kCompositorErrorRequestFailed = 1;
inline constexpr int32_t kCompositorErrorInvalidTexture = 102;
inline constexpr int32_t kCompositorErrorInvalidBounds = 109;

inline constexpr int32_t kInitErrorNone = 0;
inline constexpr int32_t kInitErrorInterfaceNotFound = 105;
inline constexpr int32_t kInitErrorNotInitialized = 109;

inline constexpr int32_t kFirmwareErrorFail = 2;

inline constexpr char kSystemVersion[] = "IVRSystem_026";
inline constexpr char kCompositorVersion[] = "IVRCompositor_029";

} // namespace vrsim
