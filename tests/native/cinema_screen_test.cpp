// The cinema screen's behaviour: where it stands, when it shows and fades, and which point of
// the game's picture each eye sees in each direction.
#include "vr/cinema_screen.h"

#include "vr/openvr_matrices.h"

#include <gtest/gtest.h>

#include <cmath>

namespace corvane {
namespace {

// A head at (x, y, z) turned `yawDegrees` to the left and `pitchDegrees` up, with `rollDegrees`
// of roll: R = Ry(yaw) Rx(pitch) Rz(roll).
HmdMatrix34_t Head(float x, float y, float z, float yawDegrees, float pitchDegrees = 0.0f,
                   float rollDegrees = 0.0f) {
    const float a = yawDegrees * 3.14159265f / 180.0f;
    const float b = pitchDegrees * 3.14159265f / 180.0f;
    const float c = rollDegrees * 3.14159265f / 180.0f;
    const float ry[3][3] = {{std::cos(a), 0, std::sin(a)}, {0, 1, 0}, {-std::sin(a), 0, std::cos(a)}};
    const float rx[3][3] = {{1, 0, 0}, {0, std::cos(b), -std::sin(b)}, {0, std::sin(b), std::cos(b)}};
    const float rz[3][3] = {{std::cos(c), -std::sin(c), 0}, {std::sin(c), std::cos(c), 0}, {0, 0, 1}};
    float ryx[3][3] = {};
    HmdMatrix34_t m{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) {
                ryx[i][j] += ry[i][k] * rx[k][j];
            }
        }
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) {
                m.m[i][j] += ryx[i][k] * rz[k][j];
            }
        }
    }
    m.m[0][3] = x;
    m.m[1][3] = y;
    m.m[2][3] = z;
    return m;
}

HmdMatrix34_t EyeOffset(float x) {
    HmdMatrix34_t m{};
    m.m[0][0] = m.m[1][1] = m.m[2][2] = 1.0f;
    m.m[0][3] = x;
    return m;
}

TEST(CinemaScreenTest, StandsLevelInFrontOfTheHeadsHeading) {
    struct Case {
        const char* name;
        HmdMatrix34_t head;
        float centre[3];
        float right[3];
        float yaw;
    };
    // 3 m ahead at head height; pitch and roll change nothing. A yaw of 90 degrees (to the left)
    // faces -x, with the screen's right along -z.
    const Case cases[] = {
        {"level", Head(0.1f, 1.6f, 0.2f, 0.0f), {0.1f, 1.6f, -2.8f}, {1.0f, 0.0f, 0.0f}, 0.0f},
        {"turned left", Head(0.0f, 1.5f, 0.0f, 90.0f), {-3.0f, 1.5f, 0.0f}, {0.0f, 0.0f, -1.0f}, 90.0f},
        {"pitched and rolled",
         Head(0.0f, 1.6f, 0.0f, 30.0f, 40.0f, 25.0f),
         {-1.5f, 1.6f, -2.598076f},
         {0.866025f, 0.0f, -0.5f},
         30.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CinemaPlacement placement;
        ASSERT_TRUE(PlaceCinemaScreen(c.head, 3.0f, 4.0f, 16.0f / 9.0f, placement));
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(placement.centre[i], c.centre[i], 1e-5f) << i;
            EXPECT_NEAR(placement.right[i], c.right[i], 1e-5f) << i;
        }
        EXPECT_NEAR(placement.yawDegrees, c.yaw, 1e-3f);
        EXPECT_FLOAT_EQ(placement.halfWidth, 2.0f);
        EXPECT_FLOAT_EQ(placement.halfHeight, 1.125f);
    }

    CinemaPlacement placement;
    EXPECT_FALSE(PlaceCinemaScreen(Head(0, 1.6f, 0, 0.0f, 90.0f), 3.0f, 4.0f, 1.0f, placement))
        << "looking up";
    HmdMatrix34_t broken = Head(0, 1.6f, 0, 0.0f);
    broken.m[1][3] = std::nanf("");
    EXPECT_FALSE(PlaceCinemaScreen(broken, 3.0f, 4.0f, 1.0f, placement));
    EXPECT_FALSE(PlaceCinemaScreen(Head(0, 1.6f, 0, 0.0f), 3.0f, 4.0f, 0.0f, placement));
    EXPECT_FALSE(placement.valid);
}

