#include "hands/hand_scene.h"

#include <cmath>

namespace corvane {
namespace {

bool HasHeadsetPose(const HandScene& scene) {
    return !scene.renderPoses.empty();
}

} // namespace

HandViewport HandViewportFor(const HandScene& scene) {
    const auto width = static_cast<float>(scene.textureWidth);
    const auto height = static_cast<float>(scene.textureHeight);
    return HandViewport{scene.areaUMin * width, scene.areaVMin * height,
                        (scene.areaUMax - scene.areaUMin) * width,
                        (scene.areaVMax - scene.areaVMin) * height};
}

bool EyeViewProjection(const HandScene& scene, int eye, Matrix44& viewProjection) {
    if (!scene.hasSubmittedHeadPose && !HasHeadsetPose(scene)) {
        return false;
    }
    const int side = eye == 0 ? 0 : 1;
    const Matrix44 headToTracking =
        Matrix34To44(scene.hasSubmittedHeadPose ? scene.submittedHeadPose : scene.renderPoses[0]);
    const Matrix44 eyeToHead = Matrix34To44(scene.eyeToHead[side]);
    const Matrix44 projection = Matrix44Copy(scene.projection[side]);
    if (!IsFinite(headToTracking) || !IsFinite(eyeToHead) || !IsFinite(projection)) {
        return false;
    }
    const Matrix44 eyeToTracking = MatrixMultiply(headToTracking, eyeToHead);
    const Matrix44 result = MatrixMultiply(projection, RigidInverse(eyeToTracking));
    if (!IsFinite(result)) {
        return false;
    }
    viewProjection = result;
    return true;
}

bool PlaceHand(const HandScene& scene, const ControllerState& controller, HandParts& parts) {
    if (controller.connected == 0 || controller.poseValid == 0 || !HasHeadsetPose(scene) ||
        controller.deviceIndex >= scene.renderPoses.size()) {
        return false;
    }
    const Matrix44 headset = Matrix34To44(scene.renderPoses[0]);
    const Matrix44 pose = Matrix34To44(scene.renderPoses[controller.deviceIndex]);
    if (!IsFinite(headset) || !IsFinite(pose) || !std::isfinite(controller.trigger) ||
        !std::isfinite(controller.grip)) {
        return false;
    }
    const Matrix44 hand = HandFrame(pose, headset, scene.worldScale, scene.handScale);
    if (!IsFinite(hand)) {
        return false;
    }
    parts = BuildHandParts(hand, controller.isLeftHand != 0, controller.trigger, controller.grip);
    return true;
}

} // namespace corvane
