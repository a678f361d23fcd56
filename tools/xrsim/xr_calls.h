// The functions the runtime serves through xrGetInstanceProcAddr, by file. Each locks the
// runtime, logs one line and never throws. Any thread.
#pragma once

#include "runtime_state.h"

#include <openxr/openxr.h>

struct XrGraphicsRequirementsD3D11KHR;

namespace xrsim {

// instance_calls.cpp
XrResult XRAPI_CALL EnumerateApiLayerProperties(uint32_t, uint32_t*, XrApiLayerProperties*) noexcept;
XrResult XRAPI_CALL EnumerateInstanceExtensionProperties(const char*, uint32_t, uint32_t*,
                                                         XrExtensionProperties*) noexcept;
XrResult XRAPI_CALL CreateInstance(const XrInstanceCreateInfo*, XrInstance*) noexcept;
XrResult XRAPI_CALL DestroyInstance(XrInstance) noexcept;
XrResult XRAPI_CALL GetInstanceProperties(XrInstance, XrInstanceProperties*) noexcept;
XrResult XRAPI_CALL PollEvent(XrInstance, XrEventDataBuffer*) noexcept;
XrResult XRAPI_CALL ResultToString(XrInstance, XrResult, char*) noexcept;
XrResult XRAPI_CALL StructureTypeToString(XrInstance, XrStructureType, char*) noexcept;
XrResult XRAPI_CALL GetSystem(XrInstance, const XrSystemGetInfo*, XrSystemId*) noexcept;
XrResult XRAPI_CALL GetSystemProperties(XrInstance, XrSystemId, XrSystemProperties*) noexcept;
XrResult XRAPI_CALL EnumerateViewConfigurations(XrInstance, XrSystemId, uint32_t, uint32_t*,
                                                XrViewConfigurationType*) noexcept;
XrResult XRAPI_CALL GetViewConfigurationProperties(XrInstance, XrSystemId, XrViewConfigurationType,
                                                   XrViewConfigurationProperties*) noexcept;
XrResult XRAPI_CALL EnumerateViewConfigurationViews(XrInstance, XrSystemId, XrViewConfigurationType, uint32_t,
                                                    uint32_t*, XrViewConfigurationView*) noexcept;
XrResult XRAPI_CALL EnumerateEnvironmentBlendModes(XrInstance, XrSystemId, XrViewConfigurationType, uint32_t,
                                                   uint32_t*, XrEnvironmentBlendMode*) noexcept;
XrResult XRAPI_CALL StringToPath(XrInstance, const char*, XrPath*) noexcept;
XrResult XRAPI_CALL PathToString(XrInstance, XrPath, uint32_t, uint32_t*, char*) noexcept;

// session_calls_win32.cpp
XrResult XRAPI_CALL GetD3D11GraphicsRequirementsKHR(XrInstance, XrSystemId,
                                                    XrGraphicsRequirementsD3D11KHR*) noexcept;
XrResult XRAPI_CALL CreateSession(XrInstance, const XrSessionCreateInfo*, XrSession*) noexcept;
XrResult XRAPI_CALL DestroySession(XrSession) noexcept;
XrResult XRAPI_CALL BeginSession(XrSession, const XrSessionBeginInfo*) noexcept;
XrResult XRAPI_CALL EndSession(XrSession) noexcept;
XrResult XRAPI_CALL RequestExitSession(XrSession) noexcept;

// space_calls.cpp
XrResult XRAPI_CALL EnumerateReferenceSpaces(XrSession, uint32_t, uint32_t*, XrReferenceSpaceType*) noexcept;
XrResult XRAPI_CALL CreateReferenceSpace(XrSession, const XrReferenceSpaceCreateInfo*, XrSpace*) noexcept;
XrResult XRAPI_CALL CreateActionSpace(XrSession, const XrActionSpaceCreateInfo*, XrSpace*) noexcept;
XrResult XRAPI_CALL DestroySpace(XrSpace) noexcept;
XrResult XRAPI_CALL LocateSpace(XrSpace, XrSpace, XrTime, XrSpaceLocation*) noexcept;
XrResult XRAPI_CALL LocateViews(XrSession, const XrViewLocateInfo*, XrViewState*, uint32_t, uint32_t*,
                                XrView*) noexcept;

// swapchain_calls_win32.cpp
XrResult XRAPI_CALL EnumerateSwapchainFormats(XrSession, uint32_t, uint32_t*, int64_t*) noexcept;
XrResult XRAPI_CALL CreateSwapchain(XrSession, const XrSwapchainCreateInfo*, XrSwapchain*) noexcept;
XrResult XRAPI_CALL DestroySwapchain(XrSwapchain) noexcept;
XrResult XRAPI_CALL EnumerateSwapchainImages(XrSwapchain, uint32_t, uint32_t*,
                                             XrSwapchainImageBaseHeader*) noexcept;
XrResult XRAPI_CALL AcquireSwapchainImage(XrSwapchain, const XrSwapchainImageAcquireInfo*,
                                          uint32_t*) noexcept;
XrResult XRAPI_CALL WaitSwapchainImage(XrSwapchain, const XrSwapchainImageWaitInfo*) noexcept;
XrResult XRAPI_CALL ReleaseSwapchainImage(XrSwapchain, const XrSwapchainImageReleaseInfo*) noexcept;

// frame_calls.cpp
XrResult XRAPI_CALL WaitFrame(XrSession, const XrFrameWaitInfo*, XrFrameState*) noexcept;
XrResult XRAPI_CALL BeginFrame(XrSession, const XrFrameBeginInfo*) noexcept;
XrResult XRAPI_CALL EndFrame(XrSession, const XrFrameEndInfo*) noexcept;

// action_calls.cpp
XrResult XRAPI_CALL CreateActionSet(XrInstance, const XrActionSetCreateInfo*, XrActionSet*) noexcept;
XrResult XRAPI_CALL DestroyActionSet(XrActionSet) noexcept;
XrResult XRAPI_CALL CreateAction(XrActionSet, const XrActionCreateInfo*, XrAction*) noexcept;
XrResult XRAPI_CALL DestroyAction(XrAction) noexcept;
XrResult XRAPI_CALL SuggestInteractionProfileBindings(XrInstance,
                                                      const XrInteractionProfileSuggestedBinding*) noexcept;
XrResult XRAPI_CALL AttachSessionActionSets(XrSession, const XrSessionActionSetsAttachInfo*) noexcept;
XrResult XRAPI_CALL GetCurrentInteractionProfile(XrSession, XrPath, XrInteractionProfileState*) noexcept;
XrResult XRAPI_CALL SyncActions(XrSession, const XrActionsSyncInfo*) noexcept;
XrResult XRAPI_CALL GetActionStateBoolean(XrSession, const XrActionStateGetInfo*,
                                          XrActionStateBoolean*) noexcept;
XrResult XRAPI_CALL GetActionStateFloat(XrSession, const XrActionStateGetInfo*, XrActionStateFloat*) noexcept;
XrResult XRAPI_CALL GetActionStateVector2f(XrSession, const XrActionStateGetInfo*,
                                           XrActionStateVector2f*) noexcept;
XrResult XRAPI_CALL GetActionStatePose(XrSession, const XrActionStateGetInfo*, XrActionStatePose*) noexcept;

// Destroys a session with its spaces and swapchains (releasing the device and the textures);
// destroys an instance with everything made from it.
void DestroySessionObjects(RuntimeState& state, uint64_t session);
void DestroyInstanceObjects(RuntimeState& state, uint64_t instance);

} // namespace xrsim
