#include "core/settings.h"

#include "fakes/fake_platform.h"
#include "ini_keys.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cwchar>
#include <functional>
#include <string>
#include <utility>
#include <vector>

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
    "scale/offsets/roll=0.650/+0.000/+0.000/+0.00, HUD scale/vertical=0.750/+0.000, cinema screen=1 "
    "distance/width/surround=3.00/4.00/0.05, snap turn=0 degrees, runtime=auto)";

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
        {L"VR", L"CinemaScreen", L"off", [](const Settings& s) { return s.CinemaScreen; }, 0},
        {L"VR", L"CinemaDistance", L"0.2", [](const Settings& s) { return s.CinemaDistance; }, 1.0f},
        {L"VR", L"CinemaDistance", L"50", [](const Settings& s) { return s.CinemaDistance; }, 20.0f},
        {L"VR", L"CinemaDistance", L"nan", [](const Settings& s) { return s.CinemaDistance; }, 3.0f},
        {L"VR", L"CinemaWidth", L"0", [](const Settings& s) { return s.CinemaWidth; }, 0.5f},
        {L"VR", L"CinemaWidth", L"-inf", [](const Settings& s) { return s.CinemaWidth; }, 4.0f},
        {L"VR", L"CinemaWidth", L"99", [](const Settings& s) { return s.CinemaWidth; }, 30.0f},
        {L"VR", L"CinemaSurround", L"2", [](const Settings& s) { return s.CinemaSurround; }, 1.0f},
        {L"VR", L"CinemaSurround", L"-0.5", [](const Settings& s) { return s.CinemaSurround; }, 0.0f},
        {L"VR", L"Runtime", L" OpenXR ", [](const Settings& s) { return static_cast<int>(s.Runtime.load()); },
         2},
        {L"VR", L"Runtime", L"openvr", [](const Settings& s) { return static_cast<int>(s.Runtime.load()); },
         1},
        {L"VR", L"Runtime", L"steamvr", [](const Settings& s) { return static_cast<int>(s.Runtime.load()); },
         0},
        {L"Input", L"SnapTurnDegrees", L"0", [](const Settings& s) { return s.SnapTurnDegrees; }, 0},
        {L"Input", L"SnapTurnDegrees", L"5", [](const Settings& s) { return s.SnapTurnDegrees; }, 15},
        {L"Input", L"SnapTurnDegrees", L"45", [](const Settings& s) { return s.SnapTurnDegrees; }, 45},
        {L"Input", L"SnapTurnDegrees", L"180", [](const Settings& s) { return s.SnapTurnDegrees; }, 90},
        {L"Input", L"SnapTurnDegrees", L"left", [](const Settings& s) { return s.SnapTurnDegrees; }, 0},
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

