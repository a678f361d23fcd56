#include "vr/eye_bounds.h"
#include "vr/submission_pose.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace corvane {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

EyeBoundsInput DefaultOptics(unsigned eye, bool commonProjection) {
    EyeBoundsInput input;
    input.eye = eye;
    input.commonProjection = commonProjection;
    input.commonTanX = 1.39f;
    input.commonTanY = 1.47f;
    input.raw =
        eye == 0 ? RawProjection{-1.39f, 1.25f, -1.47f, 1.47f} : RawProjection{-1.25f, 1.39f, -1.47f, 1.47f};
    return input;
}

void ExpectBounds(const VRTextureBounds_t& expected, const VRTextureBounds_t& actual, const char* label) {
    EXPECT_NEAR(expected.uMin, actual.uMin, 1e-5f) << label;
    EXPECT_NEAR(expected.vMin, actual.vMin, 1e-5f) << label;
    EXPECT_NEAR(expected.uMax, actual.uMax, 1e-5f) << label;
    EXPECT_NEAR(expected.vMax, actual.vMax, 1e-5f) << label;
}

TEST(EyeBoundsTest, WorkedExamples) {
    struct Case {
        const char* label;
        EyeBoundsInput input;
        VRTextureBounds_t expected;
    };
    EyeBoundsInput legacyScaled = DefaultOptics(0, false);
    legacyScaled.picture.leftScale = 1.3f;
    EyeBoundsInput legacyLeftConverged = DefaultOptics(0, false);
    legacyLeftConverged.convergence = 0.095f;
    EyeBoundsInput legacyRightConverged = DefaultOptics(1, false);
    legacyRightConverged.convergence = 0.095f;
    EyeBoundsInput wideFov = DefaultOptics(0, true);
    wideFov.fovScale = 5.0f; // behaves as 2
    EyeBoundsInput nanScale = DefaultOptics(1, false);
    nanScale.picture.rightScale = kNaN; // behaves as 0.65: no change
    nanScale.picture.rightHorizontal = kNaN;
    EyeBoundsInput noCommonTan = DefaultOptics(0, true);
    noCommonTan.commonTanX = 0.005f;

    const Case cases[] = {
        {"common left", DefaultOptics(0, true), {0.023810f, 0.023809f, 0.928229f, 0.976191f}},
        {"common right", DefaultOptics(1, true), {0.071771f, 0.023809f, 0.976190f, 0.976191f}},
        {"legacy left scale 1.3", legacyScaled, {0.25f, 0.25f, 0.75f, 0.75f}},
        {"legacy left convergence", legacyLeftConverged, {0.19f, 0.0f, 1.0f, 1.0f}},
        {"legacy right convergence", legacyRightConverged, {0.0f, 0.0f, 0.81f, 1.0f}},
        {"fov scale 5", wideFov, {0.261905f, 0.261905f, 0.714115f, 0.738095f}},
        {"NaN scale", nanScale, {0.0f, 0.0f, 1.0f, 1.0f}},
        {"degenerate common frustum", noCommonTan, {0.0f, 0.0f, 1.0f, 1.0f}},
    };
    for (const Case& c : cases) {
        ExpectBounds(c.expected, ComputeEyeBounds(c.input), c.label);
    }
}

TEST(EyeBoundsTest, AdjustIntervalStaysInsideAndKeepsAMinimumWidth) {
    struct Case {
        float lo, hi, k, shift, expectedLo, expectedHi;
    };
    const Case cases[] = {
        {0.0f, 1.0f, 1.0f, 0.0f, 0.0f, 1.0f},     {0.0f, 1.0f, 0.5f, 0.0f, 0.25f, 0.75f},
        {0.0f, 1.0f, 2.0f, 0.0f, 0.0f, 1.0f},     {0.0f, 1.0f, 1.0f, 0.3f, 0.6f, 1.0f},
        {0.0f, 1.0f, 1.0f, 2.0f, 0.99f, 1.0f},    {0.0f, 1.0f, 1.0f, -2.0f, 0.0f, 0.01f},
        {0.5f, 0.5f, 1.0f, 0.0f, 0.495f, 0.505f}, {0.2f, 0.4f, 0.01f, 0.0f, 0.295f, 0.305f},
    };
    for (const Case& c : cases) {
        const Interval result = AdjustInterval(c.lo, c.hi, c.k, c.shift);
        EXPECT_NEAR(c.expectedLo, result.lo, 1e-6f)
            << c.lo << ".." << c.hi << " k " << c.k << " shift " << c.shift;
        EXPECT_NEAR(c.expectedHi, result.hi, 1e-6f)
            << c.lo << ".." << c.hi << " k " << c.k << " shift " << c.shift;
    }
}

