// A stand-in for the presenter's Direct3D side in the native tests: textures are plain
// tokens, and each remembers the number of the game picture last copied into it, so tests
// can follow pictures through staging and pair publication.
#pragma once

#include "vr/vr_presenter.h"

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace corvane::fake {

struct FakeEyeTargets {
    BackbufferDesc backbuffer{1920, 1080, 1, 28};
    bool acquireFails = false;
    bool executeFails = false;
    uint32_t picture = 1;                                   // what the backbuffer shows now
    std::map<const void*, uint32_t> contents;               // picture held by each texture
    std::vector<std::pair<const void*, uint32_t>> recorded; // (texture, picture) awaiting execution
    int targetCreations = 0;
};

FakeEyeTargets& EyeTargets();
void ResetEyeTargets();

// The picture number a texture holds, 0 when none.
uint32_t PictureIn(const void* texture);

} // namespace corvane::fake
