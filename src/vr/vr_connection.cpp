// The presenter object, its OpenVR connection and the optics accessors.
#include "core/log.h"
#include "platform/os.h"
#include "vr/openvr_port.h"
#include "vr/optics.h"
#include "vr/vr_presenter.h"

#include <algorithm>
#include <iterator>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace corvane {

VrPresenter& VrPresenter::Instance() {
    // Created on first use and never destroyed: the game's threads may still reach it while
    // the process exits.
    static VrPresenter* const instance = new VrPresenter();
    return *instance;
}

void* VrPresenter::GetClientInterface(const char* version, void*& cached) {
    // Pointers from an earlier session of the client library are worthless after a new init.
    const uint32_t token = OpenVrGetInitToken();
    if (clientContext.initToken != token) {
        clientContext.system = nullptr;
        clientContext.compositor = nullptr;
        clientContext.initToken = token;
    }
    if (cached == nullptr) {
        EVRInitError ignored = VRInitError_None;
        cached = OpenVrGetGenericInterface(version, &ignored);
    }
    return cached;
}

void VrPresenter::InitializeClient(EVRInitError& error) {
    error = VRInitError_None;
    clientContext.initToken = OpenVrInitInternal2(&error, VRApplication_Scene, nullptr);
    clientContext.system = nullptr;
    clientContext.compositor = nullptr;
    void* systemInterface = nullptr;
    if (error == VRInitError_None) {
        if (!OpenVrIsInterfaceVersionValid(kSystemInterfaceVersion)) {
            error = VRInitError_Init_InterfaceNotFound;
        } else {
            systemInterface = GetClientInterface(kSystemInterfaceVersion, clientContext.system);
            // A runtime that initialised but hands out no system interface is as unusable as
            // one that does not have it; the client library must still be shut down.
            error = systemInterface != nullptr ? OpenVrSetSDKVersion(systemInterface, kSdkVersionMajor,
                                                                     kSdkVersionMinor, kSdkVersionBuild)
                                               : VRInitError_Init_InterfaceNotFound;
        }
    }
    if (error != VRInitError_None) {
        OpenVrShutdownInternal();
        systemInterface = nullptr;
    }
    system = systemInterface;
}

bool VrPresenter::ReadOptics() {
    for (int eye = 0; eye < 2; ++eye) {
        float* raw = rawProjection[eye];
        OpenVrGetProjectionRaw(system, eye == 0 ? Eye_Left : Eye_Right, &raw[kRawLeft], &raw[kRawRight],
                               &raw[kRawTop], &raw[kRawBottom]);
        if (!ValidateRawProjection(raw, u0[eye])) {
            lastErrorText = std::string(HeadsetRuntimeLabel()) + " supplied invalid raw eye projections";
            return false;
        }
    }
    if (!ComputeCommonTan(rawProjection[0], rawProjection[1], commonTan)) {
        lastErrorText = std::string(HeadsetRuntimeLabel()) + " supplied invalid common projection extents";
        return false;
    }
    return true;
}

bool VrPresenter::EnsureConnected() {
    if (system != nullptr && compositor != nullptr) {
        return true;
    }
    const int64_t now = OsSteadyClockNs();
    if (now < reconnectNotBefore) {
        return false;
    }
    reconnectNotBefore = now + kReconnectIntervalNs;

    if (!OpenVrLoadClient(lastErrorText)) {
        return false;
    }
    if (!OpenVrIsRuntimeInstalled()) {
        lastErrorText = "No OpenVR runtime is installed";
        return false;
    }

    EVRInitError error = VRInitError_None;
    InitializeClient(error);
    if (error != VRInitError_None || system == nullptr) {
        const char* description = OpenVrGetInitErrorAsEnglishDescription(error);
        lastErrorText = std::string(HeadsetRuntimeLabel()) +
                        " initialization failed: " + (description != nullptr ? description : "unknown error");
        system = nullptr;
        return false;
    }

    compositor = GetClientInterface(kCompositorInterfaceVersion, clientContext.compositor);
    if (compositor == nullptr) {
        lastErrorText = std::string(HeadsetRuntimeLabel()) + " compositor interface is unavailable";
        OpenVrShutdownInternal();
        system = nullptr;
        return false;
    }

    OpenVrSetTrackingSpace(compositor, TrackingUniverseStanding);

    uint32_t width = 0;
    uint32_t height = 0;
    OpenVrGetRecommendedRenderTargetSize(system, &width, &height);
    if (width == 0 || height == 0) {
        width = 1;
        height = 1;
    }
    renderTargetWidth = width;
    renderTargetHeight = height;

    eyeToHeadX[0] = OpenVrGetEyeToHeadTransform(system, Eye_Left).m[0][3];
    eyeToHeadX[1] = OpenVrGetEyeToHeadTransform(system, Eye_Right).m[0][3];
    if (!EyeToHeadOffsetsValid(eyeToHeadX[0], eyeToHeadX[1])) {
        lastErrorText = std::string(HeadsetRuntimeLabel()) + " supplied invalid eye-to-head transforms";
        OpenVrShutdownInternal();
        system = nullptr;
        compositor = nullptr;
        eyeToHeadX[0] = 0.0f;
        eyeToHeadX[1] = 0.0f;
        return false;
    }

    if (!ReadOptics()) {
        Disconnect(reconnectNotBefore);
        return false;
    }

    const float* left = rawProjection[0];
    const float* right = rawProjection[1];
    LogMessage(
        "%s projection: target=%ux%u; left raw=(%.6f, %.6f, %.6f, %.6f) u0=%.6f; right raw=(%.6f, %.6f, "
        "%.6f, %.6f) u0=%.6f; common tan=(%.6f, %.6f)",
        HeadsetRuntimeLabel(), renderTargetWidth, renderTargetHeight, double{left[kRawLeft]},
        double{left[kRawRight]}, double{left[kRawTop]}, double{left[kRawBottom]}, double{u0[0]},
        double{right[kRawLeft]}, double{right[kRawRight]}, double{right[kRawTop]}, double{right[kRawBottom]},
        double{u0[1]}, double{commonTan[0]}, double{commonTan[1]});

    OpticsValues optics;
    std::copy_n(eyeToHeadX, 2, optics.eyeToHeadX);
    std::memcpy(optics.rawProjection, rawProjection, sizeof(optics.rawProjection));
    std::copy_n(commonTan, 2, optics.commonTan);
    publishedOptics.Publish(optics);
    lastErrorText.clear();
    return true;
}

