#include "vr/openxr_bridge_win32.h"

#include "core/log.h"
#include "vr/openxr_frame_math.h"
#include "vr/openxr_runtime_win32.h"

#include <windows.h>

#include <d3d11.h>
#include <dxgi.h>

#define XR_NO_PROTOTYPES
#include <openxr/openxr.h>
#include <openxr/openxr_platform.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

namespace corvane {
namespace {

// OpenXR's records start with their type; everything else zero.
template <typename T> T Xr(XrStructureType type) {
    T value{};
    value.type = type;
    return value;
}

constexpr uint32_t kHandDevice[2] = {1, 2};
constexpr uint32_t kDeviceCount = 3;
// A swapchain image the runtime holds longer than this is a runtime that stopped: the game
// must not wait for it.
constexpr XrDuration kImageWaitNs = 500'000'000;
constexpr int kEventsPerCall = 16;
constexpr EVRCompositorError kRequestFailed = 1;
constexpr EVRCompositorError kInvalidTexture = 102;

struct XrCalls {
    PFN_xrGetInstanceProcAddr getInstanceProcAddr = nullptr;
    PFN_xrEnumerateInstanceExtensionProperties enumerateInstanceExtensionProperties = nullptr;
    PFN_xrCreateInstance createInstance = nullptr;
    PFN_xrDestroyInstance destroyInstance = nullptr;
    PFN_xrPollEvent pollEvent = nullptr;
    PFN_xrGetSystem getSystem = nullptr;
    PFN_xrEnumerateViewConfigurationViews enumerateViewConfigurationViews = nullptr;
    PFN_xrGetD3D11GraphicsRequirementsKHR getD3D11GraphicsRequirements = nullptr;
    PFN_xrCreateSession createSession = nullptr;
    PFN_xrDestroySession destroySession = nullptr;
    PFN_xrBeginSession beginSession = nullptr;
    PFN_xrEndSession endSession = nullptr;
    PFN_xrCreateReferenceSpace createReferenceSpace = nullptr;
    PFN_xrDestroySpace destroySpace = nullptr;
    PFN_xrLocateSpace locateSpace = nullptr;
    PFN_xrLocateViews locateViews = nullptr;
    PFN_xrEnumerateSwapchainFormats enumerateSwapchainFormats = nullptr;
    PFN_xrCreateSwapchain createSwapchain = nullptr;
    PFN_xrDestroySwapchain destroySwapchain = nullptr;
    PFN_xrEnumerateSwapchainImages enumerateSwapchainImages = nullptr;
    PFN_xrAcquireSwapchainImage acquireSwapchainImage = nullptr;
    PFN_xrWaitSwapchainImage waitSwapchainImage = nullptr;
    PFN_xrReleaseSwapchainImage releaseSwapchainImage = nullptr;
    PFN_xrWaitFrame waitFrame = nullptr;
    PFN_xrBeginFrame beginFrame = nullptr;
    PFN_xrEndFrame endFrame = nullptr;
    PFN_xrStringToPath stringToPath = nullptr;
    PFN_xrCreateActionSet createActionSet = nullptr;
    PFN_xrCreateAction createAction = nullptr;
    PFN_xrSuggestInteractionProfileBindings suggestInteractionProfileBindings = nullptr;
    PFN_xrAttachSessionActionSets attachSessionActionSets = nullptr;
    PFN_xrSyncActions syncActions = nullptr;
    PFN_xrGetActionStateBoolean getActionStateBoolean = nullptr;
    PFN_xrGetActionStateFloat getActionStateFloat = nullptr;
    PFN_xrGetActionStateVector2f getActionStateVector2f = nullptr;
    PFN_xrGetActionStatePose getActionStatePose = nullptr;
    PFN_xrCreateActionSpace createActionSpace = nullptr;
};

struct EyeSwapchain {
    XrSwapchain handle = XR_NULL_HANDLE;
    uint32_t width = 0;
    uint32_t height = 0;
    DXGI_FORMAT sourceFormat = DXGI_FORMAT_UNKNOWN;
    std::vector<ID3D11Texture2D*> images; // the runtime's; not ours to release
};

struct HandActionSet {
    XrActionSet set = XR_NULL_HANDLE;
    XrAction primary = XR_NULL_HANDLE;
    XrAction menu = XR_NULL_HANDLE;
    XrAction stickClick = XR_NULL_HANDLE;
    XrAction squeeze = XR_NULL_HANDLE;
    XrAction trigger = XR_NULL_HANDLE;
    XrAction stick = XR_NULL_HANDLE;
    XrAction pose = XR_NULL_HANDLE;
    XrPath hand[2] = {XR_NULL_PATH, XR_NULL_PATH};
    XrSpace space[2] = {XR_NULL_HANDLE, XR_NULL_HANDLE};
};

// Everything of one connection; reset whole by ShutdownInternal.
struct Connection {
    XrInstance instance = XR_NULL_HANDLE;
    XrSystemId system = XR_NULL_SYSTEM_ID;
    XrSession session = XR_NULL_HANDLE;
    XrSpace local = XR_NULL_HANDLE;
    XrSpace view = XR_NULL_HANDLE;
    XrSessionState state = XR_SESSION_STATE_UNKNOWN;
    bool running = false;
    // The runtime is stopping, lost the session or is going away: the presenter disconnects.
    const char* lost = nullptr;
    bool frameBegun = false;
    XrFrameState frame = Xr<XrFrameState>(XR_TYPE_FRAME_STATE);
    uint32_t recommendedWidth = 0;
    uint32_t recommendedHeight = 0;
    float raw[2][4] = {};
    float eyeX[2] = {};
    std::vector<int64_t> formats;
    EyeSwapchain swapchains[2];
    XrCompositionLayerProjectionView views[2] = {
        Xr<XrCompositionLayerProjectionView>(XR_TYPE_COMPOSITION_LAYER_PROJECTION_VIEW),
        Xr<XrCompositionLayerProjectionView>(XR_TYPE_COMPOSITION_LAYER_PROJECTION_VIEW)};
    bool viewReady[2] = {false, false};
    // The picture each eye's swapchain last took: the texture and its content version (forgotten
    // when the swapchain is made again).
    struct Copied {
        ID3D11Texture2D* texture = nullptr;
        uint64_t version = 0;
    } copied[2];
    // The cinema screen: its swapchain, and its layer when this frame shows it.
    EyeSwapchain screenSwapchain;
    XrCompositionLayerQuad screen = Xr<XrCompositionLayerQuad>(XR_TYPE_COMPOSITION_LAYER_QUAD);
    bool screenThisFrame = false;
    bool screenUnderEyes = false;
    HandActionSet actions;
    HandActions hands[2];
    TrackedDevicePose_t poses[kDeviceCount] = {};
    bool seatedZeroPending = false;
};

struct Bridge {
    OpenXrRuntimeLibrary library;
    XrCalls xr;
    IDXGISwapChain* noticedSwapChain = nullptr; // the game's, this frame; no reference held
    Connection c;
    uint32_t initToken = 0;
    uint32_t packet = 0;
    uint64_t eyeContent[2] = {}; // as the presenter noted them for this frame
    // The session was let go with the game's device; the next frame wait makes it again.
    bool remakePending = false;
    std::string failure;
    std::string said; // the last state line, said once per change
};

Bridge* g_bridge = nullptr;

Bridge& B() {
    // Made on first use and never destroyed: the game may present while the process exits.
    if (g_bridge == nullptr) {
        g_bridge = new Bridge();
    }
    return *g_bridge;
}

const char* ResultName(XrResult result) {
    switch (result) {
    case XR_SUCCESS:
        return "XR_SUCCESS";
    case XR_ERROR_RUNTIME_FAILURE:
        return "XR_ERROR_RUNTIME_FAILURE";
    case XR_ERROR_RUNTIME_UNAVAILABLE:
        return "XR_ERROR_RUNTIME_UNAVAILABLE";
    case XR_ERROR_EXTENSION_NOT_PRESENT:
        return "XR_ERROR_EXTENSION_NOT_PRESENT";
    case XR_ERROR_FORM_FACTOR_UNAVAILABLE:
        return "XR_ERROR_FORM_FACTOR_UNAVAILABLE";
    case XR_ERROR_SESSION_LOST:
        return "XR_ERROR_SESSION_LOST";
    case XR_ERROR_INSTANCE_LOST:
        return "XR_ERROR_INSTANCE_LOST";
    case XR_ERROR_GRAPHICS_DEVICE_INVALID:
        return "XR_ERROR_GRAPHICS_DEVICE_INVALID";
    case XR_ERROR_CALL_ORDER_INVALID:
        return "XR_ERROR_CALL_ORDER_INVALID";
    case XR_ERROR_SESSION_NOT_RUNNING:
        return "XR_ERROR_SESSION_NOT_RUNNING";
    default:
        break;
    }
    return "an XrResult";
}

// A call's failure as a sentence for the log: the call, the result's name and number.
std::string Failed(const char* call, XrResult result) {
    char text[160];
    std::snprintf(text, sizeof text, "%s failed with %s (%d)", call, ResultName(result),
                  static_cast<int>(result));
    return text;
}

template <typename Fn> bool Resolve(Bridge& b, const char* name, Fn& out) {
    PFN_xrVoidFunction function = nullptr;
    const XrResult result = b.xr.getInstanceProcAddr(b.c.instance, name, &function);
    out = reinterpret_cast<Fn>(function);
    if (XR_FAILED(result) || out == nullptr) {
        b.failure = std::string("the runtime does not serve ") + name;
        return false;
    }
    return true;
}

bool ResolveInstanceCalls(Bridge& b) {
    XrCalls& x = b.xr;
    return Resolve(b, "xrDestroyInstance", x.destroyInstance) && Resolve(b, "xrPollEvent", x.pollEvent) &&
           Resolve(b, "xrGetSystem", x.getSystem) &&
           Resolve(b, "xrEnumerateViewConfigurationViews", x.enumerateViewConfigurationViews) &&
           Resolve(b, "xrGetD3D11GraphicsRequirementsKHR", x.getD3D11GraphicsRequirements) &&
           Resolve(b, "xrCreateSession", x.createSession) &&
           Resolve(b, "xrDestroySession", x.destroySession) && Resolve(b, "xrBeginSession", x.beginSession) &&
           Resolve(b, "xrEndSession", x.endSession) &&
           Resolve(b, "xrCreateReferenceSpace", x.createReferenceSpace) &&
           Resolve(b, "xrDestroySpace", x.destroySpace) && Resolve(b, "xrLocateSpace", x.locateSpace) &&
           Resolve(b, "xrLocateViews", x.locateViews) &&
           Resolve(b, "xrEnumerateSwapchainFormats", x.enumerateSwapchainFormats) &&
           Resolve(b, "xrCreateSwapchain", x.createSwapchain) &&
           Resolve(b, "xrDestroySwapchain", x.destroySwapchain) &&
           Resolve(b, "xrEnumerateSwapchainImages", x.enumerateSwapchainImages) &&
           Resolve(b, "xrAcquireSwapchainImage", x.acquireSwapchainImage) &&
           Resolve(b, "xrWaitSwapchainImage", x.waitSwapchainImage) &&
           Resolve(b, "xrReleaseSwapchainImage", x.releaseSwapchainImage) &&
           Resolve(b, "xrWaitFrame", x.waitFrame) && Resolve(b, "xrBeginFrame", x.beginFrame) &&
           Resolve(b, "xrEndFrame", x.endFrame) && Resolve(b, "xrStringToPath", x.stringToPath) &&
           Resolve(b, "xrCreateActionSet", x.createActionSet) &&
           Resolve(b, "xrCreateAction", x.createAction) &&
           Resolve(b, "xrSuggestInteractionProfileBindings", x.suggestInteractionProfileBindings) &&
           Resolve(b, "xrAttachSessionActionSets", x.attachSessionActionSets) &&
           Resolve(b, "xrSyncActions", x.syncActions) &&
           Resolve(b, "xrGetActionStateBoolean", x.getActionStateBoolean) &&
           Resolve(b, "xrGetActionStateFloat", x.getActionStateFloat) &&
           Resolve(b, "xrGetActionStateVector2f", x.getActionStateVector2f) &&
           Resolve(b, "xrGetActionStatePose", x.getActionStatePose) &&
           Resolve(b, "xrCreateActionSpace", x.createActionSpace);
}

void SayOnce(Bridge& b, const std::string& line) {
    if (line != b.said) {
        LogMessage("%s", line.c_str());
        b.said = line;
    }
}

// The first reason the connection is given up for is the one the log gives: what follows (a
// stopping session going idle, then exiting) is its consequence.
void Lose(Connection& c, const char* reason) {
    if (c.lost == nullptr) {
        c.lost = reason;
    }
}

const char* StateName(XrSessionState state) {
    switch (state) {
    case XR_SESSION_STATE_IDLE:
        return "idle";
    case XR_SESSION_STATE_READY:
        return "ready";
    case XR_SESSION_STATE_SYNCHRONIZED:
        return "synchronized";
    case XR_SESSION_STATE_VISIBLE:
        return "visible";
    case XR_SESSION_STATE_FOCUSED:
        return "focused";
    case XR_SESSION_STATE_STOPPING:
        return "stopping";
    case XR_SESSION_STATE_LOSS_PENDING:
        return "loss pending";
    case XR_SESSION_STATE_EXITING:
        return "exiting";
    default:
        break;
    }
    return "unknown";
}

// ---- Frames ----

// Ends the frame begun by the last wait: with the projection layer both eyes last went out
// with (each eye's swapchain shows the image it last released, with that image's pose), or with
// none while nothing is to be shown.
void EndFrame(Bridge& b) {
    Connection& c = b.c;
    if (!c.frameBegun) {
        return;
    }
    c.frameBegun = false;
    auto layer = Xr<XrCompositionLayerProjection>(XR_TYPE_COMPOSITION_LAYER_PROJECTION);
    layer.space = c.local;
    layer.viewCount = 2;
    layer.views = c.views;
    // With the screen, the eye images lie over it and let it show through where they are
    // transparent (premultiplied: the hole is colour and alpha 0).
    // Without a hole the screen simply goes over the eye images, which are opaque.
    const XrCompositionLayerBaseHeader* layers[2] = {};
    uint32_t count = 0;
    const bool screen = std::exchange(c.screenThisFrame, false);
    if (screen && c.screenUnderEyes) {
        layers[count++] = reinterpret_cast<const XrCompositionLayerBaseHeader*>(&c.screen);
        layer.layerFlags = XR_COMPOSITION_LAYER_BLEND_TEXTURE_SOURCE_ALPHA_BIT;
    }
    layers[count++] = reinterpret_cast<const XrCompositionLayerBaseHeader*>(&layer);
    if (screen && !c.screenUnderEyes) {
        layers[count++] = reinterpret_cast<const XrCompositionLayerBaseHeader*>(&c.screen);
    }
    auto end = Xr<XrFrameEndInfo>(XR_TYPE_FRAME_END_INFO);
    end.displayTime = c.frame.predictedDisplayTime;
    end.environmentBlendMode = XR_ENVIRONMENT_BLEND_MODE_OPAQUE;
    const bool show = c.frame.shouldRender && c.viewReady[0] && c.viewReady[1];
    end.layerCount = show ? count : 0;
    end.layers = show ? layers : nullptr;
    const XrResult result = b.xr.endFrame(c.session, &end);
    if (result == XR_ERROR_SESSION_LOST || result == XR_ERROR_INSTANCE_LOST) {
        Lose(c, "the runtime lost the session");
    } else if (XR_FAILED(result)) {
        b.failure = Failed("xrEndFrame", result);
        Lose(c, "a frame could not be ended");
    }
}

void BeginSession(Bridge& b) {
    Connection& c = b.c;
    auto begin = Xr<XrSessionBeginInfo>(XR_TYPE_SESSION_BEGIN_INFO);
    begin.primaryViewConfigurationType = XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO;
    const XrResult result = b.xr.beginSession(c.session, &begin);
    if (XR_FAILED(result)) {
        b.failure = Failed("xrBeginSession", result);
        Lose(c, "the session could not begin");
        return;
    }
    c.running = true;
}

void StopSession(Bridge& b) {
    Connection& c = b.c;
    EndFrame(b);
    if (c.running) {
        (void)b.xr.endSession(c.session);
        c.running = false;
    }
}

void OnStateChanged(Bridge& b, XrSessionState state) {
    Connection& c = b.c;
    c.state = state;
    SayOnce(b, std::string("OpenXR session ") + StateName(state));
    switch (state) {
    case XR_SESSION_STATE_READY:
        BeginSession(b);
        break;
    case XR_SESSION_STATE_STOPPING:
        // The runtime wants the headset back: the session ends, and a new connection is tried
        // after the usual pause.
        StopSession(b);
        Lose(c, "the runtime stopped the session");
        break;
    case XR_SESSION_STATE_LOSS_PENDING:
        Lose(c, "the runtime is losing the session");
        break;
    case XR_SESSION_STATE_EXITING:
        Lose(c, "the runtime ended the session");
        break;
    default:
        break;
    }
}

void PumpEvents(Bridge& b) {
    Connection& c = b.c;
    for (int i = 0; i < kEventsPerCall; ++i) {
        auto event = Xr<XrEventDataBuffer>(XR_TYPE_EVENT_DATA_BUFFER);
        const XrResult result = b.xr.pollEvent(c.instance, &event);
        if (result != XR_SUCCESS) {
            if (result == XR_ERROR_INSTANCE_LOST) {
                Lose(c, "the runtime lost the instance");
            }
            return;
        }
        switch (event.type) {
        case XR_TYPE_EVENT_DATA_SESSION_STATE_CHANGED:
            OnStateChanged(b, reinterpret_cast<const XrEventDataSessionStateChanged&>(event).state);
            break;
        case XR_TYPE_EVENT_DATA_INSTANCE_LOSS_PENDING:
            Lose(c, "the runtime is going away");
            break;
        case XR_TYPE_EVENT_DATA_REFERENCE_SPACE_CHANGE_PENDING:
            if (reinterpret_cast<const XrEventDataReferenceSpaceChangePending&>(event).referenceSpaceType ==
                XR_REFERENCE_SPACE_TYPE_LOCAL) {
                c.seatedZeroPending = true;
            }
            break;
        default:
            break;
        }
    }
}

bool Located(const XrSpaceLocation& location) {
    constexpr XrSpaceLocationFlags kNeeded =
        XR_SPACE_LOCATION_ORIENTATION_VALID_BIT | XR_SPACE_LOCATION_POSITION_VALID_BIT;
    return (location.locationFlags & kNeeded) == kNeeded;
}

TrackedDevicePose_t PoseOf(const XrSpaceLocation& location) {
    const XrPosef& p = location.pose;
    return DevicePoseFrom(Located(location),
                          Quaternion{p.orientation.x, p.orientation.y, p.orientation.z, p.orientation.w},
                          Vector3{p.position.x, p.position.y, p.position.z});
}

bool BooleanState(Bridge& b, XrAction action, XrPath hand) {
    auto info = Xr<XrActionStateGetInfo>(XR_TYPE_ACTION_STATE_GET_INFO);
    info.action = action;
    info.subactionPath = hand;
    auto state = Xr<XrActionStateBoolean>(XR_TYPE_ACTION_STATE_BOOLEAN);
    return XR_SUCCEEDED(b.xr.getActionStateBoolean(b.c.session, &info, &state)) && state.isActive &&
           state.currentState;
}

float FloatState(Bridge& b, XrAction action, XrPath hand) {
    auto info = Xr<XrActionStateGetInfo>(XR_TYPE_ACTION_STATE_GET_INFO);
    info.action = action;
    info.subactionPath = hand;
    auto state = Xr<XrActionStateFloat>(XR_TYPE_ACTION_STATE_FLOAT);
    return XR_SUCCEEDED(b.xr.getActionStateFloat(b.c.session, &info, &state)) && state.isActive
               ? state.currentState
               : 0.0f;
}

void ReadHands(Bridge& b) {
    Connection& c = b.c;
    HandActionSet& a = c.actions;
    for (HandActions& hand : c.hands) {
        hand = HandActions{};
    }
    if (a.set == XR_NULL_HANDLE || c.state != XR_SESSION_STATE_FOCUSED) {
        return; // the runtime gives input only to the focused session
    }
    XrActiveActionSet active{a.set, XR_NULL_PATH};
    auto sync = Xr<XrActionsSyncInfo>(XR_TYPE_ACTIONS_SYNC_INFO);
    sync.countActiveActionSets = 1;
    sync.activeActionSets = &active;
    if (XR_FAILED(b.xr.syncActions(c.session, &sync))) {
        return;
    }
    for (int side = 0; side < 2; ++side) {
        const XrPath hand = a.hand[side];
        auto info = Xr<XrActionStateGetInfo>(XR_TYPE_ACTION_STATE_GET_INFO);
        info.action = a.pose;
        info.subactionPath = hand;
        auto pose = Xr<XrActionStatePose>(XR_TYPE_ACTION_STATE_POSE);
        HandActions& out = c.hands[side];
        out.active = XR_SUCCEEDED(b.xr.getActionStatePose(c.session, &info, &pose)) && pose.isActive;
        if (!out.active) {
            continue;
        }
        out.primary = BooleanState(b, a.primary, hand);
        out.menu = BooleanState(b, a.menu, hand);
        out.stickClick = BooleanState(b, a.stickClick, hand);
        out.squeeze = FloatState(b, a.squeeze, hand);
        out.trigger = FloatState(b, a.trigger, hand);
        info.action = a.stick;
        auto stick = Xr<XrActionStateVector2f>(XR_TYPE_ACTION_STATE_VECTOR2F);
        if (XR_SUCCEEDED(b.xr.getActionStateVector2f(c.session, &info, &stick)) && stick.isActive) {
            out.stickX = stick.currentState.x;
            out.stickY = stick.currentState.y;
        }
    }
}

void LocateDevices(Bridge& b) {
    Connection& c = b.c;
    const XrTime time = c.frame.predictedDisplayTime;
    auto head = Xr<XrSpaceLocation>(XR_TYPE_SPACE_LOCATION);
    c.poses[0] = XR_SUCCEEDED(b.xr.locateSpace(c.view, c.local, time, &head)) ? PoseOf(head)
                                                                              : DevicePoseFrom(false, {}, {});
    for (int side = 0; side < 2; ++side) {
        TrackedDevicePose_t& pose = c.poses[kHandDevice[side]];
        pose = TrackedDevicePose_t{};
        if (!c.hands[side].active) {
            continue;
        }
        auto hand = Xr<XrSpaceLocation>(XR_TYPE_SPACE_LOCATION);
        pose = XR_SUCCEEDED(b.xr.locateSpace(c.actions.space[side], c.local, time, &hand))
                   ? PoseOf(hand)
                   : DevicePoseFrom(false, {}, {});
    }
}

// ---- Connection ----

XrPath PathOf(Bridge& b, const char* text) {
    XrPath path = XR_NULL_PATH;
    (void)b.xr.stringToPath(b.c.instance, text, &path);
    return path;
}

bool MakeAction(Bridge& b, const char* name, const char* label, XrActionType type, XrAction& out) {
    HandActionSet& a = b.c.actions;
    auto info = Xr<XrActionCreateInfo>(XR_TYPE_ACTION_CREATE_INFO);
    std::snprintf(info.actionName, sizeof info.actionName, "%s", name);
    std::snprintf(info.localizedActionName, sizeof info.localizedActionName, "%s", label);
    info.actionType = type;
    info.countSubactionPaths = 2;
    info.subactionPaths = a.hand;
    const XrResult result = b.xr.createAction(a.set, &info, &out);
    if (XR_FAILED(result)) {
        b.failure = Failed("xrCreateAction", result);
        return false;
    }
    return true;
}

struct SuggestedBinding {
    const char* component; // after /user/hand/left or /user/hand/right
    XrAction HandActionSet::*action;
    int hands; // 1 left only, 2 right only, 3 both
};

struct ProfileBindings {
    const char* profile;
    std::vector<SuggestedBinding> bindings;
};

// What each common controller's parts do: the face button nearest the thumb is the primary
// button, the other the menu button; the stick (or trackpad) and its click, the trigger and the
// squeeze keep their meaning.
const std::vector<ProfileBindings>& Profiles() {
    using A = HandActionSet;
    static const std::vector<ProfileBindings> profiles = {
        {"/interaction_profiles/khr/simple_controller",
         {{"/input/select/click", &A::primary, 3},
          {"/input/menu/click", &A::menu, 3},
          {"/input/grip/pose", &A::pose, 3}}},
        {"/interaction_profiles/valve/index_controller",
         {{"/input/a/click", &A::primary, 3},
          {"/input/b/click", &A::menu, 3},
          {"/input/thumbstick/click", &A::stickClick, 3},
          {"/input/squeeze/value", &A::squeeze, 3},
          {"/input/trigger/value", &A::trigger, 3},
          {"/input/thumbstick", &A::stick, 3},
          {"/input/grip/pose", &A::pose, 3}}},
        {"/interaction_profiles/oculus/touch_controller",
         {{"/input/x/click", &A::primary, 1},
          {"/input/y/click", &A::menu, 1},
          {"/input/a/click", &A::primary, 2},
          {"/input/b/click", &A::menu, 2},
          {"/input/thumbstick/click", &A::stickClick, 3},
          {"/input/squeeze/value", &A::squeeze, 3},
          {"/input/trigger/value", &A::trigger, 3},
          {"/input/thumbstick", &A::stick, 3},
          {"/input/grip/pose", &A::pose, 3}}},
        {"/interaction_profiles/htc/vive_controller",
         {{"/input/menu/click", &A::menu, 3},
          {"/input/trackpad/click", &A::stickClick, 3},
          {"/input/squeeze/click", &A::squeeze, 3},
          {"/input/trigger/value", &A::trigger, 3},
          {"/input/trackpad", &A::stick, 3},
          {"/input/grip/pose", &A::pose, 3}}},
    };
    return profiles;
}

bool MakeActions(Bridge& b) {
    Connection& c = b.c;
    HandActionSet& a = c.actions;
    a.hand[0] = PathOf(b, "/user/hand/left");
    a.hand[1] = PathOf(b, "/user/hand/right");
    auto setInfo = Xr<XrActionSetCreateInfo>(XR_TYPE_ACTION_SET_CREATE_INFO);
    std::snprintf(setInfo.actionSetName, sizeof setInfo.actionSetName, "gameplay");
    std::snprintf(setInfo.localizedActionSetName, sizeof setInfo.localizedActionSetName, "Gameplay");
    XrResult result = b.xr.createActionSet(c.instance, &setInfo, &a.set);
    if (XR_FAILED(result)) {
        b.failure = Failed("xrCreateActionSet", result);
        return false;
    }
    if (!MakeAction(b, "primary", "Primary button", XR_ACTION_TYPE_BOOLEAN_INPUT, a.primary) ||
        !MakeAction(b, "menu", "Menu button", XR_ACTION_TYPE_BOOLEAN_INPUT, a.menu) ||
        !MakeAction(b, "stick_click", "Stick click", XR_ACTION_TYPE_BOOLEAN_INPUT, a.stickClick) ||
        !MakeAction(b, "squeeze", "Squeeze", XR_ACTION_TYPE_FLOAT_INPUT, a.squeeze) ||
        !MakeAction(b, "trigger", "Trigger", XR_ACTION_TYPE_FLOAT_INPUT, a.trigger) ||
        !MakeAction(b, "stick", "Stick", XR_ACTION_TYPE_VECTOR2F_INPUT, a.stick) ||
        !MakeAction(b, "hand_pose", "Hand pose", XR_ACTION_TYPE_POSE_INPUT, a.pose)) {
        return false;
    }
    for (const ProfileBindings& profile : Profiles()) {
        std::vector<XrActionSuggestedBinding> suggested;
        for (const SuggestedBinding& binding : profile.bindings) {
            for (int side = 0; side < 2; ++side) {
                if ((binding.hands & (1 << side)) == 0) {
                    continue;
                }
                const std::string path =
                    std::string(side == 0 ? "/user/hand/left" : "/user/hand/right") + binding.component;
                suggested.push_back(XrActionSuggestedBinding{a.*binding.action, PathOf(b, path.c_str())});
            }
        }
        auto info = Xr<XrInteractionProfileSuggestedBinding>(XR_TYPE_INTERACTION_PROFILE_SUGGESTED_BINDING);
        info.interactionProfile = PathOf(b, profile.profile);
        info.countSuggestedBindings = static_cast<uint32_t>(suggested.size());
        info.suggestedBindings = suggested.data();
        // A runtime that does not know a profile leaves its controllers to the others.
        (void)b.xr.suggestInteractionProfileBindings(c.instance, &info);
    }
    auto attach = Xr<XrSessionActionSetsAttachInfo>(XR_TYPE_SESSION_ACTION_SETS_ATTACH_INFO);
    attach.countActionSets = 1;
    attach.actionSets = &a.set;
    result = b.xr.attachSessionActionSets(c.session, &attach);
    if (XR_FAILED(result)) {
        b.failure = Failed("xrAttachSessionActionSets", result);
        return false;
    }
    for (int side = 0; side < 2; ++side) {
        auto space = Xr<XrActionSpaceCreateInfo>(XR_TYPE_ACTION_SPACE_CREATE_INFO);
        space.action = a.pose;
        space.subactionPath = a.hand[side];
        space.poseInActionSpace.orientation.w = 1.0f;
        result = b.xr.createActionSpace(c.session, &space, &a.space[side]);
        if (XR_FAILED(result)) {
            b.failure = Failed("xrCreateActionSpace", result);
            return false;
        }
    }
    return true;
}

bool MakeSpace(Bridge& b, XrReferenceSpaceType type, XrSpace& out) {
    auto info = Xr<XrReferenceSpaceCreateInfo>(XR_TYPE_REFERENCE_SPACE_CREATE_INFO);
    info.referenceSpaceType = type;
    info.poseInReferenceSpace.orientation.w = 1.0f;
    const XrResult result = b.xr.createReferenceSpace(b.c.session, &info, &out);
    if (XR_FAILED(result)) {
        b.failure = Failed("xrCreateReferenceSpace", result);
        return false;
    }
    return true;
}

bool HasD3D11Extension(Bridge& b) {
    uint32_t count = 0;
    if (XR_FAILED(b.xr.enumerateInstanceExtensionProperties(nullptr, 0, &count, nullptr))) {
        return false;
    }
    std::vector<XrExtensionProperties> properties(count,
                                                  Xr<XrExtensionProperties>(XR_TYPE_EXTENSION_PROPERTIES));
    if (XR_FAILED(b.xr.enumerateInstanceExtensionProperties(nullptr, count, &count, properties.data()))) {
        return false;
    }
    return std::any_of(properties.begin(), properties.begin() + std::min<size_t>(count, properties.size()),
                       [](const XrExtensionProperties& p) {
                           return std::strcmp(p.extensionName, XR_KHR_D3D11_ENABLE_EXTENSION_NAME) == 0;
                       });
}

// The eyes' fields and offsets, as the views stand relative to the head.
bool ReadOptics(Bridge& b) {
    Connection& c = b.c;
    auto info = Xr<XrViewLocateInfo>(XR_TYPE_VIEW_LOCATE_INFO);
    info.viewConfigurationType = XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO;
    info.displayTime = c.frame.predictedDisplayTime > 0 ? c.frame.predictedDisplayTime : 1;
    info.space = c.view;
    auto state = Xr<XrViewState>(XR_TYPE_VIEW_STATE);
    XrView views[2] = {Xr<XrView>(XR_TYPE_VIEW), Xr<XrView>(XR_TYPE_VIEW)};
    uint32_t count = 0;
    const XrResult result = b.xr.locateViews(c.session, &info, &state, 2, &count, views);
    if (XR_FAILED(result) || count != 2) {
        b.failure =
            XR_FAILED(result) ? Failed("xrLocateViews", result) : "the runtime does not give two views";
        return false;
    }
    for (int eye = 0; eye < 2; ++eye) {
        const XrFovf& f = views[eye].fov;
        RawFromFov(FovAngles{f.angleLeft, f.angleRight, f.angleUp, f.angleDown}, c.raw[eye]);
        c.eyeX[eye] = views[eye].pose.position.x;
    }
    return true;
}

bool Connect(Bridge& b) {
    Connection& c = b.c;
    ID3D11Device* device = nullptr;
    if (b.noticedSwapChain == nullptr ||
        FAILED(b.noticedSwapChain->GetDevice(__uuidof(ID3D11Device), reinterpret_cast<void**>(&device))) ||
        device == nullptr) {
        b.failure = "the game's swap chain has no Direct3D 11 device to make the session on";
        return false;
    }
    // The game holds its device for as long as its swap chain lives, and the session is made
    // within this frame's call.
    device->Release();
    if (!HasD3D11Extension(b)) {
        b.failure = "the runtime does not offer " XR_KHR_D3D11_ENABLE_EXTENSION_NAME;
        return false;
    }
    const char* extensions[] = {XR_KHR_D3D11_ENABLE_EXTENSION_NAME};
    auto create = Xr<XrInstanceCreateInfo>(XR_TYPE_INSTANCE_CREATE_INFO);
    std::snprintf(create.applicationInfo.applicationName, sizeof create.applicationInfo.applicationName,
                  "Corvane I");
    std::snprintf(create.applicationInfo.engineName, sizeof create.applicationInfo.engineName, "CorvaneVR");
    create.applicationInfo.apiVersion = XR_MAKE_VERSION(1, 0, 0);
    create.enabledExtensionCount = 1;
    create.enabledExtensionNames = extensions;
    XrResult result = b.xr.createInstance(&create, &c.instance);
    if (XR_FAILED(result)) {
        c.instance = XR_NULL_HANDLE;
        b.failure = Failed("xrCreateInstance", result);
        return false;
    }
    if (!ResolveInstanceCalls(b)) {
        return false;
    }
    auto systemInfo = Xr<XrSystemGetInfo>(XR_TYPE_SYSTEM_GET_INFO);
    systemInfo.formFactor = XR_FORM_FACTOR_HEAD_MOUNTED_DISPLAY;
    result = b.xr.getSystem(c.instance, &systemInfo, &c.system);
    if (XR_FAILED(result)) {
        b.failure = Failed("xrGetSystem", result);
        return false;
    }
    XrViewConfigurationView configViews[2] = {Xr<XrViewConfigurationView>(XR_TYPE_VIEW_CONFIGURATION_VIEW),
                                              Xr<XrViewConfigurationView>(XR_TYPE_VIEW_CONFIGURATION_VIEW)};
    uint32_t viewCount = 0;
    result = b.xr.enumerateViewConfigurationViews(
        c.instance, c.system, XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO, 2, &viewCount, configViews);
    if (XR_FAILED(result) || viewCount != 2) {
        b.failure = XR_FAILED(result) ? Failed("xrEnumerateViewConfigurationViews", result)
                                      : "the runtime has no two-view configuration";
        return false;
    }
    c.recommendedWidth = configViews[0].recommendedImageRectWidth;
    c.recommendedHeight = configViews[0].recommendedImageRectHeight;
    auto requirements = Xr<XrGraphicsRequirementsD3D11KHR>(XR_TYPE_GRAPHICS_REQUIREMENTS_D3D11_KHR);
    result = b.xr.getD3D11GraphicsRequirements(c.instance, c.system, &requirements);
    if (XR_FAILED(result)) {
        b.failure = Failed("xrGetD3D11GraphicsRequirementsKHR", result);
        return false;
    }
    auto binding = Xr<XrGraphicsBindingD3D11KHR>(XR_TYPE_GRAPHICS_BINDING_D3D11_KHR);
    binding.device = device;
    auto sessionInfo = Xr<XrSessionCreateInfo>(XR_TYPE_SESSION_CREATE_INFO);
    sessionInfo.next = &binding;
    sessionInfo.systemId = c.system;
    result = b.xr.createSession(c.instance, &sessionInfo, &c.session);
    if (XR_FAILED(result)) {
        c.session = XR_NULL_HANDLE;
        b.failure = Failed("xrCreateSession", result);
        return false;
    }
    if (!MakeSpace(b, XR_REFERENCE_SPACE_TYPE_LOCAL, c.local) ||
        !MakeSpace(b, XR_REFERENCE_SPACE_TYPE_VIEW, c.view) || !MakeActions(b)) {
        return false;
    }
    uint32_t formatCount = 0;
    if (XR_SUCCEEDED(b.xr.enumerateSwapchainFormats(c.session, 0, &formatCount, nullptr))) {
        c.formats.resize(formatCount);
        if (XR_FAILED(
                b.xr.enumerateSwapchainFormats(c.session, formatCount, &formatCount, c.formats.data()))) {
            formatCount = 0;
        }
        c.formats.resize(formatCount);
    }
    PumpEvents(b);
    if (c.lost != nullptr) {
        b.failure = c.lost;
        return false;
    }
    return ReadOptics(b);
}

void DestroySwapchain(Bridge& b, EyeSwapchain& swapchain) {
    if (swapchain.handle != XR_NULL_HANDLE) {
        (void)b.xr.destroySwapchain(swapchain.handle);
    }
    swapchain = EyeSwapchain{};
}

void Disconnect(Bridge& b) {
    Connection& c = b.c;
    if (c.session != XR_NULL_HANDLE) {
        // A session may be destroyed in any state; only one the runtime is stopping is ended
        // first (that happened as it said so).
        if (c.lost == nullptr) {
            EndFrame(b);
        }
        for (int eye = 0; eye < 2; ++eye) {
            DestroySwapchain(b, c.swapchains[eye]);
        }
        DestroySwapchain(b, c.screenSwapchain);
        // Spaces, actions and swapchains go with the session and the instance.
        (void)b.xr.destroySession(c.session);
    }
    if (c.instance != XR_NULL_HANDLE) {
        (void)b.xr.destroyInstance(c.instance);
    }
    c = Connection{};
}

// ---- Swapchains ----

// The swapchain format an eye texture's pixels are copied into unchanged: the sRGB member of its
// family where there is one, so the runtime reads the game's gamma-encoded picture as such.
DXGI_FORMAT SwapchainFormatFor(DXGI_FORMAT format) {
    switch (format) {
    case DXGI_FORMAT_R8G8B8A8_UNORM:
    case DXGI_FORMAT_R8G8B8A8_TYPELESS:
    case DXGI_FORMAT_R8G8B8A8_UNORM_SRGB:
        return DXGI_FORMAT_R8G8B8A8_UNORM_SRGB;
    case DXGI_FORMAT_B8G8R8A8_UNORM:
    case DXGI_FORMAT_B8G8R8A8_TYPELESS:
    case DXGI_FORMAT_B8G8R8A8_UNORM_SRGB:
        return DXGI_FORMAT_B8G8R8A8_UNORM_SRGB;
    case DXGI_FORMAT_R10G10B10A2_UNORM:
    case DXGI_FORMAT_R10G10B10A2_TYPELESS:
        return DXGI_FORMAT_R10G10B10A2_UNORM;
    case DXGI_FORMAT_R16G16B16A16_FLOAT:
    case DXGI_FORMAT_R16G16B16A16_TYPELESS:
        return DXGI_FORMAT_R16G16B16A16_FLOAT;
    default:
        break;
    }
    return DXGI_FORMAT_UNKNOWN;
}

// Made again when the pictures copied in change size or format; false with the failure text.
// `remade` says the swapchain it held is gone (a runtime may hand the new one the same handle).
bool EnsureSwapchain(Bridge& b, EyeSwapchain& swapchain, const D3D11_TEXTURE2D_DESC& source, bool& remade) {
    Connection& c = b.c;
    remade = false;
    if (swapchain.handle != XR_NULL_HANDLE && swapchain.width == source.Width &&
        swapchain.height == source.Height && swapchain.sourceFormat == source.Format) {
        return true;
    }
    remade = true;
    DestroySwapchain(b, swapchain);
    const DXGI_FORMAT format = SwapchainFormatFor(source.Format);
    if (format == DXGI_FORMAT_UNKNOWN ||
        std::find(c.formats.begin(), c.formats.end(), static_cast<int64_t>(format)) == c.formats.end()) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "the runtime offers no swapchain format for eye pictures of format %d",
                      static_cast<int>(source.Format));
        b.failure = text;
        return false;
    }
    auto info = Xr<XrSwapchainCreateInfo>(XR_TYPE_SWAPCHAIN_CREATE_INFO);
    info.usageFlags = XR_SWAPCHAIN_USAGE_TRANSFER_DST_BIT | XR_SWAPCHAIN_USAGE_SAMPLED_BIT;
    info.format = format;
    info.sampleCount = 1;
    info.width = source.Width;
    info.height = source.Height;
    info.faceCount = 1;
    info.arraySize = 1;
    info.mipCount = 1;
    XrResult result = b.xr.createSwapchain(c.session, &info, &swapchain.handle);
    if (XR_FAILED(result)) {
        swapchain.handle = XR_NULL_HANDLE;
        b.failure = Failed("xrCreateSwapchain", result);
        return false;
    }
    uint32_t count = 0;
    result = b.xr.enumerateSwapchainImages(swapchain.handle, 0, &count, nullptr);
    std::vector<XrSwapchainImageD3D11KHR> images(
        XR_SUCCEEDED(result) ? count : 0, Xr<XrSwapchainImageD3D11KHR>(XR_TYPE_SWAPCHAIN_IMAGE_D3D11_KHR));
    if (XR_SUCCEEDED(result)) {
        result = b.xr.enumerateSwapchainImages(swapchain.handle, count, &count,
                                               reinterpret_cast<XrSwapchainImageBaseHeader*>(images.data()));
    }
    if (XR_FAILED(result) || count == 0) {
        b.failure =
            XR_FAILED(result) ? Failed("xrEnumerateSwapchainImages", result) : "a swapchain without images";
        DestroySwapchain(b, swapchain);
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        swapchain.images.push_back(images[i].texture);
    }
    swapchain.width = source.Width;
    swapchain.height = source.Height;
    swapchain.sourceFormat = source.Format;
    return true;
}

