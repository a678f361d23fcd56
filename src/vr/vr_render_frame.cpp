// The presenter's per-frame entry: connection, the frame's poses, head and controllers.
#include "core/settings.h"
#include "platform/os.h"
#include "vr/openvr_port.h"
#include "vr/vr_presenter.h"

#include <algorithm>
#include <string>

namespace corvane {

bool VrPresenter::RenderFrame(IDXGISwapChain* swapChain, uint32_t eye, bool /*pairValid*/,
                              bool /*commonProjection*/, float /*requestedConvergence*/, float /*frameScale*/,
                              float /*frameHorizontalOffset*/, float /*frameVerticalOffset*/,
                              float /*rightFrameScale*/, float /*rightFrameHorizontalOffset*/,
                              float /*rightFrameVerticalOffset*/, float /*rightFrameRollDegrees*/) {
    if (swapChain == nullptr || !GetSettings().Enabled) {
        return false;
    }
    std::lock_guard<std::mutex> lock(presenterMutex);
    submittedThisFrame = false;
    if (!EnsureConnected()) {
        return false;
    }

    // Taken now even though nothing is submitted with it yet: a record is meant for the
    // picture of this frame only and must not outlive it.
    EyeRenderPose framePose;
    (void)TakeEyeRenderPose(std::min(eye, 1u), framePose);

    const EVRCompositorError waitResult =
        OpenVrWaitGetPoses(compositor, renderPoses, k_unMaxTrackedDeviceCount, nullptr, 0);
    if (waitResult != VRCompositorError_None) {
        lastErrorText = "OpenVR WaitGetPoses failed (" + std::to_string(waitResult) + ")";
        Disconnect(OsSteadyClockNs() + kReconnectIntervalNs);
        return false;
    }

    UpdateHeadState();
    uint32_t leftIndex = k_unTrackedDeviceIndexInvalid;
    uint32_t rightIndex = k_unTrackedDeviceIndexInvalid;
    FindControllerIndices(leftIndex, rightIndex);
    controllers[0] = ReadControllerState(leftIndex, true);
    controllers[1] = ReadControllerState(rightIndex, false);

    // This build has no eye textures yet, so there is nothing to hand to the compositor and
    // the frame is not submitted; it is not a failure of the connection either.
    return false;
}

} // namespace corvane
