#include "hands/hand_geometry.h"

#include <algorithm>

namespace corvane {
namespace {

struct FingerShape {
    float x;
    float length;
};

constexpr FingerShape kIndex{-0.03f, 0.041f};
constexpr FingerShape kMiddle{-0.01f, 0.045f};
constexpr FingerShape kRing{0.011f, 0.042f};
constexpr FingerShape kLittle{0.031f, 0.036f};

constexpr float kKnuckleZ = -0.072f;
constexpr float kFirstJointBend = 1.05f;
constexpr float kSecondJointBend = 1.3f;
constexpr float kPalmShade = 0.92f;

float Unit(float value) {
    return std::clamp(value, 0.0f, 1.0f);
}

Matrix44 operator*(const Matrix44& a, const Matrix44& b) {
    return MatrixMultiply(a, b);
}

void AddFinger(HandParts& parts, int& next, const Matrix44& hand, const FingerShape& finger, float curl,
               const HandColour& colour) {
    const float length = finger.length;
    const Matrix44 firstJoint =
        hand * Translation(finger.x, 0.0f, kKnuckleZ) * RotationX(-kFirstJointBend * curl);
    parts[next++] = {firstJoint * Translation(0.0f, 0.0f, -length / 2.0f) * Scaling(0.014f, 0.015f, length),
                     colour};
    const Matrix44 secondJoint =
        firstJoint * Translation(0.0f, 0.0f, -length) * RotationX(-kSecondJointBend * curl);
    parts[next++] = {secondJoint * Translation(0.0f, 0.0f, -0.39f * length) *
                         Scaling(0.013f, 0.014f, 0.78f * length),
                     colour};
}

} // namespace

HandCurls ComputeHandCurls(float trigger, float grip) {
    HandCurls curls;
    curls.index = Unit(trigger);
    curls.middle = Unit(std::max(0.35f * trigger, grip));
    curls.ring = Unit(grip);
    curls.little = Unit(grip);
    curls.thumb = Unit(std::max(0.25f * trigger, grip));
    return curls;
}

HandColour FingerColour(bool leftHand) {
    return leftHand ? HandColour{0.91f, 0.50f, 0.31f, 1.0f} : HandColour{0.98f, 0.58f, 0.35f, 1.0f};
}

HandColour PalmColour(bool leftHand) {
    const HandColour finger = FingerColour(leftHand);
    return HandColour{kPalmShade * finger.red, kPalmShade * finger.green, kPalmShade * finger.blue, 1.0f};
}

Matrix44 HandFrame(const Matrix44& controllerPose, const Matrix44& headsetPose, float worldScale,
                   float handScale) {
    const float ws = std::clamp(worldScale, 0.25f, 4.0f);
    const float s = ws * std::clamp(handScale, 0.5f, 2.0f);
    Matrix44 pose = controllerPose;
    for (int row = 0; row < 3; ++row) {
        const float head = headsetPose.m[row][3];
        pose.m[row][3] = (pose.m[row][3] - head) * ws + head;
    }
    return pose * Scaling(s, s, s);
}

HandParts BuildHandParts(const Matrix44& hand, bool leftHand, float trigger, float grip) {
    const HandCurls curls = ComputeHandCurls(trigger, grip);
    const HandColour finger = FingerColour(leftHand);
    HandParts parts;
    int next = 0;
    parts[next++] = {hand * Translation(0.0f, -0.012f, -0.025f) * Scaling(0.082f, 0.032f, 0.105f),
                     PalmColour(leftHand)};
    AddFinger(parts, next, hand, kIndex, curls.index, finger);
    AddFinger(parts, next, hand, kMiddle, curls.middle, finger);
    AddFinger(parts, next, hand, kRing, curls.ring, finger);
    AddFinger(parts, next, hand, kLittle, curls.little, finger);
    const float side = leftHand ? -1.0f : 1.0f;
    const float t = curls.thumb;
    parts[next++] = {hand * Translation(side * 0.047f, -0.004f, -0.016f) *
                         RotationY((0.72f - 0.25f * t) * -side) * RotationX(-0.8f * t) *
                         Translation(0.0f, 0.0f, -0.025f) * Scaling(0.018f, 0.018f, 0.05f),
                     finger};
    return parts;
}

} // namespace corvane
