// The stand-in game's world: the player and the pedestrians, the scene phase, the per-frame
// arena, and the calls into the game's own routines in the order the supported game makes
// them. Main thread only.
#pragma once

#include "camera_math.h"
#include "game_code.h"
#include "renderer_win32.h"
#include "timeline.h"

#include <cstddef>
#include <cstdint>

inline constexpr size_t kFrameScratchSize = 1024;

enum class Phase { Gameplay, Cutscene, Menu };
const char* PhaseName(Phase phase);

// Which of the game's call paths a run takes; every variant behaves the same.
struct CallVariants {
    bool cameraFromCutsceneSite = false; // gameplay camera through the other call site
    bool projectionFromOtherSite = false;
};

struct StickInput {
    float leftX = 0, leftY = 0, rightX = 0; // -1..1 after the dead zone
};

struct FrameOutcome {
    Phase phase = Phase::Gameplay;
    bool cameraCalled = false;     // the final camera function ran this frame
    bool projectionCalled = false; // the projection function ran this frame
    // What the game handed to those functions (they may receive something else behind a detour).
    bool cameraSent = false;
    Vec3 sentEye;
    Vec3 sentTarget;
    bool projectionSent = false;
    int32_t sentAngle = 0;
    float sentAspect = 0;
    int simulationHz = 30;
    float delta = 0;
    uint32_t limiter = 0;
    uint32_t pedestrianSteps = 0; // total
    float pedestrianDistance = 0; // total walked by all pedestrians, as their routine counts it
    bool allocatorHealthy = false;
    uint64_t allocatorBlocks = 0;
    FrameScene scene;
    char* scratch = nullptr; // kFrameScratchSize bytes from the frame arena, for the trace line
};

class GameWorld {
public:
    bool Init(int width, int height, const CallVariants& variants);
    // World events of the timeline; the others are the window's and the renderer's.
    void Apply(const TimelineEvent& event);
    // One frame: limiter, timing, simulation, arena, camera and projection.
    FrameOutcome Step(const StickInput& input);
    bool PlayerPresent() const { return player_object != nullptr; }

private:
    bool AllocateFrame(FrameOutcome& outcome, SceneObject*& objects, HudRect*& hud);
    void Simulate(const StickInput& input, float delta);
    int BuildObjects(SceneObject* objects) const;
    int BuildHud(HudRect* hud, const FrameOutcome& outcome) const;

    int width_ = 640;
    int height_ = 360;
    CallVariants variants_;
    Phase phase_ = Phase::Gameplay;
    int phaseFrames_ = 0;
    float time_ = 0;
    Vec3 player_{0, 0, 8};
    float yaw_ = 0; // 0 looks down -z
    ActorRecord* actors_[2] = {};
    int currentActor_ = 0;
    ActorRecord* activeSlot_ = nullptr;
    ActorRegistry* registry_ = nullptr;
    PedestrianObject* pedestrians_ = nullptr;
    uint32_t pedestrianSteps_ = 0;
    AllocatorArena arena_{};
};
