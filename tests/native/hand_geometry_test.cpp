#include "hands/hand_geometry.h"

#include <gtest/gtest.h>

#include <cmath>

namespace corvane {
namespace {

float ColumnLength(const Matrix44& m, int column) {
    return std::sqrt(m.m[0][column] * m.m[0][column] + m.m[1][column] * m.m[1][column] +
                     m.m[2][column] * m.m[2][column]);
}

// How far a segment points down (towards the palm side, -y) from the hand's forward
// direction (-z): the segment's direction is minus its box's z axis.
float CurlAngle(const Matrix44& model) {
    const float downward = model.m[1][2];
    const float forward = model.m[2][2];
    return std::atan2(downward, forward);
}

TEST(HandGeometryTest, CurlsClampAndFollowTriggerAndGrip) {
    struct Case {
        float trigger, grip;
        HandCurls expected;
    };
    const Case cases[] = {
        {1.0f, 0.0f, {1.0f, 0.35f, 0.0f, 0.0f, 0.25f}},
        {2.0f, -1.0f, {1.0f, 0.7f, 0.0f, 0.0f, 0.5f}},
        {0.0f, 1.0f, {0.0f, 1.0f, 1.0f, 1.0f, 1.0f}},
        {-0.5f, 0.2f, {0.0f, 0.2f, 0.2f, 0.2f, 0.2f}},
    };
    for (const Case& c : cases) {
        const HandCurls curls = ComputeHandCurls(c.trigger, c.grip);
        EXPECT_FLOAT_EQ(c.expected.index, curls.index) << c.trigger << "/" << c.grip;
        EXPECT_FLOAT_EQ(c.expected.middle, curls.middle) << c.trigger << "/" << c.grip;
        EXPECT_FLOAT_EQ(c.expected.ring, curls.ring) << c.trigger << "/" << c.grip;
        EXPECT_FLOAT_EQ(c.expected.little, curls.little) << c.trigger << "/" << c.grip;
        EXPECT_FLOAT_EQ(c.expected.thumb, curls.thumb) << c.trigger << "/" << c.grip;
    }
}

TEST(HandGeometryTest, WorldScaleDoublesDistanceFromTheHeadAndSize) {
    const Matrix44 headset = Translation(0.0f, 1.6f, 0.0f);
    const Matrix44 controller = Translation(0.0f, 1.6f, -0.5f);

    const Matrix44 normal = HandFrame(controller, headset, 1.0f, 1.0f);
    const Matrix44 doubled = HandFrame(controller, headset, 2.0f, 1.0f);
    EXPECT_FLOAT_EQ(-0.5f, normal.m[2][3]);
    EXPECT_FLOAT_EQ(-1.0f, doubled.m[2][3]);
    EXPECT_FLOAT_EQ(1.6f, doubled.m[1][3]);

    const HandParts normalParts = BuildHandParts(normal, false, 0.0f, 0.0f);
    const HandParts doubledParts = BuildHandParts(doubled, false, 0.0f, 0.0f);
    EXPECT_NEAR(0.082f, ColumnLength(normalParts[0].model, 0), 1e-6f);
    EXPECT_NEAR(0.105f, ColumnLength(normalParts[0].model, 2), 1e-6f);
    for (int part = 0; part < kHandPartCount; ++part) {
        for (int column = 0; column < 3; ++column) {
            EXPECT_NEAR(2.0f * ColumnLength(normalParts[part].model, column),
                        ColumnLength(doubledParts[part].model, column), 1e-6f);
        }
    }
    // Out-of-range scales are clamped: world 10 behaves as 4, hand 0.1 as 0.5.
    const Matrix44 clamped = HandFrame(controller, headset, 10.0f, 0.1f);
    EXPECT_FLOAT_EQ(-2.0f, clamped.m[2][3]);
    EXPECT_FLOAT_EQ(2.0f, ColumnLength(clamped, 0));
}

TEST(HandGeometryTest, FingersBendByTheirCurl) {
    const HandParts open = BuildHandParts(Matrix44{}, false, 0.0f, 0.0f);
    const HandParts pulled = BuildHandParts(Matrix44{}, false, 1.0f, 0.0f);
    // Index: first segment 1.05 rad, fingertip 2.35 rad; middle at 0.35 curl; ring straight.
    EXPECT_NEAR(0.0f, CurlAngle(open[1].model), 1e-6f);
    EXPECT_NEAR(1.05f, CurlAngle(pulled[1].model), 1e-5f);
    EXPECT_NEAR(2.35f, CurlAngle(pulled[2].model), 1e-5f);
    EXPECT_NEAR(1.05f * 0.35f, CurlAngle(pulled[3].model), 1e-5f);
    EXPECT_NEAR(2.35f * 0.35f, CurlAngle(pulled[4].model), 1e-5f);
    EXPECT_NEAR(0.0f, CurlAngle(pulled[5].model), 1e-6f);
    // The open index finger's first segment sits in front of the knuckle, centred on its length.
    EXPECT_NEAR(-0.03f, open[1].model.m[0][3], 1e-6f);
    EXPECT_NEAR(-0.072f - 0.041f / 2.0f, open[1].model.m[2][3], 1e-6f);
}

TEST(HandGeometryTest, ThumbSitsOnTheInnerSideOfEachHand) {
    const HandParts right = BuildHandParts(Matrix44{}, false, 0.0f, 0.0f);
    const HandParts left = BuildHandParts(Matrix44{}, true, 0.0f, 0.0f);
    const Matrix44& rightThumb = right[kHandPartCount - 1].model;
    const Matrix44& leftThumb = left[kHandPartCount - 1].model;
    EXPECT_GT(rightThumb.m[0][3], 0.047f);
    EXPECT_LT(leftThumb.m[0][3], -0.047f);
    EXPECT_NEAR(rightThumb.m[0][3], -leftThumb.m[0][3], 1e-6f);
    EXPECT_NEAR(rightThumb.m[2][3], leftThumb.m[2][3], 1e-6f);
}

TEST(HandGeometryTest, ColoursPerHandWithAShadedPalm) {
    const HandParts right = BuildHandParts(Matrix44{}, false, 0.0f, 0.0f);
    const HandParts left = BuildHandParts(Matrix44{}, true, 0.0f, 0.0f);
    EXPECT_FLOAT_EQ(0.98f * 0.92f, right[0].colour.red);
    EXPECT_FLOAT_EQ(0.50f * 0.92f, left[0].colour.green);
    for (int part = 1; part < kHandPartCount; ++part) {
        EXPECT_FLOAT_EQ(0.98f, right[part].colour.red);
        EXPECT_FLOAT_EQ(0.31f, left[part].colour.blue);
        EXPECT_FLOAT_EQ(1.0f, left[part].colour.alpha);
    }
}

TEST(HandMatrixTest, RigidInverseUndoesThePose) {
    const Matrix44 pose = MatrixMultiply(Translation(0.3f, 1.6f, -0.2f), RotationY(0.7f));
    const Matrix44 product = MatrixMultiply(RigidInverse(pose), pose);
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            EXPECT_NEAR(row == column ? 1.0f : 0.0f, product.m[row][column], 1e-6f);
        }
    }
    const PoseMatrix34 pose34{{{1, 0, 0, 0}, {0, 1, 0, 1.6f}, {0, 0, 1, 0}}};
    const Matrix44 full = Matrix34To44(pose34);
    EXPECT_FLOAT_EQ(1.6f, full.m[1][3]);
    EXPECT_FLOAT_EQ(1.0f, full.m[3][3]);
    EXPECT_FLOAT_EQ(0.0f, full.m[3][1]);
}

} // namespace
} // namespace corvane
