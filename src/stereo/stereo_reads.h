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
};

[[nodiscard]] inline HudStereoInputs ReadHudStereoInputs() noexcept {
    const StereoState& stereo = GetStereoState();
    HudStereoInputs inputs;
    inputs.enabled = GetSettings().Enabled;
    inputs.cameraBuildSupported = stereo.cameraBuildSupported;
    inputs.hudScale = stereo.hudScale;
    inputs.hudVerticalOffset = stereo.hudVerticalOffset;
    inputs.currentEye = stereo.currentEye;
    return inputs;
}

} // namespace corvane
