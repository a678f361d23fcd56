#include "vr/submission_pose.h"

#include <cmath>
#include <numbers>

namespace corvane {
namespace {

constexpr float kNoRoll = 1e-7f;

} // namespace

void ApplyRightEyeRoll(float (&pose)[3][4], float rollDegrees) {
    if (!(std::fabs(rollDegrees) > kNoRoll)) {
        return;
    }
    const float angle = rollDegrees * std::numbers::pi_v<float> / 180.0f;
    const float c = std::cos(angle);
    const float s = std::sin(angle);
    for (int row = 0; row < 3; ++row) {
        const float column0 = pose[row][0];
        const float column1 = pose[row][1];
        pose[row][0] = c * column0 + s * column1;
        pose[row][1] = c * column1 - s * column0;
    }
}

} // namespace corvane
