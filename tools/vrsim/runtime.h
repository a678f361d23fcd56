// The one runtime state behind every export and interface slot: scenario, counters, session
// and log. Any thread may call in; AccessRuntime serialises them.
#pragma once

#include "call_log.h"
#include "eye_capture.h"
#include "pose_age.h"
#include "scenario.h"

#include <chrono>
#include <mutex>

namespace vrsim {

struct RuntimeState {
    Scenario scenario;
    CallLog log;
    uint32_t frame = 0;        // WaitGetPoses calls since load or reset
    uint32_t initAttempts = 0; // VR_InitInternal2 calls since load or reset
    uint32_t lastToken = 0;    // grows across resets so clients never mistake a new session for an old one
    uint32_t token = 0;        // token of the open session, 0 when none is open
    int32_t trackingSpace = 1;
    std::chrono::steady_clock::time_point nextVsync{};
    uint32_t eventsAnnouncedThrough = 0; // the last recentre frame PollNextEvent announced
    CaptureState capture;
    PoseHistory poses; // the recent frames' head poses, for the age of each submitted one

    [[nodiscard]] bool SessionOpen() const { return token != 0; }
};

// Holds the runtime lock for its lifetime.
class RuntimeAccess {
public:
    RuntimeAccess(std::mutex& mutex, RuntimeState& state) : lock_(mutex), state_(state) {}
    [[nodiscard]] RuntimeState& State() { return state_; }
    void Unlock() { lock_.unlock(); }
    void Lock() { lock_.lock(); }

private:
    std::unique_lock<std::mutex> lock_;
    RuntimeState& state_;
};

// Locks the runtime; the first access reads the scenario and starts the log.
[[nodiscard]] RuntimeAccess AccessRuntime();

// Closes any session, re-reads the file locations, empties the log, re-reads the scenario and
// restarts the counters. Caller holds the lock.
void ReloadRuntime(RuntimeState& state);

} // namespace vrsim
