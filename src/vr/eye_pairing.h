// How one game frame's picture reaches the two eye textures: mono, direct alternate-eye
// rendering, or staged pairs that publish left and right together (with the age and
// coherence drops). Render thread (presenter, under its lock); pure decisions over plain
// state, the presenter carries out the copies on Direct3D.
#pragma once

#include "vr/eye_bounds.h"
#include "headset/tracking_state.h"

#include <cstdint>

namespace corvane {

// What the eye and staging textures hold, without the textures themselves. Each texture
// keeps the projection of its own picture: after a mono frame in direct alternate-eye
// rendering the two eye textures can hold pictures of different projections.
// Each texture also keeps the bounds its picture was cut with when it was copied, which the hands
// drawn into it fill: a texture submitted again on a later frame goes out with those, whatever the
// picture parameters have become since.
struct EyeTextureState {
    bool eyeTextureValid[2] = {};
    EyeRenderPose eyePose[2];
    PictureSource eyeSource[2];
    VRTextureBounds_t eyeBounds[2] = {kWholeTexture, kWholeTexture};
    bool staged[2] = {};
    EyeRenderPose stagedPose[2];
    PictureSource stagedSource[2];
    VRTextureBounds_t stagedBounds[2] = {kWholeTexture, kWholeTexture};
    int64_t stagedTime[2] = {};
};

void ClearStagedPair(EyeTextureState& state);

// The frame being presented and the settings that choose the mode.
struct EyeFrame {
    uint32_t eye = 0;
    bool pairValid = false;
    PictureSource source;            // what the game's picture was rendered with
    bool stagedAer = true;           // SpacewarpCompatibleAER
    uint32_t maxPairIntervalMs = 50; // AERMaxPairIntervalMs; 0 disables the age test
    int64_t nowNs = 0;               // steady clock
    uint64_t currentEpoch = 0;       // the tracking epoch the frame is submitted in
    VRTextureBounds_t bounds[2] = {kWholeTexture, kWholeTexture}; // each eye's cut of this picture
};

enum class CopyDestination : uint8_t { EyeTexture, StagingTexture };

// One copy of the backbuffer; `eye` selects the texture and the eye the hands are drawn for.
struct EyeCopy {
    CopyDestination destination = CopyDestination::EyeTexture;
    uint32_t eye = 0;
};

struct EyeCopyPlan {
    EyeCopy copies[3];
    int copyCount = 0;
    bool copied[2] = {};    // eye textures that receive this frame
    bool stagedNow[2] = {}; // staging textures that receive this frame
    bool overAgeDrop = false;
    double pairAgeMs = 0.0; // age of the dropped half pair
};

// Decides the copies for this frame. A frame that breaks up the pair in progress (mono, or a
// second eye arriving too late) clears the staged pair here, before any copy is made, so the
// drop stands even when the copies later fail. Eye textures rendered for an earlier tracking
// epoch (the view was centred again) are filled again at once rather than sent out without the
// pose their picture and hands were made for.
EyeCopyPlan PlanEyeCopies(EyeTextureState& state, const EyeFrame& frame);

// Records what the executed copies put into the textures. `pose` may be null.
void RecordEyeCopies(EyeTextureState& state, const EyeCopyPlan& plan, const EyeFrame& frame,
                     const EyeRenderPose* pose);

enum class PairOutcome : uint8_t { None, Published, DroppedIncoherent };

// Both halves of a staged pair present: publishes them when they belong together (same
// tracking epoch, same kind of projection), else drops them. On Published the caller must swap each
// eye texture with its staging texture, which now hold the pair; the state already says so.
PairOutcome CompletePair(EyeTextureState& state, const EyeFrame& frame);

} // namespace corvane
