// The one runtime state behind every function: scenario, frame count, log and the live objects
// by handle. Any thread may call in; AccessRuntime serialises them. Platform-free: devices and
// textures are kept as opaque COM pointers, touched only by the *_win32 files.
#pragma once

#include "standin/call_log.h"
#include "image_order.h"
#include "motion.h"
#include "xr_scenario.h"

#include <openxr/openxr.h>

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace xrsim {

struct QueuedEvent {
    enum class Kind { SessionState, InstanceLoss, LocalSpaceChange };
    Kind kind = Kind::SessionState;
    uint64_t session = 0;
    XrSessionState state = XR_SESSION_STATE_UNKNOWN;
    XrTime time = 0;
};

struct InstanceObject {
    bool requirementsQueried = false; // xrGetD3D11GraphicsRequirementsKHR was called
    bool lost = false;
    std::deque<QueuedEvent> events;
    std::vector<std::string> paths; // XrPath n is paths[n - 1]
    // Suggested bindings per interaction profile: (action, binding path); a later call replaces.
    std::map<XrPath, std::vector<std::pair<uint64_t, XrPath>>> suggested;
    uint32_t recentreAnnouncedThrough = 0;
};

struct SessionObject {
    uint64_t instance = 0;
    void* device = nullptr;                          // the client's ID3D11Device, referenced while we live
    XrSessionState state = XR_SESSION_STATE_UNKNOWN; // as last handed out by xrPollEvent
    bool running = false;                            // between xrBeginSession and xrEndSession
    bool shownQueued = false;                        // SYNCHRONIZED, VISIBLE, FOCUSED queued
    bool stoppingQueued = false;
    bool lost = false;
    FrameOrder frames;
    std::deque<XrTime> predicted; // the recent predicted display times handed out
    std::vector<uint64_t> attachedSets;
    XrPath profile[2] = {XR_NULL_PATH, XR_NULL_PATH}; // per hand, once attached
    std::vector<uint64_t> syncedSets;                 // active sets of the last focused sync
    uint32_t syncFrame = 0;
    bool synced = false;
    std::vector<uint64_t> previousSyncedSets;
    uint32_t previousSyncFrame = 0;
    bool previouslySynced = false;
};

enum class SpaceKind { Local, View, Action };

struct SpaceObject {
    uint64_t session = 0;
    SpaceKind kind = SpaceKind::Local;
    Pose offset;
    uint64_t action = 0;
    XrPath subaction = XR_NULL_PATH;
};

struct SwapchainObject {
    uint64_t session = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    int64_t format = 0;
    std::vector<void*> textures; // ID3D11Texture2D*, owned
    ImageOrder order{3};
};

struct ActionSetObject {
    uint64_t instance = 0;
    std::string name;
    bool attached = false; // to some session: no more actions or bindings
};

struct ActionObject {
    uint64_t set = 0;
    uint64_t instance = 0;
    std::string name;
    XrActionType type = XR_ACTION_TYPE_BOOLEAN_INPUT;
    std::vector<XrPath> subactions;
};

struct RuntimeState {
    Scenario scenario;
    standin::CallLog log;
    std::wstring captureFolder; // ends with a separator
    uint32_t frame = 0;         // xrWaitFrame calls since load or reset
    uint64_t lastHandle = 0;    // grows across resets, so an old handle never names a new object
    std::map<uint64_t, InstanceObject> instances;
    std::map<uint64_t, SessionObject> sessions;
    std::map<uint64_t, SpaceObject> spaces;
    std::map<uint64_t, SwapchainObject> swapchains;
    std::map<uint64_t, ActionSetObject> actionSets;
    std::map<uint64_t, ActionObject> actions;
    uint32_t sessionLossFired = 0; // how many scripted frames of each fault were applied
    uint32_t instanceLossFired = 0;
    uint32_t exitRequestFired = 0;
    std::chrono::steady_clock::time_point nextVsync{};

    [[nodiscard]] uint64_t NewHandle() { return ++lastHandle; }
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

// Releases every object, re-reads the file locations, empties the log, re-reads the scenario and
// restarts the frame count. Caller holds the lock.
void ReloadRuntime(RuntimeState& state);

// COM references the runtime holds on the client's device and on its own textures.
void AddDeviceReference(void* device);
void ReleaseComObject(void* object);

} // namespace xrsim
