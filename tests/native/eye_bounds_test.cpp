#include "vr/eye_bounds.h"
#include "vr/submission_pose.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace corvane {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

const RawProjection kLeftRaw{-1.39f, 1.25f, -1.47f, 1.47f};
const RawProjection kRightRaw{-1.25f, 1.39f, -1.47f, 1.47f};

// The stand-in headset's optics, for a texture holding a picture of `projection` (rendered for
// `renderedEye` when that is one eye's own frustum).
EyeBoundsInput DefaultOptics(unsigned eye, PictureProjection projection, unsigned renderedEye = 0) {
    EyeBoundsInput input;
    input.eye = eye;
    input.source = PictureSource{projection, renderedEye};
    input.commonTanX = 1.39f;
    input.commonTanY = 1.47f;
    input.raw = eye == 0 ? kLeftRaw : kRightRaw;
    input.renderedRaw = renderedEye == 0 ? kLeftRaw : kRightRaw;
    return input;
}

constexpr PictureProjection kGame = PictureProjection::Game;
constexpr PictureProjection kCommon = PictureProjection::Common;
constexpr PictureProjection kEye = PictureProjection::Eye;

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
    EyeBoundsInput legacyScaled = DefaultOptics(0, kGame);
    legacyScaled.picture.leftScale = 1.3f;
    EyeBoundsInput legacyLeftConverged = DefaultOptics(0, kGame);
    legacyLeftConverged.convergence = 0.095f;
    EyeBoundsInput legacyRightConverged = DefaultOptics(1, kGame);
    legacyRightConverged.convergence = 0.095f;
    EyeBoundsInput wideFov = DefaultOptics(0, kCommon);
    wideFov.fovScale = 5.0f; // behaves as 2
    EyeBoundsInput nanScale = DefaultOptics(1, kGame);
    nanScale.picture.rightScale = kNaN; // behaves as 0.65: no change
    nanScale.picture.rightHorizontal = kNaN;
    EyeBoundsInput noCommonTan = DefaultOptics(0, kCommon);
    noCommonTan.commonTanX = 0.005f;
    // A picture already in the eye's own frustum is shown whole; the convergence moves the
    // window within it, which at the texture's edge also narrows it.
    EyeBoundsInput ownLeftConverged = DefaultOptics(0, kEye, 0);
    ownLeftConverged.convergence = 0.02f;
    EyeBoundsInput ownRightConverged = DefaultOptics(1, kEye, 1);
    ownRightConverged.convergence = 0.02f;
    // A mono frame shows the left eye's picture to the right eye too: the right field is the
    // left one moved 0.14 to the right, so it starts 0.14 / 2.64 into the picture and its right
    // edge lies past the picture's (clamped).
    EyeBoundsInput tallRendered = DefaultOptics(0, kEye, 1);
    tallRendered.renderedRaw = RawProjection{-1.25f, 1.39f, -2.0f, 1.0f};

    const Case cases[] = {
        {"common left", DefaultOptics(0, kCommon), {0.023810f, 0.023809f, 0.928229f, 0.976191f}},
        {"common right", DefaultOptics(1, kCommon), {0.071771f, 0.023809f, 0.976190f, 0.976191f}},
        {"own left", DefaultOptics(0, kEye, 0), {0.0f, 0.0f, 1.0f, 1.0f}},
        {"own right", DefaultOptics(1, kEye, 1), {0.0f, 0.0f, 1.0f, 1.0f}},
        {"own left converged", ownLeftConverged, {0.04f, 0.0f, 1.0f, 1.0f}},
        {"own right converged", ownRightConverged, {0.0f, 0.0f, 0.96f, 1.0f}},
        {"left picture in the right eye", DefaultOptics(1, kEye, 0), {0.053030f, 0.0f, 1.0f, 1.0f}},
        {"right picture in the left eye", DefaultOptics(0, kEye, 1), {0.0f, 0.0f, 0.946970f, 1.0f}},
        // Up 1.0 and down 2.0 in the rendered frustum: the eye's upper edge (1.47) lies past it,
        // its lower edge (-1.47) at (1.0 + 1.47) / 3.0.
        {"another eye's taller frustum", tallRendered, {0.0f, 0.0f, 0.946970f, 0.823333f}},
        // The game's own picture lies over the field of both eyes, -1.39 to 1.39: the left eye
        // shows its part up to (1.25 + 1.39) / 2.78, the right eye its part from 0.14 / 2.78.
        {"legacy left", DefaultOptics(0, kGame), {0.0f, 0.0f, 0.949640f, 1.0f}},
        {"legacy right", DefaultOptics(1, kGame), {0.050360f, 0.0f, 1.0f, 1.0f}},
        {"legacy left scale 1.3", legacyScaled, {0.237410f, 0.25f, 0.712230f, 0.75f}},
        {"legacy left convergence", legacyLeftConverged, {0.139640f, 0.0f, 1.0f, 1.0f}},
        {"legacy right convergence", legacyRightConverged, {0.0f, 0.0f, 0.860360f, 1.0f}},
        {"fov scale 5", wideFov, {0.261905f, 0.261905f, 0.714115f, 0.738095f}},
        {"NaN scale", nanScale, {0.050360f, 0.0f, 1.0f, 1.0f}},
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
