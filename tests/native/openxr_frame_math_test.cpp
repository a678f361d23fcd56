// What the OpenXR back end hands the runtime for the presenter's frame: fields, view areas, eye
// poses and controller records, checked against values worked out by hand.
#include "vr/openxr_frame_math.h"

#include <gtest/gtest.h>

#include <cmath>

namespace corvane {
namespace {

constexpr float kDefaultLeftEye[4] = {-1.39f, 1.25f, -1.47f, 1.47f};

TEST(OpenXrFrameMath, FieldsGoToAnglesAndBackWithTheDownwardTangentThird) {
    const float raw[4] = {-1.0f, 0.5f, -2.0f, 1.5f};
    const FovAngles fov = FovFromRaw(raw);
    EXPECT_NEAR(-0.785398f, fov.angleLeft, 1e-5f);
    EXPECT_NEAR(0.463648f, fov.angleRight, 1e-5f);
    EXPECT_NEAR(-1.107149f, fov.angleDown, 1e-5f);
    EXPECT_NEAR(0.982794f, fov.angleUp, 1e-5f);
    float back[4] = {};
    RawFromFov(fov, back);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(raw[i], back[i], 1e-5f) << i;
    }
}

TEST(OpenXrFrameMath, ProjectionMatchesTheRuntimeConvention) {
    const float raw[4] = {-1.0f, 0.5f, -2.0f, 1.5f};
    const HmdMatrix44_t m = ProjectionFromRaw(raw, 0.1f, 100.0f);
    EXPECT_NEAR(2.0f / 1.5f, m.m[0][0], 1e-6f);
    EXPECT_NEAR(-0.5f / 1.5f, m.m[0][2], 1e-6f);
    EXPECT_NEAR(2.0f / 3.5f, m.m[1][1], 1e-6f);
    EXPECT_NEAR(-0.5f / 3.5f, m.m[1][2], 1e-6f);
    EXPECT_NEAR(-100.0f / 99.9f, m.m[2][2], 1e-5f);
    EXPECT_NEAR(-10.0f / 99.9f, m.m[2][3], 1e-5f);
    EXPECT_EQ(-1.0f, m.m[3][2]);
}

TEST(OpenXrFrameMath, ViewAreaKeepsTheBoundsInsideTheImageAndTheirTangents) {
    struct Case {
        const char* name;
        VRTextureBounds_t bounds;
        PixelRect rect;
        float shown[4];
    };
    // A 1000 × 500 texture over the default left eye's field (l −1.39, r 1.25, down −1.47, up 1.47).
    const Case cases[] = {
        {"whole texture", {0.0f, 0.0f, 1.0f, 1.0f}, {0, 0, 1000, 500}, {-1.39f, 1.25f, -1.47f, 1.47f}},
        {"inner part", {0.25f, 0.1f, 0.75f, 0.9f}, {250, 50, 500, 400}, {-1.39f, 1.25f, -1.47f, 1.47f}},
        // Bounds wider than the texture: the field shrinks to the part the texture covers. u = 0 lies
        // a quarter of the way across bounds −0.5..1.5, so the left edge is −1.39 + 0.25 · 2.64.
        {"wider than the texture",
         {-0.5f, 0.0f, 1.5f, 1.0f},
         {0, 0, 1000, 500},
         {-0.73f, 0.59f, -1.47f, 1.47f}},
        {"running backwards",
         {0.75f, 0.9f, 0.25f, 0.1f},
         {250, 50, 500, 400},
         {-1.39f, 1.25f, -1.47f, 1.47f}},
    };
    for (const Case& c : cases) {
        PixelRect rect;
        float shown[4] = {};
        ASSERT_TRUE(ViewAreaFromBounds(c.bounds, kDefaultLeftEye, 1000, 500, rect, shown)) << c.name;
        EXPECT_EQ(c.rect.x, rect.x) << c.name;
        EXPECT_EQ(c.rect.y, rect.y) << c.name;
        EXPECT_EQ(c.rect.width, rect.width) << c.name;
        EXPECT_EQ(c.rect.height, rect.height) << c.name;
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(c.shown[i], shown[i], 1e-5f) << c.name << " tangent " << i;
        }
    }
}

TEST(OpenXrFrameMath, ViewAreaRefusesBoundsThatShowNothing) {
    const float nan = std::nanf("");
    const VRTextureBounds_t refused[] = {{nan, 0.0f, 1.0f, 1.0f},
                                         {0.5f, 0.0f, 0.5f, 1.0f},
                                         {1.2f, 0.0f, 1.5f, 1.0f},
                                         {0.0f, 0.0f, 1.0f, 0.0004f}};
    for (const VRTextureBounds_t& bounds : refused) {
        PixelRect rect;
        float shown[4] = {};
        EXPECT_FALSE(ViewAreaFromBounds(bounds, kDefaultLeftEye, 1000, 500, rect, shown))
            << bounds.uMin << " " << bounds.vMin << " " << bounds.uMax << " " << bounds.vMax;
    }
    PixelRect rect;
    float shown[4] = {};
    EXPECT_FALSE(ViewAreaFromBounds({0.0f, 0.0f, 1.0f, 1.0f}, kDefaultLeftEye, 0, 500, rect, shown));
}

