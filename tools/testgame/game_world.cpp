#include "game_world.h"

#include "markers.h"
#include "routines.h"

#include <windows.h>

#include <cmath>
#include <cstring>

namespace {

constexpr int kPedestrianCount = 8;
constexpr int kMaxObjects = 32;
constexpr int kMaxHud = 16;
constexpr float kWalkSpeed = 4.0f; // player, units per second
constexpr float kTurnSpeed = 2.0f; // radians per second
// Each pedestrian step covers this distance whatever the simulation rate: the game's own
// pedestrians move per step, not per second.
constexpr float kPedestrianStep = 1.2f / 30.0f;
constexpr float kPedestrianPath = 10.0f;
constexpr int32_t kGameplayAngle = 10923; // 60 degrees in 1/65536 turns
constexpr int32_t kCutsceneAngle = 8192;  // 45 degrees
constexpr float kNear = 0.1f;
constexpr float kFar = 400.0f;
constexpr uint32_t kCutsceneCameraState = 5;
constexpr uint32_t kFirstPersonCameraState = 17;
constexpr uint8_t kArenaFill[3] = {0xA5, 0x5A, 0x00};

template <typename T> T* Commit(size_t size) {
    return static_cast<T*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

Vec3 Forward(float yaw) {
    return {std::sin(yaw), 0, -std::cos(yaw)};
}

bool FilledWith(const uint8_t* block, size_t size, uint8_t fill) {
    for (size_t i = 0; i < size; ++i) {
        if (block[i] != fill) {
            return false;
        }
    }
    return true;
}

} // namespace

const char* PhaseName(Phase phase) {
    switch (phase) {
    case Phase::Gameplay:
        return "gameplay";
    case Phase::Cutscene:
        return "cutscene";
    case Phase::Menu:
        return "menu";
    }
    return "?";
}

bool GameWorld::Init(int width, int height, const CallVariants& variants) {
    width_ = width;
    height_ = height;
    variants_ = variants;
    actors_[0] = Commit<ActorRecord>(0x1000);
    actors_[1] = Commit<ActorRecord>(0x1000);
    registry_ = Commit<ActorRegistry>(0x1000);
    pedestrians_ = Commit<PedestrianObject>(sizeof(PedestrianObject) * kPedestrianCount);
    arena_.base = Commit<uint8_t>(0x40000);
    arena_.capacity = 0x40000;
    if (actors_[0] == nullptr || actors_[1] == nullptr || registry_ == nullptr || pedestrians_ == nullptr ||
        arena_.base == nullptr) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        actors_[i]->actorId = 0x7E500 + static_cast<uint32_t>(i);
        actors_[i]->bodyVisibility = 1.0f;
        actors_[i]->renderFlags = 0x01 | kBodyVisibleFlag;
    }
    activeSlot_ = actors_[0];
    registry_->activeSlot = &activeSlot_;
    actor_registry = registry_;
    player_object = actors_[0]->player;
    for (int i = 0; i < kPedestrianCount; ++i) {
        PedestrianObject& p = pedestrians_[i];
        const float lane = -14.0f + 4.0f * static_cast<float>(i);
        const bool alongX = i % 2 == 0;
        p.position[0] = alongX ? -kPedestrianPath + 2.5f * static_cast<float>(i) : lane;
        p.position[2] = alongX ? lane : -kPedestrianPath + 2.5f * static_cast<float>(i);
        p.heading[0] = alongX ? 1.0f : 0.0f;
        p.heading[2] = alongX ? 0.0f : 1.0f;
        p.speedFactor = 0.8f + 0.1f * static_cast<float>(i % 4);
    }
    camera_state = 0;
    control_block = 0;
    return true;
}