// Moved nearer or farther along the heading it was placed on, from where the head stood then,
// and made larger or smaller with the same aspect; the head since then does not matter.
TEST(CinemaScreenTest, IsResizedAlongItsOwnHeadingFromWhereItWasPlaced) {
    CinemaPlacement placement;
    ASSERT_TRUE(PlaceCinemaScreen(Head(0.0f, 1.5f, 1.0f, 90.0f), 3.0f, 4.0f, 16.0f / 9.0f, placement));
    ASSERT_TRUE(ResizeCinemaScreen(placement, 5.0f, 8.0f));
    EXPECT_NEAR(placement.centre[0], -5.0f, 1e-5f);
    EXPECT_NEAR(placement.centre[1], 1.5f, 1e-5f);
    EXPECT_NEAR(placement.centre[2], 1.0f, 1e-5f);
    EXPECT_NEAR(placement.right[2], -1.0f, 1e-5f) << "facing the same way";
    EXPECT_FLOAT_EQ(placement.halfWidth, 4.0f);
    EXPECT_FLOAT_EQ(placement.halfHeight, 2.25f);
    EXPECT_FLOAT_EQ(placement.distance, 5.0f);
    ASSERT_TRUE(ResizeCinemaScreen(placement, 1.0f, 0.5f));
    EXPECT_NEAR(placement.centre[0], -1.0f, 1e-5f);
    EXPECT_FLOAT_EQ(placement.halfHeight, 0.140625f);

    const CinemaPlacement before = placement;
    EXPECT_FALSE(ResizeCinemaScreen(placement, 0.0f, 4.0f));
    EXPECT_FALSE(ResizeCinemaScreen(placement, 3.0f, std::nanf("")));
    EXPECT_FLOAT_EQ(placement.centre[0], before.centre[0]);
    EXPECT_FLOAT_EQ(placement.halfWidth, before.halfWidth);
    CinemaPlacement none;
    EXPECT_FALSE(ResizeCinemaScreen(none, 3.0f, 4.0f));
}

