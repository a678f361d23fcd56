// The stereo-state and settings values the context handlers use, each read once per handler
// call in this one place (game threads read what the render thread writes).
#pragma once

#include "core/settings.h"
#include "stereo/stereo_state.h"

#include <cstdint>

namespace corvane {

struct HudStereoInputs {
    bool enabled = false;
    bool cameraBuildSupported = false;
    float hudScale = 0.0f;
    float hudVerticalOffset = 0.0f;
    uint32_t currentEye = 0;
    // This frame's camera buffer was rewritten for the eye (and none left in the symmetric
    // frustum): the picture under the HUD spans the eye's own field.
    bool eyeProjectionPicture = false;
};

[[nodiscard]] inline HudStereoInputs ReadHudStereoInputs() noexcept {
    const StereoState& stereo = GetStereoState();
    HudStereoInputs inputs;
    inputs.enabled = GetSettings().Enabled;
    inputs.cameraBuildSupported = stereo.cameraBuildSupported;
    inputs.hudScale = stereo.hudScale;
    inputs.hudVerticalOffset = stereo.hudVerticalOffset;
    inputs.currentEye = stereo.currentEye;
    inputs.eyeProjectionPicture =
        stereo.opticalProjectionApplied.load() && !stereo.opticalProjectionDeclined.load();
    return inputs;
}

} // namespace corvane
