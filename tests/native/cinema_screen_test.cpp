// The cinema screen's behaviour: where it stands, when it shows and fades, and which point of
// the game's picture each eye sees in each direction.
#include "vr/cinema_screen.h"

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

    // Wanted again half-way through a fade out: it turns round from where it is.
    in.wanted = false;
    (void)StepCinemaScreen(state, in);
    in.wanted = true;
    f = StepCinemaScreen(state, in);
    EXPECT_FLOAT_EQ(f.opacity, 1.0f / 8.0f);
}

// The CPU twin of the shader: a point of the picture on the world-fixed screen, seen from each
// eye of a turned and moved head, is found at its own direction, and the surround lies around.
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
            ASSERT_TRUE(MakeCinemaEyeConstants(head, EyeOffset(offset), raw[eye], placement, 0.5f, 0.1f, c));
            EXPECT_FLOAT_EQ(c.eyePosition[3], 0.5f);
            for (const PicturePoint& p :
                 {PicturePoint{0.5f, 0.5f}, PicturePoint{0.1f, 0.2f}, PicturePoint{0.9f, 0.85f}}) {
                // The point on the screen: 4 m wide, 2 m high, centred 3 m ahead at 1.6 m.
                const float world[3] = {(p.u - 0.5f) * 4.0f, 1.6f + (0.5f - p.v) * 2.0f, -3.0f};
                // Its direction in the eye's own axes.
                float eyePosition[3];
                float d[3];
                for (int i = 0; i < 3; ++i) {
                    eyePosition[i] = head.m[i][3] + head.m[i][0] * offset;
                    d[i] = world[i] - eyePosition[i];
                }
                float local[3];
                for (int i = 0; i < 3; ++i) {
                    local[i] = head.m[0][i] * d[0] + head.m[1][i] * d[1] + head.m[2][i] * d[2];
                }
                float u = -1.0f;
                float v = -1.0f;
                ASSERT_TRUE(CinemaPictureAt(c, local[0] / -local[2], local[1] / -local[2], u, v));
                EXPECT_NEAR(u, p.u, 1e-4f);
                EXPECT_NEAR(v, p.v, 1e-4f);
            }
        }
    }
    CinemaEyeConstants c;
    ASSERT_TRUE(MakeCinemaEyeConstants(heads[0], EyeOffset(0.0f), raw[0], placement, 1.0f, 0.1f, c));
    float u = 0.0f;
    float v = 0.0f;
    EXPECT_FALSE(CinemaPictureAt(c, 0.8f, 0.0f, u, v)) << "right of the screen's edge (tan 0.667)";
    EXPECT_FALSE(CinemaPictureAt(c, 0.0f, 0.4f, u, v)) << "above it (tan 0.333)";
    EXPECT_TRUE(CinemaPictureAt(c, 0.6f, 0.3f, u, v));

    const float flat[4] = {0.5f, 0.5f, -1.0f, 1.0f};
    EXPECT_FALSE(MakeCinemaEyeConstants(heads[0], EyeOffset(0.0f), flat, placement, 1.0f, 0.1f, c))
        << "an eye whose right edge lies left of its left edge";
}

} // namespace
} // namespace corvane