void VrPresenter::Disconnect(int64_t retryAt) {
    // The compositor may still hold the submitted textures: ours go before the runtime does.
    ReleaseEyeTargets();
    publishedOptics.Clear();
    if (system != nullptr) {
        OpenVrShutdownInternal();
    }
    u0[0] = u0[1] = 0.5f;
    eyeToHeadX[0] = eyeToHeadX[1] = 0.0f;
    system = nullptr;
    compositor = nullptr;
    std::memset(rawProjection, 0, sizeof(rawProjection));
    renderTargetWidth = 0;
    renderTargetHeight = 0;
    commonTan[0] = commonTan[1] = 0.0f;
    // The next connection says its stereo bounds and its once-only lines again.
    stereoBoundsLogged.requestedConvergence = std::numeric_limits<float>::quiet_NaN();
    stereoBoundsLogged.projection[0] = stereoBoundsLogged.projection[1] = PictureProjection::Game;
    stereoBoundsLogged.logged = false;
    onceLines = OnceLines{};
    submittedThisFrame = false;
    posesFetched = false;
    fetchAfterPresent = false;
    pendingRecentre = nullptr;
    std::memset(renderPoses, 0, sizeof(renderPoses));
    std::fill(std::begin(handPoses), std::end(handPoses), PoseMatrix34{});
    controllers[0] = ControllerState{};
    controllers[1] = ControllerState{};
    head = HeadState{};
    ResetHeadTracking();
    reconnectNotBefore = retryAt;
}

bool VrPresenter::GetProjectionInfo(ProjectionInfo& out) noexcept {
    out = ProjectionInfo{};
    OpticsValues optics;
    if (!publishedOptics.Read(optics)) {
        return false;
    }
    const bool usable = std::isfinite(optics.commonTan[0]) && optics.commonTan[0] > 0.0f &&
                        std::isfinite(optics.commonTan[1]) && optics.commonTan[1] > 0.0f;
    if (!usable) {
        return false;
    }
    std::copy_n(optics.rawProjection[0], 4, out.leftEyeRaw);
    std::copy_n(optics.rawProjection[1], 4, out.rightEyeRaw);
    out.commonTanX = optics.commonTan[0];
    out.commonTanY = optics.commonTan[1];
    return true;
}

bool VrPresenter::GetEyeOffset(uint32_t eye, float& out) noexcept {
    out = 0.0f;
    OpticsValues optics;
    if (eye > 1 || !publishedOptics.Read(optics) || !std::isfinite(optics.eyeToHeadX[eye])) {
        return false;
    }
    out = optics.eyeToHeadX[eye];
    return true;
}

const char* VrPresenter::RuntimeName() const {
    return HeadsetRuntimeLabel();
}

std::string VrPresenter::LastError() {
    std::lock_guard<std::mutex> lock(presenterMutex);
    return lastErrorText;
}

bool VrPresenter::CopyLastErrorIfChanged(std::string& remembered) {
    std::lock_guard<std::mutex> lock(presenterMutex);
    if (lastErrorText.empty() || lastErrorText == remembered) {
        return false;
    }
    remembered = lastErrorText;
    return true;
}

void VrPresenter::RestoreInitialState() {
    std::lock_guard<std::mutex> lock(presenterMutex);
    Disconnect(0);
    clientContext = ClientContext{};
    pictureParams = PictureParams{};
    stereoBoundsLogged = StereoBoundsLogMemory{};
    cinemaState = CinemaScreenState{};
    cinemaFrame = CinemaFrame{};
    cinemaUnavailableSaid = false;
    cinemaWaitingSaid = false;
    fieldUnavailableSaid = false;
    releaseTargetsRequested.store(false);
    recentreRequestedBy.store(nullptr);
    lastErrorText.clear();
    std::scoped_lock poseLocks(headPoseMutex, renderPoseMutex);
    trackingEpoch.store(1);
    headReference = HeadReference{};
    headPoseSample = HeadPoseSample{};
    publishedRenderPoses[0] = EyeRenderPose{};
    publishedRenderPoses[1] = EyeRenderPose{};
}

} // namespace corvane
