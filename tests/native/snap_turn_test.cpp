#include "input/snap_turn.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace corvane {
namespace {

constexpr float kDegree = 3.14159265f / 180.0f;
constexpr int16_t kFullRight = 32767;
constexpr int16_t kFullLeft = -32768;

// A game that turns from the stick it reads, at its own speed, then sends its camera.
struct TurningGame {
    float yaw = 0.4f;
    float radiansPerFrame = 2.0f / 60.0f; // at a full stick
    float deadzone = 0.0f;                // stick the game ignores
    bool turns = true;

    struct Frame {
        int16_t read = 0;  // the stick the game read
        float view = 0.0f; // the heading the frame shows
        bool holding = false;
    };

    Frame Run(SnapTurn& snap, int16_t playerStick, bool pairStart = true) {
        Frame frame;
        frame.read = snap.OnTurnStick(playerStick);
        float x = frame.read / 32767.0f;
        if (std::fabs(x) < deadzone || !turns) {
            x = 0.0f;
        }
        yaw += x * radiansPerFrame;
        const SnapHold hold = snap.OnCameraHeading(yaw, pairStart);
        frame.view = yaw + hold.yawCorrection;
        frame.holding = hold.holding;
        return frame;
    }
};

// The views a run shows, one per frame: a flick of `flickFrames` frames at frame 2.
std::vector<TurningGame::Frame> FlickAndWait(SnapTurn& snap, TurningGame& game, int16_t flick,
                                             int flickFrames = 3, int frames = 200) {
    std::vector<TurningGame::Frame> shown;
    for (int i = 0; i < frames; ++i) {
        const bool flicking = i >= 2 && i < 2 + flickFrames;
        shown.push_back(game.Run(snap, flicking ? flick : int16_t{0}));
    }
    return shown;
}

TEST(SnapTurnTest, EveryFrameShowsTheOldHeadingOrTheWholeStep) {
    struct Case {
        const char* name;
        float stepDegrees;
        float radiansPerFrame;
        float deadzone;
        int16_t flick;
    };
    const Case cases[] = {
        {"60 Hz, right", 30, 2.0f / 60.0f, 0.0f, kFullRight},
        {"30 Hz, left", 30, 2.0f / 30.0f, 0.0f, kFullLeft},
        {"slow game", 45, 0.5f * kDegree, 0.0f, kFullRight},
        {"fast game", 90, 25.0f * kDegree, 0.0f, kFullRight},
        {"game dead zone", 30, 2.0f / 60.0f, 0.265f, kFullLeft},
        {"smallest step", 15, 7.0f * kDegree, 0.24f, kFullRight},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SnapTurn snap;
        snap.Engage(c.stepDegrees);
        TurningGame game;
        game.radiansPerFrame = c.radiansPerFrame;
        game.deadzone = c.deadzone;
        const float start = game.yaw;
        const float sign = c.flick > 0 ? 1.0f : -1.0f;
        const std::vector<TurningGame::Frame> shown = FlickAndWait(snap, game, c.flick, 3, 600);

        int changes = 0;
        for (size_t i = 0; i < shown.size(); ++i) {
            const float turned = (shown[i].view - start) * sign / kDegree;
            const bool old = std::fabs(turned) < 0.01f;
            const bool whole = std::fabs(turned - c.stepDegrees) <= 1.0f;
            ASSERT_TRUE(old || whole) << "frame " << i << " shows " << turned << " degrees";
            changes += i > 0 && std::fabs(shown[i].view - shown[i - 1].view) > 0.01f * kDegree ? 1 : 0;
        }
        EXPECT_EQ(1, changes);
        // Afterwards the view is the game's own heading again.
        EXPECT_FALSE(shown.back().holding);
        EXPECT_FLOAT_EQ(game.yaw, shown.back().view);
        EXPECT_EQ(0, shown.back().read);
    }
}

TEST(SnapTurnTest, TheStickSaturatesOnlyWhileAStepIsUnderWay) {
    SnapTurn snap;
    snap.Engage(30);
    TurningGame game;
    const std::vector<TurningGame::Frame> shown = FlickAndWait(snap, game, kFullRight, 3, 60);
    int full = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
        if (shown[i].read == kFullRight) {
            ++full;
            EXPECT_TRUE(shown[i - 1].holding) << "frame " << i;
        }
        EXPECT_GE(shown[i].read, 0) << "frame " << i;
    }
    // 30 degrees at 1.91 degrees a frame: 15 full frames and a part.
    EXPECT_EQ(15, full);
    EXPECT_NEAR(30.0f, (game.yaw - 0.4f) / kDegree, 0.01f);
}