// Frame by frame: on when wanted, fading in and out over eight frames, placed where the head
// looks each time it is wanted anew or a recentre is asked for, never shown before it could be
// placed.
TEST(CinemaScreenTest, FadesInAndOutAndIsPlacedAgainEachTimeTheGameTakesTheCamera) {
    CinemaScreenState state;
    CinemaInputs in;
    in.headValid = false;
    in.wanted = true;
    CinemaFrame f = StepCinemaScreen(state, in);
    EXPECT_TRUE(f.turnedOn);
    EXPECT_FALSE(f.visible) << "no head pose yet: nowhere to stand";

    in.headValid = true;
    in.head = Head(0.0f, 1.6f, 0.0f, 20.0f);
    f = StepCinemaScreen(state, in);
    EXPECT_TRUE(f.placed && f.visible && f.firstShown);
    EXPECT_FALSE(f.turnedOn);
    EXPECT_FLOAT_EQ(f.opacity, 1.0f / 8.0f);
    EXPECT_NEAR(state.placement.yawDegrees, 20.0f, 1e-3f);

    in.head = Head(0.0f, 1.6f, 0.0f, -35.0f); // the head turns: the screen stays
    for (int i = 2; i <= 10; ++i) {
        f = StepCinemaScreen(state, in);
        EXPECT_FALSE(f.placed || f.firstShown || f.turnedOn);
        EXPECT_FLOAT_EQ(f.opacity, std::min(i, 8) / 8.0f);
    }
    EXPECT_NEAR(state.placement.yawDegrees, 20.0f, 1e-3f);

    in.recentre = true; // centred again: where the head looks now
    f = StepCinemaScreen(state, in);
    EXPECT_TRUE(f.placed);
    EXPECT_NEAR(state.placement.yawDegrees, -35.0f, 1e-3f);
    in.recentre = false;

    in.wanted = false; // first-person stereo engages
    f = StepCinemaScreen(state, in);
    EXPECT_TRUE(f.turnedOff);
    EXPECT_FLOAT_EQ(f.opacity, 7.0f / 8.0f);
    for (int i = 6; i >= 0; --i) {
        f = StepCinemaScreen(state, in);
        EXPECT_FLOAT_EQ(f.opacity, i / 8.0f);
    }
    EXPECT_FALSE(f.visible);

    in.wanted = true; // a cutscene: placed where the head looks now, fading in again
    in.head = Head(0.3f, 1.7f, -0.2f, 5.0f);
    f = StepCinemaScreen(state, in);
    EXPECT_TRUE(f.turnedOn && f.placed && f.visible);
    EXPECT_FALSE(f.firstShown);
    EXPECT_FLOAT_EQ(f.opacity, 1.0f / 8.0f);
    EXPECT_NEAR(state.placement.yawDegrees, 5.0f, 1e-3f);

    // The game takes the camera again while the head pose is unusable: hidden, not shown where it
    // stood, until a pose places it.
    for (int i = 0; i < 8; ++i) {
        (void)StepCinemaScreen(state, in);
    }
    in.wanted = false;
    (void)StepCinemaScreen(state, in);
    in.wanted = true;
    in.headValid = false;
    f = StepCinemaScreen(state, in);
    EXPECT_TRUE(f.turnedOn && f.waitingForPlacement);
    EXPECT_FALSE(f.visible);
    f = StepCinemaScreen(state, in);
    EXPECT_FALSE(f.visible);
    in.headValid = true;
    in.head = Head(0.0f, 1.6f, 0.0f, -15.0f);
    f = StepCinemaScreen(state, in);
    EXPECT_TRUE(f.placed && f.visible);
    EXPECT_FALSE(f.waitingForPlacement);
    EXPECT_NEAR(state.placement.yawDegrees, -15.0f, 1e-3f);

    // Wanted again half-way through a fade out: it turns round from where it is.
    in.wanted = false;
    (void)StepCinemaScreen(state, in);
    in.wanted = true;
    f = StepCinemaScreen(state, in);
    EXPECT_FLOAT_EQ(f.opacity, 1.0f / 8.0f);
}

// The projection OpenVR documents for raw tangents (left, right, top down, bottom up).
HmdMatrix44_t ProjectionFromRaw(const float (&raw)[4]) {
    const float l = raw[0];
    const float r = raw[1];
    const float t = raw[2];
    const float b = raw[3];
    const float n = 0.05f;
    const float f = 100.0f;
    return HmdMatrix44_t{{{2.0f / (r - l), 0.0f, (r + l) / (r - l), 0.0f},
                          {0.0f, 2.0f / (b - t), (b + t) / (b - t), 0.0f},
                          {0.0f, 0.0f, -f / (f - n), -f * n / (f - n)},
                          {0.0f, 0.0f, -1.0f, 0.0f}}};
}

