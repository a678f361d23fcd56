// Validation of the headset optics OpenVR reports at connection: eye-to-head offsets, raw
// projection tangents and the common frustum that covers both eyes. Pure functions, any thread.
#pragma once

namespace corvane {

// Raw tangents in OpenVR's order: left, right, top (downward, negative), bottom (upward).
inline constexpr int kRawLeft = 0;
inline constexpr int kRawRight = 1;
inline constexpr int kRawTop = 2;
inline constexpr int kRawBottom = 3;

// Both x translations finite and at least a millimetre apart.
[[nodiscard]] bool EyeToHeadOffsetsValid(float leftEyeX, float rightEyeX);

// True for a usable eye frustum, with u0 = the optical centre as a fraction of the width.
[[nodiscard]] bool ValidateRawProjection(const float raw[4], float& u0);

// The symmetric x and y half-extent tangents that cover both eyes; false when they are not
// finite and positive.
[[nodiscard]] bool ComputeCommonTan(const float leftRaw[4], const float rightRaw[4], float commonTan[2]);

} // namespace corvane
