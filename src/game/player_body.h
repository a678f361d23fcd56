// The player character's game objects and the body-visibility override of first person:
// reading the player object and its verified active actor, and putting back what the
// override changed. The render thread (exits) and the camera thread (the override) call it.
#pragma once

#include <cstdint>

namespace corvane {

// Puts back the body visibility the game had before this entry first overrode it, when the
// actor is still the one that was changed; forgets the override in every case.
void RestoreBodyVisibilityOnExit(bool sameActor, uint64_t actor);

// Forgets the saved body values without touching the game.
void ForgetBodyOverride();

} // namespace corvane
