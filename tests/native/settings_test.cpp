#include "core/settings.h"

#include "fakes/fake_platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cwchar>
#include <functional>
#include <string>

namespace corvane {
namespace {

using fake::SetIni;
using testing_support::MessageOf;

class SettingsTest : public testing_support::ProcessStateTest {};

const char* const kDefaultsLine =
    "Configuration loaded (VR=1, debug hands=0, paired AER=1, transition mono=1, AER first eye=right, pair "
    "pose "
    "lock=1, max pair interval=50 ms, motion input=1, direct head look=1, first-person default/resume=1/1, "
    "settle/retry=15/90 frames, native body=0, forward offset=0.200, head scale=1.000/1.000, render guard "
    "scale=1.00000000, frame scale=0.650, left frame horizontal/vertical offset=+0.000/+0.000, right frame "
    "scale/offsets/roll=0.650/+0.000/+0.000/+0.00, HUD scale/vertical=0.750/+0.000)";

TEST_F(SettingsTest, MissingFileGivesTableDefaultsAndTheExactLine) {
    LoadSettings();

    const Settings& s = GetSettings();
    const Settings defaults;
    EXPECT_TRUE(s == defaults);
    const auto lines = fake::LogLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(kDefaultsLine, MessageOf(lines[0]));
}

struct KeyCase {
    const wchar_t* section;
    const wchar_t* key;
    std::wstring text;
    std::function<double(const Settings&)> field;
    double expected;
};

TEST_F(SettingsTest, ValuesAreClampedAndBadTextFallsBack) {
    const std::wstring overLong = std::wstring(62, L'0') + L"37"; // 64 characters: only "...03" is read
    const KeyCase cases[] = {
        {L"VR", L"AERMaxPairIntervalMs", L"0", [](const Settings& s) { return s.AERMaxPairIntervalMs; }, 0},
        {L"VR", L"AERMaxPairIntervalMs", L"10", [](const Settings& s) { return s.AERMaxPairIntervalMs; }, 34},
        {L"VR", L"AERMaxPairIntervalMs", L"1000", [](const Settings& s) { return s.AERMaxPairIntervalMs; },
         250},
        {L"VR", L"AERMaxPairIntervalMs", L"-1", [](const Settings& s) { return s.AERMaxPairIntervalMs; },
         250},
        {L"Input", L"FirstPersonStableFrames", L"0",
         [](const Settings& s) { return s.FirstPersonStableFrames; }, 1},
        {L"Input", L"FirstPersonRetryFrames", L"5000",
         [](const Settings& s) { return s.FirstPersonRetryFrames; }, 1800},
        {L"Input", L"FirstPersonRetryFrames", L"99999999999999",
         [](const Settings& s) { return s.FirstPersonRetryFrames; }, 1800},
        {L"Input", L"FirstPersonRetryFrames", L"soon",
         [](const Settings& s) { return s.FirstPersonRetryFrames; }, 90},
        {L"VR", L"Enabled", L"yes", [](const Settings& s) { return s.Enabled; }, 1},
        {L"VR", L"Enabled", L"0", [](const Settings& s) { return s.Enabled; }, 0},
        {L"VR", L"VisibleHands", L"  2", [](const Settings& s) { return s.VisibleHands; }, 1},
        {L"VR", L"AERFirstEye", L"7", [](const Settings& s) { return s.AERFirstEye; }, 1},
        {L"VR", L"AERFirstEye", L"0", [](const Settings& s) { return s.AERFirstEye; }, 0},
        {L"VR", L"FrameScale", L"0", [](const Settings& s) { return s.FrameScale; }, 0.01f},
        {L"VR", L"WorldScale", L"abc", [](const Settings& s) { return s.WorldScale; }, 1.0f},
        {L"VR", L"WorldScale", L"1e999", [](const Settings& s) { return s.WorldScale; }, 1.0f},
        {L"VR", L"WorldScale", L"inf", [](const Settings& s) { return s.WorldScale; }, 1.0f},
        {L"VR", L"WorldScale", L"10", [](const Settings& s) { return s.WorldScale; }, 4.0f},
        {L"VR", L"HandScale", L"nan", [](const Settings& s) { return s.HandScale; }, 1.0f},
        {L"VR", L"HandScale", L"1.5x", [](const Settings& s) { return s.HandScale; }, 1.5f},
        {L"VR", L"FovScale", L"0.1", [](const Settings& s) { return s.FovScale; }, 0.5f},
        {L"VR", L"HudScale", L"-3", [](const Settings& s) { return s.HudScale; }, 0.01f},
        {L"VR", L"HudVerticalOffset", overLong, [](const Settings& s) { return s.HudVerticalOffset; }, 3.0f},
        {L"Input", L"StickDeadzone", L"-1", [](const Settings& s) { return s.StickDeadzone; }, 0.0f},
        {L"Input", L"StickDeadzone", L"1", [](const Settings& s) { return s.StickDeadzone; }, 0.9f},
        {L"Input", L"FirstPersonForwardOffset", L"0.5",
         [](const Settings& s) { return s.FirstPersonForwardOffset; }, 0.35f},
        {L"Input", L"HeadYawScale", L"-7", [](const Settings& s) { return s.HeadYawScale; }, -2.0f},
        {L"Input", L"HeadPitchScale", L" -0.5", [](const Settings& s) { return s.HeadPitchScale; }, -0.5f},
    };
    for (const KeyCase& c : cases) {
        testing_support::ResetProcessState();
        SetIni(c.section, c.key, c.text);
        LoadSettings();
        EXPECT_DOUBLE_EQ(c.expected, c.field(GetSettings()))
            << std::string(c.key, c.key + std::wcslen(c.key)) << " = "
            << std::string(c.text.begin(), c.text.end());
    }
}

TEST_F(SettingsTest, RightFrameDefaultsFollowTheLoadedLeftFrame) {
    SetIni(L"VR", L"FrameScale", L"0.8");
    SetIni(L"VR", L"FrameHorizontalOffset", L"0.05");
    SetIni(L"VR", L"FrameVerticalOffset", L"-0.02");
    SetIni(L"VR", L"RightFrameVerticalOffset", L"garbage");
    LoadSettings();

    const Settings& s = GetSettings();
    EXPECT_FLOAT_EQ(0.8f, s.RightFrameScale);
    EXPECT_FLOAT_EQ(0.05f, s.RightFrameHorizontalOffset);
    EXPECT_FLOAT_EQ(-0.02f, s.RightFrameVerticalOffset);
    EXPECT_FLOAT_EQ(0.0f, s.RightFrameRollDegrees);
}

TEST_F(SettingsTest, LogLineShowsClampedValuesAndLeftFirstEye) {
    SetIni(L"VR", L"AERFirstEye", L"0");
    SetIni(L"VR", L"AERMaxPairIntervalMs", L"1000");
    SetIni(L"VR", L"RightFrameRollDegrees", L"-1.25");
    SetIni(L"VR", L"FrameHorizontalOffset", L"0.125");
    LoadSettings();

    const std::string line = MessageOf(fake::LogLines().at(0));
    EXPECT_NE(std::string::npos, line.find("AER first eye=left,")) << line;
    EXPECT_NE(std::string::npos, line.find("max pair interval=250 ms")) << line;
    EXPECT_NE(std::string::npos, line.find("left frame horizontal/vertical offset=+0.125/+0.000")) << line;
    EXPECT_NE(std::string::npos, line.find("right frame scale/offsets/roll=0.650/+0.125/+0.000/-1.25"))
        << line;
}

TEST_F(SettingsTest, StartupStereoValuesUseTheirLiteralDefaultsAndClamp) {
    struct Case {
        const wchar_t* text;
        float separation;
    };
    const Case cases[] = {{nullptr, 1.75f}, {L"abc", 1.75f}, {L"nan", 1.75f},
                          {L"5", 2.0f},     {L"0.1", 0.25f}, {L"1.2", 1.2f}};
    for (const Case& c : cases) {
        testing_support::ResetProcessState();
        if (c.text != nullptr) {
            SetIni(L"VR", L"StereoUnitsPerMeter", c.text);
        }
        EXPECT_FLOAT_EQ(c.separation, ReadStartupStereoValues().stereoUnitsPerMeter);
    }

    testing_support::ResetProcessState();
    EXPECT_FLOAT_EQ(-0.095f, ReadStartupStereoValues().convergenceOffset);
    EXPECT_FALSE(ReadStartupStereoValues().swapEyes);
    SetIni(L"VR", L"ConvergenceOffset", L"12.5");
    SetIni(L"VR", L"SwapEyes", L"3");
    EXPECT_FLOAT_EQ(12.5f, ReadStartupStereoValues().convergenceOffset);
    EXPECT_TRUE(ReadStartupStereoValues().swapEyes);
}

TEST_F(SettingsTest, WriteBackFormatsWithSixDecimalsAndReportsFailure) {
    EXPECT_TRUE(WriteIniFloat(L"RightFrameScale", 0.675f));
    EXPECT_EQ(L"0.675000", fake::GetIni(L"VR", L"RightFrameScale"));
    fake::Ini().writesFail = true;
    EXPECT_FALSE(WriteIniFloat(L"RightFrameScale", 0.7f));
    EXPECT_EQ(L"0.675000", fake::GetIni(L"VR", L"RightFrameScale"));
}

} // namespace
} // namespace corvane
