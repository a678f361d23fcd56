// Shared by the camera handler tests: a connected presenter with chosen optics, a head pose
// sample set directly, and head orientations built from yaw and pitch.
#pragma once

#include "fakes/fake_openvr.h"
#include "fakes/fake_platform.h"
#include "test_support.h"
#include "vr/pose_math.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <string>
#include <vector>

namespace corvane::testing_support {

inline constexpr float kPi = 3.14159265358979f;

inline float Radians(float degrees) {
    return degrees * kPi / 180.0f;
}

inline float Degrees(float radians) {
    return radians * 180.0f / kPi;
}

// The headset turned `yawDegrees` to the right (a negative turn about +y) and then looking
// `pitchDegrees` up (a positive turn about its own +x).
inline Quaternion HeadTurn(float yawDegrees, float pitchDegrees) {
    const float yaw = Radians(yawDegrees) * 0.5f;
    const float pitch = Radians(pitchDegrees) * 0.5f;
    return MultiplyQuaternions(Quaternion{0.0f, -std::sin(yaw), 0.0f, std::cos(yaw)},
                               Quaternion{std::sin(pitch), 0.0f, 0.0f, std::cos(pitch)});
}

// Connects the process-wide presenter to the fake runtime with the fake's current optics and
// empties the log of the connection line.
inline void ConnectPresenter() {
    VrPresenter& presenter = VrPresenter::Instance();
    {
        std::lock_guard<std::mutex> lock(presenter.presenterMutex);
        ASSERT_TRUE(presenter.EnsureConnected());
    }
    fake::Os().files.clear();
}

inline void SetHeadSample(const Quaternion& relative, const Vector3& relativePosition = {},
                          uint64_t epoch = 7, const Quaternion& reference = {},
                          const Vector3& absolute = {0.0f, 1.6f, 0.0f}) {
    HeadPoseSample sample;
    sample.valid = true;
    sample.referenceEpoch = epoch;
    sample.relativeOrientation[0] = relative.x;
    sample.relativeOrientation[1] = relative.y;
    sample.relativeOrientation[2] = relative.z;
    sample.relativeOrientation[3] = relative.w;
    sample.relativePosition[0] = relativePosition.x;
    sample.relativePosition[1] = relativePosition.y;
    sample.relativePosition[2] = relativePosition.z;
    sample.absolutePosition[0] = absolute.x;
    sample.absolutePosition[1] = absolute.y;
    sample.absolutePosition[2] = absolute.z;
    sample.referenceOrientation[0] = reference.x;
    sample.referenceOrientation[1] = reference.y;
    sample.referenceOrientation[2] = reference.z;
    sample.referenceOrientation[3] = reference.w;
    VrPresenter& presenter = VrPresenter::Instance();
    std::lock_guard<std::mutex> lock(presenter.headPoseMutex);
    presenter.headPoseSample = sample;
}

inline void ClearHeadSample() {
    VrPresenter& presenter = VrPresenter::Instance();
    std::lock_guard<std::mutex> lock(presenter.headPoseMutex);
    presenter.headPoseSample = HeadPoseSample{};
}

inline EyeRenderPose PublishedRenderPose(uint32_t eye) {
    VrPresenter& presenter = VrPresenter::Instance();
    std::lock_guard<std::mutex> lock(presenter.renderPoseMutex);
    return presenter.publishedRenderPoses[eye];
}

// The log's messages without their time stamps.
inline std::vector<std::string> LogMessages() {
    std::vector<std::string> messages;
    for (const std::string& line : fake::LogLines()) {
        messages.push_back(MessageOf(line));
    }
    return messages;
}

// Two orientations are the same rotation (q and -q included).
inline void ExpectSameRotation(const Quaternion& expected, const float (&actual)[4],
                               float tolerance = 1e-5f) {
    const float dot =
        expected.x * actual[0] + expected.y * actual[1] + expected.z * actual[2] + expected.w * actual[3];
    const float sign = dot < 0.0f ? -1.0f : 1.0f;
    EXPECT_NEAR(expected.x, sign * actual[0], tolerance);
    EXPECT_NEAR(expected.y, sign * actual[1], tolerance);
    EXPECT_NEAR(expected.z, sign * actual[2], tolerance);
    EXPECT_NEAR(expected.w, sign * actual[3], tolerance);
}

} // namespace corvane::testing_support