void GameWorld::Apply(const TimelineEvent& event) {
    switch (event.kind) {
    case EventKind::Gameplay:
        if (camera_state != 0 && camera_state != kFirstPersonCameraState) {
            camera_state = 0;
        }
        phase_ = Phase::Gameplay;
        phaseFrames_ = 0;
        break;
    case EventKind::Cutscene:
        composite_kind = event.args[1];
        ControlWriters()[event.args[0] - 1](event.args[2]);
        camera_state = kCutsceneCameraState;
        phase_ = Phase::Cutscene;
        phaseFrames_ = 0;
        break;
    case EventKind::Reopen:
        ControlWriters()[event.args[0] - 1](0);
        break;
    case EventKind::Menu:
        phase_ = Phase::Menu;
        phaseFrames_ = 0;
        break;
    case EventKind::PlayerReplace:
        currentActor_ = 1 - currentActor_;
        std::memcpy(actors_[currentActor_]->player, actors_[1 - currentActor_]->player,
                    sizeof(actors_[0]->player));
        activeSlot_ = actors_[currentActor_];
        player_object = actors_[currentActor_]->player;
        break;
    case EventKind::PlayerClear:
        player_object = nullptr;
        break;
    case EventKind::PlayerRestore:
        player_object = actors_[currentActor_]->player;
        break;
    case EventKind::CameraState:
        camera_state = event.args[0];
        break;
    case EventKind::Request60:
        request_byte_c = 0;
        request_byte_b = 1;
        request_byte_a = 1;
        break;
    default:
        break;
    }
}

void GameWorld::Simulate(const StickInput& input, float delta) {
    time_ += delta;
    ++phaseFrames_;
    if (phase_ == Phase::Gameplay && player_object != nullptr) {
        yaw_ += input.rightX * kTurnSpeed * delta;
        const Vec3 f = Forward(yaw_);
        const Vec3 r{-f.z, 0, f.x};
        player_.x += (f.x * input.leftY + r.x * input.leftX) * kWalkSpeed * delta;
        player_.z += (f.z * input.leftY + r.z * input.leftX) * kWalkSpeed * delta;
    }
    // The game hides the player's body while its own first-person camera is in use.
    ActorRecord& actor = *actors_[currentActor_];
    if (camera_state == kFirstPersonCameraState) {
        // The game's own first-person record, which its state-17 cleanup routine clears.
        first_person_record[0] = kFirstPersonCameraState;
        first_person_record[1] = first_person_record[1] + 1;
        actor.bodyVisibility = 0.0f;
        actor.renderFlags = static_cast<uint8_t>(actor.renderFlags & ~kBodyVisibleFlag);
    } else {
        actor.bodyVisibility = 1.0f;
        actor.renderFlags = static_cast<uint8_t>(actor.renderFlags | kBodyVisibleFlag);
    }
    if (phase_ == Phase::Menu) {
        return; // the world is paused behind the menu
    }
    for (int i = 0; i < kPedestrianCount; ++i) {
        PedestrianObject& p = pedestrians_[i];
        testgame_pedestrian_step(&p, kPedestrianStep, 0, &pedestrianSteps_);
        const int axis = p.heading[0] != 0.0f ? 0 : 2;
        if ((p.position[axis] > kPedestrianPath && p.heading[axis] > 0) ||
            (p.position[axis] < -kPedestrianPath && p.heading[axis] < 0)) {
            p.heading[axis] = -p.heading[axis];
        }
    }
}

bool GameWorld::AllocateFrame(FrameOutcome& outcome, SceneObject*& objects, HudRect*& hud) {
    // The arena is the game's per-frame memory: reset, then carved into the frame's lists.
    arena_.used = 0;
    arena_.blocks = 0;
    const size_t sizes[3] = {sizeof(SceneObject) * kMaxObjects, sizeof(HudRect) * kMaxHud, kFrameScratchSize};
    const uint64_t alignments[3] = {16, 16, 64};
    uint8_t* blocks[3] = {};
    bool healthy = true;
    for (int i = 0; i < 3; ++i) {
        blocks[i] = static_cast<uint8_t*>(testgame_allocate(&arena_, sizes[i], alignments[i], kArenaFill[i]));
        const uintptr_t address = reinterpret_cast<uintptr_t>(blocks[i]);
        healthy = healthy && blocks[i] != nullptr && address % alignments[i] == 0 &&
                  blocks[i] >= arena_.base && blocks[i] + sizes[i] <= arena_.base + arena_.capacity &&
                  (i == 0 || blocks[i] >= blocks[i - 1] + sizes[i - 1]) &&
                  FilledWith(blocks[i], sizes[i], kArenaFill[i]);
    }
    healthy = healthy && arena_.blocks == 3;
    outcome.allocatorHealthy = healthy;
    outcome.allocatorBlocks = arena_.blocks;
    if (!healthy) {
        return false;
    }
    objects = reinterpret_cast<SceneObject*>(blocks[0]);
    hud = reinterpret_cast<HudRect*>(blocks[1]);
    outcome.scratch = reinterpret_cast<char*>(blocks[2]);
    return true;
}

