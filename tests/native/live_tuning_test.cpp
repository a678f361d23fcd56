#include "stereo/live_tuning.h"

#include "program/frame_driver.h"
#include "fakes/fake_platform.h"
#include "stereo/stereo_state.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace corvane {
namespace {

using testing_support::MessageOf;

constexpr int kMinus = 0x6D, kPlus = 0x6B, kPad8 = 0x68, kPad2 = 0x62, kPad4 = 0x64, kPad6 = 0x66,
              kPad7 = 0x67, kPad9 = 0x69, kPad5 = 0x65;

class LiveTuningTest : public testing_support::ProcessStateTest {
protected:
    static bool Frame(std::set<int> keys) {
        fake::Os().keysDown = std::move(keys);
        return RunLiveTuning();
    }
    static std::string LastMessage() {
        const auto lines = fake::LogLines();
        return lines.empty() ? std::string() : MessageOf(lines.back());
    }
};

TEST_F(LiveTuningTest, EachKeyMovesTheRightPictureAndSavesIt) {
    struct Case {
        int key;
        RelaxedAtomic<float> StereoState::*field;
        float expected;
        const wchar_t* iniKey;
        const wchar_t* iniText;
        const char* message;
    };
    const Case cases[] = {
        {kMinus, &StereoState::rightFrameScale, 0.625f, L"RightFrameScale", L"0.625000",
         "Numpad -: right-eye picture smaller; scale 0.625 (saved)"},
        // 0.65f + 0.025f is one step below 0.675f: six decimals would save a different value.
        {kPlus, &StereoState::rightFrameScale, 0.675f, L"RightFrameScale", L"0.67499995",
         "Numpad +: right-eye picture larger; scale 0.675 (saved)"},
        {kPad8, &StereoState::rightFrameVerticalOffset, -0.01f, L"RightFrameVerticalOffset", L"-0.010000",
         "Numpad 8: right-eye picture moved up; vertical -0.010 (saved)"},
        {kPad2, &StereoState::rightFrameVerticalOffset, 0.01f, L"RightFrameVerticalOffset", L"0.010000",
         "Numpad 2: right-eye picture moved down; vertical +0.010 (saved)"},
        {kPad4, &StereoState::rightFrameHorizontalOffset, -0.01f, L"RightFrameHorizontalOffset", L"-0.010000",
         "Numpad 4: right-eye picture moved left; horizontal -0.010 (saved)"},
        {kPad6, &StereoState::rightFrameHorizontalOffset, 0.01f, L"RightFrameHorizontalOffset", L"0.010000",
         "Numpad 6: right-eye picture moved right; horizontal +0.010 (saved)"},
        {kPad7, &StereoState::rightFrameRollDegrees, -0.1f, L"RightFrameRollDegrees", L"-0.100000",
         "Numpad 7: right-eye picture rotated counterclockwise; roll -0.10 degrees (saved)"},
        {kPad9, &StereoState::rightFrameRollDegrees, 0.1f, L"RightFrameRollDegrees", L"0.100000",
         "Numpad 9: right-eye picture rotated clockwise; roll +0.10 degrees (saved)"},
    };
    for (const Case& c : cases) {
        testing_support::ResetProcessState();
        EXPECT_TRUE(Frame({c.key}));
        EXPECT_FLOAT_EQ(c.expected, GetStereoState().*c.field) << c.message;
        EXPECT_EQ(c.iniText, fake::GetIni(L"VR", c.iniKey)) << c.message;
        EXPECT_EQ(c.message, LastMessage());
        // Held down: no second change.
        EXPECT_FALSE(Frame({c.key}));
        EXPECT_FLOAT_EQ(c.expected, GetStereoState().*c.field) << c.message;
        EXPECT_EQ(1u, fake::LogLines().size());
    }
}

TEST_F(LiveTuningTest, PressesWhileAnotherWindowHasFocusAreConsumed) {
    fake::Os().foregroundOurs = false;
    EXPECT_FALSE(Frame({kPad8}));
    fake::Os().foregroundOurs = true;
    EXPECT_FALSE(Frame({kPad8})); // still held from the unfocused press
    EXPECT_FLOAT_EQ(0.0f, GetStereoState().rightFrameVerticalOffset);
    EXPECT_TRUE(fake::LogLines().empty());
}

TEST_F(LiveTuningTest, OppositeKeysCancelButLowerPairsStillRun) {
    EXPECT_TRUE(Frame({kMinus, kPlus, kPad8}));
    EXPECT_FLOAT_EQ(0.65f, GetStereoState().rightFrameScale);
    EXPECT_FLOAT_EQ(-0.01f, GetStereoState().rightFrameVerticalOffset);
}

TEST_F(LiveTuningTest, OnlyTheHighestPriorityActionRunsAndLowerPressesAreLost) {
    EXPECT_TRUE(Frame({kPad8, kPad4}));
    EXPECT_FLOAT_EQ(-0.01f, GetStereoState().rightFrameVerticalOffset);
    EXPECT_FLOAT_EQ(0.0f, GetStereoState().rightFrameHorizontalOffset);
    EXPECT_FALSE(Frame({kPad8, kPad4}));
    EXPECT_FLOAT_EQ(0.0f, GetStereoState().rightFrameHorizontalOffset);
}

TEST_F(LiveTuningTest, ScaleStopsAtItsFloorSilently) {
    GetStereoState().rightFrameScale = 0.02f;
    EXPECT_TRUE(Frame({kMinus}));
    EXPECT_FLOAT_EQ(0.01f, GetStereoState().rightFrameScale);
    EXPECT_EQ("Numpad -: right-eye picture smaller; scale 0.010 (saved)", LastMessage());
    Frame({});
    const int writes = fake::Ini().writeCount;
    EXPECT_FALSE(Frame({kMinus}));
    EXPECT_EQ(writes, fake::Ini().writeCount);
    EXPECT_EQ(1u, fake::LogLines().size());
}

TEST_F(LiveTuningTest, ResetCopiesTheLeftPictureAndWinsOverOtherKeys) {
    StereoState& stereo = GetStereoState();
    stereo.frameScale = 0.7f;
    stereo.frameHorizontalOffset = 0.02f;
    stereo.frameVerticalOffset = -0.03f;
    stereo.rightFrameScale = 0.9f;
    stereo.rightFrameRollDegrees = 1.5f;

    EXPECT_TRUE(Frame({kPad5, kPlus, kPad9}));
    EXPECT_FLOAT_EQ(0.7f, stereo.rightFrameScale);
    EXPECT_FLOAT_EQ(0.02f, stereo.rightFrameHorizontalOffset);
    EXPECT_FLOAT_EQ(-0.03f, stereo.rightFrameVerticalOffset);
    EXPECT_FLOAT_EQ(0.0f, stereo.rightFrameRollDegrees);
    EXPECT_EQ(L"0.700000", fake::GetIni(L"VR", L"RightFrameScale"));
    EXPECT_EQ(L"0.000000", fake::GetIni(L"VR", L"RightFrameRollDegrees"));
    EXPECT_EQ("Numpad 5: right-eye picture reset to saved left-eye values (saved)", LastMessage());
}

TEST_F(LiveTuningTest, FailedSaveKeepsTheLiveValue) {
    fake::Ini().writesFail = true;
    EXPECT_TRUE(Frame({kPad5}));
    EXPECT_EQ("Numpad 5: right-eye picture reset to saved left-eye values (live only; INI save failed)",
              LastMessage());
    Frame({});
    EXPECT_TRUE(Frame({kPad6}));
    EXPECT_FLOAT_EQ(0.01f, GetStereoState().rightFrameHorizontalOffset);
    EXPECT_EQ("Numpad 6: right-eye picture moved right; horizontal +0.010 (live only; INI save failed)",
              LastMessage());
}

TEST_F(LiveTuningTest, ResetSavesInOrderAndStopsAtTheFirstFailedWrite) {
    const wchar_t* const keys[] = {L"RightFrameScale", L"RightFrameHorizontalOffset",
                                   L"RightFrameVerticalOffset", L"RightFrameRollDegrees"};
    const wchar_t* const saved[] = {L"0.700000", L"0.020000", L"-0.030000", L"0.000000"};
    // failingWrite 5: no write fails.
    for (int failingWrite = 1; failingWrite <= 5; ++failingWrite) {
        SCOPED_TRACE(failingWrite);
        testing_support::ResetProcessState();
        for (const wchar_t* key : keys) {
            fake::SetIni(L"VR", key, L"old");
        }
        fake::Ini().failingWrite = failingWrite;
        StereoState& stereo = GetStereoState();
        stereo.frameScale = 0.7f;
        stereo.frameHorizontalOffset = 0.02f;
        stereo.frameVerticalOffset = -0.03f;
        stereo.rightFrameScale = 0.9f;
        stereo.rightFrameHorizontalOffset = 0.5f;
        stereo.rightFrameVerticalOffset = 0.6f;
        stereo.rightFrameRollDegrees = 1.5f;

        EXPECT_TRUE(Frame({kPad5}));
        // The live picture is reset whatever the file does.
        EXPECT_FLOAT_EQ(0.7f, stereo.rightFrameScale);
        EXPECT_FLOAT_EQ(0.02f, stereo.rightFrameHorizontalOffset);
        EXPECT_FLOAT_EQ(-0.03f, stereo.rightFrameVerticalOffset);
        EXPECT_FLOAT_EQ(0.0f, stereo.rightFrameRollDegrees);
        EXPECT_EQ(std::min(failingWrite, 4), fake::Ini().writeAttempts);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(i + 1 < failingWrite ? saved[i] : L"old", fake::GetIni(L"VR", keys[i])) << i;
        }
        EXPECT_EQ(
            failingWrite == 5
                ? "Numpad 5: right-eye picture reset to saved left-eye values (saved)"
                : "Numpad 5: right-eye picture reset to saved left-eye values (live only; INI save failed)",
            LastMessage());
    }
}

