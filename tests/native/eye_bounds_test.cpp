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
    EyeBoundsInput tallRendered = DefaultOptics(0, kEye, 1);
    tallRendered.renderedRaw = RawProjection{-1.25f, 1.39f, -2.0f, 1.0f};

    const Case cases[] = {
        {"common left", DefaultOptics(0, kCommon), {0.023810f, 0.023809f, 0.928229f, 0.976191f}},
        {"common right", DefaultOptics(1, kCommon), {0.071771f, 0.023809f, 0.976190f, 0.976191f}},
        {"own left", DefaultOptics(0, kEye, 0), {0.0f, 0.0f, 1.0f, 1.0f}},
        {"own right", DefaultOptics(1, kEye, 1), {0.0f, 0.0f, 1.0f, 1.0f}},
        {"own left converged", ownLeftConverged, {0.04f, 0.0f, 1.0f, 1.0f}},
        {"own right converged", ownRightConverged, {0.0f, 0.0f, 0.96f, 1.0f}},
        // Another eye's picture reaches past this eye's field: laid into the field, shown whole.
        {"left picture in the right eye", DefaultOptics(1, kEye, 0), {0.0f, 0.0f, 1.0f, 1.0f}},
        {"right picture in the left eye", DefaultOptics(0, kEye, 1), {0.0f, 0.0f, 1.0f, 1.0f}},
        {"another eye's taller frustum", tallRendered, {0.0f, 0.0f, 1.0f, 1.0f}},
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

// Follows a direction of the eye to the picture, as the compositor and the texture show it: the
// compositor spreads the bounds over the eye's field; a laid texture holds the picture moved and
// scaled so that the texture spans `field` of it; the picture holds direction t of its frustum at
// (t - left) / width. Returns the picture's tangents at the texel the eye shows at (tx, ty).
struct Shown {
    float tx = 0.0f;
    float ty = 0.0f;
};
Shown PictureDirectionShownAt(const EyeBoundsInput& input, const RawProjection& frustum, float tx, float ty) {
    const VRTextureBounds_t bounds = ComputeEyeBounds(input);
    const EyeFieldFit fit = FitPictureToEye(input);
    // Where in the eye's field (0..1 across, 0..1 down) the direction lies.
    const float x = (tx - input.raw.left) / (input.raw.right - input.raw.left);
    const float y = (input.raw.bottom - ty) / (input.raw.bottom - input.raw.top);
    float u = bounds.uMin + x * (bounds.uMax - bounds.uMin);
    float v = bounds.vMin + y * (bounds.vMax - bounds.vMin);
    if (fit.laidIntoField) {
        u = fit.field.uMin + u * (fit.field.uMax - fit.field.uMin);
        v = fit.field.vMin + v * (fit.field.vMax - fit.field.vMin);
    }
    return Shown{frustum.left + u * (frustum.right - frustum.left),
                 frustum.bottom - v * (frustum.bottom - frustum.top)};
}

TEST(EyeBoundsTest, EveryDirectionOfTheEyeShowsThePictureOfThatDirection) {
    // A headset whose tangents differ in all four directions and between the eyes.
    const RawProjection left{-1.30f, 1.10f, -1.20f, 1.45f};
    const RawProjection right{-1.05f, 1.38f, -1.35f, 1.25f};
    const float commonX = 1.38f;
    const float commonY = 1.45f;
    struct Case {
        const char* label;
        unsigned eye;
        PictureSource source;
        float fovScale;
        RawProjection frustum; // what the picture was rendered with
        bool laid;
    };
    const float g = 1.05f;
    const Case cases[] = {
        {"own frustum", 0, {PictureProjection::Eye, 0}, 1.0f, left, false},
        {"the right eye's picture in the left eye", 0, {PictureProjection::Eye, 1}, 1.0f, right, true},
        {"the left eye's picture in the right eye", 1, {PictureProjection::Eye, 0}, 1.0f, left, true},
        {"common frustum",
         1,
         {PictureProjection::Common, 0},
         1.0f,
         {-commonX * g, commonX * g, -commonY * g, commonY * g},
         false},
        {"common frustum, FovScale 0.5",
         0,
         {PictureProjection::Common, 0},
         0.5f,
         {-commonX * g * 0.5f, commonX * g * 0.5f, -commonY * g * 0.5f, commonY * g * 0.5f},
         true},
        {"common frustum, FovScale 0.9",
         1,
         {PictureProjection::Common, 0},
         0.9f,
         {-commonX * g * 0.9f, commonX * g * 0.9f, -commonY * g * 0.9f, commonY * g * 0.9f},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EyeBoundsInput input;
        input.eye = c.eye;
        input.source = c.source;
        input.fovScale = c.fovScale;
        input.commonTanX = commonX;
        input.commonTanY = commonY;
        input.raw = c.eye == 0 ? left : right;
        input.renderedRaw = c.source.renderedEye == 0 ? left : right;
        EXPECT_EQ(FitPictureToEye(input).laidIntoField, c.laid);
        for (float fx : {0.0f, 0.3f, 0.5f, 1.0f}) {
            for (float fy : {0.0f, 0.6f, 1.0f}) {
                const float tx = input.raw.left + fx * (input.raw.right - input.raw.left);
                const float ty = input.raw.top + fy * (input.raw.bottom - input.raw.top);
                const Shown shown = PictureDirectionShownAt(input, c.frustum, tx, ty);
                EXPECT_NEAR(shown.tx, tx, 1e-4f) << fx << " " << fy;
                EXPECT_NEAR(shown.ty, ty, 1e-4f) << fx << " " << fy;
            }
        }
    }
}

TEST(EyeBoundsTest, AFieldReachingPastThePictureIsLaidWithItsPlaceInThePicture) {
    // The stand-in headset: the right eye's field starts 0.14 / 2.64 into the left eye's picture
    // and ends as far past it; a FovScale of 0.5 narrows the common frustum to 1.39 x 1.05 x 0.5 =
    // 0.72975 across and 0.77175 up and down, far inside both fields.
    EyeBoundsInput narrow = DefaultOptics(0, kCommon);
    narrow.fovScale = 0.5f;
    EyeBoundsInput edge = DefaultOptics(0, kCommon);
    edge.fovScale = 1.0f / 1.05f; // the common frustum is then exactly the widest field
    struct Case {
        const char* label;
        EyeBoundsInput input;
        bool laid;
        VRTextureBounds_t field;
    };
    const Case cases[] = {
        {"left picture in the right eye",
         DefaultOptics(1, kEye, 0),
         true,
         {0.053030f, 0.0f, 1.053030f, 1.0f}},
        {"right picture in the left eye",
         DefaultOptics(0, kEye, 1),
         true,
         {-0.053030f, 0.0f, 0.946970f, 1.0f}},
        {"FovScale 0.5", narrow, true, {-0.452381f, -0.452381f, 1.356458f, 1.452381f}},
        {"FovScale at the fields' edge", edge, false, {0.0f, 0.0f, 0.949640f, 1.0f}},
        {"own picture", DefaultOptics(1, kEye, 1), false, {0.0f, 0.0f, 1.0f, 1.0f}},
    };
    for (const Case& c : cases) {
        const EyeFieldFit fit = FitPictureToEye(c.input);
        EXPECT_EQ(fit.laidIntoField, c.laid) << c.label;
        ExpectBounds(c.field, fit.field, c.label);
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
