// The seam between the presenter and OpenVR: the client library's functions and the
// interface methods the presenter calls, each taking the interface pointer first. Called on
// the render thread with the presenter's lock held. The Windows build loads openvr_api.dll
// and calls the vtable slots (openvr_port_win32.cpp), or serves the same calls over OpenXR
// (openxr_bridge_win32.cpp); the native tests link a fake runtime.
#pragma once

#include "vr/openvr_abi.h"

#include <string>

struct IDXGISwapChain;
struct ID3D11Texture2D;

namespace corvane {

// Makes the client library's functions callable: openvr_api.dll's, or the OpenXR back end's in
// their place, as the configured runtime choice and what is installed decide. False with a failure text when
// the library or one of its functions is missing; a later call tries again.
[[nodiscard]] bool OpenVrLoadClient(std::string& failure);

// "OpenVR" or "OpenXR": which runtime the calls below reach, for the texts that name it.
const char* HeadsetRuntimeLabel();

// The game's swap chain of this frame, before a connection is attempted: an OpenXR session is
// made on the game's own device. Nothing for OpenVR.
void OpenVrNoteSwapChain(IDXGISwapChain* swapChain);

// The cinema screen as a layer the runtime composes itself: the game's picture on a level
// rectangle standing in the tracking space, facing the way `right` turns it (its normal is
// right × up). The eye textures then hold the surround, with a hole where the screen stands when
// something is drawn in front of it.
struct ScreenLayer {
    ID3D11Texture2D* picture = nullptr; // this frame's copy of the game's picture; null: no screen
    float centre[3] = {};
    float right[3] = {1.0f, 0.0f, 0.0f};
    float halfWidth = 0.0f;
    float halfHeight = 0.0f;
    // The eye textures hold a transparent hole where the screen stands (hands are drawn over it):
    // the screen goes under them. Otherwise they hold only the surround and it goes over them.
    bool underEyes = false;
};

// Whether the runtime in use composes a screen layer (OpenXR's quad layer); OpenVR does not.
bool HeadsetRuntimeOffersScreenLayer();
// The screen to compose with this frame's eye textures, or null for none. Called before the
// frame's eye submissions.
void HeadsetRuntimeShowScreenLayer(const ScreenLayer* layer);

// What each eye texture holds, as a version that changes whenever its picture does (a new
// texture counts as well): a runtime that keeps its own copy of an eye's picture copies it again
// only when it changed. Called before the frame's eye submissions.
void HeadsetRuntimeNoteEyeContent(const uint64_t (&versions)[2]);

// The game's device is going: everything the runtime made on it (an OpenXR session and its
// swapchains) is let go now, and made again on the next device when frames resume. Nothing for
// OpenVR, which holds nothing of the device beyond a frame.
void HeadsetRuntimeReleaseDeviceObjects();

// Client library functions. Only called after OpenVrLoadClient succeeded.
bool OpenVrIsRuntimeInstalled();
uint32_t OpenVrInitInternal2(EVRInitError* error, EVRApplicationType applicationType,
                             const char* startupInfo);
bool OpenVrIsInterfaceVersionValid(const char* version);
void* OpenVrGetGenericInterface(const char* version, EVRInitError* error);
uint32_t OpenVrGetInitToken();
void OpenVrShutdownInternal();
const char* OpenVrGetInitErrorAsEnglishDescription(EVRInitError error);

// IVRSystem methods; `system` is the interface pointer the client library handed out.
void OpenVrGetRecommendedRenderTargetSize(void* system, uint32_t* width, uint32_t* height);
void OpenVrGetProjectionRaw(void* system, EVREye eye, float* left, float* right, float* top, float* bottom);
HmdMatrix34_t OpenVrGetEyeToHeadTransform(void* system, EVREye eye);
uint32_t OpenVrGetTrackedDeviceIndexForControllerRole(void* system, ETrackedControllerRole role);
ETrackedControllerRole OpenVrGetControllerRoleForTrackedDeviceIndex(void* system, uint32_t device);
ETrackedDeviceClass OpenVrGetTrackedDeviceClass(void* system, uint32_t device);
bool OpenVrIsTrackedDeviceConnected(void* system, uint32_t device);
int32_t OpenVrGetInt32TrackedDeviceProperty(void* system, uint32_t device, ETrackedDeviceProperty property,
                                            ETrackedPropertyError* error);
HmdMatrix44_t OpenVrGetProjectionMatrix(void* system, EVREye eye, float nearZ, float farZ);
bool OpenVrGetControllerState(void* system, uint32_t device, VRControllerState_t* state, uint32_t stateSize);
EVRInitError OpenVrSetSDKVersion(void* system, uint32_t major, uint32_t minor, uint32_t build);
// The next queued event, if any.
bool OpenVrPollNextEvent(void* system, VREvent_t* event, uint32_t eventSize);

// IVRCompositor methods.
void OpenVrSetTrackingSpace(void* compositor, ETrackingUniverseOrigin origin);
EVRCompositorError OpenVrWaitGetPoses(void* compositor, TrackedDevicePose_t* renderPoses,
                                      uint32_t renderCount, TrackedDevicePose_t* gamePoses,
                                      uint32_t gameCount);
// `texture` is a Texture_t, or a VRTextureWithPose_t when flags carry Submit_TextureWithPose.
EVRCompositorError OpenVrSubmit(void* compositor, EVREye eye, const void* texture,
                                const VRTextureBounds_t* bounds, EVRSubmitFlags flags);
void OpenVrPostPresentHandoff(void* compositor);

} // namespace corvane