TEST_F(LiveTuningTest, StartupSeedsEveryLiveValueFromItsOwnKey) {
    // Every value distinct, so a value seeded from its neighbour shows.
    fake::SetIni(L"VR", L"FrameScale", L"0.81");
    fake::SetIni(L"VR", L"FrameHorizontalOffset", L"0.02");
    fake::SetIni(L"VR", L"FrameVerticalOffset", L"-0.03");
    fake::SetIni(L"VR", L"RightFrameScale", L"0.77");
    fake::SetIni(L"VR", L"RightFrameHorizontalOffset", L"0.04");
    fake::SetIni(L"VR", L"RightFrameVerticalOffset", L"-0.05");
    fake::SetIni(L"VR", L"RightFrameRollDegrees", L"0.6");
    fake::SetIni(L"VR", L"HudScale", L"0.55");
    fake::SetIni(L"VR", L"HudVerticalOffset", L"0.07");
    fake::SetIni(L"VR", L"FovScale", L"1.3");
    fake::SetIni(L"VR", L"StereoUnitsPerMeter", L"1.1");
    fake::SetIni(L"VR", L"ConvergenceOffset", L"-0.08");
    fake::SetIni(L"VR", L"SwapEyes", L"1");
    fake::SetIni(L"VR", L"AERFirstEye", L"0");
    StartupOnce();

    const StereoState& stereo = GetStereoState();
    EXPECT_FLOAT_EQ(0.81f, stereo.frameScale);
    EXPECT_FLOAT_EQ(0.02f, stereo.frameHorizontalOffset);
    EXPECT_FLOAT_EQ(-0.03f, stereo.frameVerticalOffset);
    EXPECT_FLOAT_EQ(0.77f, stereo.rightFrameScale);
    EXPECT_FLOAT_EQ(0.04f, stereo.rightFrameHorizontalOffset);
    EXPECT_FLOAT_EQ(-0.05f, stereo.rightFrameVerticalOffset);
    EXPECT_FLOAT_EQ(0.6f, stereo.rightFrameRollDegrees);
    EXPECT_FLOAT_EQ(0.55f, stereo.hudScale);
    EXPECT_FLOAT_EQ(0.07f, stereo.hudVerticalOffset);
    EXPECT_FLOAT_EQ(1.3f, stereo.fovScale);
    EXPECT_FLOAT_EQ(1.1f, stereo.stereoUnitsPerMeter);
    EXPECT_FLOAT_EQ(-0.08f, stereo.convergenceOffset);
    EXPECT_TRUE(stereo.swapEyes);
    EXPECT_EQ(0u, stereo.currentEye);
    EXPECT_EQ(
        "CorvaneVR v0.9.5 automatic cutscene-resume prototype initialized; camera build guard=unsupported, "
        "render guard scale=1.29999995, separation=1.100 units/metre, convergence=-0.0800, frame "
        "scale=0.810, "
        "left horizontal/vertical offset=+0.020/-0.030, right scale/offsets/roll=0.770/+0.040/-0.050/+0.60, "
        "eye "
        "order=swapped, capture order=left-first, pair pose lock=on",
        LastMessage());
}

TEST_F(LiveTuningTest, RepeatedPressesAccumulate) {
    Frame({kPad8});
    Frame({});
    Frame({kPad8});
    EXPECT_EQ("Numpad 8: right-eye picture moved up; vertical -0.020 (saved)", LastMessage());
}

} // namespace
} // namespace corvane
