// Scripted poses and inputs: keyframes interpolated linearly, ranges where the last line wins.
#include "simulation.h"

#include <cmath>
#include <numbers>

namespace vrsim {
namespace {

struct Rotation {
    float m[3][3];
};

Rotation Multiply(const Rotation& a, const Rotation& b) {
    Rotation r{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j];
        }
    }
    return r;
}

float Radians(float degrees) {
    return degrees * std::numbers::pi_v<float> / 180.0f;
}

Rotation AboutY(float degrees) {
    float c = std::cos(Radians(degrees)), s = std::sin(Radians(degrees));
    return {{{c, 0, s}, {0, 1, 0}, {-s, 0, c}}};
}
Rotation AboutX(float degrees) {
    float c = std::cos(Radians(degrees)), s = std::sin(Radians(degrees));
    return {{{1, 0, 0}, {0, c, -s}, {0, s, c}}};
}
Rotation AboutZ(float degrees) {
    float c = std::cos(Radians(degrees)), s = std::sin(Radians(degrees));
    return {{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
}

// The scripted pose in the tracking space in effect at this frame (after any recentre).
HmdMatrix34 PoseMatrix(const Scenario& scenario, const PoseScript& script, uint32_t frame) {
    PoseKey key = standin::Interpolate(script, frame);
    Rotation rotation =
        Multiply(Multiply(AboutY(key.yawDegrees), AboutX(key.pitchDegrees)), AboutZ(key.rollDegrees));
    float position[3] = {key.position[0], key.position[1], key.position[2]};

    const Recentre* recentre = standin::RecentreAt(scenario.recentres, frame);
    if (recentre != nullptr) {
        // New origin O = translate(p) * Ry(yaw); reported pose = inverse(O) * pose.
        Rotation undo = AboutY(-recentre->yawDegrees);
        float d[3] = {position[0] - recentre->position[0], position[1] - recentre->position[1],
                      position[2] - recentre->position[2]};
        for (int i = 0; i < 3; ++i) {
            position[i] = undo.m[i][0] * d[0] + undo.m[i][1] * d[1] + undo.m[i][2] * d[2];
        }
        rotation = Multiply(undo, rotation);
    }

    HmdMatrix34 matrix{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            matrix.m[i][j] = rotation.m[i][j];
        }
        matrix.m[i][3] = position[i];
    }
    return matrix;
}

TrackedDevicePose ScriptedPose(const Scenario& scenario, const PoseScript& script, uint32_t frame) {
    TrackedDevicePose pose{};
    pose.deviceIsConnected = true;
    if (standin::AnyContains(script.lost, frame)) {
        // Zero matrix: a client that ignores the valid flag gets a visibly broken pose.
        pose.trackingResult = kTrackingResultRunningOutOfRange;
        return pose;
    }
    pose.deviceToAbsoluteTracking = PoseMatrix(scenario, script, frame);
    pose.trackingResult = kTrackingResultRunningOk;
    pose.poseIsValid = true;
    return pose;
}

} // namespace

const ScriptedController* FindController(const Scenario& scenario, uint32_t deviceIndex) {
    for (const ScriptedController& controller : scenario.controllers) {
        if (controller.deviceIndex == deviceIndex) {
            return &controller;
        }
    }
    return nullptr;
}

bool IsControllerConnected(const ScriptedController& controller, uint32_t frame) {
    return controller.alwaysConnected || standin::AnyContains(controller.connected, frame);
}

bool IsEverConnected(const ScriptedController& controller) {
    return controller.alwaysConnected || !controller.connected.empty();
}

bool IsDeviceConnected(const Scenario& scenario, uint32_t deviceIndex, uint32_t frame) {
    if (deviceIndex == kTrackedDeviceIndexHmd) {
        return true;
    }
    const ScriptedController* controller = FindController(scenario, deviceIndex);
    return controller != nullptr && IsControllerConnected(*controller, frame);
}

int32_t DeviceClass(const Scenario& scenario, uint32_t deviceIndex) {
    if (deviceIndex == kTrackedDeviceIndexHmd) {
        return kDeviceClassHmd;
    }
    const ScriptedController* controller = FindController(scenario, deviceIndex);
    return controller != nullptr && IsEverConnected(*controller) ? kDeviceClassController
                                                                 : kDeviceClassInvalid;
}

uint32_t DeviceForRole(const Scenario& scenario, int32_t role, uint32_t frame) {
    if (role == kRoleInvalid) {
        return kTrackedDeviceIndexInvalid;
    }
    for (const ScriptedController& controller : scenario.controllers) {
        if (controller.role == role && IsControllerConnected(controller, frame)) {
            return controller.deviceIndex;
        }
    }
    return kTrackedDeviceIndexInvalid;
}

TrackedDevicePose DevicePose(const Scenario& scenario, uint32_t deviceIndex, uint32_t frame) {
    if (deviceIndex == kTrackedDeviceIndexHmd) {
        return ScriptedPose(scenario, scenario.head, frame);
    }
    const ScriptedController* controller = FindController(scenario, deviceIndex);
    if (controller == nullptr || !IsControllerConnected(*controller, frame)) {
        return TrackedDevicePose{};
    }
    return ScriptedPose(scenario, controller->pose, frame);
}

ControllerState ControllerInput(const ScriptedController& controller, uint32_t frame) {
    ControllerState state{};
    state.packetNum = frame;
    for (const RangedMask& mask : controller.pressed) {
        if (mask.range.Contains(frame)) {
            state.buttonPressed = mask.mask;
        }
    }
    for (const RangedMask& mask : controller.touched) {
        if (mask.range.Contains(frame)) {
            state.buttonTouched = mask.mask;
        }
    }
    if (standin::AnyContains(controller.grip, frame)) {
        state.buttonPressed |= 1ull << kButtonGrip;
    }
    auto firstAxis = [&controller](auto matches) -> int {
        for (int a = 0; a < static_cast<int>(kControllerAxisCount); ++a) {
            if (matches(controller.axisType[a])) {
                return a;
            }
        }
        return -1;
    };
    int trigger = firstAxis([](int32_t type) { return type == kAxisTrigger; });
    int stick = firstAxis([](int32_t type) { return type == kAxisTrackPad || type == kAxisJoystick; });
    for (const RangedAxisValue& value : controller.axisValues) {
        if (!value.range.Contains(frame)) {
            continue;
        }
        int axis = value.target == AxisTarget::Index          ? static_cast<int>(value.axis)
                   : value.target == AxisTarget::FirstTrigger ? trigger
                                                              : stick;
        if (axis >= 0) {
            state.axis[axis] = {value.x, value.y};
        }
    }
    return state;
}

HmdMatrix44 ProjectionFromRaw(const float raw[4], float nearZ, float farZ) {
    const float left = raw[0], right = raw[1], top = raw[2], bottom = raw[3];
    HmdMatrix44 m{};
    m.m[0][0] = 2.0f / (right - left);
    m.m[0][2] = (right + left) / (right - left);
    m.m[1][1] = 2.0f / (bottom - top);
    m.m[1][2] = (bottom + top) / (bottom - top);
    m.m[2][2] = -farZ / (farZ - nearZ);
    m.m[2][3] = -farZ * nearZ / (farZ - nearZ);
    m.m[3][2] = -1.0f;
    return m;
}

} // namespace vrsim