TEST(SnapTurnTest, InAPairTheNewHeadingStartsWithThePairsFirstEye) {
    SnapTurn snap;
    snap.Engage(30);
    TurningGame game;
    std::vector<TurningGame::Frame> shown;
    for (int i = 0; i < 80; ++i) {
        const bool flicking = i == 3;
        shown.push_back(game.Run(snap, flicking ? kFullRight : int16_t{0}, i % 2 == 0));
    }
    int changedAt = -1;
    for (size_t i = 1; i < shown.size(); ++i) {
        if (std::fabs(shown[i].view - shown[i - 1].view) > 0.01f * kDegree) {
            EXPECT_EQ(-1, changedAt) << "a second change at frame " << i;
            changedAt = static_cast<int>(i);
        }
    }
    ASSERT_GT(changedAt, 0);
    EXPECT_EQ(0, changedAt % 2) << "the heading changed on a second eye";
}

TEST(SnapTurnTest, OneStepPerFlickAndANewFlickAfterLettingGo) {
    SnapTurn snap;
    snap.Engage(30);
    TurningGame game;
    const float start = game.yaw;
    // Held far over for two seconds: one step.
    for (int i = 0; i < 120; ++i) {
        (void)game.Run(snap, kFullRight);
    }
    EXPECT_NEAR(30.0f, (game.yaw - start) / kDegree, 1.0f);
    // Half way back is not letting go; the centre is.
    for (int i = 0; i < 30; ++i) {
        (void)game.Run(snap, 16000);
    }
    EXPECT_NEAR(30.0f, (game.yaw - start) / kDegree, 1.0f);
    (void)game.Run(snap, 0);
    for (int i = 0; i < 60; ++i) {
        (void)game.Run(snap, i < 2 ? kFullRight : int16_t{0});
    }
    EXPECT_NEAR(60.0f, (game.yaw - start) / kDegree, 1.0f);
}

TEST(SnapTurnTest, AFlickDuringAStepIsTheNextStep) {
    SnapTurn snap;
    snap.Engage(30);
    TurningGame game;
    const float start = game.yaw;
    for (int i = 0; i < 120; ++i) {
        const bool flicking = i == 2 || i == 6;
        (void)game.Run(snap, flicking ? kFullLeft : int16_t{0});
    }
    EXPECT_NEAR(-60.0f, (game.yaw - start) / kDegree, 1.0f);
}

TEST(SnapTurnTest, OffTheStickPassesThroughAndNothingIsHeld) {
    SnapTurn snap;
    TurningGame game;
    for (int i = 0; i < 10; ++i) {
        const TurningGame::Frame frame = game.Run(snap, 20000);
        EXPECT_EQ(20000, frame.read);
        EXPECT_FALSE(frame.holding);
    }
    // Engaged, a part push no longer turns smoothly.
    snap.Engage(30);
    EXPECT_EQ(0, game.Run(snap, 20000).read);
}

TEST(SnapTurnTest, LeavingFirstPersonDropsTheStepAtOnce) {
    SnapTurn snap;
    snap.Engage(30);
    TurningGame game;
    for (int i = 0; i < 6; ++i) {
        (void)game.Run(snap, i == 1 ? kFullRight : int16_t{0});
    }
    ASSERT_TRUE(game.Run(snap, 0).holding);
    snap.Engage(0);
    const TurningGame::Frame off = game.Run(snap, 1000);
    EXPECT_FALSE(off.holding);
    EXPECT_EQ(1000, off.read);
    EXPECT_FLOAT_EQ(game.yaw, off.view);
    // Back in first person later, the old step is not carried on.
    snap.Engage(30);
    const float before = game.yaw;
    for (int i = 0; i < 30; ++i) {
        const TurningGame::Frame frame = game.Run(snap, 0);
        EXPECT_EQ(0, frame.read);
        EXPECT_FALSE(frame.holding);
    }
    EXPECT_FLOAT_EQ(before, game.yaw);
}

TEST(SnapTurnTest, AGameThatDoesNotTurnIsNotHeldForever) {
    SnapTurn snap;
    snap.Engage(30);
    TurningGame game;
    game.turns = false;
    const std::vector<TurningGame::Frame> shown = FlickAndWait(snap, game, kFullRight, 3, 60);
    int held = 0;
    for (const TurningGame::Frame& frame : shown) {
        held += frame.holding ? 1 : 0;
    }
    EXPECT_GT(held, 0);
    EXPECT_LE(held, kSnapMaxStalledCalls + 2);
    EXPECT_FALSE(shown.back().holding);
    EXPECT_EQ(0, shown.back().read);
}

TEST(SnapTurnTest, HeadingsAcrossTheWrapAreOneStep) {
    SnapTurn snap;
    snap.Engage(30);
    TurningGame game;
    game.yaw = 3.1f; // just short of pi: the step crosses to -pi
    const float start = game.yaw;
    (void)FlickAndWait(snap, game, kFullRight, 3, 60);
    EXPECT_NEAR(30.0f, (game.yaw - start) / kDegree, 1.0f);
    EXPECT_NEAR(-3.0831853f, WrapRadians(3.2f), 1e-5f);
}

} // namespace
} // namespace corvane
