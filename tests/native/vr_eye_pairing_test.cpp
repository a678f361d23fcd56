// The pairing decisions frame by frame: which textures receive the game picture, when a
// staged left/right pair is published or dropped, and what the eye textures then hold.
#include "vr/eye_pairing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane {
namespace {

constexpr int64_t kMs = 1'000'000;
constexpr PictureProjection kEye = PictureProjection::Eye;
constexpr PictureProjection kCommon = PictureProjection::Common;
constexpr PictureProjection kGame = PictureProjection::Game;

struct FrameStep {
    uint32_t eye;
    bool pairValid;
    int64_t atMs;
    uint64_t poseEpoch; // 0: no render pose for this picture
    PictureProjection projection;
    // Expected: the copies ("E0" eye texture 0, "S1" staging texture 1 ...), the outcome
    // ("-", "published", "incoherent", "over-age") and the epochs the eye textures then carry.
    const char* copies;
    const char* outcome;
    uint64_t leftEpoch;
    uint64_t rightEpoch;
};

struct Mode {
    bool stagedAer;
    uint32_t maxPairIntervalMs;
};

std::string Describe(const EyeCopyPlan& plan) {
    std::string text;
    for (int i = 0; i < plan.copyCount; ++i) {
        text += text.empty() ? "" : " ";
        text += plan.copies[i].destination == CopyDestination::EyeTexture ? "E" : "S";
        text += std::to_string(plan.copies[i].eye);
    }
    return text;
}

// The tracking epoch of each frame is its picture's, or the last one while a picture has none.
void RunFrames(const Mode& mode, const std::vector<FrameStep>& steps) {
    EyeTextureState state;
    int index = 0;
    uint64_t currentEpoch = 0;
    for (const FrameStep& step : steps) {
        SCOPED_TRACE("frame " + std::to_string(++index));
        EyeFrame frame;
        frame.eye = step.eye;
        frame.pairValid = step.pairValid;
        frame.source = PictureSource{step.projection, step.eye};
        frame.stagedAer = mode.stagedAer;
        frame.maxPairIntervalMs = mode.maxPairIntervalMs;
        frame.nowNs = step.atMs * kMs;
        currentEpoch = step.poseEpoch != 0 ? step.poseEpoch : currentEpoch;
        frame.currentEpoch = currentEpoch;
        EyeRenderPose pose;
        pose.valid = step.poseEpoch != 0;
        pose.referenceEpoch = step.poseEpoch;

        const EyeCopyPlan plan = PlanEyeCopies(state, frame);
        RecordEyeCopies(state, plan, frame, step.poseEpoch != 0 ? &pose : nullptr);
        const PairOutcome outcome = CompletePair(state, frame);
        std::string said = plan.overAgeDrop ? "over-age" : "-";
        said = outcome == PairOutcome::Published           ? "published"
               : outcome == PairOutcome::DroppedIncoherent ? "incoherent"
                                                           : said;
        EXPECT_EQ(Describe(plan), step.copies);
        EXPECT_EQ(said, step.outcome);
        EXPECT_TRUE(state.eyeTextureValid[0] && state.eyeTextureValid[1]);
        EXPECT_EQ(state.eyePose[0].referenceEpoch, step.leftEpoch);
        EXPECT_EQ(state.eyePose[1].referenceEpoch, step.rightEpoch);
    }
}

TEST(EyePairingTest, StagedPairsPublishTogetherAndIncoherentOnesAreDropped) {
    RunFrames(Mode{true, 50}, {
                                  // A fresh start shows the first picture in both eyes at once.
                                  {0, true, 0, 5, kEye, "S0 E0 E1", "-", 5, 5},
                                  {1, true, 16, 5, kEye, "S1", "published", 5, 5},
                                  // Same epoch, but one picture lacks a render pose.
                                  {0, true, 33, 5, kEye, "S0", "-", 5, 5},
                                  {1, true, 50, 0, kEye, "S1", "incoherent", 5, 5},
                                  // Projection changed between the eyes.
                                  {0, true, 66, 5, kEye, "S0", "-", 5, 5},
                                  {1, true, 83, 5, kGame, "S1", "incoherent", 5, 5},
                                  // The same eye twice: the second picture replaces the first.
                                  {0, true, 100, 5, kEye, "S0", "-", 5, 5},
                                  {0, true, 116, 5, kEye, "S0", "-", 5, 5},
                                  {1, true, 133, 5, kEye, "S1", "published", 5, 5},
                              });
}

// A new tracking epoch (the view centred again, first person entered or left) ends the pictures
// of the old one at once: the first picture of the new one fills both eyes, in either mode, so
// that no texture goes out without the pose it and its hands were made for. Halves of two
// epochs never pair.
TEST(EyePairingTest, ANewEpochFillsBothEyesAndHalvesOfTwoEpochsNeverPair) {
    RunFrames(Mode{true, 50}, {
                                  {0, true, 0, 5, kEye, "S0 E0 E1", "-", 5, 5},
                                  {1, true, 16, 5, kEye, "S1", "published", 5, 5},
                                  {0, true, 33, 7, kEye, "S0 E0 E1", "-", 7, 7},
                                  {1, true, 50, 8, kEye, "S1 E0 E1", "incoherent", 8, 8},
                                  // A picture without a pose keeps the epoch; nothing is stale.
                                  {0, true, 66, 0, kEye, "S0", "-", 8, 8},
                                  {1, true, 83, 8, kEye, "S1", "incoherent", 8, 8},
                                  {0, true, 100, 8, kEye, "S0", "-", 8, 8},
                                  {1, true, 116, 8, kEye, "S1", "published", 8, 8},
                              });
    RunFrames(Mode{false, 50}, {
                                   {1, true, 0, 6, kEye, "E1 E0", "-", 6, 6},
                                   {0, true, 16, 6, kEye, "E0", "-", 6, 6},
                                   {1, true, 33, 9, kEye, "E1 E0", "-", 9, 9},
                                   {0, true, 50, 9, kEye, "E0", "-", 9, 9},
                               });
}

TEST(EyePairingTest, ALateSecondEyeIsShownMonoAndStartsNoPair) {
    RunFrames(Mode{true, 50}, {
                                  {1, true, 0, 3, kEye, "S1 E0 E1", "-", 3, 3},
                                  // 60 ms after the right eye: too old to pair with.
                                  {0, true, 60, 3, kEye, "E0 E1", "over-age", 3, 3},
                                  // Nothing is staged any more, so this one starts a new pair.
                                  {1, true, 200, 3, kEye, "S1", "-", 3, 3},
                                  {0, true, 250, 3, kEye, "S0", "published", 3, 3},
                              });
}

TEST(EyePairingTest, WithoutAnAgeLimitAnyLatePairCompletes) {
    RunFrames(Mode{true, 0}, {
                                 {0, true, 0, 4, kEye, "S0 E0 E1", "-", 4, 4},
                                 {1, true, 10'000, 4, kEye, "S1", "published", 4, 4},
                             });
}

TEST(EyePairingTest, MonoFramesFillBothEyesAndBreakUpAStagedPair) {
    RunFrames(Mode{true, 50}, {
                                  {0, false, 0, 2, kGame, "E0 E1", "-", 2, 2},
                                  {0, true, 16, 2, kEye, "S0", "-", 2, 2},
                                  {1, false, 33, 0, kGame, "E0 E1", "-", 0, 0},
                                  // The left half was thrown away by the mono frame.
                                  {1, true, 50, 2, kEye, "S1", "-", 0, 0},
                                  // An eye number beyond the right eye is treated as mono.
                                  {2, true, 66, 2, kEye, "E0 E1", "-", 2, 2},
                              });
}

TEST(EyePairingTest, DirectAerUpdatesOneEyeAfterFillingBoth) {
    RunFrames(Mode{false, 50}, {
                                   {1, true, 0, 6, kEye, "E1 E0", "-", 6, 6},
                                   {0, true, 16, 6, kEye, "E0", "-", 6, 6},
                                   {1, true, 33, 6, kEye, "E1", "-", 6, 6},
                               });
}

// Each texture keeps the projection of the picture it holds: in direct alternate-eye rendering
// a mono frame's picture stays in the eye the next stereo frame does not update, and a
// published pair carries each half's own.
TEST(EyePairingTest, EachTextureRemembersTheProjectionOfItsOwnPicture) {
    struct Step {
        uint32_t eye;
        bool pairValid;
        PictureProjection projection;
        PictureSource left;
        PictureSource right;
    };
    const auto run = [](bool stagedAer, std::initializer_list<Step> steps) {
        EyeTextureState state;
        int64_t now = 0;
        for (const Step& step : steps) {
            EyeFrame frame;
            frame.eye = step.eye;
            frame.pairValid = step.pairValid;
            frame.source = PictureSource{step.projection, step.eye};
            frame.stagedAer = stagedAer;
            frame.nowNs = now += 16 * kMs;
            RecordEyeCopies(state, PlanEyeCopies(state, frame), frame, nullptr);
            (void)CompletePair(state, frame);
            EXPECT_EQ(state.eyeSource[0], step.left) << "frame at " << now / kMs << " ms";
            EXPECT_EQ(state.eyeSource[1], step.right) << "frame at " << now / kMs << " ms";
        }
    };
    run(false, {
                   {1, false, kCommon, {kCommon, 1}, {kCommon, 1}},
                   {0, true, kEye, {kEye, 0}, {kCommon, 1}},
                   {1, true, kEye, {kEye, 0}, {kEye, 1}},
                   {0, false, kGame, {kGame, 0}, {kGame, 0}},
               });
    run(true, {
                  {0, false, kEye, {kEye, 0}, {kEye, 0}},
                  {0, true, kEye, {kEye, 0}, {kEye, 0}},
                  {1, true, kEye, {kEye, 0}, {kEye, 1}},
              });
}

// The bounds a texture was cut with travel with its picture: through staging and publication,
// and unchanged while later frames only stage.
TEST(EyePairingTest, EachTextureKeepsTheBoundsItsPictureWasCutWith) {
    EyeTextureState state;
    const auto frame = [&](uint32_t eye, float cut) {
        EyeFrame f;
        f.eye = eye;
        f.pairValid = true;
        f.source = PictureSource{kEye, eye};
        f.bounds[0] = VRTextureBounds_t{cut, 0.0f, 1.0f, 1.0f};
        f.bounds[1] = VRTextureBounds_t{0.0f, 0.0f, 1.0f - cut, 1.0f};
        RecordEyeCopies(state, PlanEyeCopies(state, f), f, nullptr);
        return CompletePair(state, f);
    };
    (void)frame(0, 0.01f); // fills both
    EXPECT_EQ(state.eyeBounds[0].uMin, 0.01f);
    EXPECT_EQ(state.eyeBounds[1].uMax, 0.99f);
    EXPECT_EQ(frame(1, 0.02f), PairOutcome::Published);
    EXPECT_EQ(state.eyeBounds[0].uMin, 0.01f) << "the left half was cut before the convergence moved";
    EXPECT_EQ(state.eyeBounds[1].uMax, 0.98f);
    EXPECT_EQ(frame(0, 0.03f), PairOutcome::None);
    EXPECT_EQ(state.eyeBounds[0].uMin, 0.01f) << "staging leaves the published pair's bounds alone";
    EXPECT_EQ(state.eyeBounds[1].uMax, 0.98f);
}

TEST(EyePairingTest, FailedCopiesLeaveTheStateButADropStands) {
    EyeTextureState state;
    EyeFrame frame;
    frame.pairValid = true;
    frame.eye = 0;
    RecordEyeCopies(state, PlanEyeCopies(state, frame), frame, nullptr);
    ASSERT_TRUE(state.staged[0]);

    // The right eye is mono this time and its copies never run: the half pair is gone anyway.
    frame.eye = 1;
    frame.pairValid = false;
    (void)PlanEyeCopies(state, frame);
    EXPECT_FALSE(state.staged[0]);
    EXPECT_EQ(state.stagedTime[0], 0);
}

} // namespace
} // namespace corvane
