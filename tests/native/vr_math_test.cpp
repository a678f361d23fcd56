// Pose math and optics validation: the pure functions the presenter builds on.
#include "vr/optics.h"
#include "vr/pose_math.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace corvane {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kPi = 3.14159265358979f;

Quaternion AxisAngle(float x, float y, float z, float degrees) {
    const float half = degrees * kPi / 360.0f;
    const float s = std::sin(half);
    return {x * s, y * s, z * s, std::cos(half)};
}

// q and -q are the same rotation.
void ExpectSameRotation(const Quaternion& a, const Quaternion& b) {
    const float dot = a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
    EXPECT_NEAR(std::fabs(dot), 1.0f, 1e-5f) << a.x << " " << a.y << " " << a.z << " " << a.w;
}

TEST(PoseMath, MatrixAndQuaternionRoundTripThroughEveryBranch) {
    // Small angles take the positive-trace branch; half turns about each axis the others.
    const Quaternion cases[] = {
        Quaternion{},
        AxisAngle(0, 1, 0, 90),
        AxisAngle(1, 0, 0, -35),
        AxisAngle(0.6f, 0.0f, 0.8f, 120),
        AxisAngle(1, 0, 0, 180),
        AxisAngle(0, 1, 0, 180),
        AxisAngle(0, 0, 1, 180),
        AxisAngle(0.0f, 0.6f, 0.8f, 179),
    };
    for (const Quaternion& q : cases) {
        const HmdMatrix34_t m = QuaternionToMatrix(q, {1.0f, 2.0f, 3.0f});
        EXPECT_FLOAT_EQ(m.m[0][3], 1.0f);
        EXPECT_FLOAT_EQ(m.m[1][3], 2.0f);
        EXPECT_FLOAT_EQ(m.m[2][3], 3.0f);
        ExpectSameRotation(MatrixToQuaternion(m), q);
    }
}

TEST(PoseMath, YawOfNinetyDegreesTurnsForwardToMinusX) {
    const HmdMatrix34_t m = QuaternionToMatrix(AxisAngle(0, 1, 0, 90), {});
    // Forward is -z; its image is minus the third column.
    EXPECT_NEAR(-m.m[0][2], -1.0f, 1e-6f);
    EXPECT_NEAR(-m.m[2][2], 0.0f, 1e-6f);
}

TEST(PoseMath, NormalizeQuaternionRefusesWhatIsNoRotation) {
    const Quaternion refused[] = {
        {0, 0, 0, 0}, {kNan, 0, 0, 1}, {0, kInf, 0, 1}, {1e-5f, 0, 0, 0}, {3e19f, 3e19f, 0, 0},
    };
    for (Quaternion q : refused) {
        const Quaternion before = q;
        EXPECT_FALSE(NormalizeQuaternion(q));
        EXPECT_EQ(std::memcmp(&q, &before, sizeof(q)), 0);
    }
    Quaternion q{0, 0, 3, 4};
    ASSERT_TRUE(NormalizeQuaternion(q));
    EXPECT_FLOAT_EQ(q.z, 0.6f);
    EXPECT_FLOAT_EQ(q.w, 0.8f);
}

TEST(PoseMath, DisplacementIsExpressedAlongTheReferenceHeading) {
    // Identity reference: unchanged.
    const Vector3 same = DisplacementInReferenceHeading({0.1f, 0.1f, -0.2f}, Quaternion{});
    EXPECT_NEAR(same.x, 0.1f, 1e-6f);
    EXPECT_NEAR(same.y, 0.1f, 1e-6f);
    EXPECT_NEAR(same.z, -0.2f, 1e-6f);
    // Facing -x, a step towards -x is a step forward.
    const Vector3 forward = DisplacementInReferenceHeading({-0.1f, 0.0f, 0.0f}, AxisAngle(0, 1, 0, 90));
    EXPECT_NEAR(forward.x, 0.0f, 1e-6f);
    EXPECT_NEAR(forward.z, -0.1f, 1e-6f);
    // Pitch does not change the heading.
    const Vector3 pitched = DisplacementInReferenceHeading({0.0f, 0.0f, -0.1f}, AxisAngle(1, 0, 0, 30));
    EXPECT_NEAR(pitched.z, -0.1f, 1e-6f);
    // Looking straight down has no heading: the displacement is kept.
    const Vector3 down = DisplacementInReferenceHeading({0.3f, 0.0f, 0.4f}, AxisAngle(1, 0, 0, -90));
    EXPECT_NEAR(down.x, 0.3f, 1e-6f);
    EXPECT_NEAR(down.z, 0.4f, 1e-6f);
}

