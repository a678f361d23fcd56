// The head pose submitted with the right eye's texture carries the live right-picture roll.
// Render thread (presenter), pure arithmetic.
#pragma once

namespace corvane {

// Rolls a 3x4 row-major pose about its own forward axis: columns 0 and 1 turn by the
// angle, column 2 and the translation stay. Rolls below 1e-7 degrees change nothing.
void ApplyRightEyeRoll(float (&pose)[3][4], float rollDegrees);

} // namespace corvane
