// What every function of the runtime does the same way: frame times, the log line and rule
// lines, handle look-ups with their checks, scripted faults and the two-call array idiom.
// Platform-free; called under the runtime lock.
#pragma once

#include "runtime_state.h"

#include <openxr/openxr.h>

#include <cstring>
#include <string>
#include <vector>

namespace xrsim {

inline constexpr XrTime kTimeOfFrameZero = 1'000'000'000; // XrTime 0 is no time at all
inline constexpr size_t kPredictedTimesKept = 16;

[[nodiscard]] XrDuration FramePeriod(const Scenario& scenario);
[[nodiscard]] XrTime TimeOfFrame(const Scenario& scenario, uint32_t frame);
// The nearest frame to a time (0 for times at or before frame 0).
[[nodiscard]] uint32_t FrameOfTime(const Scenario& scenario, XrTime time);

// "FUNCTION frame=F ARGS -> RESULT OUT", ARGS and OUT left out when empty.
void LogCall(RuntimeState& state, const char* function, const std::string& args, XrResult result,
             const std::string& out = {});
// "rule broken: FUNCTION frame=F: TEXT"; returns `result` for the caller to hand back.
XrResult Rule(RuntimeState& state, const char* function, XrResult result, const std::string& text);

[[nodiscard]] std::string HandleText(uint64_t handle);
[[nodiscard]] std::string FloatText(double value);

// The scripted `fail` code for this function at the current frame, or XR_SUCCESS.
[[nodiscard]] XrResult Injected(const RuntimeState& state, const char* function);

// A required structure: present and of its type, else a rule line and XR_ERROR_VALIDATION_FAILURE.
XrResult Structure(RuntimeState& state, const char* function, const void* structure, XrStructureType type,
                   const char* what);

// Look-ups: a handle that names no live object of the kind gets a rule line and
// XR_ERROR_HANDLE_INVALID; a lost instance XR_ERROR_INSTANCE_LOST and a lost session
// XR_ERROR_SESSION_LOST (no rule: the client did nothing wrong).
XrResult UseInstance(RuntimeState& state, const char* function, XrInstance handle, InstanceObject*& instance);
XrResult UseSession(RuntimeState& state, const char* function, XrSession handle, SessionObject*& session);
XrResult UseSpace(RuntimeState& state, const char* function, XrSpace handle, SpaceObject*& space);
XrResult UseSwapchain(RuntimeState& state, const char* function, XrSwapchain handle,
                      SwapchainObject*& swapchain);
XrResult UseActionSet(RuntimeState& state, const char* function, XrActionSet handle, ActionSetObject*& set);
XrResult UseAction(RuntimeState& state, const char* function, XrAction handle, ActionObject*& action);

// Queues a session state change on the session's instance.
void QueueState(RuntimeState& state, uint64_t session, XrSessionState next);

// Applies the scripted session losses, instance losses and exit requests due by the current frame.
void ApplyScriptedFaults(RuntimeState& state);

// Where a space is in LOCAL at a frame; not tracked while what it follows is not.
[[nodiscard]] TrackedPose SpaceInLocal(const RuntimeState& state, const SpaceObject& space, uint32_t frame);

[[nodiscard]] Pose FromXr(const XrPosef& pose);
[[nodiscard]] XrPosef ToXr(const Pose& pose);

// The path's text, or "" for XR_NULL_PATH and unknown paths.
[[nodiscard]] std::string PathText(const InstanceObject& instance, XrPath path);

// The two-call idiom: count out always, items copied when there is room, XR_ERROR_SIZE_INSUFFICIENT
// when a non-zero capacity is too small.
template <typename T>
[[nodiscard]] XrResult FillArray(uint32_t capacity, uint32_t* countOutput, T* out,
                                 const std::vector<T>& items) {
    if (countOutput == nullptr) {
        return XR_ERROR_VALIDATION_FAILURE;
    }
    *countOutput = static_cast<uint32_t>(items.size());
    if (capacity == 0) {
        return XR_SUCCESS;
    }
    if (capacity < items.size() || out == nullptr) {
        return XR_ERROR_SIZE_INSUFFICIENT;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        out[i] = items[i];
    }
    return XR_SUCCESS;
}

// The same for text, counted with its terminating zero.
[[nodiscard]] XrResult FillText(uint32_t capacity, uint32_t* countOutput, char* out, const std::string& text);

} // namespace xrsim
