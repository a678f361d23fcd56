// Snap turning: a flick of the turning stick turns the player by a fixed step, while the view
// stays on the heading from before the flick until the game has turned all the way.
//
// The game turns itself, at its own speed, from the stick it reads. So the turn is driven
// through that stick and measured from the camera the game sends, closed loop, and the camera
// is held on the old heading meanwhile; the player sees the step as one jump, never the turn.
//
// Three threads meet here, each through its own entry: the frame driver engages it once per
// frame (render thread), the game's XInput poll reads the stick (any thread), and the gameplay
// camera measures and holds (the game's camera thread). Every field they share is an atomic;
// the step itself belongs to the camera thread alone.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvane {

// Past this the stick counts as flicked; below the re-arm value it counts as let go.
inline constexpr float kSnapFlick = 0.7f;
inline constexpr float kSnapRearm = 0.3f;
// A step this close to its end counts as done (radians; 0.25 degrees).
inline constexpr float kSnapDoneRadians = 0.0043633f;
// Camera calls a step may last before it is given up, and calls without any progress.
inline constexpr int kSnapMaxCalls = 150;
inline constexpr int kSnapMaxStalledCalls = 20;

// What the camera call does with a step: how far to turn the game's heading back for the
// view (radians, added to the game's yaw), and whether a step is still holding it.
struct SnapHold {
    float yawCorrection = 0.0f;
    bool holding = false;
};

class SnapTurn {
public:
    // Render thread, once per frame: `stepDegrees` > 0 while first person is on with snap
    // turning set, else 0. Turning it off drops any step: the next camera shows the game's own
    // heading and the stick passes through again.
    void Engage(float stepDegrees) noexcept;

    // The game's XInput poll: the turning stick as the game would read it (x, -32768..32767);
    // returns what it reads instead. Unchanged while not engaged.
    int16_t OnTurnStick(int16_t stickX) noexcept;

    // The gameplay camera in first person: the game's heading (radians, growing towards the
    // camera's right). `pairStart` is false on a frame that must keep the heading of the frame
    // before it (the second eye of a pair), so a finished step shows from a pair's first eye.
    // The game computes its camera on one thread; a call that overlaps another is handed the
    // game's own heading rather than made to wait.
    SnapHold OnCameraHeading(float heading, bool pairStart) noexcept;

    // Everything back to the start (a new session; tests).
    void Reset() noexcept;

private:
    enum class Phase { Idle, Driving, Settled };

    SnapHold StepWithCamera(float step, uint32_t engagement, float heading, bool pairStart) noexcept;
    void Restart(uint32_t engagement) noexcept;
    void PublishDrive(float drive) noexcept;
    float NextDrive(float turned) noexcept;

    // Shared.
    std::atomic<float> stepRadians_{0.0f};
    std::atomic<uint32_t> engagement_{0}; // grows each time snap turning is engaged anew
    std::atomic<int> pendingDirection_{0};
    std::atomic<bool> armed_{true};
    // The stick value the game is to read, tagged with the engagement it was set under.
    std::atomic<uint64_t> drive_{0};

    std::atomic_flag cameraBusy_ = ATOMIC_FLAG_INIT;

    // The camera thread's step.
    uint32_t engagementSeen_ = 0;
    Phase phase_ = Phase::Idle;
    float direction_ = 0.0f;
    float startHeading_ = 0.0f;
    float stepTaken_ = 0.0f; // the step's size when it began
    float lastTurned_ = 0.0f;
    float lastDrive_ = 0.0f;
    float turnPerDrive_ = 0.0f; // radians per call at drive 1, as measured
    int calls_ = 0;
    int stalledCalls_ = 0;
};

// The one the XInput exports, the camera handler and the frame driver share.
SnapTurn& GetSnapTurn() noexcept;

// -pi..pi.
float WrapRadians(float angle) noexcept;

} // namespace corvane
