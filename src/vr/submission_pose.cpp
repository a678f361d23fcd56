#include "vr/submission_pose.h"

#include "vr/pose_math.h"

#include <cmath>
#include <numbers>

namespace corvane {
namespace {

constexpr float kNoRoll = 1e-7f;

} // namespace

bool PoseToMatrix(const EyeRenderPose& pose, HmdMatrix34_t& matrix) {
    if (!pose.valid || pose.referenceEpoch == 0) {
        return false;
    }
    const Vector3 position{pose.position[0], pose.position[1], pose.position[2]};
    Quaternion orientation{pose.orientation[0], pose.orientation[1], pose.orientation[2],
                           pose.orientation[3]};
    if (!IsFinite(position) || !NormalizeQuaternion(orientation)) {
        return false;
    }
    matrix = QuaternionToMatrix(orientation, position);
    return true;
}

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

bool SubmittedHeadPose(const EyeRenderPose& pose, uint64_t currentEpoch, uint32_t eye, float rightRollDegrees,
                       HmdMatrix34_t& matrix) {
    if (currentEpoch == 0 || pose.referenceEpoch != currentEpoch || !PoseToMatrix(pose, matrix)) {
        return false;
    }
    if (eye == 1) {
        ApplyRightEyeRoll(matrix.m, rightRollDegrees);
    }
    return true;
}

} // namespace corvane
