// The routine the pedestrian detour entry (pedestrian_entry_win32.cpp) calls on the game
// thread that moves pedestrians: scales the step and names the trampoline to continue in.
#include "game/native60.h"

#include <cstdint>

extern "C" uintptr_t corvane_prepare_pedestrian_step(float* step) noexcept {
    return corvane::PreparePedestrianStep(step);
}
