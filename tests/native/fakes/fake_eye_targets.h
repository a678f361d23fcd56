// A stand-in for the presenter's Direct3D side in the native tests: textures are plain
// tokens, and each remembers the number of the game picture last copied into it, so tests
// can follow pictures through staging and pair publication.
#pragma once

#include "hands/hand_scene.h"
#include "vr/vr_presenter.h"

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace corvane::fake {

// The hands a copy would draw: into which texture, for which eye, placed how.
struct RecordedHands {
    const void* target = nullptr;
    uint32_t eye = 0;
    HandScene scene;
    // The cinema screen drawn over the copy, when it was.
    bool cinema = false;
    CinemaEyeConstants cinemaConstants{};
    // Whether the picture was laid into the eye's field rather than copied.
    EyeFieldFit fit;
    // The screen left to the runtime: the copy holds the surround with a hole for it.
    bool screenAsLayer = false;
    bool screenUnderEyes = false; // ... with a hole in the copy for it, under the hands
};

// The stand-in for the texture the screen's copy of the game's picture is made into.
inline ID3D11Texture2D* const kCinemaPicture = reinterpret_cast<ID3D11Texture2D*>(uintptr_t{0xC1E0});

struct FakeEyeTargets {
    BackbufferDesc backbuffer{1920, 1080, 1, 28};
    bool acquireFails = false;
    bool executeFails = false;
    bool cinemaFails = false;
    uint32_t picture = 1;                                   // what the backbuffer shows now
    std::map<const void*, uint32_t> contents;               // picture held by each texture
    std::vector<std::pair<const void*, uint32_t>> recorded; // (texture, picture) awaiting execution
    int targetCreations = 0;
    std::vector<RecordedHands> hands; // every copy of the test, in order
};

FakeEyeTargets& EyeTargets();
void ResetEyeTargets();

// The picture number a texture holds, 0 when none.
uint32_t PictureIn(const void* texture);

} // namespace corvane::fake
