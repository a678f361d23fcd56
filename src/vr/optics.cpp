#include "vr/optics.h"

#include <algorithm>
#include <cmath>
#include <thread>

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

namespace {

// The published values in a fixed order: eye-to-head x of both eyes, both raw projections,
// the common tangents.
void Flatten(const OpticsValues& values, float (&flat)[12]) {
    flat[0] = values.eyeToHeadX[0];
    flat[1] = values.eyeToHeadX[1];
    std::copy_n(values.rawProjection[0], 4, flat + 2);
    std::copy_n(values.rawProjection[1], 4, flat + 6);
    flat[10] = values.commonTan[0];
    flat[11] = values.commonTan[1];
}

void Unflatten(const float (&flat)[12], OpticsValues& values) {
    values.eyeToHeadX[0] = flat[0];
    values.eyeToHeadX[1] = flat[1];
    std::copy_n(flat + 2, 4, values.rawProjection[0]);
    std::copy_n(flat + 6, 4, values.rawProjection[1]);
    values.commonTan[0] = flat[10];
    values.commonTan[1] = flat[11];
}

} // namespace

void PublishedOptics::Write(bool valid, const OpticsValues& values) noexcept {
    float flat[kValueCount];
    Flatten(values, flat);
    // Release stores keep the odd count ahead of every value: a reader that sees a new
    // value also sees that the count moved, and retries.
    const uint32_t start = sequence_.load(std::memory_order_relaxed);
    sequence_.store(start + 1, std::memory_order_relaxed);
    valid_.store(valid, std::memory_order_release);
    for (int i = 0; i < kValueCount; ++i) {
        values_[i].store(flat[i], std::memory_order_release);
    }
    sequence_.store(start + 2, std::memory_order_release);
}

void PublishedOptics::Publish(const OpticsValues& values) noexcept {
    Write(true, values);
}

void PublishedOptics::Clear() noexcept {
    Write(false, OpticsValues{});
}

bool PublishedOptics::Read(OpticsValues& out) const noexcept {
    float flat[kValueCount];
    bool valid = false;
    for (;;) {
        // Acquire loads keep the second look at the count behind every value read.
        const uint32_t before = sequence_.load(std::memory_order_acquire);
        if ((before & 1u) == 0) {
            valid = valid_.load(std::memory_order_acquire);
            for (int i = 0; i < kValueCount; ++i) {
                flat[i] = values_[i].load(std::memory_order_acquire);
            }
            if (sequence_.load(std::memory_order_relaxed) == before) {
                break;
            }
        }
        // A publication is being written (a few stores, never a wait): let it finish.
        std::this_thread::yield();
    }
    out = OpticsValues{};
    if (!valid) {
        return false;
    }
    Unflatten(flat, out);
    return true;
}

} // namespace corvane
