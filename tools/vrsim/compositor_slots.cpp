// IVRCompositor_029: the implemented slots and the vtable in slot order (free functions,
// `this` first, as the Microsoft x64 member-function convention passes it).
#include "eye_capture.h"
#include "served_interface.h"
#include "simulation.h"
#include "submission.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <thread>

namespace vrsim {
namespace {

constexpr Served kCompositor = Served::Compositor;

void SetTrackingSpace(void* self, int32_t origin) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kCompositor, self, 0)) {
        return;
    }
    state.trackingSpace = origin;
    state.log.Line("compositor.SetTrackingSpace frame=%u origin=%d", state.frame, origin);
}

int32_t GetTrackingSpace(void* self) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kCompositor, self, 1)) {
        return 0;
    }
    state.log.Line("compositor.GetTrackingSpace frame=%u -> %d", state.frame, state.trackingSpace);
    return state.trackingSpace;
}

// Waits, without the lock, for the next refresh interval when the scenario asks for pacing.
void PaceToRefresh(RuntimeAccess& access) {
    RuntimeState& state = access.State();
    float hz = state.scenario.refreshHz;
    if (!state.scenario.paced || !std::isfinite(hz) || hz <= 0.0f) {
        return;
    }
    using Clock = std::chrono::steady_clock;
    auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
    Clock::time_point now = Clock::now();
    if (state.nextVsync == Clock::time_point{} || state.nextVsync + period < now) {
        state.nextVsync = now; // first frame, or the client fell behind: no catch-up burst
    }
    Clock::time_point deadline = state.nextVsync;
    state.nextVsync += period;
    access.Unlock();
    std::this_thread::sleep_until(deadline);
    access.Lock();
}

int32_t WaitGetPoses(void* self, TrackedDevicePose* renderPoses, uint32_t renderCount,
                     TrackedDevicePose* gamePoses, uint32_t gameCount) noexcept {
    RuntimeAccess access = AccessRuntime();
    if (!AcceptCall(access.State(), kCompositor, self, 2)) {
        return kCompositorErrorRequestFailed;
    }
    PaceToRefresh(access);
    RuntimeState& state = access.State();
    uint32_t frame = ++state.frame;
    int32_t result = CodeAt(state.scenario.waitErrors, frame);
    if (result == kCompositorErrorNone) {
        auto fill = [&state, frame](TrackedDevicePose* poses, uint32_t count) {
            if (poses == nullptr) {
                return;
            }
            for (uint32_t i = 0; i < count; ++i) {
                poses[i] = DevicePose(state.scenario, i, frame);
            }
        };
        fill(renderPoses, renderCount);
        fill(gamePoses, gameCount);
    }
    state.log.Line("compositor.WaitGetPoses frame=%u render=%u game=%u -> %d", frame, renderCount, gameCount,
                   result);
    const TrackedDevicePose head = DevicePose(state.scenario, kTrackedDeviceIndexHmd, frame);
    const bool headGiven = result == kCompositorErrorNone && head.poseIsValid;
    state.poses.Remember(frame, SteadyNowNs(), headGiven ? &head.deviceToAbsoluteTracking : nullptr);
    NoteWaitPose(state, result);
    return result;
}

int32_t Submit(void* self, int32_t eye, const Texture* texture, const TextureBounds* bounds,
               uint32_t flags) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kCompositor, self, 6)) {
        return kCompositorErrorRequestFailed;
    }
    return RecordSubmission(state, eye, texture, bounds, flags);
}

void PostPresentHandoff(void* self) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    if (!AcceptCall(state, kCompositor, self, 9)) {
        return;
    }
    state.log.Line("compositor.PostPresentHandoff frame=%u", state.frame);
}

template <int Index> SlotEntry Unexpected() {
    return Slot(&UnexpectedScalar<kCompositor, Index>);
}
// Slots whose result is an EVRCompositorError: 0 would read as success.
template <int Index> SlotEntry UnexpectedError() {
    return Slot(&UnexpectedScalar<kCompositor, Index, kCompositorErrorRequestFailed>);
}

} // namespace