// Copies a picture into its swapchain's next image. False with the failure text.
bool CopyIntoSwapchain(Bridge& b, EyeSwapchain& swapchain, ID3D11Texture2D* source) {
    uint32_t index = 0;
    auto acquire = Xr<XrSwapchainImageAcquireInfo>(XR_TYPE_SWAPCHAIN_IMAGE_ACQUIRE_INFO);
    XrResult result = b.xr.acquireSwapchainImage(swapchain.handle, &acquire, &index);
    if (XR_FAILED(result) || index >= swapchain.images.size()) {
        b.failure = Failed("xrAcquireSwapchainImage", XR_FAILED(result) ? result : XR_ERROR_RUNTIME_FAILURE);
        return false;
    }
    auto wait = Xr<XrSwapchainImageWaitInfo>(XR_TYPE_SWAPCHAIN_IMAGE_WAIT_INFO);
    wait.timeout = kImageWaitNs;
    result = b.xr.waitSwapchainImage(swapchain.handle, &wait);
    if (result != XR_SUCCESS) {
        // An acquired image that never became ready cannot be released: the swapchain is
        // given up and made again for the next frame.
        b.failure = result == XR_TIMEOUT_EXPIRED ? "a swapchain image stayed with the runtime"
                                                 : Failed("xrWaitSwapchainImage", result);
        DestroySwapchain(b, swapchain);
        return false;
    }
    ID3D11Device* device = nullptr;
    source->GetDevice(&device);
    ID3D11DeviceContext* context = nullptr;
    if (device != nullptr) {
        device->GetImmediateContext(&context);
        device->Release();
    }
    if (context != nullptr) {
        context->CopyResource(swapchain.images[index], source);
        context->Release();
    }
    auto release = Xr<XrSwapchainImageReleaseInfo>(XR_TYPE_SWAPCHAIN_IMAGE_RELEASE_INFO);
    result = b.xr.releaseSwapchainImage(swapchain.handle, &release);
    if (XR_FAILED(result)) {
        b.failure = Failed("xrReleaseSwapchainImage", result);
        return false;
    }
    return context != nullptr;
}