TEST(OpenXrFrameMath, AnEyeSitsAlongTheHeadsOwnXAxis) {
    // Head at (1, 1.6, 2) turned 90 degrees to the left: its x axis points along −z.
    HmdMatrix34_t head{};
    head.m[0][2] = 1.0f;
    head.m[1][1] = 1.0f;
    head.m[2][0] = -1.0f;
    head.m[0][3] = 1.0f;
    head.m[1][3] = 1.6f;
    head.m[2][3] = 2.0f;
    Quaternion orientation;
    Vector3 position;
    ASSERT_TRUE(EyePoseFromHead(head, 0.0315f, orientation, position));
    EXPECT_NEAR(1.0f, position.x, 1e-6f);
    EXPECT_NEAR(1.6f, position.y, 1e-6f);
    EXPECT_NEAR(2.0f - 0.0315f, position.z, 1e-6f);
    EXPECT_NEAR(0.707107f, std::fabs(orientation.y), 1e-5f);
    EXPECT_NEAR(0.707107f, std::fabs(orientation.w), 1e-5f);
    EXPECT_GT(orientation.y * orientation.w, 0.0f); // a turn to the left, about +y

    HmdMatrix34_t zero{};
    EXPECT_FALSE(EyePoseFromHead(zero, 0.0315f, orientation, position));
}

TEST(OpenXrFrameMath, HandActionsBecomeTheControllerRecordTheMappingReads) {
    HandActions hand;
    hand.active = true;
    hand.primary = true;
    hand.stickClick = true;
    hand.squeeze = 0.6f;
    hand.trigger = 0.25f;
    hand.stickX = -0.5f;
    hand.stickY = 1.0f;
    const VRControllerState_t state = ControllerStateFromActions(hand, 42);
    EXPECT_EQ(42u, state.unPacketNum);
    EXPECT_EQ((uint64_t{1} << 7) | (uint64_t{1} << 32) | (uint64_t{1} << 2), state.ulButtonPressed);
    EXPECT_EQ(-0.5f, state.rAxis[0].x);
    EXPECT_EQ(1.0f, state.rAxis[0].y);
    EXPECT_EQ(0.25f, state.rAxis[1].x);

    hand.primary = false;
    hand.stickClick = false;
    hand.menu = true;
    hand.squeeze = 0.49f;
    hand.trigger = std::nanf("");
    const VRControllerState_t menu = ControllerStateFromActions(hand, 43);
    EXPECT_EQ(uint64_t{1} << 1, menu.ulButtonPressed);
    EXPECT_EQ(0.0f, menu.rAxis[1].x);

    hand.active = false;
    EXPECT_EQ(0u, ControllerStateFromActions(hand, 44).ulButtonPressed);
}

TEST(OpenXrFrameMath, AScreensOrientationTurnsItsXAxisOntoItsRightVector) {
    struct Case {
        float right[3];
        float y; // the quaternion's y; x and z stay 0
        float w;
    };
    const Case cases[] = {
        {{1.0f, 0.0f, 0.0f}, 0.0f, 1.0f},
        // Placed 90 degrees to the left (facing +x): its right is -z.
        {{0.0f, 0.0f, -1.0f}, 0.707107f, 0.707107f},
        {{0.0f, 0.0f, 1.0f}, -0.707107f, 0.707107f},
        // 30 degrees to the left, not unit length.
        {{1.732051f, 0.0f, -1.0f}, 0.258819f, 0.965926f},
        {{0.0f, 1.0f, 0.0f}, 0.0f, 1.0f},
    };
    for (const Case& c : cases) {
        const Quaternion q = LevelOrientationFromRight(c.right);
        EXPECT_EQ(0.0f, q.x);
        EXPECT_EQ(0.0f, q.z);
        EXPECT_NEAR(c.y, q.y, 1e-5f) << c.right[0] << " " << c.right[2];
        EXPECT_NEAR(c.w, q.w, 1e-5f) << c.right[0] << " " << c.right[2];
    }
}

TEST(OpenXrFrameMath, DevicePosesAreValidOnlyWithAUsableOrientation) {
    const TrackedDevicePose_t valid =
        DevicePoseFrom(true, Quaternion{0.0f, 0.0f, 0.0f, 2.0f}, Vector3{1.0f, 2.0f, 3.0f});
    EXPECT_TRUE(valid.bPoseIsValid);
    EXPECT_EQ(200, valid.eTrackingResult);
    EXPECT_EQ(1.0f, valid.mDeviceToAbsoluteTracking.m[0][0]);
    EXPECT_EQ(3.0f, valid.mDeviceToAbsoluteTracking.m[2][3]);
    EXPECT_FALSE(DevicePoseFrom(false, Quaternion{}, Vector3{}).bPoseIsValid);
    EXPECT_FALSE(DevicePoseFrom(true, Quaternion{0.0f, 0.0f, 0.0f, 0.0f}, Vector3{}).bPoseIsValid);
    EXPECT_EQ(201, DevicePoseFrom(false, Quaternion{}, Vector3{}).eTrackingResult);
}

} // namespace
} // namespace corvane