extern const SlotEntry kCompositorSlots[];
const SlotEntry kCompositorSlots[] = {
    Slot(&SetTrackingSpace),                                    // 0
    Slot(&GetTrackingSpace),                                    // 1
    Slot(&WaitGetPoses),                                        // 2
    UnexpectedError<3>(),                                       // GetLastPoses
    UnexpectedError<4>(),                                       // GetLastPoseForTrackedDeviceIndex
    UnexpectedError<5>(),                                       // GetSubmitTexture
    Slot(&Submit),                                              // 6
    UnexpectedError<7>(),                                       // SubmitWithArrayIndex
    Unexpected<8>(),                                            // ClearLastSubmittedFrame
    Slot(&PostPresentHandoff),                                  // 9
    Unexpected<10>(),                                           // GetFrameTiming
    Unexpected<11>(),                                           // GetFrameTimings
    Slot(&UnexpectedFloat<kCompositor, 12>),                    // GetFrameTimeRemaining
    Unexpected<13>(),                                           // GetCumulativeStats
    Unexpected<14>(),                                           // FadeToColor
    Slot(&UnexpectedStruct<kCompositor, 15, sizeof(HmdColor)>), // GetCurrentFadeColor
    Unexpected<16>(),                                           // FadeGrid
    Slot(&UnexpectedFloat<kCompositor, 17>),                    // GetCurrentGridAlpha
    UnexpectedError<18>(),                                      // SetSkyboxOverride
    Unexpected<19>(),                                           // ClearSkyboxOverride
    Unexpected<20>(),                                           // CompositorBringToFront
    Unexpected<21>(),                                           // CompositorGoToBack
    Unexpected<22>(),                                           // CompositorQuit
    Unexpected<23>(),                                           // IsFullscreen
    Unexpected<24>(),                                           // GetCurrentSceneFocusProcess
    Unexpected<25>(),                                           // GetLastFrameRenderer
    Unexpected<26>(),                                           // CanRenderScene
    Unexpected<27>(),                                           // ShowMirrorWindow
    Unexpected<28>(),                                           // HideMirrorWindow
    Unexpected<29>(),                                           // IsMirrorWindowVisible
    Unexpected<30>(),                                           // CompositorDumpImages
    Unexpected<31>(),                                           // ShouldAppRenderWithLowResources
    Unexpected<32>(),                                           // ForceInterleavedReprojectionOn
    Unexpected<33>(),                                           // ForceReconnectProcess
    Unexpected<34>(),                                           // SuspendRendering
    UnexpectedError<35>(),                                      // GetMirrorTextureD3D11
    Unexpected<36>(),                                           // ReleaseMirrorTextureD3D11
    UnexpectedError<37>(),                                      // GetMirrorTextureGL
    Unexpected<38>(),                                           // ReleaseSharedGLTexture
    Unexpected<39>(),                                           // LockGLSharedTextureForAccess
    Unexpected<40>(),                                           // UnlockGLSharedTextureForAccess
    Unexpected<41>(),                                           // GetVulkanInstanceExtensionsRequired
    Unexpected<42>(),                                           // GetVulkanDeviceExtensionsRequired
    Unexpected<43>(),                                           // SetExplicitTimingMode
    UnexpectedError<44>(),                                      // SubmitExplicitTimingData
    Unexpected<45>(),                                           // IsMotionSmoothingEnabled
    Unexpected<46>(),                                           // IsMotionSmoothingSupported
    Unexpected<47>(),                                           // IsCurrentSceneFocusAppLoading
    UnexpectedError<48>(),                                      // SetStageOverride_Async
    Unexpected<49>(),                                           // ClearStageOverride
    Unexpected<50>(),                                           // GetCompositorBenchmarkResults
    UnexpectedError<51>(),                                      // GetLastPosePredictionIDs
    UnexpectedError<52>(),                                      // GetPosesForFrame
};
static_assert(std::size(kCompositorSlots) == 53);

} // namespace vrsim