// ---- The served calls (MSVC's member-call shape: the object first) ----

void GetRecommendedRenderTargetSize(void*, uint32_t* width, uint32_t* height) {
    const Connection& c = B().c;
    if (width != nullptr) {
        *width = c.recommendedWidth;
    }
    if (height != nullptr) {
        *height = c.recommendedHeight;
    }
}

bool IsEye(EVREye eye) {
    return eye == Eye_Left || eye == Eye_Right;
}

HmdMatrix44_t* GetProjectionMatrix(void*, HmdMatrix44_t* out, EVREye eye, float nearZ, float farZ) {
    *out = IsEye(eye) ? ProjectionFromRaw(B().c.raw[eye], nearZ, farZ) : HmdMatrix44_t{};
    return out;
}

void GetProjectionRaw(void*, EVREye eye, float* left, float* right, float* top, float* bottom) {
    float raw[4] = {};
    if (IsEye(eye)) {
        std::copy(std::begin(B().c.raw[eye]), std::end(B().c.raw[eye]), raw);
    }
    float* outs[4] = {left, right, top, bottom};
    for (int i = 0; i < 4; ++i) {
        if (outs[i] != nullptr) {
            *outs[i] = raw[i];
        }
    }
}

HmdMatrix34_t* GetEyeToHeadTransform(void*, HmdMatrix34_t* out, EVREye eye) {
    *out = HmdMatrix34_t{};
    out->m[0][0] = out->m[1][1] = out->m[2][2] = 1.0f;
    out->m[0][3] = IsEye(eye) ? B().c.eyeX[eye] : 0.0f;
    return out;
}

