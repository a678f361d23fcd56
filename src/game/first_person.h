// The first-person camera state machine: decides each frame whether the game may be put
// into its own first-person camera (native camera state 17), keeps it there and hands the
// camera back cleanly. UpdateFirstPerson runs on the render thread once per Present; the
// camera detour calls IsFirstPersonActive and ApplyPlayerBodyVisibility on the game thread.
#pragma once

#include <cstdint>

namespace corvane {

inline constexpr uint64_t kCameraControlWordRva = 0x5E151F0;
inline constexpr uint64_t kPlayerObjectRva = 0x9F50EB8;
inline constexpr uint64_t kActorRegistryRva = 0x9F37D60;
inline constexpr uint64_t kState17CleanupRva = 0x178830;
inline constexpr int32_t kFirstPersonCameraState = 17;

// One step of the state machine; true when first person was entered or left.
[[nodiscard]] bool UpdateFirstPerson(bool cameraSeen);

[[nodiscard]] bool IsFirstPersonActive();

// Forces the player's body visible while first person is active; true when it is visible
// by this program's doing.
[[nodiscard]] bool ApplyPlayerBodyVisibility();

// Tells the next frame that the game computed its gameplay camera (the camera detour).
void NoteGameplayCameraSeen();
// Consumes that note (the frame driver).
[[nodiscard]] bool TakeGameplayCameraSeen();
void ClearGameplayCameraSeen();

// The player's gameplay object, when its pointer is plausible and its head readable.
[[nodiscard]] bool ReadPlayerObject(uint64_t& pointer);
// The verified active actor of the actor registry for this player object.
[[nodiscard]] bool ReadActiveActor(uint64_t playerObject, uint64_t& actor);

// Hands the camera back to the engine after the control block closed during first person.
[[nodiscard]] bool ProcessCompositeHandoff(uint32_t kind, uint64_t writerRva, uint32_t newValue);
// Runs the game's own state-17 cleanup routine under a guard.
[[nodiscard]] bool RunNativeState17Cleanup();
// Sets bit 0 of the camera control word after a saved camera state was written back.
void MarkCameraStateRestored();

} // namespace corvane
