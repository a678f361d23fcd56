// Both hands of an eye as one batch: every box's corners in clip space, wound for culling, and
// squeezed into the slice of the depth range their drawing takes.
#include "hands/hand_batch.h"

#include "hand_scene_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace corvane {
namespace {

using testing_support::Perspective;

// The hand scene's fixture seen through a perspective, on a 200 x 100 texture whose hand area
// is its middle half across and all of it down.
struct BatchFixture : testing_support::SceneFixture {
    BatchFixture() {
        scene.projection[0] = Perspective();
        scene.projection[1] = Perspective();
        scene.textureWidth = 200;
        scene.textureHeight = 100;
        scene.areaUMin = 0.25f;
        scene.areaUMax = 0.75f;
    }
};

TEST(HandBatch, BoxCornersAreTheUnitCubeThroughTheMatrixRowByRow) {
    // x doubled, y shifted by 0.25 in the last column, w = 2: a column-by-column reading would
    // put the shift into w.
    const Matrix44 matrix{{{2, 0, 0, 0}, {0, 1, 0, 0.25f}, {0, 0, 1, 0}, {0, 0, 0, 2}}};
    HandVertex corners[kBoxCorners];
    PlaceBox(matrix, HandColour{0.1f, 0.2f, 0.3f, 0.4f}, corners);
    // Corner 6 is (+0.5, +0.5, +0.5), corner 0 (-0.5, -0.5, -0.5).
    EXPECT_FLOAT_EQ(1.0f, corners[6].clip[0]);
    EXPECT_FLOAT_EQ(0.75f, corners[6].clip[1]);
    EXPECT_FLOAT_EQ(0.5f, corners[6].clip[2]);
    EXPECT_FLOAT_EQ(2.0f, corners[6].clip[3]);
    EXPECT_FLOAT_EQ(-1.0f, corners[0].clip[0]);
    EXPECT_FLOAT_EQ(-0.25f, corners[0].clip[1]);
    EXPECT_FLOAT_EQ(0.4f, corners[3].colour[3]);
    EXPECT_FLOAT_EQ(0.2f, corners[5].colour[1]);
}

// The cube's triangles as the index buffer lists them, corner by corner.
constexpr int kCubeTriangles[12][3] = {{0, 1, 2}, {0, 2, 3}, {7, 6, 5}, {7, 5, 4}, {4, 5, 1}, {4, 1, 0},
                                       {3, 2, 6}, {3, 6, 7}, {1, 5, 6}, {1, 6, 2}, {4, 0, 3}, {4, 3, 7}};

struct Vec3 {
    double x, y, z;
};

Vec3 Ndc(const HandVertex& v) {
    return Vec3{v.clip[0] / v.clip[3], v.clip[1] / v.clip[3], v.clip[2] / v.clip[3]};
}

// Every triangle of every drawn box, seen in normalised device coordinates: the faces that turn
// towards the eye (outward normal towards -z, where the eye looks from) are clockwise on screen,
// the others counter-clockwise, which is what culling back faces with clockwise fronts needs.
void ExpectFrontFacesClockwise(const HandBatch& batch) {
    int front = 0;
    int back = 0;
    for (int box = 0; box < kHandBoxCount; ++box) {
        if (!batch.handDrawn[box / kHandPartCount]) {
            continue;
        }
        const HandVertex* corners = &batch.vertices[box * kBoxCorners];
        Vec3 centre{0, 0, 0};
        for (int i = 0; i < kBoxCorners; ++i) {
            const Vec3 p = Ndc(corners[i]);
            centre = Vec3{centre.x + p.x / 8, centre.y + p.y / 8, centre.z + p.z / 8};
        }
        for (const auto& t : kCubeTriangles) {
            const Vec3 a = Ndc(corners[t[0]]);
            const Vec3 b = Ndc(corners[t[1]]);
            const Vec3 c = Ndc(corners[t[2]]);
            const Vec3 u{b.x - a.x, b.y - a.y, b.z - a.z};
            const Vec3 v{c.x - a.x, c.y - a.y, c.z - a.z};
            Vec3 outward{u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
            if (outward.x * (a.x - centre.x) + outward.y * (a.y - centre.y) + outward.z * (a.z - centre.z) <
                0) {
                outward = Vec3{-outward.x, -outward.y, -outward.z};
            }
            // Twice the signed area with y up: negative is clockwise as the screen shows it.
            const double area = u.x * v.y - u.y * v.x;
            if (std::abs(area) < 1e-9) {
                continue; // edge-on
            }
            const bool facesEye = outward.z < 0;
            EXPECT_EQ(facesEye, area < 0) << "box " << box << " triangle " << t[0] << t[1] << t[2];
            ++(facesEye ? front : back);
        }
    }
    EXPECT_GT(front, 0);
    EXPECT_GT(back, 0);
}

// A perspective turns the right-handed view inside out, an identity projection does not: the
// corners must come out wound the same way on screen through both.
TEST(HandBatch, FacesTowardsTheEyeAreClockwiseOnScreenWhateverTheProjectionsHandedness) {
    BatchFixture perspective;
    HandBatch batch;
    ASSERT_TRUE(BuildHandBatch(perspective.scene, 0, batch));
    {
        SCOPED_TRACE("perspective");
        ExpectFrontFacesClockwise(batch);
    }
    testing_support::SceneFixture identity;
    ASSERT_TRUE(BuildHandBatch(identity.scene, 1, batch));
    {
        SCOPED_TRACE("identity");
        ExpectFrontFacesClockwise(batch);
    }
}

TEST(HandBatch, AMirroringMatrixPlacesTheMirroredCube) {
    HandVertex corners[kBoxCorners];
    PlaceBox(Scaling(-1.0f, 1.0f, 1.0f), HandColour{}, corners);
    // The mirror of the cube is the cube itself, each corner at its partner across x = 0's place.
    for (int i = 0; i < kBoxCorners; ++i) {
        EXPECT_FLOAT_EQ(kUnitCubeCorners[i][0], corners[i].clip[0]) << i;
        EXPECT_FLOAT_EQ(kUnitCubeCorners[i][1], corners[i].clip[1]) << i;
        EXPECT_FLOAT_EQ(kUnitCubeCorners[i][2], corners[i].clip[2]) << i;
    }
    // Not mirrored: corner 0 stays where the matrix puts (-0.5, -0.5, -0.5).
    PlaceBox(Scaling(2.0f, 1.0f, 1.0f), HandColour{}, corners);
    EXPECT_FLOAT_EQ(-1.0f, corners[0].clip[0]);
}

TEST(HandBatch, HandsReachingPastTheNearPlaneOrBehindTheEyeAreNotSqueezable) {
    struct Case {
        const char* name;
        float z; // of the right controller, the headset at z = 0 looking down -z
        bool expected;
    };
    const Case cases[] = {{"half a metre ahead", -0.5f, true},
                          {"at the face, inside the near plane", -0.02f, false},
                          {"behind the head", 0.3f, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BatchFixture f;
        f.poses[7].m[2][3] = c.z;
        HandBatch batch;
        ASSERT_TRUE(BuildHandBatch(f.scene, 0, batch));
        EXPECT_EQ(c.expected, batch.betweenNearAndFar);
    }
}

TEST(HandBatch, SqueezingMovesClipDepthIntoTheSliceAlongTheLineOfSight) {
    HandBatch batch;
    batch.vertices[0] = HandVertex{{0.1f, 0.2f, 0.5f, 2.0f}, {}};
    batch.vertices[kHandBoxCount * kBoxCorners - 1] = HandVertex{{0.0f, 0.0f, 0.0f, 4.0f}, {}};
    SqueezeIntoDepthSlice(batch, HandDepthSlice{0.75f, 0.25f});
    // 0.75 * 2 + 0.25 * 0.5: depth 0.25 of the way through the slice, after the division by w.
    EXPECT_FLOAT_EQ(1.625f, batch.vertices[0].clip[2]);
    EXPECT_FLOAT_EQ(0.1f, batch.vertices[0].clip[0]);
    EXPECT_FLOAT_EQ(2.0f, batch.vertices[0].clip[3]);
    // The near plane lands on the slice's near bound.
    EXPECT_FLOAT_EQ(3.0f, batch.vertices[kHandBoxCount * kBoxCorners - 1].clip[2]);
}

TEST(HandDepthSlices, SlicesComeNearerEachDrawingAndTheBufferIsClearedWhenTheyRunOut) {
    HandDepthSlices slices;
    HandDepthPlan plan = slices.Take(true);
    EXPECT_TRUE(plan.clearFirst);
    EXPECT_EQ(0.99609375f, plan.slice.nearest);
    EXPECT_EQ(0.00390625f, plan.slice.width);
    float previousNearest = plan.slice.nearest;
    for (int drawing = 2; drawing <= 256; ++drawing) {
        plan = slices.Take(true);
        ASSERT_FALSE(plan.clearFirst) << drawing;
        // Its farthest depth is no farther than the last drawing's nearest.
        ASSERT_LE(plan.slice.nearest + plan.slice.width, previousNearest) << drawing;
        ASSERT_GE(plan.slice.nearest, 0.0f) << drawing;
        previousNearest = plan.slice.nearest;
    }
    EXPECT_EQ(0.0f, previousNearest);
    plan = slices.Take(true);
    EXPECT_TRUE(plan.clearFirst);
    EXPECT_EQ(0.99609375f, plan.slice.nearest);
}

TEST(HandDepthSlices, AnUnsqueezableDrawingOrAForgottenBufferMakesTheNextDrawingClear) {
    HandDepthSlices slices;
    (void)slices.Take(true);
    (void)slices.Take(true);
    HandDepthPlan plan = slices.Take(false);
    EXPECT_TRUE(plan.clearFirst);
    EXPECT_EQ(0.0f, plan.slice.nearest);
    EXPECT_EQ(1.0f, plan.slice.width);
    EXPECT_TRUE(slices.Take(true).clearFirst);
    EXPECT_FALSE(slices.Take(true).clearFirst);
    slices.Forget();
    plan = slices.Take(true);
    EXPECT_TRUE(plan.clearFirst);
    EXPECT_EQ(0.99609375f, plan.slice.nearest);
}

TEST(HandBatch, NothingIsBatchedWithoutAHandOrAView) {
    BatchFixture f;
    f.scene.controllers[0].connected = 0;
    f.scene.controllers[1].poseValid = 0;
    HandBatch batch;
    EXPECT_FALSE(BuildHandBatch(f.scene, 0, batch));
    BatchFixture g;
    g.poses[0].m[1][3] = std::numeric_limits<float>::infinity();
    EXPECT_FALSE(BuildHandBatch(g.scene, 0, batch));
}

} // namespace
} // namespace corvane
