// Eye texture capture: the PNG files a scenario's `capture` lines ask for, written as eyes are
// submitted. Called by the Submit slot with the runtime lock held; nothing runs unless the
// current frame is to be captured.
#pragma once

#include "capture_image.h"
#include "vr_types.h"

#include <cstdint>
#include <string>

namespace vrsim {

struct RuntimeState;

// Where pictures go and the left eye of the current frame, waiting for its right to make the
// headset view. Owned by the runtime state; rebuilt on every reload.
struct CaptureState {
    std::wstring folder; // ends with a separator, or empty for the working folder
    bool heldLeftValid = false;
    uint32_t heldLeftFrame = 0;
    RgbaImage heldLeftView; // the left eye as the headset shows it
};

// Writes the submitted eye's texture and, on a right eye, the headset view of the frame; every
// file and every failure is logged. Never throws and never changes the submit's result.
void CaptureSubmittedEye(RuntimeState& state, int32_t eye, const Texture& texture,
                         const TextureBounds* bounds) noexcept;

} // namespace vrsim
