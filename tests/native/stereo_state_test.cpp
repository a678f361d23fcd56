#include "stereo/stereo_state.h"

#include "core/settings.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane {
namespace {

class StereoStateTest : public testing_support::ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        GetStereoState().cameraBuildSupported = true;
        GetStereoState().stereoRendering = true;
    }

    // One presented frame: the detours report what they did while the game rendered,
    // then the frame driver closes it. Returns the eye the frame was rendered for.
    static uint32_t Frame(bool projectionReplaced, bool submitted) {
        StereoState& stereo = GetStereoState();
        const uint32_t eye = stereo.currentEye;
        if (projectionReplaced) {
            stereo.projectionHookSeen = true;
        }
        if (stereo.stereoActive) {
            stereo.eyeCameraApplied = true;
        }
        stereo.opticalProjectionApplied = stereo.stereoActive;
        const StereoFrameFlags flags = stereo.TakeFrameFlags();
        stereo.AdvanceAfterSubmit(eye, flags, submitted);
        return eye;
    }

    static void LockPose(uint64_t epoch) {
        std::lock_guard<std::mutex> lock(GetPairPoseLock().mutex);
        GetPairPoseLock().sample.valid = true;
        GetPairPoseLock().sample.referenceEpoch = epoch;
    }
    static bool PoseLocked() {
        std::lock_guard<std::mutex> lock(GetPairPoseLock().mutex);
        return GetPairPoseLock().sample.valid;
    }
};

TEST_F(StereoStateTest, TakeFrameFlagsConsumesTheDetourFlags) {
    StereoState& stereo = GetStereoState();
    stereo.eyeCameraApplied = true;
    stereo.projectionHookSeen = true;
    stereo.opticalProjectionApplied = true;
    stereo.projectionHookSeenInPair = true;

    StereoFrameFlags flags = stereo.TakeFrameFlags();
    EXPECT_TRUE(flags.cameraApplied);
    EXPECT_TRUE(flags.projectionSeen);
    EXPECT_TRUE(flags.pairValid);
    EXPECT_FALSE(stereo.opticalProjectionApplied.load());

    flags = stereo.TakeFrameFlags();
    EXPECT_FALSE(flags.cameraApplied || flags.projectionSeen || flags.pairValid);

    stereo.eyeCameraApplied = true;
    stereo.projectionHookSeen = true;
    stereo.settleFrames = 1;
    EXPECT_FALSE(stereo.TakeFrameFlags().pairValid);
}

// What the frame's picture was rendered with, from what the projection detour and the camera
// buffer rewrite reported; the flags are consumed with it.
TEST_F(StereoStateTest, TheFramesProjectionComesFromTheRewriteAndTheOverride) {
    struct Case {
        bool projectionSeen;
        bool rewritten;
        bool declined;
        PictureProjection expected;
        bool mixed;
    };
    const Case cases[] = {
        {false, false, false, PictureProjection::Game, false},
        {true, false, false, PictureProjection::Common, false},
        {true, true, false, PictureProjection::Eye, false},
        // The game reused last frame's common projection and the buffer was rewritten.
        {false, true, false, PictureProjection::Eye, false},
        // An upload carried the common frustum unchanged: the picture is in it, call or not.
        {false, false, true, PictureProjection::Common, false},
        {true, false, true, PictureProjection::Common, false},
        // Part of the picture rewritten, part left in the common frustum: no bounds fit it.
        {true, true, true, PictureProjection::Common, true},
        {false, true, true, PictureProjection::Common, true},
    };
    StereoState& stereo = GetStereoState();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.projectionSeen) + std::to_string(c.rewritten) +
                     std::to_string(c.declined));
        stereo.projectionHookSeen = c.projectionSeen;
        stereo.opticalProjectionApplied = c.rewritten;
        stereo.opticalProjectionDeclined = c.declined;
        // Everything else a pair needs is there.
        stereo.eyeCameraApplied = true;
        stereo.projectionHookSeenInPair = true;
        const StereoFrameFlags flags = stereo.TakeFrameFlags();
        EXPECT_EQ(flags.projection, c.expected);
        EXPECT_EQ(flags.mixed, c.mixed);
        EXPECT_EQ(flags.pairValid, c.projectionSeen && !c.mixed) << "a mixed picture joins no pair";
        EXPECT_EQ(stereo.TakeFrameFlags().projection, PictureProjection::Game) << "consumed";
    }
}