int HandOfDevice(uint32_t device) {
    return device == kHandDevice[0] ? 0 : device == kHandDevice[1] ? 1 : -1;
}

uint32_t GetTrackedDeviceIndexForControllerRole(void*, ETrackedControllerRole role) {
    const int side = role == TrackedControllerRole_LeftHand    ? 0
                     : role == TrackedControllerRole_RightHand ? 1
                                                               : -1;
    return side >= 0 && B().c.hands[side].active ? kHandDevice[side] : k_unTrackedDeviceIndexInvalid;
}

ETrackedControllerRole GetControllerRoleForTrackedDeviceIndex(void*, uint32_t device) {
    const int side = HandOfDevice(device);
    return side < 0 || !B().c.hands[side].active
               ? TrackedControllerRole_Invalid
               : (side == 0 ? TrackedControllerRole_LeftHand : TrackedControllerRole_RightHand);
}

ETrackedDeviceClass GetTrackedDeviceClass(void*, uint32_t device) {
    return device == 0                 ? TrackedDeviceClass_HMD
           : HandOfDevice(device) >= 0 ? TrackedDeviceClass_Controller
                                       : 0;
}

bool IsTrackedDeviceConnected(void*, uint32_t device) {
    const int side = HandOfDevice(device);
    return device == 0 ? B().c.running : side >= 0 && B().c.hands[side].active;
}