TEST(EyeBoundsTest, AppliedConvergenceIsRelativeToTheDefault) {
    EXPECT_FLOAT_EQ(0.0f, AppliedConvergence(-0.095f));
    EXPECT_FLOAT_EQ(0.0f, AppliedConvergence(kNaN));
    EXPECT_FLOAT_EQ(0.0f, AppliedConvergence(std::numeric_limits<float>::infinity()));
    EXPECT_NEAR(0.095f, AppliedConvergence(0.0f), 1e-7f);
}

TEST(EyeBoundsTest, AspectCropCentresTheHeadsetAspect) {
    const AspectCrop wide = ComputeAspectCrop(1920, 1080, 2016, 2240);
    EXPECT_NEAR(0.246875f, wide.u.lo, 1e-6f);
    EXPECT_NEAR(0.753125f, wide.u.hi, 1e-6f);
    EXPECT_EQ(0.0f, wide.v.lo);
    EXPECT_EQ(1.0f, wide.v.hi);

    const AspectCrop tall = ComputeAspectCrop(1000, 2000, 2000, 2000);
    EXPECT_EQ(0.0f, tall.u.lo);
    EXPECT_NEAR(0.25f, tall.v.lo, 1e-6f);
    EXPECT_NEAR(0.75f, tall.v.hi, 1e-6f);

    for (const AspectCrop& none :
         {ComputeAspectCrop(2016, 2240, 2016, 2240), ComputeAspectCrop(0, 1080, 2016, 2240),
          ComputeAspectCrop(1920, 1080, 0, 2240)}) {
        EXPECT_EQ(0.0f, none.u.lo);
        EXPECT_EQ(1.0f, none.u.hi);
        EXPECT_EQ(0.0f, none.v.lo);
        EXPECT_EQ(1.0f, none.v.hi);
    }
}

TEST(EyeBoundsTest, PictureParamsFallBackToTheLeftSideAndDefaults) {
    PictureParams requested;
    requested.leftScale = kNaN;
    requested.leftHorizontal = 0.02f;
    requested.leftVertical = kNaN;
    requested.rightScale = kNaN;
    requested.rightHorizontal = kNaN;
    requested.rightVertical = -0.03f;
    requested.rightRollDegrees = std::numeric_limits<float>::infinity();
    const PictureParams p = SanitisePictureParams(requested);
    EXPECT_FLOAT_EQ(0.65f, p.leftScale);
    EXPECT_FLOAT_EQ(0.02f, p.leftHorizontal);
    EXPECT_FLOAT_EQ(0.0f, p.leftVertical);
    EXPECT_FLOAT_EQ(0.65f, p.rightScale);
    EXPECT_FLOAT_EQ(0.02f, p.rightHorizontal);
    EXPECT_FLOAT_EQ(-0.03f, p.rightVertical);
    EXPECT_FLOAT_EQ(0.0f, p.rightRollDegrees);

    requested.leftScale = 0.0f;
    requested.rightScale = -4.0f;
    EXPECT_FLOAT_EQ(0.01f, SanitisePictureParams(requested).leftScale);
    EXPECT_FLOAT_EQ(0.01f, SanitisePictureParams(requested).rightScale);
}

TEST(SubmissionPoseTest, RightEyeRollTurnsOnlyTheFirstTwoColumns) {
    const float original[3][4] = {{1, 0, 0, 0.1f}, {0, 1, 0, 1.6f}, {0, 0, 1, -0.2f}};
    float pose[3][4];
    std::copy(&original[0][0], &original[0][0] + 12, &pose[0][0]);
    ApplyRightEyeRoll(pose, 0.00000005f);
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            EXPECT_EQ(original[row][column], pose[row][column]);
        }
    }

    ApplyRightEyeRoll(pose, 2.0f);
    const float a = 2.0f * 3.14159265f / 180.0f;
    EXPECT_NEAR(std::cos(a), pose[0][0], 1e-6f);
    EXPECT_NEAR(-std::sin(a), pose[0][1], 1e-6f);
    EXPECT_NEAR(std::sin(a), pose[1][0], 1e-6f);
    EXPECT_NEAR(std::cos(a), pose[1][1], 1e-6f);
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(original[row][2], pose[row][2]);
        EXPECT_EQ(original[row][3], pose[row][3]);
    }
}

} // namespace
} // namespace corvane