// What the vertex shader does with the quad: a point of the picture on the world-fixed screen,
// seen from each eye of a turned, pitched, rolled and moved head, lands where its direction from
// that eye lies in the eye's own field.
TEST(CinemaScreenTest, EachEyeSeesEachPointOfThePictureWhereItStands) {
    CinemaPlacement placement;
    ASSERT_TRUE(PlaceCinemaScreen(Head(0.0f, 1.6f, 0.0f, 0.0f), 3.0f, 4.0f, 2.0f, placement));
    const float raw[2][4] = {{-1.39f, 1.25f, -1.47f, 1.47f}, {-1.25f, 1.39f, -1.47f, 1.47f}};
    const HmdMatrix34_t heads[] = {Head(0.0f, 1.6f, 0.0f, 0.0f),
                                   Head(0.2f, 1.5f, -0.3f, 25.0f, -10.0f, 8.0f)};
    struct PicturePoint {
        float u;
        float v;
    };
    for (const HmdMatrix34_t& head : heads) {
        for (int eye = 0; eye < 2; ++eye) {
            const float offset = eye == 0 ? -0.0315f : 0.0315f;
            CinemaEyeConstants c;
            ASSERT_TRUE(MakeCinemaEyeConstants(ToPoseMatrix(head), ToPoseMatrix(EyeOffset(offset)),
                                               ToMatrix4x4(ProjectionFromRaw(raw[eye])), placement, 0.5f,
                                               0.1f, c));
            EXPECT_FLOAT_EQ(c.up[3], 0.5f);
            EXPECT_FLOAT_EQ(c.surround[1], 0.1f);
            for (const PicturePoint& p : {PicturePoint{0.5f, 0.5f}, PicturePoint{0.1f, 0.2f},
                                          PicturePoint{0.9f, 0.85f}, PicturePoint{0.0f, 1.0f}}) {
                // The point on the screen: 4 m wide, 2 m high, centred 3 m ahead at 1.6 m.
                const float world[3] = {(p.u - 0.5f) * 4.0f, 1.6f + (0.5f - p.v) * 2.0f, -3.0f};
                // Its direction in the eye's own axes.
                float d[3];
                for (int i = 0; i < 3; ++i) {
                    d[i] = world[i] - (head.m[i][3] + head.m[i][0] * offset);
                }
                float local[3];
                for (int i = 0; i < 3; ++i) {
                    local[i] = head.m[0][i] * d[0] + head.m[1][i] * d[1] + head.m[2][i] * d[2];
                }
                const float tanX = local[0] / -local[2];
                const float tanY = local[1] / -local[2];
                float ndcX = 0.0f;
                float ndcY = 0.0f;
                ASSERT_TRUE(CinemaPointOnEye(c, p.u, p.v, ndcX, ndcY));
                const float* r = raw[eye];
                EXPECT_NEAR(ndcX, (2.0f * tanX - (r[1] + r[0])) / (r[1] - r[0]), 1e-4f);
                EXPECT_NEAR(ndcY, (2.0f * tanY - (r[3] + r[2])) / (r[3] - r[2]), 1e-4f);
            }
        }
    }
    CinemaEyeConstants c;
    float ndcX = 0.0f;
    float ndcY = 0.0f;
    const PoseMatrix34 noOffset = ToPoseMatrix(EyeOffset(0.0f));
    const Matrix4x4 projection = ToMatrix4x4(ProjectionFromRaw(raw[0]));
    ASSERT_TRUE(MakeCinemaEyeConstants(ToPoseMatrix(Head(0.0f, 1.6f, 0.0f, 180.0f)), noOffset, projection,
                                       placement, 1.0f, 0.1f, c));
    EXPECT_FALSE(CinemaPointOnEye(c, 0.5f, 0.5f, ndcX, ndcY)) << "behind the head";
    HmdMatrix34_t broken = heads[0];
    broken.m[0][3] = std::nanf("");
    EXPECT_FALSE(
        MakeCinemaEyeConstants(ToPoseMatrix(broken), noOffset, projection, placement, 1.0f, 0.1f, c));
    EXPECT_FALSE(MakeCinemaEyeConstants(ToPoseMatrix(heads[0]), noOffset, projection, CinemaPlacement{}, 1.0f,
                                        0.1f, c))
        << "a screen not placed";
}

} // namespace
} // namespace corvane
