// The frame loop: xrWaitFrame (which counts frames, paces and applies the scripted faults),
// xrBeginFrame and xrEndFrame with its layer checks and capture.
#include "call_support.h"
#include "frame_capture.h"
#include "layer_checks.h"
#include "xr_calls.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace xrsim {
namespace {

uint64_t Raw(const void* handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

// Waits, without the lock, for the next refresh interval when the scenario asks for pacing.
void PaceToRefresh(RuntimeAccess& access) {
    RuntimeState& state = access.State();
    if (!state.scenario.paced) {
        return;
    }
    using Clock = std::chrono::steady_clock;
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(FramePeriod(state.scenario)));
    const Clock::time_point now = Clock::now();
    if (state.nextVsync == Clock::time_point{} || state.nextVsync + period < now) {
        state.nextVsync = now; // first frame, or the client fell behind: no catch-up burst
    }
    const Clock::time_point deadline = state.nextVsync;
    state.nextVsync += period;
    access.Unlock();
    std::this_thread::sleep_until(deadline);
    access.Lock();
}

const char* SpaceName(const SpaceObject& space) {
    switch (space.kind) {
    case SpaceKind::Local:
        return "LOCAL";
    case SpaceKind::View:
        return "VIEW";
    case SpaceKind::Action:
        return "action";
    }
    return "unknown";
}

LayerWorld WorldOf(RuntimeState& state, uint64_t session) {
    LayerWorld world;
    world.spaceName = [&state, session](XrSpace handle) -> const char* {
        const auto found = state.spaces.find(Raw(handle));
        return found != state.spaces.end() && found->second.session == session ? SpaceName(found->second)
                                                                               : nullptr;
    };
    world.swapchain = [&state, session](XrSwapchain handle, SwapchainFacts& facts) {
        const auto found = state.swapchains.find(Raw(handle));
        if (found == state.swapchains.end() || found->second.session != session) {
            return false;
        }
        facts = {found->second.width, found->second.height, found->second.order.EverReleased()};
        return true;
    };
    return world;
}

CapturedImage ImageOf(const RuntimeState& state, const XrSwapchainSubImage& sub) {
    const SwapchainObject& swapchain = state.swapchains.at(Raw(sub.swapchain));
    return {swapchain.textures[swapchain.order.LastReleased()], swapchain.width, swapchain.height,
            sub.imageRect};
}

// Where a layer's space is in LOCAL at the frame's display time (identity if not tracked).
Pose LayerSpace(const RuntimeState& state, XrSpace space, uint32_t frame) {
    return SpaceInLocal(state, state.spaces.at(Raw(space)), frame).pose;
}

// Every layer in submission order, for a layer list that passed the checks.
FrameForCapture GatherCapture(const RuntimeState& state, const XrFrameEndInfo& info) {
    FrameForCapture frame;
    const uint32_t at = FrameOfTime(state.scenario, info.displayTime);
    for (uint32_t i = 0; i < info.layerCount; ++i) {
        const XrCompositionLayerBaseHeader* layer = info.layers[i];
        if (layer->type == XR_TYPE_COMPOSITION_LAYER_PROJECTION) {
            const auto& projection = *reinterpret_cast<const XrCompositionLayerProjection*>(layer);
            const Pose space = LayerSpace(state, projection.space, at);
            CapturedProjection captured;
            captured.flags = projection.layerFlags;
            for (int eye : {0, 1}) {
                const XrCompositionLayerProjectionView& view = projection.views[eye];
                captured.views[eye] = {ImageOf(state, view.subImage), view.fov,
                                       Compose(space, FromXr(view.pose))};
            }
            frame.layers.emplace_back(captured);
        } else if (layer->type == XR_TYPE_COMPOSITION_LAYER_QUAD) {
            const auto& quad = *reinterpret_cast<const XrCompositionLayerQuad*>(layer);
            const Pose space = LayerSpace(state, quad.space, at);
            frame.layers.emplace_back(CapturedQuad{ImageOf(state, quad.subImage),
                                                   Compose(space, FromXr(quad.pose)), quad.size.width,
                                                   quad.size.height, quad.layerFlags});
        }
    }
    return frame;
}

} // namespace

