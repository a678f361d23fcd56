#include "stereo/head_look.h"

#include "core/log.h"
#include "stereo/once_flags.h"
#include "stereo/stereo_state.h"
#include "vr/pose_math.h"
#include "headset/headset_presenter.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

namespace corvane {
namespace {

constexpr float kMinSquaredLength = 1e-8f;

std::atomic<bool> g_pairLockLogged{false};

// Both eyes of a pair render with the first eye's head pose, as long as no recentre started a
// new tracking epoch in between; true when `sample` was replaced by the stored one.
bool ApplyPairPoseLock(HeadPoseSample& sample, uint32_t eye, uint32_t firstEye) {
    PairPoseLock& lock = GetPairPoseLock();
    std::lock_guard<std::mutex> guard(lock.mutex);
    if (eye == firstEye) {
        lock.sample = sample;
        return false;
    }
    if (lock.sample.valid && lock.sample.referenceEpoch == sample.referenceEpoch) {
        sample = lock.sample;
        return true;
    }
    lock.sample = HeadPoseSample{};
    return false;
}

} // namespace

bool ComputeHeadYawPitch(float& yaw, float& pitch, HeadPoseSample& sample, uint32_t eye, bool lockAllowed,
                         const HeadLookSettings& settings) {
    if (!ActiveHeadset().GetHeadPoseSample(sample)) {
        return false;
    }
    if (lockAllowed && settings.pairPoseLock && sample.valid &&
        ApplyPairPoseLock(sample, eye, settings.firstEye) && TakeOnce(g_pairLockLogged)) {
        LogMessage("AER pair head-pose lock active (%s then %s; shared render pose)",
                   EyeName(settings.firstEye), EyeName(1u - settings.firstEye));
    }

    const float x = sample.relativeOrientation[0];
    const float y = sample.relativeOrientation[1];
    const float z = sample.relativeOrientation[2];
    const float w = sample.relativeOrientation[3];
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z) || !std::isfinite(w)) {
        return false;
    }
    // The headset's forward: (0, 0, -1) rotated by the relative orientation.
    float fx = -2.0f * (x * z + y * w);
    float fy = -2.0f * (y * z - w * x);
    float fz = -(1.0f - 2.0f * (x * x + y * y));
    const float squared = fx * fx + fy * fy + fz * fz;
    if (!std::isfinite(squared) || squared < kMinSquaredLength) {
        return false;
    }
    const float inverse = 1.0f / std::sqrt(squared);
    fx *= inverse;
    fy *= inverse;
    fz *= inverse;

    const float newYaw = std::atan2(fx, -fz) * settings.yawScale;
    const float newPitch = std::clamp(std::asin(std::clamp(fy, -1.0f, 1.0f)) * settings.pitchScale,
                                      -kMaxHeadPitch, kMaxHeadPitch);
    if (!std::isfinite(newYaw) || !std::isfinite(newPitch)) {
        return false;
    }
    yaw = newYaw;
    pitch = newPitch;
    return true;
}

bool MakeEyeRenderPose(float yaw, float pitch, const HeadPoseSample& sample, EyeRenderPose& pose) noexcept {
    const float cy = std::cos(yaw * 0.5f);
    const float sy = std::sin(yaw * 0.5f);
    const float cp = std::cos(pitch * 0.5f);
    const float sp = std::sin(pitch * 0.5f);
    // A yaw towards the right is a negative turn about +y: qY(-yaw) * qX(pitch).
    const Quaternion yawPitch{sp * cy, -sy * cp, sy * sp, cp * cy};
    const Quaternion reference{sample.referenceOrientation[0], sample.referenceOrientation[1],
                               sample.referenceOrientation[2], sample.referenceOrientation[3]};
    Quaternion orientation = MultiplyQuaternions(reference, yawPitch);
    if (!NormalizeQuaternion(orientation)) {
        return false;
    }
    pose.valid = true;
    pose.referenceEpoch = sample.referenceEpoch;
    pose.position[0] = sample.absolutePosition[0];
    pose.position[1] = sample.absolutePosition[1];
    pose.position[2] = sample.absolutePosition[2];
    pose.orientation[0] = orientation.x;
    pose.orientation[1] = orientation.y;
    pose.orientation[2] = orientation.z;
    pose.orientation[3] = orientation.w;
    return true;
}

void ResetHeadLookOnceLines() noexcept {
    g_pairLockLogged.store(false);
}

} // namespace corvane
