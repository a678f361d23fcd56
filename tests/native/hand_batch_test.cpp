// Both hands of an eye as one batch: every box's corners in clip space, the depth-reset square,
// and the rectangle of texels the hands can cover, which bounds where the depth is reset.
#include "hands/hand_batch.h"

#include "hand_scene_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace corvane {
namespace {

// A 90-degree perspective both ways, depth 0 at the near plane and 1 at far.
HmdMatrix44_t Perspective() {
    const float n = kHandNearZ;
    const float f = kHandFarZ;
    return HmdMatrix44_t{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, f / (n - f), n * f / (n - f)}, {0, 0, -1, 0}}};
}

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

// The texel column and row a clip-space corner lands on in the 100 x 100 hand area at x = 50.
void Texel(const HandVertex& v, double& x, double& y) {
    x = 50.0 + (v.clip[0] / v.clip[3] + 1.0) * 50.0;
    y = (1.0 - v.clip[1] / v.clip[3]) * 50.0;
}

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

TEST(HandBatch, TheDepthResetSquareCoversTheViewportAtTheFarDepth) {
    BatchFixture f;
    HandBatch batch;
    ASSERT_TRUE(BuildHandBatch(f.scene, 0, batch));
    float minX = 1e9f;
    float maxX = -1e9f;
    float minY = 1e9f;
    float maxY = -1e9f;
    for (int i = 0; i < kBoxCorners; ++i) {
        const HandVertex& v = batch.vertices[kDepthResetBox * kBoxCorners + i];
        EXPECT_FLOAT_EQ(1.0f, v.clip[2]);
        EXPECT_FLOAT_EQ(1.0f, v.clip[3]);
        minX = std::min(minX, v.clip[0]);
        maxX = std::max(maxX, v.clip[0]);
        minY = std::min(minY, v.clip[1]);
        maxY = std::max(maxY, v.clip[1]);
    }
    EXPECT_EQ(-1.0f, minX);
    EXPECT_EQ(1.0f, maxX);
    EXPECT_EQ(-1.0f, minY);
    EXPECT_EQ(1.0f, maxY);
}

// Every corner of a drawn box lies inside the rectangle, which is at most a texel (plus the
// rounding) wider on each side than the corners need, and inside the hand area.
TEST(HandBatch, TheRectangleHoldsEveryDrawnBoxAndLittleMore) {
    struct Case {
        const char* name;
        bool left;
        bool right;
    };
    for (const Case& c :
         {Case{"both hands", true, true}, Case{"left only", true, false}, Case{"right only", false, true}}) {
        SCOPED_TRACE(c.name);
        BatchFixture f;
        f.scene.controllers[0].connected = c.left ? 1 : 0;
        f.scene.controllers[1].connected = c.right ? 1 : 0;
        HandBatch batch;
        ASSERT_TRUE(BuildHandBatch(f.scene, 1, batch));
        EXPECT_EQ(c.left, batch.handDrawn[0]);
        EXPECT_EQ(c.right, batch.handDrawn[1]);
        double minX = 1e9;
        double maxX = -1e9;
        double minY = 1e9;
        double maxY = -1e9;
        for (int hand = 0; hand < 2; ++hand) {
            if (!batch.handDrawn[hand]) {
                continue;
            }
            for (int i = 0; i < kHandPartCount * kBoxCorners; ++i) {
                double x = 0.0;
                double y = 0.0;
                Texel(batch.vertices[hand * kHandPartCount * kBoxCorners + i], x, y);
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
                minY = std::min(minY, y);
                maxY = std::max(maxY, y);
            }
        }
        const HandRectangle& r = batch.rectangle;
        EXPECT_LE(r.left, std::max(50.0, std::floor(minX)));
        EXPECT_GE(r.left, std::max(50.0, std::floor(minX) - 1.0));
        EXPECT_GE(r.right, std::min(150.0, std::ceil(maxX)));
        EXPECT_LE(r.right, std::min(150.0, std::ceil(maxX) + 1.0));
        EXPECT_LE(r.top, std::max(0.0, std::floor(minY)));
        EXPECT_GE(r.top, std::max(0.0, std::floor(minY) - 1.0));
        EXPECT_GE(r.bottom, std::min(100.0, std::ceil(maxY)));
        EXPECT_LE(r.bottom, std::min(100.0, std::ceil(maxY) + 1.0));
        // Hands below eye height land in the lower half (rows grow downwards), and one hand
        // alone takes its own side.
        EXPECT_GT(minY, 50.0);
        if (!c.left) {
            EXPECT_GT(r.left, 90);
        }
        if (!c.right) {
            EXPECT_LT(r.right, 110);
        }
    }
}

TEST(HandBatch, CornersAtOrBehindTheEyeOrNotFiniteWidenTheRectangleToTheArea) {
    BatchFixture f;
    const HandViewport area = HandViewportFor(f.scene);
    HandVertex corners[3] = {{{0.25f, 0.25f, 0.5f, 1.0f}, {}}, {{0.5f, 0.5f, 0.5f, 1.0f}, {}}, {}};
    struct Case {
        const char* name;
        float clip[4];
    };
    const Case cases[] = {{"behind the eye", {0.0f, 0.0f, -0.5f, -0.2f}},
                          {"at the eye", {0.0f, 0.0f, 0.0f, 0.0f}},
                          {"not finite", {std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.5f, 1.0f}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::copy(std::begin(c.clip), std::end(c.clip), corners[2].clip);
        const HandRectangle r = CoveredRectangle(f.scene, area, corners);
        EXPECT_EQ(50, r.left);
        EXPECT_EQ(0, r.top);
        EXPECT_EQ(150, r.right);
        EXPECT_EQ(100, r.bottom);
    }
    // The two finite corners alone: 112.5 to 125 across, 25 to 37.5 down, rounded outwards and
    // one texel wider each way.
    const HandRectangle r = CoveredRectangle(f.scene, area, std::span<const HandVertex>(corners, 2));
    EXPECT_EQ(111, r.left);
    EXPECT_EQ(24, r.top);
    EXPECT_EQ(126, r.right);
    EXPECT_EQ(39, r.bottom);
}

TEST(HandBatch, NothingIsBatchedWithoutAHandOrAView) {
    BatchFixture f;
    f.scene.controllers[0].connected = 0;
    f.scene.controllers[1].poseValid = 0;
    HandBatch batch;
    EXPECT_FALSE(BuildHandBatch(f.scene, 0, batch));
    BatchFixture g;
    g.poses[0].mDeviceToAbsoluteTracking.m[1][3] = std::numeric_limits<float>::infinity();
    EXPECT_FALSE(BuildHandBatch(g.scene, 0, batch));
}

} // namespace
} // namespace corvane
