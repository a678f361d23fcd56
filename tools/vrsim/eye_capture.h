// Eye texture capture: the PNG files and log lines a scenario's `capture`, `view_grid` and `find`
// lines ask for, produced as eyes are submitted. Called by the Submit and WaitGetPoses slots with
// the runtime lock held; nothing runs unless the current frame is to be captured.
#pragma once

#include "capture_image.h"
#include "vr_types.h"

#include <cstdint>
#include <string>

namespace vrsim {

struct RuntimeState;

// Which pose an eye's view is relative to.
enum class PoseSource { None, Submitted, Wait };

struct ViewPose {
    PoseSource source = PoseSource::None;
    HmdMatrix34 matrix{};
};

// Where pictures go, the headset pose of the current frame and the left eye of the current frame,
// waiting for its right to make the headset view and the player's view. Owned by the runtime
// state; rebuilt on every reload.
struct CaptureState {
    std::wstring folder; // ends with a separator, or empty for the working folder
    uint32_t waitPoseFrame = 0;
    ViewPose waitPose; // source None when that frame's WaitGetPoses failed
    bool heldLeftValid = false;
    uint32_t heldLeftFrame = 0;
    RgbaImage heldLeftView;  // the left eye as the headset shows it
    RgbaImage heldLeftImage; // the whole left texture, for the player's view
    TextureBounds heldLeftBounds{};
    ViewPose heldLeftPose;
};

// One accepted submit as the capture sees it; `bounds` and `pose` may be null.
struct SubmittedEye {
    int32_t eye = 0;
    const Texture* texture = nullptr;
    const TextureBounds* bounds = nullptr;
    const HmdMatrix34* pose = nullptr;
};

// Keeps the headset pose a captured frame's WaitGetPoses reported (result 0) for the views of
// submits without a pose. Does nothing on frames no `capture` line covers.
void NoteWaitPose(RuntimeState& state, int32_t waitResult) noexcept;

// Writes the submitted eye's texture and its colour search lines and, on a right eye, the headset
// view and the player's view of the frame; every file and every failure is logged. Never throws
// and never changes the submit's result.
void CaptureSubmittedEye(RuntimeState& state, const SubmittedEye& submitted) noexcept;

} // namespace vrsim
