#include "hands/hand_scene.h"

#include "hand_scene_fixture.h"
#include "vr/openvr_abi.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace corvane {
namespace {

using testing_support::Identity44;
using testing_support::Pose;
using testing_support::SceneFixture;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Where a tracking-space point lands under m (before the perspective divide).
void Transform(const Matrix44& m, float x, float y, float z, float out[4]) {
    for (int row = 0; row < 4; ++row) {
        out[row] = m.m[row][0] * x + m.m[row][1] * y + m.m[row][2] * z + m.m[row][3];
    }
}

TEST(HandSceneTest, ViewportCoversTheCroppedPartOfTheTexture) {
    HandScene scene;
    scene.textureWidth = 1000;
    scene.textureHeight = 500;
    scene.areaUMin = 0.25f;
    scene.areaUMax = 0.75f;
    scene.areaVMin = 0.1f;
    scene.areaVMax = 0.9f;
    const HandViewport viewport = HandViewportFor(scene);
    EXPECT_FLOAT_EQ(250.0f, viewport.topLeftX);
    EXPECT_FLOAT_EQ(500.0f, viewport.width);
    EXPECT_FLOAT_EQ(50.0f, viewport.topLeftY);
    EXPECT_FLOAT_EQ(400.0f, viewport.height);
}

TEST(HandSceneTest, ViewIsTheInverseOfTheEyePoseAndEachEyeUsesItsOwnOptics) {
    SceneFixture f;
    // Turn the headset a quarter to the left (about +y): its forward (-z) now points to -x.
    f.poses[0] = PoseMatrix34{{{0, 0, 1, 0}, {0, 1, 0, 1.6f}, {-1, 0, 0, 0}}};
    f.scene.projection[1].m[0][0] = 2.0f; // tell the right eye's projection apart

    Matrix44 left;
    Matrix44 right;
    ASSERT_TRUE(EyeViewProjection(f.scene, 0, left));
    ASSERT_TRUE(EyeViewProjection(f.scene, 5, right)); // any eye but 0 is the right one

    float p[4];
    // One metre ahead of the headset: straight ahead of each eye, shifted by its offset.
    Transform(left, -1.0f, 1.6f, 0.0f, p);
    EXPECT_NEAR(0.03f, p[0], 1e-6f);
    EXPECT_NEAR(0.0f, p[1], 1e-6f);
    EXPECT_NEAR(-1.0f, p[2], 1e-6f);
    EXPECT_NEAR(1.0f, p[3], 1e-6f);
    Transform(right, -1.0f, 1.6f, 0.0f, p);
    EXPECT_NEAR(2.0f * -0.03f, p[0], 1e-6f);
    EXPECT_NEAR(-1.0f, p[2], 1e-6f);
    // The headset's own right (+x in head space) is tracking -z.
    Transform(left, 0.0f, 1.6f, -0.5f, p);
    EXPECT_NEAR(0.53f, p[0], 1e-6f);
}

// The projection OpenVR documents for raw tangents left, right, top (down, negative) and bottom
// (up, positive): depth 0 at near, 1 at far, looking down -z.
Matrix4x4 ProjectionFromRaw(float l, float r, float t, float b) {
    const float n = kHandNearZ;
    const float f = kHandFarZ;
    return Matrix4x4{{{2.0f / (r - l), 0.0f, (r + l) / (r - l), 0.0f},
                      {0.0f, 2.0f / (b - t), (b + t) / (b - t), 0.0f},
                      {0.0f, 0.0f, -f / (f - n), -f * n / (f - n)},
                      {0.0f, 0.0f, -1.0f, 0.0f}}};
}

// Where a point lands in the texture, in texels, through the scene's viewport.
void TexelOf(const HandScene& scene, int eye, float x, float y, float z, float& u, float& v) {
    Matrix44 viewProjection;
    ASSERT_TRUE(EyeViewProjection(scene, eye, viewProjection));
    float clip[4];
    Transform(viewProjection, x, y, z, clip);
    const HandViewport viewport = HandViewportFor(scene);
    u = viewport.topLeftX + (clip[0] / clip[3] + 1.0f) * 0.5f * viewport.width;
    v = viewport.topLeftY + (1.0f - clip[1] / clip[3]) * 0.5f * viewport.height;
}

TEST(HandSceneTest, AHandLandsWhereTheCompositorShowsItsDirection) {
    constexpr float kWidth = 1920.0f;
    constexpr float kHeight = 1080.0f;
    const float raw[2][4] = {{-1.39f, 1.25f, -1.47f, 1.47f}, {-1.25f, 1.39f, -1.47f, 1.47f}};
    // Bounds a texture can be submitted with: the default optics' fields cut out of the common
    // frustum, the whole texture (a picture in the eye's own frustum, or a flat one), and a
    // flat picture shown larger (left scale 1.3).
    struct Shown {
        const char* label;
        VRTextureBounds_t bounds[2];
    };
    const Shown cases[] = {
        {"common crop",
         {{0.023810f, 0.023809f, 0.928229f, 0.976191f}, {0.071771f, 0.023809f, 0.976190f, 0.976191f}}},
        {"whole field", {{0.0f, 0.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 1.0f, 1.0f}}},
        {"scaled picture", {{0.25f, 0.25f, 0.75f, 0.75f}, {0.2f, 0.3f, 0.9f, 0.7f}}},
    };
    struct Direction {
        float tanX; // right
        float tanY; // up
    };
    const Direction directions[] = {{0.0f, 0.0f}, {0.6f, -0.4f}, {-1.0f, 0.9f}};
    for (const Shown& shown : cases) {
        for (int eye = 0; eye < 2; ++eye) {
            SceneFixture f;
            f.scene.eyeToHead[eye] = Pose(eye == 0 ? -0.0315f : 0.0315f, 0.0f, 0.0f);
            f.scene.projection[eye] = ProjectionFromRaw(raw[eye][0], raw[eye][1], raw[eye][2], raw[eye][3]);
            f.scene.textureWidth = static_cast<uint32_t>(kWidth);
            f.scene.textureHeight = static_cast<uint32_t>(kHeight);
            const VRTextureBounds_t& b = shown.bounds[eye];
            f.scene.areaUMin = b.uMin;
            f.scene.areaVMin = b.vMin;
            f.scene.areaUMax = b.uMax;
            f.scene.areaVMax = b.vMax;
            const float eyeX = eye == 0 ? -0.0315f : 0.0315f;
            for (const Direction& d : directions) {
                SCOPED_TRACE(std::string(shown.label) + " eye " + std::to_string(eye) + " tan " +
                             std::to_string(d.tanX) + "," + std::to_string(d.tanY));
                const float distance = 0.7f;
                float u = 0.0f;
                float v = 0.0f;
                TexelOf(f.scene, eye, eyeX + d.tanX * distance, 1.6f + d.tanY * distance, -distance, u, v);
                // The compositor spreads the bounds over the eye's raw field.
                const float l = raw[eye][0];
                const float r = raw[eye][1];
                const float down = raw[eye][2];
                const float up = raw[eye][3];
                EXPECT_NEAR(u, (b.uMin + (d.tanX - l) / (r - l) * (b.uMax - b.uMin)) * kWidth, 0.01f);
                EXPECT_NEAR(v, (b.vMin + (up - d.tanY) / (up - down) * (b.vMax - b.vMin)) * kHeight, 0.01f);
            }
        }
    }
}

TEST(HandSceneTest, TheViewIsTakenFromTheSubmittedHeadPoseWhenThereIsOne) {
    SceneFixture f;
    // Submitted with the head turned a quarter to the left and 10 cm to the right of where
    // the headset is now: a point straight ahead of that eye is at the centre of the view.
    f.scene.hasSubmittedHeadPose = true;
    f.scene.submittedHeadPose = PoseMatrix34{{{0, 0, 1, 0.1f}, {0, 1, 0, 1.6f}, {-1, 0, 0, 0}}};
    Matrix44 viewProjection;
    ASSERT_TRUE(EyeViewProjection(f.scene, 0, viewProjection));
    float p[4];
    // The left eye sits 3 cm along the head's own -x, which is tracking +z here.
    Transform(viewProjection, 0.1f - 2.0f, 1.6f, 0.03f, p);
    EXPECT_NEAR(0.0f, p[0], 1e-6f);
    EXPECT_NEAR(0.0f, p[1], 1e-6f);
    EXPECT_NEAR(-2.0f, p[2], 1e-6f);

    // Without it, the headset's own pose of the frame.
    f.scene.hasSubmittedHeadPose = false;
    ASSERT_TRUE(EyeViewProjection(f.scene, 0, viewProjection));
    Transform(viewProjection, -0.03f, 1.6f, -2.0f, p);
    EXPECT_NEAR(0.0f, p[0], 1e-6f);
    EXPECT_NEAR(-2.0f, p[2], 1e-6f);

    // A submitted pose that is not finite gives no view, even with a good headset pose.
    f.scene.hasSubmittedHeadPose = true;
    f.scene.submittedHeadPose.m[0][3] = kNaN;
    EXPECT_FALSE(EyeViewProjection(f.scene, 0, viewProjection));
}

TEST(HandSceneTest, NonFiniteOpticsOrHeadsetPoseGiveNoView) {
    struct Case {
        const char* name;
        void (*spoil)(SceneFixture&);
    };
    const Case cases[] = {
        {"headset pose", [](SceneFixture& f) { f.poses[0].m[1][3] = kNaN; }},
        {"eye to head", [](SceneFixture& f) { f.scene.eyeToHead[0].m[0][3] = kNaN; }},
        {"projection", [](SceneFixture& f) { f.scene.projection[0].m[3][2] = INFINITY; }},
        {"no render poses", [](SceneFixture& f) { f.scene.renderPoses = {}; }},
    };
    for (const Case& c : cases) {
        SceneFixture f;
        c.spoil(f);
        Matrix44 viewProjection;
        viewProjection.m[0][0] = 7.0f;
        EXPECT_FALSE(EyeViewProjection(f.scene, 0, viewProjection)) << c.name;
        EXPECT_EQ(7.0f, viewProjection.m[0][0]) << c.name;
    }
}

TEST(HandSceneTest, HandsArePlacedFromTheirOwnRenderPoseAndScaledAboutTheHead) {
    SceneFixture f;
    f.scene.worldScale = 2.0f;
    f.scene.controllers[0].trigger = 0.6f;
    f.scene.controllers[0].grip = 0.3f;
    HandParts parts;
    ASSERT_TRUE(PlaceHand(f.scene, f.scene.controllers[0], parts));

    const PoseMatrix34 controller = Pose(-0.2f, 1.4f, -0.5f);
    const PoseMatrix34 headset = Pose(0.0f, 1.6f, 0.0f);
    const Matrix44 hand = HandFrame(Matrix34To44(controller), Matrix34To44(headset), 2.0f, 1.0f);
    EXPECT_NEAR(-1.0f, hand.m[2][3], 1e-6f); // half a metre away is drawn a metre away
    const HandParts expected = BuildHandParts(hand, true, 0.6f, 0.3f);
    for (int part = 0; part < kHandPartCount; ++part) {
        for (int row = 0; row < 4; ++row) {
            for (int column = 0; column < 4; ++column) {
                EXPECT_FLOAT_EQ(expected[part].model.m[row][column], parts[part].model.m[row][column]);
            }
        }
        EXPECT_FLOAT_EQ(expected[part].colour.red, parts[part].colour.red);
    }
}

TEST(HandSceneTest, ControllersThatCannotBeShownDrawNoHand) {
    struct Case {
        const char* name;
        void (*spoil)(SceneFixture&, ControllerState&);
    };
    const Case cases[] = {
        {"disconnected", [](SceneFixture&, ControllerState& c) { c.connected = 0; }},
        {"pose invalid", [](SceneFixture&, ControllerState& c) { c.poseValid = 0; }},
        {"index 64", [](SceneFixture&, ControllerState& c) { c.deviceIndex = 64; }},
        {"no device", [](SceneFixture&, ControllerState& c) { c.deviceIndex = kNoTrackedDevice; }},
        {"index past the poses given",
         [](SceneFixture& f, ControllerState&) { f.scene.renderPoses = f.scene.renderPoses.first(5); }},
        {"controller pose NaN", [](SceneFixture& f, ControllerState&) { f.poses[7].m[0][0] = kNaN; }},
        {"headset pose infinite", [](SceneFixture& f, ControllerState&) { f.poses[0].m[2][3] = -INFINITY; }},
        {"trigger NaN", [](SceneFixture&, ControllerState& c) { c.trigger = kNaN; }},
        {"world scale NaN", [](SceneFixture& f, ControllerState&) { f.scene.worldScale = kNaN; }},
    };
    for (const Case& c : cases) {
        SceneFixture f;
        ControllerState controller = f.scene.controllers[1];
        c.spoil(f, controller);
        HandParts parts;
        EXPECT_FALSE(PlaceHand(f.scene, controller, parts)) << c.name;
    }
    SceneFixture f;
    HandParts parts;
    EXPECT_TRUE(PlaceHand(f.scene, f.scene.controllers[1], parts));
}

} // namespace
} // namespace corvane