TEST(Optics, EyeToHeadOffsetsMustBeFiniteAndApart) {
    EXPECT_TRUE(EyeToHeadOffsetsValid(-0.0315f, 0.0315f));
    EXPECT_FALSE(EyeToHeadOffsetsValid(-0.0003f, 0.0003f));
    EXPECT_FALSE(EyeToHeadOffsetsValid(kNan, 0.0315f));
    EXPECT_FALSE(EyeToHeadOffsetsValid(-0.0315f, kInf));
}

TEST(Optics, RawProjectionValidation) {
    struct Case {
        float raw[4];
        bool valid;
    };
    const Case cases[] = {
        {{-1.39f, 1.25f, -1.47f, 1.47f}, true},
        {{0.0f, 1.25f, -1.47f, 1.47f}, false}, // no inner field
        {{-1.39f, 0.0f, -1.47f, 1.47f}, false},
        {{-1.39f, 1.25f, 1.47f, -1.47f}, false}, // top and bottom upside down
        {{kNan, 1.25f, -1.47f, 1.47f}, false},
        {{-1.39f, 1.25f, -1.47f, kInf}, false},
        {{-3e38f, 3e38f, -1.47f, 1.47f}, false}, // the width overflows
        {{-1e-8f, 1e-8f, -1.47f, 1.47f}, false}, // a width below float epsilon
    };
    for (const Case& c : cases) {
        float u0 = -1.0f;
        EXPECT_EQ(ValidateRawProjection(c.raw, u0), c.valid) << c.raw[0] << " " << c.raw[1];
        if (!c.valid) {
            EXPECT_EQ(u0, -1.0f);
        }
    }
}

TEST(Optics, DefaultOpticsGiveTheCommonFrustumAndOpticalCentres) {
    const float left[4] = {-1.39f, 1.25f, -1.47f, 1.47f};
    const float right[4] = {-1.25f, 1.39f, -1.47f, 1.47f};
    float u0Left = 0.0f;
    float u0Right = 0.0f;
    ASSERT_TRUE(ValidateRawProjection(left, u0Left));
    ASSERT_TRUE(ValidateRawProjection(right, u0Right));
    EXPECT_NEAR(u0Left, 0.5265f, 1e-4f);
    EXPECT_NEAR(u0Right, 0.4735f, 1e-4f);
    float tan[2] = {};
    ASSERT_TRUE(ComputeCommonTan(left, right, tan));
    EXPECT_FLOAT_EQ(tan[0], 1.39f);
    EXPECT_FLOAT_EQ(tan[1], 1.47f);

    const float huge[4] = {-kInf, 1.0f, -1.0f, 1.0f};
    EXPECT_FALSE(ComputeCommonTan(huge, right, tan));
}

// Each of the eight extents in turn the widest: the common frustum takes its size, whichever
// eye and side it belongs to, with the left and downward tangents counted by their size.
TEST(Optics, TheCommonFrustumReachesTheWidestExtentOfEitherEye) {
    const char* const names[8] = {"left eye's left",   "left eye's right",  "right eye's left",
                                  "right eye's right", "left eye's top",    "left eye's bottom",
                                  "right eye's top",   "right eye's bottom"};
    for (int widest = 0; widest < 8; ++widest) {
        SCOPED_TRACE(names[widest]);
        // Every extent a different size, none above 1.3.
        float raw[2][4] = {{-1.10f, 1.05f, -1.20f, 1.15f}, {-1.00f, 0.95f, -1.25f, 0.90f}};
        const int eye = widest < 4 ? widest / 2 : (widest - 4) / 2;
        const int side = widest < 4 ? widest % 2 : 2 + widest % 2;
        const bool negativeSide = side == kRawLeft || side == kRawTop;
        raw[eye][side] = negativeSide ? -1.6f : 1.6f;
        float tan[2] = {};
        ASSERT_TRUE(ComputeCommonTan(raw[0], raw[1], tan));
        EXPECT_EQ(widest < 4 ? 1.6f : 1.10f, tan[0]);
        EXPECT_EQ(widest < 4 ? 1.25f : 1.6f, tan[1]);
    }
}

TEST(FormatHresultFailure, NamesTheOperationAndTheCodeInLowercaseHex) {
    EXPECT_EQ(FormatHresultFailure("ID3D11Device::CreateDeferredContext", static_cast<int32_t>(0x80070057)),
              "ID3D11Device::CreateDeferredContext failed (HRESULT 0x80070057)");
    EXPECT_EQ(FormatHresultFailure("IDXGISwapChain::GetBuffer", 0x1a),
              "IDXGISwapChain::GetBuffer failed (HRESULT 0x1a)");
}

} // namespace
} // namespace corvane
