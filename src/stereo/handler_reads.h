// What the camera, projection and optical-projection handlers read from the stereo state and
// the settings while a game thread runs them and the render thread may be writing. One
// accessor per field, so how a field is read across threads is decided in one place; each
// handler call reads each field once and works on its local copy.
#pragma once

#include "core/settings.h"
#include "stereo/stereo_state.h"

#include <cstdint>

namespace corvane {

// ---- StereoState ----

// The eye of the frame being rendered, clamped to 0 or 1.
[[nodiscard]] inline uint32_t ReadCurrentEye() noexcept {
    const uint32_t eye = GetStereoState().currentEye;
    return eye < 1u ? eye : 1u;
}

[[nodiscard]] inline bool ReadStereoActive() noexcept {
    const bool active = GetStereoState().stereoActive;
    return active;
}

[[nodiscard]] inline bool ReadStereoRendering() noexcept {
    const bool rendering = GetStereoState().stereoRendering;
    return rendering;
}

[[nodiscard]] inline bool ReadCameraBuildSupported() noexcept {
    const bool supported = GetStereoState().cameraBuildSupported;
    return supported;
}

[[nodiscard]] inline bool ReadSwapEyes() noexcept {
    const bool swap = GetStereoState().swapEyes;
    return swap;
}

[[nodiscard]] inline float ReadStereoUnitsPerMeter() noexcept {
    const float units = GetStereoState().stereoUnitsPerMeter;
    return units;
}

[[nodiscard]] inline float ReadFovScale() noexcept {
    const float scale = GetStereoState().fovScale;
    return scale;
}

[[nodiscard]] inline bool ReadProjectionHookSeen() noexcept {
    return GetStereoState().projectionHookSeen.load();
}

[[nodiscard]] inline bool ReadProjectionHookSeenInPair() noexcept {
    const bool seen = GetStereoState().projectionHookSeenInPair;
    return seen;
}

// ---- Settings ----

[[nodiscard]] inline bool ReadSettingEnabled() noexcept {
    const bool enabled = GetSettings().Enabled;
    return enabled;
}

[[nodiscard]] inline bool ReadSettingMapHeadLook() noexcept {
    const bool map = GetSettings().MapHeadLook;
    return map;
}

[[nodiscard]] inline bool ReadSettingShowPlayerBody() noexcept {
    const bool show = GetSettings().ShowPlayerBody;
    return show;
}

[[nodiscard]] inline float ReadSettingFirstPersonForwardOffset() noexcept {
    const float offset = GetSettings().FirstPersonForwardOffset;
    return offset;
}

[[nodiscard]] inline float ReadSettingHeadYawScale() noexcept {
    const float scale = GetSettings().HeadYawScale;
    return scale;
}

[[nodiscard]] inline float ReadSettingHeadPitchScale() noexcept {
    const float scale = GetSettings().HeadPitchScale;
    return scale;
}

[[nodiscard]] inline bool ReadSettingSpacewarpCompatibleAER() noexcept {
    const bool spacewarp = GetSettings().SpacewarpCompatibleAER;
    return spacewarp;
}

[[nodiscard]] inline bool ReadSettingLockHeadPoseAcrossAERPair() noexcept {
    const bool lock = GetSettings().LockHeadPoseAcrossAERPair;
    return lock;
}

// The first eye of an AER pair: min(AERFirstEye, 1).
[[nodiscard]] inline uint32_t ReadSettingFirstEye() noexcept {
    const uint32_t first = GetSettings().AERFirstEye;
    return first < 1u ? first : 1u;
}

} // namespace corvane