TEST_F(SettingsTest, WriteBackTextReadsBackAsExactlyTheValue) {
    struct Case {
        float value;
        const wchar_t* text; // nullptr: any text that reads back exactly
    };
    const Case cases[] = {
        {-0.1f, L"-0.100000"},
        {0.0f, L"0.000000"},
        {0.65f + 0.025f, L"0.67499995"}, // six decimals would read back as 0.675f, one step away
        {-1e30f, nullptr},               // 31 digits before the point in fixed notation
        {3.4028235e38f, nullptr},        // the largest float
        {1e-7f, nullptr},                // six decimals would say 0
        {1.4e-45f, nullptr},             // the smallest denormal
        {-123456.789f, nullptr},
        {0.0123456789f, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_TRUE(WriteIniFloat(L"RightFrameScale", c.value));
        const std::wstring text = fake::GetIni(L"VR", L"RightFrameScale");
        EXPECT_LT(text.size(), 32u);
        if (c.text != nullptr) {
            EXPECT_EQ(c.text, text);
        }
        EXPECT_EQ(c.value, ReadIniFloat(L"VR", L"RightFrameScale", 99.0f))
            << std::string(text.begin(), text.end());
    }
    EXPECT_TRUE(fake::LogLines().empty());

    // A value no text can hold is not saved, and the file keeps what it had.
    fake::SetIni(L"VR", L"RightFrameScale", L"0.5");
    const int writes = fake::Ini().writeAttempts;
    for (float unsaveable : {INFINITY, -INFINITY, NAN}) {
        EXPECT_FALSE(WriteIniFloat(L"RightFrameScale", unsaveable));
    }
    EXPECT_EQ(writes, fake::Ini().writeAttempts);
    EXPECT_EQ(L"0.5", fake::GetIni(L"VR", L"RightFrameScale"));
}

TEST_F(SettingsTest, SwitchWordsAreReadAndUnusableTextIsLoggedWithTheValueUsed) {
    struct Case {
        const wchar_t* section;
        const wchar_t* key;
        std::wstring text;
        std::function<double(const Settings&)> field;
        double expected;
        const char* logged; // nullptr: nothing logged
    };
    const auto enabled = [](const Settings& s) { return s.Enabled; };
    const auto hands = [](const Settings& s) { return s.VisibleHands; };
    const Case cases[] = {
        {L"VR", L"Enabled", L"false", enabled, 0, nullptr},
        {L"VR", L"Enabled", L"OFF", enabled, 0, nullptr},
        {L"VR", L"Enabled", L" No\t", enabled, 0, nullptr},
        {L"VR", L"Enabled", L"0", enabled, 0, nullptr},
        {L"VR", L"Enabled", L"", enabled, 1, nullptr},
        {L"VR", L"Enabled", L"   ", enabled, 1, nullptr},
        {L"VR", L"Enabled", L"maybe", enabled, 1,
         "Configuration: [VR] Enabled=\"maybe\" is not a number or true/false, yes/no, on/off; using 1"},
        {L"VR", L"Enabled", L"nope", enabled, 1,
         "Configuration: [VR] Enabled=\"nope\" is not a number or true/false, yes/no, on/off; using 1"},
        {L"VR", L"VisibleHands", L"True", hands, 1, nullptr},
        {L"VR", L"VisibleHands", L"yEs", hands, 1, nullptr},
        {L"VR", L"VisibleHands", L"on", hands, 1, nullptr},
        {L"VR", L"VisibleHands", L"2", hands, 1, nullptr},
        {L"VR", L"VisibleHands", L"-1", hands, 1, nullptr},
        {L"VR", L"VisibleHands", L"1 (draw them)", hands, 1, nullptr},
        {L"VR", L"VisibleHands", L"onn", hands, 0,
         "Configuration: [VR] VisibleHands=\"onn\" is not a number or true/false, yes/no, on/off; using 0"},
        // Every letter counts, the last one too.
        {L"VR", L"VisibleHands", L"of", hands, 0,
         "Configuration: [VR] VisibleHands=\"of\" is not a number or true/false, yes/no, on/off; using 0"},
        {L"VR", L"VisibleHands", L"trux", hands, 0,
         "Configuration: [VR] VisibleHands=\"trux\" is not a number or true/false, yes/no, on/off; using 0"},
        {L"VR", L"VisibleHands", L"yez", hands, 0,
         "Configuration: [VR] VisibleHands=\"yez\" is not a number or true/false, yes/no, on/off; using 0"},
        {L"VR", L"Enabled", L"nO", enabled, 0, nullptr},
        {L"Input", L"MapMotionControllers", L"Off", [](const Settings& s) { return s.MapMotionControllers; },
         0, nullptr},
        {L"Input", L"ShowPlayerBody", L"visible", [](const Settings& s) { return s.ShowPlayerBody; }, 0,
         "Configuration: [Input] ShowPlayerBody=\"visible\" is not a number or true/false, yes/no, on/off; "
         "using 0"},
        {L"Input", L"FirstPersonRetryFrames", L"soon",
         [](const Settings& s) { return s.FirstPersonRetryFrames; }, 90,
         "Configuration: [Input] FirstPersonRetryFrames=\"soon\" is not a number; using 90"},
        {L"VR", L"AERMaxPairIntervalMs", L"fast", [](const Settings& s) { return s.AERMaxPairIntervalMs; },
         50, "Configuration: [VR] AERMaxPairIntervalMs=\"fast\" is not a number; using 50"},
        {L"VR", L"AERFirstEye", L"left", [](const Settings& s) { return s.AERFirstEye; }, 1,
         "Configuration: [VR] AERFirstEye=\"left\" is not a number; using 1"},
        {L"VR", L"WorldScale", L"abc", [](const Settings& s) { return s.WorldScale; }, 1.0f,
         "Configuration: [VR] WorldScale=\"abc\" is not a finite number; using 1"},
        {L"VR", L"FrameScale", L"inf", [](const Settings& s) { return s.FrameScale; }, 0.65f,
         "Configuration: [VR] FrameScale=\"inf\" is not a finite number; using 0.65"},
        {L"Input", L"StickDeadzone", L"\u00e9t\u00e9", [](const Settings& s) { return s.StickDeadzone; },
         0.18f, "Configuration: [Input] StickDeadzone=\"?t?\" is not a finite number; using 0.18"},
        {L"VR", L"HandScale", L"1.5x", [](const Settings& s) { return s.HandScale; }, 1.5f, nullptr},
        {L"VR", L"HudScale", L"", [](const Settings& s) { return s.HudScale; }, 0.75f, nullptr},
    };
    for (const Case& c : cases) {
        testing_support::ResetProcessState();
        SetIni(c.section, c.key, c.text);
        LoadSettings();
        const std::string name =
            std::string(c.key, c.key + std::wcslen(c.key)) + "=" + std::string(c.text.begin(), c.text.end());
        EXPECT_DOUBLE_EQ(c.expected, c.field(GetSettings())) << name;
        const auto lines = fake::LogLines();
        ASSERT_EQ(c.logged != nullptr ? 2u : 1u, lines.size()) << name;
        if (c.logged != nullptr) {
            EXPECT_EQ(c.logged, MessageOf(lines[0])) << name;
        }
        EXPECT_EQ(0u, MessageOf(lines.back()).rfind("Configuration loaded (", 0)) << name;
    }
}

TEST_F(SettingsTest, UnusableTextOfTheStartupKeysNamesTheValueUsed) {
    SetIni(L"VR", L"SwapEyes", L"Yes");
    SetIni(L"VR", L"StereoUnitsPerMeter", L"far");
    SetIni(L"VR", L"ConvergenceOffset", L"nan");
    const StartupStereoValues values = ReadStartupStereoValues();
    EXPECT_TRUE(values.swapEyes);
    EXPECT_FLOAT_EQ(1.75f, values.stereoUnitsPerMeter);
    EXPECT_FLOAT_EQ(-0.095f, values.convergenceOffset);
    const auto lines = fake::LogLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("Configuration: [VR] StereoUnitsPerMeter=\"far\" is not a finite number; using 1.75",
              MessageOf(lines[0]));
    EXPECT_EQ("Configuration: [VR] ConvergenceOffset=\"nan\" is not a finite number; using -0.095",
              MessageOf(lines[1]));

    // A right-frame key falls back to the left value just loaded, and says so.
    testing_support::ResetProcessState();
    SetIni(L"VR", L"FrameVerticalOffset", L"-0.02");
    SetIni(L"VR", L"RightFrameVerticalOffset", L"garbage");
    LoadSettings();
    EXPECT_EQ("Configuration: [VR] RightFrameVerticalOffset=\"garbage\" is not a finite number; using -0.02",
              MessageOf(fake::LogLines().at(0)));
}

TEST_F(SettingsTest, EveryKeyIsReadFromItsSectionInTableOrder) {
    using Key = std::pair<std::wstring, std::wstring>;
    const auto keys = [](const auto& table) {
        std::vector<Key> list;
        for (const testing_support::IniKey& key : table) {
            list.emplace_back(key.section, key.name);
        }
        return list;
    };
    LoadSettings();
    EXPECT_EQ(keys(testing_support::kSettingsKeys), fake::Ini().reads);

    // The startup step reads the separation and convergence, then the eye swap.
    fake::Ini().reads.clear();
    (void)ReadStartupStereoValues();
    EXPECT_EQ(keys(testing_support::kStartupKeys), fake::Ini().reads);
}

} // namespace
} // namespace corvane
