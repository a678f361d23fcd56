#include "vr/optics.h"

#include <algorithm>
#include <cmath>

namespace corvane {
namespace {

constexpr float kFloatEpsilon = 1.1920929e-7f;
constexpr float kMinimumEyeSeparationMeters = 0.001f;

bool IsUsableSpan(float span) {
    return std::isfinite(span) && std::fabs(span) > kFloatEpsilon;
}

} // namespace

bool EyeToHeadOffsetsValid(float leftEyeX, float rightEyeX) {
    return std::isfinite(leftEyeX) && std::isfinite(rightEyeX) &&
           std::fabs(rightEyeX - leftEyeX) >= kMinimumEyeSeparationMeters;
}

bool ValidateRawProjection(const float raw[4], float& u0) {
    const float left = raw[kRawLeft];
    const float right = raw[kRawRight];
    const float top = raw[kRawTop];
    const float bottom = raw[kRawBottom];
    if (!std::isfinite(left) || !std::isfinite(right) || !std::isfinite(top) || !std::isfinite(bottom)) {
        return false;
    }
    if (!IsUsableSpan(right - left) || !IsUsableSpan(bottom - top)) {
        return false;
    }
    if (!(left < 0.0f && 0.0f < right && top < 0.0f && 0.0f < bottom)) {
        return false;
    }
    const float u = -left / (right - left);
    if (!std::isfinite(u) || u < 0.0f || u > 1.0f) {
        return false;
    }
    u0 = u;
    return true;
}

bool ComputeCommonTan(const float leftRaw[4], const float rightRaw[4], float commonTan[2]) {
    const float x =
        std::max({-leftRaw[kRawLeft], leftRaw[kRawRight], -rightRaw[kRawLeft], rightRaw[kRawRight]});
    const float y =
        std::max({-leftRaw[kRawTop], leftRaw[kRawBottom], -rightRaw[kRawTop], rightRaw[kRawBottom]});
    commonTan[0] = x;
    commonTan[1] = y;
    return std::isfinite(x) && x > 0.0f && std::isfinite(y) && y > 0.0f;
}

} // namespace corvane
