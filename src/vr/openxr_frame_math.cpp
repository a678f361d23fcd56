#include "vr/openxr_frame_math.h"

#include <algorithm>
#include <cmath>

namespace corvane {
namespace {

constexpr uint32_t kButtonMenu = 1;
constexpr uint32_t kButtonGrip = 2;
constexpr uint32_t kButtonA = 7;
constexpr uint32_t kButtonStickPress = 32;

uint64_t Bit(uint32_t button) {
    return uint64_t{1} << button;
}

// A value the runtime may hand out unchecked: a stray one is no input.
float Finite(float value) {
    return std::isfinite(value) ? value : 0.0f;
}

} // namespace

void RawFromFov(const FovAngles& fov, float (&raw)[4]) {
    raw[0] = std::tan(fov.angleLeft);
    raw[1] = std::tan(fov.angleRight);
    raw[2] = std::tan(fov.angleDown);
    raw[3] = std::tan(fov.angleUp);
}

FovAngles FovFromRaw(const float (&raw)[4]) {
    FovAngles fov;
    fov.angleLeft = std::atan(raw[0]);
    fov.angleRight = std::atan(raw[1]);
    fov.angleDown = std::atan(raw[2]);
    fov.angleUp = std::atan(raw[3]);
    return fov;
}

HmdMatrix44_t ProjectionFromRaw(const float (&raw)[4], float nearZ, float farZ) {
    const float left = raw[0];
    const float right = raw[1];
    const float down = raw[2];
    const float up = raw[3];
    HmdMatrix44_t m{};
    m.m[0][0] = 2.0f / (right - left);
    m.m[0][2] = (right + left) / (right - left);
    m.m[1][1] = 2.0f / (up - down);
    m.m[1][2] = (up + down) / (up - down);
    m.m[2][2] = -farZ / (farZ - nearZ);
    m.m[2][3] = -farZ * nearZ / (farZ - nearZ);
    m.m[3][2] = -1.0f;
    return m;
}

bool ViewAreaFromBounds(const VRTextureBounds_t& bounds, const float (&raw)[4], uint32_t width,
                        uint32_t height, PixelRect& rect, float (&shownRaw)[4]) {
    rect = PixelRect{};
    const float uMin = std::min(bounds.uMin, bounds.uMax);
    const float uMax = std::max(bounds.uMin, bounds.uMax);
    const float vMin = std::min(bounds.vMin, bounds.vMax);
    const float vMax = std::max(bounds.vMin, bounds.vMax);
    if (!std::isfinite(uMin) || !std::isfinite(uMax) || !std::isfinite(vMin) || !std::isfinite(vMax) ||
        uMax <= uMin || vMax <= vMin || width == 0 || height == 0) {
        return false;
    }
    auto edge = [](float t, uint32_t size) {
        return static_cast<int32_t>(std::lround(std::clamp(t, 0.0f, 1.0f) * static_cast<float>(size)));
    };
    const int32_t x0 = edge(uMin, width);
    const int32_t x1 = edge(uMax, width);
    const int32_t y0 = edge(vMin, height);
    const int32_t y1 = edge(vMax, height);
    if (x1 <= x0 || y1 <= y0) {
        return false;
    }
    rect = PixelRect{x0, y0, x1 - x0, y1 - y0};
    // Each kept edge is where the bounds put it along the field: u runs left to right, v from the
    // upward tangent down to the downward one.
    auto across = [](int32_t pixel, uint32_t size, float low, float high, float from, float to) {
        const float t = static_cast<float>(pixel) / static_cast<float>(size);
        return from + (t - low) / (high - low) * (to - from);
    };
    shownRaw[0] = across(x0, width, uMin, uMax, raw[0], raw[1]);
    shownRaw[1] = across(x1, width, uMin, uMax, raw[0], raw[1]);
    shownRaw[3] = across(y0, height, vMin, vMax, raw[3], raw[2]);
    shownRaw[2] = across(y1, height, vMin, vMax, raw[3], raw[2]);
    return true;
}

bool EyePoseFromHead(const HmdMatrix34_t& head, float eyeX, Quaternion& orientation, Vector3& position) {
    if (!IsFinite(head) || !std::isfinite(eyeX)) {
        return false;
    }
    // A rotation's columns are unit length; a zeroed or scaled matrix is no pose.
    const float xLength =
        std::sqrt(head.m[0][0] * head.m[0][0] + head.m[1][0] * head.m[1][0] + head.m[2][0] * head.m[2][0]);
    if (std::fabs(xLength - 1.0f) > 1e-3f) {
        return false;
    }
    orientation = MatrixToQuaternion(head);
    if (!NormalizeQuaternion(orientation)) {
        return false;
    }
    // The eye sits along the head's own x axis: the matrix's first column.
    position = Vector3{head.m[0][3] + head.m[0][0] * eyeX, head.m[1][3] + head.m[1][0] * eyeX,
                       head.m[2][3] + head.m[2][0] * eyeX};
    return true;
}

Quaternion LevelOrientationFromRight(const float (&right)[3]) {
    const float length = std::hypot(right[0], right[2]);
    if (!std::isfinite(length) || length < 1e-6f) {
        return Quaternion{};
    }
    // A turn by yaw about +y takes +x to (cos yaw, 0, -sin yaw).
    const float yaw = std::atan2(-right[2], right[0]);
    return Quaternion{0.0f, std::sin(0.5f * yaw), 0.0f, std::cos(0.5f * yaw)};
}

TrackedDevicePose_t DevicePoseFrom(bool valid, const Quaternion& orientation, const Vector3& position) {
    TrackedDevicePose_t pose{};
    pose.bDeviceIsConnected = true;
    Quaternion unit = orientation;
    if (!valid || !IsFinite(position) || !NormalizeQuaternion(unit)) {
        pose.eTrackingResult = kTrackingResultOutOfRange;
        return pose;
    }
    pose.mDeviceToAbsoluteTracking = QuaternionToMatrix(unit, position);
    pose.eTrackingResult = kTrackingResultRunningOk;
    pose.bPoseIsValid = true;
    return pose;
}

VRControllerState_t ControllerStateFromActions(const HandActions& actions, uint32_t packet) {
    VRControllerState_t state{};
    state.unPacketNum = packet;
    if (!actions.active) {
        return state;
    }
    uint64_t pressed = 0;
    pressed |= actions.primary ? Bit(kButtonA) : 0;
    pressed |= actions.menu ? Bit(kButtonMenu) : 0;
    pressed |= actions.stickClick ? Bit(kButtonStickPress) : 0;
    pressed |= Finite(actions.squeeze) >= 0.5f ? Bit(kButtonGrip) : 0;
    state.ulButtonPressed = pressed;
    state.rAxis[kBridgeStickAxis] = VRControllerAxis_t{Finite(actions.stickX), Finite(actions.stickY)};
    state.rAxis[kBridgeTriggerAxis] = VRControllerAxis_t{Finite(actions.trigger), 0.0f};
    return state;
}

} // namespace corvane