int32_t GetInt32TrackedDeviceProperty(void*, uint32_t device, ETrackedDeviceProperty property,
                                      ETrackedPropertyError* error) {
    constexpr ETrackedPropertyError kUnknownProperty = 4;
    constexpr ETrackedPropertyError kInvalidDevice = 5;
    ETrackedPropertyError result = TrackedProp_Success;
    int32_t value = 0;
    if (HandOfDevice(device) < 0) {
        result = kInvalidDevice;
    } else if (property == Prop_Axis0Type_Int32 + static_cast<ETrackedDeviceProperty>(kBridgeStickAxis)) {
        value = k_eControllerAxis_Joystick;
    } else if (property == Prop_Axis0Type_Int32 + static_cast<ETrackedDeviceProperty>(kBridgeTriggerAxis)) {
        value = k_eControllerAxis_Trigger;
    } else if (property > Prop_Axis0Type_Int32 && property < Prop_Axis0Type_Int32 + 5) {
        value = k_eControllerAxis_None;
    } else {
        result = kUnknownProperty;
    }
    if (error != nullptr) {
        *error = result;
    }
    return value;
}

bool PollNextEvent(void*, VREvent_t* event, uint32_t eventSize) {
    Connection& c = B().c;
    if (event == nullptr || eventSize != sizeof(VREvent_t) || !c.seatedZeroPending) {
        return false;
    }
    c.seatedZeroPending = false;
    *event = VREvent_t{};
    event->eventType = VREvent_SeatedZeroPoseReset;
    return true;
}