int GameWorld::BuildObjects(SceneObject* objects) const {
    int count = 0;
    objects[count++] = {{0, -0.05f, 0}, {80, 0.1f, 80}, {0.35f, 0.45f, 0.3f, 1}};
    // x, z, width, height. The tallest stands right of the spawn's view ahead, which stays open
    // to the far marker.
    const float buildings[6][4] = {{-18, -20, 6, 9}, {9, -26, 8, 14}, {18, -20, 6, 7},
                                   {-22, 6, 5, 5},   {22, 4, 5, 11},  {0, 22, 10, 4}};
    for (const auto& b : buildings) {
        objects[count++] = {{b[0], b[3] / 2, b[1]}, {b[2], b[3], b[2]}, {0.6f, 0.55f, 0.5f, 1}};
    }
    for (int i = 0; i < kPedestrianCount; ++i) {
        const PedestrianObject& p = pedestrians_[i];
        objects[count++] = {{p.position[0], 0.85f, p.position[2]}, {0.5f, 1.7f, 0.5f}, {0.8f, 0.3f, 0.2f, 1}};
    }
    const ActorRecord& actor = *actors_[currentActor_];
    if (player_object != nullptr && (actor.renderFlags & kBodyVisibleFlag) != 0 &&
        actor.bodyVisibility > 0.0f) {
        objects[count++] = {{player_.x, 0.9f, player_.z}, {0.6f, 1.8f, 0.6f}, {0.2f, 0.3f, 0.8f, 1}};
    }
    return count;
}

int GameWorld::BuildHud(HudRect* hud, const FrameOutcome& outcome) const {
    const float w = static_cast<float>(width_), h = static_cast<float>(height_);
    int count = 0;
    if (outcome.phase == Phase::Menu) {
        hud[count++] = {w * 0.25f, h * 0.15f, w * 0.75f, h * 0.85f, {0.05f, 0.05f, 0.1f, 0.85f}, true};
        for (int i = 0; i < 4; ++i) {
            const float top = h * (0.22f + 0.15f * static_cast<float>(i));
            const float alpha = i == 0 ? 1.0f : 0.6f;
            hud[count++] = {w * 0.3f, top, w * 0.7f, top + h * 0.1f, {0.8f, 0.7f, 0.2f, alpha}, true};
        }
        return count;
    }
    if (outcome.phase == Phase::Cutscene) {
        hud[count++] = {0, 0, w, h * 0.12f, {0, 0, 0, 1}, false};
        hud[count++] = {0, h * 0.88f, w, h, {0, 0, 0, 1}, false};
        return count;
    }
    hud[count++] = {16, 16, 16 + w * 0.3f, 32, {0.1f, 0.1f, 0.1f, 0.7f}, true};   // health frame
    hud[count++] = {18, 18, 18 + w * 0.22f, 30, {0.2f, 0.85f, 0.3f, 1.0f}, true}; // health
    hud[count++] = {w - 16 - h * 0.3f, 16, w - 16, 16 + h * 0.3f, {0.1f, 0.15f, 0.1f, 0.7f}, true}; // map
    const float cx = w / 2, cy = h / 2;
    hud[count++] = {cx - 1, cy - 8, cx + 1, cy + 8, {1, 1, 1, 0.9f}, false}; // crosshair
    hud[count++] = {cx - 8, cy - 1, cx + 8, cy + 1, {1, 1, 1, 0.9f}, false};
    return count;
}

