// Validation of the headset optics OpenVR reports at connection: eye-to-head offsets, raw
// projection tangents and the common frustum that covers both eyes; and the copy of the
// validated optics that game threads read without waiting for the render thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvane {

// Raw tangents in OpenVR's order: left, right, top (downward, negative), bottom (upward).
inline constexpr int kRawLeft = 0;
inline constexpr int kRawRight = 1;
inline constexpr int kRawTop = 2;
inline constexpr int kRawBottom = 3;

// Both x translations finite and at least a millimetre apart.
[[nodiscard]] bool EyeToHeadOffsetsValid(float leftEyeX, float rightEyeX);

// True for a usable eye frustum, with u0 = the optical centre as a fraction of the width.
[[nodiscard]] bool ValidateRawProjection(const float raw[4], float& u0);

// The symmetric x and y half-extent tangents that cover both eyes; false when they are not
// finite and positive.
[[nodiscard]] bool ComputeCommonTan(const float leftRaw[4], const float rightRaw[4], float commonTan[2]);

// The optics of one connection, as the camera code needs them.
struct OpticsValues {
    float eyeToHeadX[2] = {};
    float rawProjection[2][4] = {};
    float commonTan[2] = {};
};

// The validated optics of the live connection, published by the render thread when it has
// read them and cleared when the connection drops. Game threads read them without a lock
// (the presenter's own lock is held across the compositor's wait): a sequence count makes
// a reader retry the rare read that overlaps a publication, so it never mixes two
// connections' values. One writer at a time (the render thread, under the presenter lock).
class PublishedOptics {
public:
    void Publish(const OpticsValues& values) noexcept;
    void Clear() noexcept;
    // False, with zeros, while nothing is published.
    [[nodiscard]] bool Read(OpticsValues& out) const noexcept;

private:
    static constexpr int kValueCount = 12;
    void Write(bool valid, const OpticsValues& values) noexcept;

    std::atomic<uint32_t> sequence_{0}; // odd while a publication is being written
    std::atomic<bool> valid_{false};
    std::atomic<float> values_[kValueCount];
};

} // namespace corvane
