// The stand-in game's routines and state words that live at the supported build's RVAs
// (game_code.S), and the records they work on. Called on the game's main thread.
#pragma once

#include <cstdint>

// Pedestrian object as the pedestrian routine reads it.
struct PedestrianObject {
    float position[3]; // +0x00
    float pad0;        // +0x0C
    float heading[3];  // +0x10, unit length in the ground plane
    uint8_t pad1[0x1B8 - 0x1C];
    float speedFactor;    // +0x1B8
    float distanceWalked; // +0x1BC
    uint8_t pad2[0x200 - 0x1C0];
};
static_assert(sizeof(PedestrianObject) == 0x200);

// The active actor record; the player object begins 4 bytes into it.
struct alignas(16) ActorRecord {
    uint32_t actorId;     // +0x00
    uint8_t player[0x54]; // +0x04, the player object
    float bodyVisibility; // +0x58
    uint8_t pad0[0x98 - 0x5C];
    uint8_t renderFlags; // +0x98
    uint8_t pad1[0x100 - 0x99];
};
static_assert(sizeof(ActorRecord) == 0x100);
inline constexpr uint8_t kBodyVisibleFlag = 0x04;

// The actor registry: the active-actor slot pointer at +0x70.
struct ActorRegistry {
    uint8_t pad[0x70];
    ActorRecord** activeSlot;
};

// An arena the allocator carves blocks from.
struct AllocatorArena {
    uint8_t* base;
    uint64_t capacity;
    uint64_t used;
    uint64_t blocks;
};

extern "C" {
// Code.
void testgame_gameplay_camera(const float* eye, const float* target, uint32_t flags);
void testgame_cutscene_camera(const float* eye, const float* target, uint32_t flags);
void testgame_gameplay_projection(int32_t angle, float aspect, float nearZ, float farZ);
void testgame_other_projection(int32_t angle, float aspect, float nearZ, float farZ);
void* testgame_allocate(AllocatorArena* arena, uint64_t size, uint64_t alignment, uint32_t fill);
uint32_t testgame_frame_limiter(uint32_t wanted);
float testgame_pedestrian_step(PedestrianObject* pedestrian, float step, uint64_t unused, uint32_t* counter);
void testgame_state17_cleanup();
void testgame_control_writer_1(uint32_t value);
void testgame_control_writer_2(uint32_t value);
void testgame_control_writer_3(uint32_t value);
void testgame_control_writer_4(uint32_t value);
void testgame_control_writer_5(uint32_t value);
void testgame_control_writer_6(uint32_t value);
void testgame_control_writer_7(uint32_t value);
void testgame_control_writer_8(uint32_t value);
void testgame_control_writer_9(uint32_t value);
void testgame_control_writer_10(uint32_t value);
void testgame_control_writer_11(uint32_t value);
void testgame_control_writer_12(uint32_t value);
void testgame_control_writer_13(uint32_t value);

// State.
extern volatile uint32_t control_block;
extern volatile uint32_t composite_kind;
extern volatile uint8_t request_byte_a;
extern volatile uint8_t request_byte_b;
extern volatile uint8_t request_byte_c;
extern volatile float simulation_delta;
extern volatile uint32_t first_person_record[4];
extern volatile uint32_t state17_cleanups;
extern volatile uint32_t camera_control_word;
extern volatile uint32_t camera_state;
extern ActorRegistry* volatile actor_registry;
extern void* volatile player_object;

// Called by the final camera and projection functions with the arguments they received.
void TestgameBuildView(const float* eye, const float* target, uint32_t flags);
void TestgameBuildProjection(int32_t angle, float aspect, float nearZ, float farZ);
}

using ControlWriter = void (*)(uint32_t value);
inline constexpr int kControlWriterCount = 13;
// The writers in table order (1 to 13).
const ControlWriter* ControlWriters();