XrResult XRAPI_CALL WaitFrame(XrSession session, const XrFrameWaitInfo* info,
                              XrFrameState* frameState) noexcept {
    RuntimeAccess access = AccessRuntime();
    const char* function = "xrWaitFrame";
    SessionObject* object = nullptr;
    XrResult result = UseSession(access.State(), function, session, object);
    if (result == XR_SUCCESS && info != nullptr) {
        result = Structure(access.State(), function, info, XR_TYPE_FRAME_WAIT_INFO, "wait info");
    }
    if (result == XR_SUCCESS) {
        result = Structure(access.State(), function, frameState, XR_TYPE_FRAME_STATE, "frame state");
    }
    if (result == XR_SUCCESS && !object->running) {
        result = Rule(access.State(), function, XR_ERROR_SESSION_NOT_RUNNING, "the session is not running");
    }
    if (result != XR_SUCCESS) {
        LogCall(access.State(), function, {}, result);
        return result;
    }
    PaceToRefresh(access);
    RuntimeState& state = access.State();
    const auto found = state.sessions.find(Raw(session));
    if (found == state.sessions.end()) {
        // Destroyed by another thread while this one waited.
        LogCall(state, function, {}, XR_ERROR_HANDLE_INVALID);
        return XR_ERROR_HANDLE_INVALID;
    }
    object = &found->second;
    ++state.frame;
    ApplyScriptedFaults(state);
    // A fault scripted for this very frame already applies to it.
    result = state.instances.at(object->instance).lost ? XR_ERROR_INSTANCE_LOST
             : object->lost                            ? XR_ERROR_SESSION_LOST
                                                       : Injected(state, function);
    std::string out;
    if (result == XR_SUCCESS) {
        const XrTime time = TimeOfFrame(state.scenario, state.frame);
        frameState->predictedDisplayTime = time;
        frameState->predictedDisplayPeriod = FramePeriod(state.scenario);
        frameState->shouldRender =
            object->state == XR_SESSION_STATE_VISIBLE || object->state == XR_SESSION_STATE_FOCUSED;
        object->frames.Waited();
        object->predicted.push_back(time);
        if (object->predicted.size() > kPredictedTimesKept) {
            object->predicted.pop_front();
        }
        out = "shouldRender=" + std::to_string(frameState->shouldRender) + " time=" + std::to_string(time);
    }
    LogCall(state, function, {}, result, out);
    return result;
}

XrResult XRAPI_CALL BeginFrame(XrSession session, const XrFrameBeginInfo* info) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrBeginFrame";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS && info != nullptr) {
        result = Structure(state, function, info, XR_TYPE_FRAME_BEGIN_INFO, "begin info");
    }
    if (result == XR_SUCCESS && !object->running) {
        result = Rule(state, function, XR_ERROR_SESSION_NOT_RUNNING, "the session is not running");
    }
    if (result == XR_SUCCESS) {
        switch (object->frames.Begin()) {
        case BeginVerdict::Begun:
            break;
        case BeginVerdict::Discarded:
            result = XR_FRAME_DISCARDED;
            break;
        case BeginVerdict::NoWait:
            result = Rule(state, function, XR_ERROR_CALL_ORDER_INVALID,
                          "no xrWaitFrame since the last xrBeginFrame");
            break;
        }
    }
    LogCall(state, function, {}, result);
    return result;
}

XrResult XRAPI_CALL EndFrame(XrSession session, const XrFrameEndInfo* info) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrEndFrame";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_FRAME_END_INFO, "end info");
    }
    if (result == XR_SUCCESS && !object->running) {
        result = Rule(state, function, XR_ERROR_SESSION_NOT_RUNNING, "the session is not running");
    }
    if (result == XR_SUCCESS && !object->frames.Begun()) {
        result = Rule(state, function, XR_ERROR_CALL_ORDER_INVALID, "no xrBeginFrame before this xrEndFrame");
    }
    std::string args;
    if (result == XR_SUCCESS) {
        args = "time=" + std::to_string(info->displayTime);
        if (std::find(object->predicted.begin(), object->predicted.end(), info->displayTime) ==
            object->predicted.end()) {
            result = Rule(state, function, XR_ERROR_TIME_INVALID,
                          "display time " + std::to_string(info->displayTime) + " was never predicted");
        }
    }
    if (result == XR_SUCCESS && info->environmentBlendMode != XR_ENVIRONMENT_BLEND_MODE_OPAQUE) {
        result = Rule(state, function, XR_ERROR_ENVIRONMENT_BLEND_MODE_UNSUPPORTED,
                      "blend mode " + std::to_string(static_cast<int>(info->environmentBlendMode)) +
                          " is not OPAQUE");
    }
    if (result == XR_SUCCESS) {
        const LayerVerdict verdict =
            CheckLayers(info->layerCount, info->layers, WorldOf(state, Raw(session)));
        for (const std::string& broken : verdict.broken) {
            Rule(state, function, verdict.result, broken);
        }
        args += " layers=" + (verdict.summary.empty() ? std::string("invalid") : verdict.summary);
        result = verdict.result;
    }
    if (result == XR_SUCCESS) {
        object->frames.Ended();
        if (!object->shownQueued) {
            object->shownQueued = true;
            for (XrSessionState next :
                 {XR_SESSION_STATE_SYNCHRONIZED, XR_SESSION_STATE_VISIBLE, XR_SESSION_STATE_FOCUSED}) {
                QueueState(state, Raw(session), next);
            }
        }
    }
    LogCall(state, function, args, result);
    if (result == XR_SUCCESS && CaptureRequested(state.scenario, state.frame)) {
        CaptureFrame(state, GatherCapture(state, *info));
    }
    return result;
}

} // namespace xrsim