bool GetControllerState(void*, uint32_t device, VRControllerState_t* state, uint32_t stateSize) {
    const int side = HandOfDevice(device);
    if (state == nullptr || stateSize != sizeof(VRControllerState_t) || side < 0 ||
        !B().c.hands[side].active) {
        return false;
    }
    *state = ControllerStateFromActions(B().c.hands[side], B().packet);
    return true;
}

EVRInitError SetSDKVersion(void*, uint32_t, uint32_t, uint32_t) {
    return VRInitError_None;
}

void SetTrackingSpace(void*, ETrackingUniverseOrigin) {
    // The session's space is OpenXR's seated one whatever is asked.
}

EVRCompositorError WaitGetPoses(void*, TrackedDevicePose_t* renderPoses, uint32_t renderCount,
                                TrackedDevicePose_t*, uint32_t) {
    Bridge& b = B();
    Connection& c = b.c;
    if (renderPoses != nullptr) {
        std::fill(renderPoses, renderPoses + renderCount, TrackedDevicePose_t{});
    }
    if (std::exchange(b.remakePending, false) && c.instance == XR_NULL_HANDLE) {
        bool remade = false;
        try {
            remade = Connect(b);
        } catch (...) {
            b.failure = "out of memory";
        }
        if (!remade) {
            Disconnect(b);
            SayOnce(b, "OpenXR session over: it could not be made again on the game's new device (" +
                           b.failure + ")");
            return kRequestFailed;
        }
        SayOnce(b, "OpenXR session made again on the game's new device");
    }
    if (c.instance == XR_NULL_HANDLE) {
        return kRequestFailed;
    }
    PumpEvents(b);
    if (c.lost == nullptr && c.running) {
        EndFrame(b); // a frame the presenter never handed off
    }
    if (c.lost != nullptr) {
        SayOnce(b, std::string("OpenXR session over: ") + c.lost +
                       (b.failure.empty() ? "" : " (" + b.failure + ")"));
        return kRequestFailed;
    }
    if (!c.running) {
        // Not yet begun: the game goes on unpaced, with nothing tracked and nothing shown.
        return VRCompositorError_None;
    }
    auto waitInfo = Xr<XrFrameWaitInfo>(XR_TYPE_FRAME_WAIT_INFO);
    c.frame = Xr<XrFrameState>(XR_TYPE_FRAME_STATE);
    XrResult result = b.xr.waitFrame(c.session, &waitInfo, &c.frame);
    if (XR_SUCCEEDED(result)) {
        auto beginInfo = Xr<XrFrameBeginInfo>(XR_TYPE_FRAME_BEGIN_INFO);
        result = b.xr.beginFrame(c.session, &beginInfo);
        c.frameBegun = XR_SUCCEEDED(result);
    }
    if (XR_FAILED(result)) {
        b.failure = Failed(c.frameBegun ? "xrBeginFrame" : "xrWaitFrame", result);
        Lose(c, "a frame could not begin");
        SayOnce(b, std::string("OpenXR session over: ") + c.lost + " (" + b.failure + ")");
        return kRequestFailed;
    }
    ++b.packet;
    ReadHands(b);
    LocateDevices(b);
    if (renderPoses != nullptr) {
        std::copy(c.poses, c.poses + std::min(renderCount, kDeviceCount), renderPoses);
    }
    return VRCompositorError_None;
}

