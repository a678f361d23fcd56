// The one object that links the program to the OpenVR runtime: the lazy, throttled
// connection with its optics, the head and controller tracking read each frame, and the
// per-eye render poses the camera code publishes. RenderFrame, EnsureConnected and
// Disconnect run on the render thread; the accessors may be called from any thread.
//
// Locks: presenterMutex guards everything not named under the other two and is always
// taken first; headPoseMutex guards the head reference and sample, renderPoseMutex the
// published eye render poses. None is recursive: code holding presenterMutex must not call
// the accessors that take it.
#pragma once

#include "vr/openvr_abi.h"
#include "vr/pose_math.h"
#include "vr/tracking_state.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct IDXGISwapChain;

namespace corvane {

struct ProjectionInfo {
    float leftEyeRaw[4] = {};
    float rightEyeRaw[4] = {};
    float commonTanX = 0.0f;
    float commonTanY = 0.0f;
};

inline constexpr int64_t kReconnectIntervalNs = 10'000'000'000;

// "<operation> failed (HRESULT 0x<lowercase hex>)" for a Direct3D or DXGI failure.
std::string FormatHresultFailure(const char* operation, int32_t hresult);

struct VrPresenter {
    static VrPresenter& Instance();

    VrPresenter() = default;
    VrPresenter(const VrPresenter&) = delete;
    VrPresenter& operator=(const VrPresenter&) = delete;

    // ---- Per frame (render thread) ----

    // Connects when needed, waits for the frame's poses and updates head and controllers.
    // True only when both eyes were submitted in this call.
    [[nodiscard]] bool RenderFrame(IDXGISwapChain* swapChain, uint32_t eye, bool pairValid,
                                   bool commonProjection, float requestedConvergence, float frameScale,
                                   float frameHorizontalOffset, float frameVerticalOffset,
                                   float rightFrameScale, float rightFrameHorizontalOffset,
                                   float rightFrameVerticalOffset, float rightFrameRollDegrees);

    // Caller holds presenterMutex. True when system and compositor are both set on return.
    [[nodiscard]] bool EnsureConnected();
    // Caller holds presenterMutex. Shuts the connection down; no attempt before retryAt.
    void Disconnect(int64_t retryAt);

    // Caller holds presenterMutex; read right after WaitGetPoses.
    void UpdateHeadState();
    void FindControllerIndices(uint32_t& left, uint32_t& right);
    ControllerState ReadControllerState(uint32_t index, bool isLeftHand);

    // ---- Accessors (any thread) ----

    [[nodiscard]] bool GetProjectionInfo(ProjectionInfo& out);
    [[nodiscard]] bool GetEyeOffset(uint32_t eye, float& out);
    std::string LastError();
    [[nodiscard]] bool TakeInputSnapshot(InputSnapshot& out);
    [[nodiscard]] bool GetHeadPoseSample(HeadPoseSample& out);
    void SetEyeRenderPose(uint32_t eye, const EyeRenderPose& pose);
    // Takes the eye's published render pose (at most once) when it belongs to the current
    // tracking epoch.
    [[nodiscard]] bool TakeEyeRenderPose(uint32_t eye, EyeRenderPose& out);
    // Starts a new tracking epoch: first person was entered or left.
    void ResetForTransition();
    void ResetHeadTracking();
    void UpdateHeadRelativePose(Quaternion orientation, const Vector3& position);

    // Shuts a live connection down and puts every field back to its initial value, for test
    // programs that reuse the process-wide object.
    void RestoreInitialState();

    std::mutex presenterMutex;
    std::mutex headPoseMutex;
    std::mutex renderPoseMutex;
    std::atomic<uint64_t> trackingEpoch{1};

    // Under headPoseMutex.
    struct HeadReference {
        uint64_t epoch = 0;
        bool valid = false;
        Quaternion orientation;
        Vector3 position;
    } headReference;
    HeadPoseSample headPoseSample;

    // Under renderPoseMutex.
    EyeRenderPose publishedRenderPoses[2];

    // Under presenterMutex from here on.
    void* system = nullptr;
    void* compositor = nullptr;
    // What the client header keeps per module: the init token its cached interface pointers
    // belong to, and those pointers.
    struct ClientContext {
        uint32_t initToken = 0;
        void* system = nullptr;
        void* compositor = nullptr;
    } clientContext;
    TrackedDevicePose_t renderPoses[k_unMaxTrackedDeviceCount] = {};
    int64_t reconnectNotBefore = 0;
    uint32_t renderTargetWidth = 0;
    uint32_t renderTargetHeight = 0;
    float eyeToHeadX[2] = {};
    float rawProjection[2][4] = {};
    float commonTan[2] = {};
    float u0[2] = {0.5f, 0.5f};
    ControllerState controllers[2];
    HeadState head;
    bool submittedThisFrame = false;
    std::string lastErrorText;

private:
    void* GetClientInterface(const char* version, void*& cached);
    void InitializeClient(EVRInitError& error);
    bool ReadOptics();
};

} // namespace corvane
