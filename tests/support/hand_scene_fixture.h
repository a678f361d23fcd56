// A scene both hands of which are in front of the headset, for the hand tests native and on a
// real device.
#pragma once

#include "hands/hand_scene.h"

#include <vector>

namespace corvane::testing_support {

inline PoseMatrix34 Pose(float x, float y, float z) {
    return PoseMatrix34{{{1, 0, 0, x}, {0, 1, 0, y}, {0, 0, 1, z}}};
}

inline Matrix4x4 Identity44() {
    return Matrix4x4{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
}

// A symmetric perspective of 90 degrees both ways, depth 0 at the hands' near plane and 1 at far.
inline Matrix4x4 Perspective() {
    const float n = kHandNearZ;
    const float f = kHandFarZ;
    return Matrix4x4{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, f / (n - f), n * f / (n - f)}, {0, 0, -1, 0}}};
}

// A headset at standing height, a left controller at device 3 and a right one at device 7,
// both half a metre in front of it; identity projections so the view-projection is the view.
struct SceneFixture {
    std::vector<PoseMatrix34> poses = std::vector<PoseMatrix34>(64);
    HandScene scene;

    SceneFixture() {
        poses[0] = Pose(0.0f, 1.6f, 0.0f);
        poses[3] = Pose(-0.2f, 1.4f, -0.5f);
        poses[7] = Pose(0.2f, 1.4f, -0.5f);
        scene.headValid = true;
        scene.visibleHands = true;
        scene.renderPoses = poses;
        scene.controllers[0] = Controller(3, true);
        scene.controllers[1] = Controller(7, false);
        scene.eyeToHead[0] = Pose(-0.03f, 0.0f, 0.0f);
        scene.eyeToHead[1] = Pose(0.03f, 0.0f, 0.0f);
        scene.projection[0] = Identity44();
        scene.projection[1] = Identity44();
    }

    static ControllerState Controller(uint32_t index, bool left) {
        ControllerState c;
        c.connected = 1;
        c.poseValid = 1;
        c.isLeftHand = left ? 1 : 0;
        c.deviceIndex = index;
        return c;
    }
};

} // namespace corvane::testing_support