FrameOutcome GameWorld::Step(const StickInput& input) {
    FrameOutcome outcome;
    // The limiter runs first and may drop a first-person 60 request; the rate follows the
    // request bytes as the limiter left them.
    outcome.limiter = testgame_frame_limiter(0);
    const bool native60 = request_byte_a == 1 && request_byte_b == 1 && request_byte_c == 0;
    outcome.simulationHz = native60 ? 60 : 30;
    outcome.delta = 1.0f / static_cast<float>(outcome.simulationHz);
    simulation_delta = outcome.delta;

    Simulate(input, outcome.delta);
    outcome.phase = phase_;
    outcome.pedestrianSteps = pedestrianSteps_;
    for (int i = 0; i < kPedestrianCount; ++i) {
        outcome.pedestrianDistance += pedestrians_[i].distanceWalked;
    }

    SceneObject* objects = nullptr;
    HudRect* hud = nullptr;
    if (!AllocateFrame(outcome, objects, hud)) {
        return outcome; // nothing to draw with: the frame shows only the clear colour
    }
    FrameScene& scene = outcome.scene;
    scene.time = time_;
    const uint32_t cameraCalls = LastCamera().calls;
    const uint32_t projectionCalls = LastProjection().calls;
    const float aspect = static_cast<float>(width_) / static_cast<float>(height_);
    if (phase_ == Phase::Gameplay) {
        const Vec3 f = Forward(yaw_);
        float eye[3], target[3];
        if (camera_state == kFirstPersonCameraState) {
            const Vec3 e{player_.x, 1.7f, player_.z};
            const float e3[3] = {e.x, e.y, e.z}, t3[3] = {e.x + 10 * f.x, e.y, e.z + 10 * f.z};
            std::memcpy(eye, e3, sizeof(eye));
            std::memcpy(target, t3, sizeof(target));
        } else {
            const float e3[3] = {player_.x - 6 * f.x, 3.0f, player_.z - 6 * f.z};
            const float t3[3] = {player_.x + 2 * f.x, 1.5f, player_.z + 2 * f.z};
            std::memcpy(eye, e3, sizeof(eye));
            std::memcpy(target, t3, sizeof(target));
        }
        outcome.cameraSent = true;
        outcome.sentEye = {eye[0], eye[1], eye[2]};
        outcome.sentTarget = {target[0], target[1], target[2]};
        outcome.projectionSent = true;
        outcome.sentAngle = kGameplayAngle;
        outcome.sentAspect = aspect;
        if (variants_.cameraFromCutsceneSite) {
            testgame_cutscene_camera(eye, target, 1);
        } else {
            testgame_gameplay_camera(eye, target, 1);
        }
        if (variants_.projectionFromOtherSite) {
            testgame_other_projection(kGameplayAngle, aspect, kNear, kFar);
        } else {
            testgame_gameplay_projection(kGameplayAngle, aspect, kNear, kFar);
        }
        scene.projection = LastProjection().projection;
    } else if (phase_ == Phase::Cutscene) {
        const float a = 0.02f * static_cast<float>(phaseFrames_);
        const float eye[3] = {12 * std::cos(a), 6, 12 * std::sin(a)}, target[3] = {0, 1, 0};
        outcome.cameraSent = true;
        outcome.sentEye = {eye[0], eye[1], eye[2]};
        outcome.sentTarget = {target[0], target[1], target[2]};
        testgame_cutscene_camera(eye, target, 2);
        scene.projection = Perspective(kCutsceneAngle, aspect, kNear, kFar);
    }
    outcome.cameraCalled = LastCamera().calls != cameraCalls;
    outcome.projectionCalled = LastProjection().calls != projectionCalls;
    if (phase_ != Phase::Menu) {
        scene.hasCamera = true;
        scene.view = LastCamera().view;
        scene.eye = LastCamera().eye;
        scene.objects = objects;
        scene.objectCount = BuildObjects(objects);
        scene.markers = kMarkers;
        scene.markerCount = kMarkerCount;
    } else {
        const float menuColor[4] = {0.1f, 0.1f, 0.15f, 1.0f};
        std::memcpy(scene.clearColor, menuColor, sizeof(menuColor));
    }
    scene.hud = hud;
    scene.hudCount = BuildHud(hud, outcome);
    return outcome;
}