EVRCompositorError Submit(void*, EVREye eye, const void* texture, const VRTextureBounds_t* bounds,
                          EVRSubmitFlags flags) {
    Bridge& b = B();
    Connection& c = b.c;
    const Texture_t* submitted = static_cast<const Texture_t*>(texture);
    if (!IsEye(eye) || submitted == nullptr || submitted->handle == nullptr ||
        submitted->eType != TextureType_DirectX) {
        return kInvalidTexture;
    }
    if (!c.frameBegun || !c.frame.shouldRender) {
        return VRCompositorError_None; // the runtime shows nothing of this frame
    }
    auto* source = static_cast<ID3D11Texture2D*>(submitted->handle);
    D3D11_TEXTURE2D_DESC desc{};
    source->GetDesc(&desc);
    const VRTextureBounds_t whole{0.0f, 0.0f, 1.0f, 1.0f};
    XrCompositionLayerProjectionView& view = c.views[eye];
    PixelRect rect;
    float shown[4] = {};
    if (!ViewAreaFromBounds(bounds != nullptr ? *bounds : whole, c.raw[eye], desc.Width, desc.Height, rect,
                            shown)) {
        return 109; // InvalidBounds
    }
    // The picture's own head pose when it has one, else this frame's.
    const HmdMatrix34_t& head =
        (flags & Submit_TextureWithPose) != 0
            ? static_cast<const VRTextureWithPose_t*>(texture)->mDeviceToAbsoluteTracking
            : c.poses[0].mDeviceToAbsoluteTracking;
    Quaternion orientation;
    Vector3 position;
    const bool posed = ((flags & Submit_TextureWithPose) != 0 || c.poses[0].bPoseIsValid) &&
                       EyePoseFromHead(head, c.eyeX[eye], orientation, position);
    if (!posed) {
        return VRCompositorError_None; // no head to show it from: this eye keeps its last picture
    }
    EyeSwapchain& swapchain = c.swapchains[eye];
    bool remade = false;
    const bool ensured = EnsureSwapchain(b, swapchain, desc, remade);
    if (remade) {
        // Its view and its last picture named the swapchain that went.
        c.viewReady[eye] = false;
        c.copied[eye] = Connection::Copied{};
    }
    if (!ensured) {
        SayOnce(b, std::string("OpenXR eye picture not shown: ") + b.failure);
        return kRequestFailed;
    }
    // The swapchain's last released image is what the layer shows: an unchanged picture (the other
    // eye of an alternate-eye pair, a held frame) is not copied again.
    Connection::Copied& copied = c.copied[eye];
    const bool unchanged =
        c.viewReady[eye] && copied.texture == source && copied.version == b.eyeContent[eye];
    if (!unchanged) {
        if (!CopyIntoSwapchain(b, swapchain, source)) {
            SayOnce(b, std::string("OpenXR eye picture not shown: ") + b.failure);
            c.copied[eye] = Connection::Copied{};
            return kRequestFailed;
        }
        copied = Connection::Copied{source, b.eyeContent[eye]};
    }
    const FovAngles fov = FovFromRaw(shown);
    view.pose.orientation = XrQuaternionf{orientation.x, orientation.y, orientation.z, orientation.w};
    view.pose.position = XrVector3f{position.x, position.y, position.z};
    view.fov = XrFovf{fov.angleLeft, fov.angleRight, fov.angleUp, fov.angleDown};
    view.subImage.swapchain = c.swapchains[eye].handle;
    view.subImage.imageRect = XrRect2Di{{rect.x, rect.y}, {rect.width, rect.height}};
    view.subImage.imageArrayIndex = 0;
    c.viewReady[eye] = true;
    return VRCompositorError_None;
}

void PostPresentHandoff(void*) {
    EndFrame(B());
}

void* NotServed() {
    return nullptr;
}

// Vtables shaped as the presenter reads them: the slots it calls, nothing behind the others.
struct ServedObject {
    void* const* vtable;
};