TEST_F(StereoStateTest, NeverEngagesForFramesRenderedWhileTheGameHasTheCamera) {
    StereoState& stereo = GetStereoState();
    stereo.stereoRendering = false;
    for (int i = 0; i < 12; ++i) {
        Frame(true, true);
        EXPECT_FALSE(stereo.stereoActive) << "frame " << i;
    }
    stereo.stereoRendering = true;
    Frame(true, true);
    EXPECT_TRUE(stereo.stereoActive);
}

TEST_F(StereoStateTest, EngagesAfterEightSettledFramesThenAlternatesFromTheFirstEye) {
    StereoState& stereo = GetStereoState();
    stereo.ResetForFirstPersonChange();
    EXPECT_EQ(8u, stereo.settleFrames.load());

    for (int i = 0; i < 7; ++i) {
        Frame(true, true);
        EXPECT_FALSE(stereo.stereoActive) << "frame " << i;
    }
    Frame(false, true); // no projection: does not count
    EXPECT_EQ(1u, stereo.settleFrames.load());
    Frame(true, true); // the eighth decrement arms in the same frame
    EXPECT_TRUE(stereo.stereoActive);
    EXPECT_EQ(1u, stereo.currentEye);

    std::vector<uint32_t> eyes;
    for (int i = 0; i < 5; ++i) {
        eyes.push_back(Frame(true, true));
    }
    EXPECT_EQ((std::vector<uint32_t>{1, 0, 1, 0, 1}), eyes);
}

TEST_F(StereoStateTest, FreshStartEngagesOnTheFirstSubmittedProjectedFrame) {
    StereoState& stereo = GetStereoState();
    Frame(true, true);
    EXPECT_TRUE(stereo.stereoActive);
    EXPECT_EQ(1u, Frame(true, true)); // first pair-valid frame: the first eye
    EXPECT_EQ(0u, stereo.currentEye);
}

TEST_F(StereoStateTest, WithoutAValidatedBuildStereoNeverArms) {
    StereoState& stereo = GetStereoState();
    stereo.cameraBuildSupported = false;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(1u, Frame(true, true));
    }
    EXPECT_FALSE(stereo.stereoActive);
}

TEST_F(StereoStateTest, FailedSubmitMidPairFallsBackToTheFirstEye) {
    StereoState& stereo = GetStereoState();
    Frame(true, true);
    Frame(true, true); // right eye, pair-valid: next is left
    ASSERT_EQ(0u, stereo.currentEye);

    Frame(true, false);
    EXPECT_EQ(1u, stereo.currentEye);
    EXPECT_FALSE(stereo.stereoActive);
    EXPECT_FALSE(stereo.projectionHookSeenInPair);
}

TEST_F(StereoStateTest, PairPoseSurvivesOnlyAfterASubmittedFirstEyeOfAValidPair) {
    StereoState& stereo = GetStereoState();
    Frame(true, true);
    ASSERT_TRUE(stereo.stereoActive);

    LockPose(3);
    Frame(true, true); // first eye (right) of a valid pair
    EXPECT_TRUE(PoseLocked());
    Frame(true, true); // second eye closes the pair
    EXPECT_FALSE(PoseLocked());

    LockPose(3);
    Frame(true, false); // first eye, failed submission
    EXPECT_FALSE(PoseLocked());
}

TEST_F(StereoStateTest, ResetsClearWhatTheyOwn) {
    StereoState& stereo = GetStereoState();
    Frame(true, true);
    Frame(true, true);
    stereo.finalCameraLogMask = 3;
    stereo.opticalLogMask = 3;
    LockPose(2);

    stereo.ResetForFirstPersonChange();
    EXPECT_FALSE(stereo.stereoActive);
    EXPECT_EQ(1u, stereo.currentEye);
    EXPECT_EQ(0u, stereo.finalCameraLogMask.load());
    EXPECT_EQ(3u, stereo.opticalLogMask.load());
    EXPECT_TRUE(stereo.projectionHookSeenInPair); // only the disabled reset drops it
    EXPECT_FALSE(PoseLocked());

    GetSettings().AERFirstEye = 0;
    stereo.projectionHookSeen = true;
    stereo.ResetOnSwapChainRelease();
    EXPECT_EQ(0u, stereo.settleFrames.load());
    EXPECT_EQ(0u, stereo.currentEye);
    EXPECT_FALSE(stereo.projectionHookSeen.load());
    EXPECT_FALSE(stereo.projectionHookSeenInPair);
    EXPECT_TRUE(stereo.stereoRendering) << "first person outlives the swap chain";

    stereo.ResetForDisabled();
    EXPECT_FALSE(stereo.stereoRendering);
}

} // namespace
} // namespace corvane