template <size_t N> struct SlotTable { void* slots[N]; };

template <typename Fn> void* SlotOf(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

SlotTable<51> MakeSystemSlots() {
    SlotTable<51> t{};
    std::fill(std::begin(t.slots), std::end(t.slots), SlotOf(&NotServed));
    t.slots[system_slot::GetRecommendedRenderTargetSize] = SlotOf(&GetRecommendedRenderTargetSize);
    t.slots[system_slot::GetProjectionMatrix] = SlotOf(&GetProjectionMatrix);
    t.slots[system_slot::GetProjectionRaw] = SlotOf(&GetProjectionRaw);
    t.slots[system_slot::GetEyeToHeadTransform] = SlotOf(&GetEyeToHeadTransform);
    t.slots[system_slot::GetTrackedDeviceIndexForControllerRole] =
        SlotOf(&GetTrackedDeviceIndexForControllerRole);
    t.slots[system_slot::GetControllerRoleForTrackedDeviceIndex] =
        SlotOf(&GetControllerRoleForTrackedDeviceIndex);
    t.slots[system_slot::GetTrackedDeviceClass] = SlotOf(&GetTrackedDeviceClass);
    t.slots[system_slot::IsTrackedDeviceConnected] = SlotOf(&IsTrackedDeviceConnected);
    t.slots[system_slot::GetInt32TrackedDeviceProperty] = SlotOf(&GetInt32TrackedDeviceProperty);
    t.slots[system_slot::PollNextEvent] = SlotOf(&PollNextEvent);
    t.slots[system_slot::GetControllerState] = SlotOf(&GetControllerState);
    t.slots[system_slot::SetSDKVersion] = SlotOf(&SetSDKVersion);
    return t;
}

SlotTable<10> MakeCompositorSlots() {
    SlotTable<10> t{};
    std::fill(std::begin(t.slots), std::end(t.slots), SlotOf(&NotServed));
    t.slots[compositor_slot::SetTrackingSpace] = SlotOf(&SetTrackingSpace);
    t.slots[compositor_slot::WaitGetPoses] = SlotOf(&WaitGetPoses);
    t.slots[compositor_slot::Submit] = SlotOf(&Submit);
    t.slots[compositor_slot::PostPresentHandoff] = SlotOf(&PostPresentHandoff);
    return t;
}

const SlotTable<51> kSystemSlots = MakeSystemSlots();
const SlotTable<10> kCompositorSlots = MakeCompositorSlots();
const ServedObject kSystem{kSystemSlots.slots};
const ServedObject kCompositor{kCompositorSlots.slots};

// ---- The client functions ----

bool ClientIsRuntimeInstalled() {
    return B().library.Loaded();
}

uint32_t ClientInitInternal2(EVRInitError* error, EVRApplicationType, const char*) {
    Bridge& b = B();
    Disconnect(b);
    b.remakePending = false;
    b.failure.clear();
    b.said.clear();
    bool connected = false;
    try {
        connected = Connect(b);
    } catch (...) {
        b.failure = "out of memory";
    }
    if (!connected) {
        Disconnect(b);
        *error = VRInitError_Unknown;
        return 0;
    }
    *error = VRInitError_None;
    return ++b.initToken;
}

bool ClientIsInterfaceVersionValid(const char*) {
    return true;
}

void* ClientGetGenericInterface(const char* version, EVRInitError* error) {
    const bool system = std::strncmp(version, "IVRSystem_", 10) == 0;
    const bool compositor = std::strncmp(version, "IVRCompositor_", 14) == 0;
    if (error != nullptr) {
        *error = system || compositor ? VRInitError_None : VRInitError_Init_InterfaceNotFound;
    }
    return system       ? const_cast<ServedObject*>(&kSystem)
           : compositor ? const_cast<ServedObject*>(&kCompositor)
                        : nullptr;
}

uint32_t ClientGetInitToken() {
    return B().initToken;
}

void ClientShutdownInternal() {
    Disconnect(B());
    B().remakePending = false;
}

const char* ClientGetInitErrorAsEnglishDescription(EVRInitError) {
    return B().failure.empty() ? "the OpenXR runtime failed" : B().failure.c_str();
}

} // namespace

bool OpenXrBridgeLoad(OpenVrClientFunctions& client, std::string& name, std::string& reason) {
    Bridge& b = B();
    if (!b.library.Loaded()) {
        if (!b.library.Load(ReadOpenXrRuntimeSources(), reason)) {
            return false;
        }
        b.xr = XrCalls{};
        b.xr.getInstanceProcAddr =
            reinterpret_cast<PFN_xrGetInstanceProcAddr>(b.library.GetInstanceProcAddr());
        if (!Resolve(b, "xrEnumerateInstanceExtensionProperties",
                     b.xr.enumerateInstanceExtensionProperties) ||
            !Resolve(b, "xrCreateInstance", b.xr.createInstance)) {
            reason = "The OpenXR runtime " + b.library.Location().libraryPath + " " + b.failure;
            b.library.Unload();
            return false;
        }
    }
    name = b.library.Location().name.empty() ? b.library.Location().libraryPath : b.library.Location().name;
    client.isRuntimeInstalled = &ClientIsRuntimeInstalled;
    client.initInternal2 = &ClientInitInternal2;
    client.isInterfaceVersionValid = &ClientIsInterfaceVersionValid;
    client.getGenericInterface = &ClientGetGenericInterface;
    client.getInitToken = &ClientGetInitToken;
    client.shutdownInternal = &ClientShutdownInternal;
    client.getInitErrorAsEnglishDescription = &ClientGetInitErrorAsEnglishDescription;
    return true;
}

void OpenXrBridgeNoteEyeContent(const uint64_t (&versions)[2]) {
    B().eyeContent[0] = versions[0];
    B().eyeContent[1] = versions[1];
}

void OpenXrBridgeReleaseDeviceObjects() {
    Bridge& b = B();
    if (b.c.session == XR_NULL_HANDLE) {
        return;
    }
    Disconnect(b);
    b.remakePending = true;
}

bool OpenXrBridgeServes(const OpenVrClientFunctions& client) {
    return client.initInternal2 == &ClientInitInternal2;
}

void OpenXrBridgeShowScreenLayer(const ScreenLayer* layer) {
    Bridge& b = B();
    Connection& c = b.c;
    c.screenThisFrame = false;
    if (layer == nullptr || layer->picture == nullptr || !c.frameBegun || !c.frame.shouldRender) {
        return;
    }
    D3D11_TEXTURE2D_DESC desc{};
    layer->picture->GetDesc(&desc);
    bool remade = false;
    if (!EnsureSwapchain(b, c.screenSwapchain, desc, remade) ||
        !CopyIntoSwapchain(b, c.screenSwapchain, layer->picture)) {
        // The eye images keep their hole: the screen's place stays dark for the frame.
        SayOnce(b, std::string("OpenXR screen layer not shown: ") + b.failure);
        return;
    }
    const Quaternion q = LevelOrientationFromRight(layer->right);
    c.screen.layerFlags = 0; // opaque
    c.screen.space = c.local;
    c.screen.eyeVisibility = XR_EYE_VISIBILITY_BOTH;
    c.screen.subImage.swapchain = c.screenSwapchain.handle;
    c.screen.subImage.imageRect =
        XrRect2Di{{0, 0}, {static_cast<int32_t>(desc.Width), static_cast<int32_t>(desc.Height)}};
    c.screen.subImage.imageArrayIndex = 0;
    c.screen.pose.orientation = XrQuaternionf{q.x, q.y, q.z, q.w};
    c.screen.pose.position = XrVector3f{layer->centre[0], layer->centre[1], layer->centre[2]};
    c.screen.size = XrExtent2Df{2.0f * layer->halfWidth, 2.0f * layer->halfHeight};
    c.screenUnderEyes = layer->underEyes;
    c.screenThisFrame = true;
}

void OpenXrBridgeNoteSwapChain(IDXGISwapChain* swapChain) {
    // Only kept: it is asked for its device when a session is made, and only then.
    B().noticedSwapChain = swapChain;
}

} // namespace corvane
