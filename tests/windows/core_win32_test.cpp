// Configuration and log through the real Windows profile and file functions. The INI and
// the log live beside this program, as they live beside the DLL in the game.
#include "stereo/live_tuning.h"
#include "core/log.h"
#include "core/settings.h"
#include "platform/win32/os_win32.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <clocale>
#include <cmath>
#include <cwchar>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvane {
namespace {

using testing_support::Beside;
using testing_support::ReadFileText;

void WriteFile(const std::wstring& path, const std::string& text) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << text;
}

std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    std::string text = ReadFileText(Beside(L"CorvaneVR.log"));
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "the log ends in the middle of a line";
    return lines;
}

class CoreWin32Test : public ::testing::Test {
protected:
    void SetUp() override {
        RecordOwnModule(GetModuleHandleW(nullptr));
        RemoveFiles();
        GetSettings() = Settings{};
    }
    void TearDown() override { RemoveFiles(); }

    static void RemoveFiles() {
        for (const wchar_t* file : {L"CorvaneVR.ini", L"CorvaneVR.log"}) {
            const std::wstring path = Beside(file);
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    }
    static void UseShippedIni() {
        ASSERT_TRUE(CopyFileW(Beside(L"shipped.ini").c_str(), Beside(L"CorvaneVR.ini").c_str(), FALSE));
    }
};

TEST_F(CoreWin32Test, ShippedIniGivesExactlyTheDefaults) {
    UseShippedIni();
    LoadSettings();
    EXPECT_TRUE(GetSettings() == Settings{});

    const StartupStereoValues startup = ReadStartupStereoValues();
    EXPECT_FALSE(startup.swapEyes);
    EXPECT_FLOAT_EQ(1.75f, startup.stereoUnitsPerMeter);
    EXPECT_FLOAT_EQ(-0.095f, startup.convergenceOffset);

    const auto lines = LogLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("] Configuration loaded (VR=1, debug hands=0, paired AER=1"));
}

TEST_F(CoreWin32Test, MissingIniGivesTheDefaults) {
    LoadSettings();
    EXPECT_TRUE(GetSettings() == Settings{});
}

TEST_F(CoreWin32Test, BadValuesThroughTheProfileFunctionsFallBack) {
    WriteFile(Beside(L"CorvaneVR.ini"), "[VR]\r\nEnabled=yes\r\nWorldScale=abc\r\nFovScale=1e999\r\n"
                                        "AERMaxPairIntervalMs=1000\r\nHandScale=1.5x\r\nHudVerticalOffset=" +
                                            std::string(62, '0') +
                                            "37\r\n[Input]\r\nStickDeadzone=-1\r\n"
                                            "FirstPersonRetryFrames=-5\r\n");
    LoadSettings();
    const Settings& s = GetSettings();
    EXPECT_TRUE(s.Enabled);
    EXPECT_FLOAT_EQ(1.0f, s.WorldScale);
    EXPECT_FLOAT_EQ(1.0f, s.FovScale);
    EXPECT_EQ(250u, s.AERMaxPairIntervalMs);
    EXPECT_FLOAT_EQ(1.5f, s.HandScale);
    EXPECT_FLOAT_EQ(3.0f, s.HudVerticalOffset); // cut to 63 characters before parsing
    EXPECT_FLOAT_EQ(0.0f, s.StickDeadzone);
    EXPECT_EQ(1800u, s.FirstPersonRetryFrames);
}

// Every key of the file, typed from the configuration's documentation, with a value that is
// not its default (and, for floats, distinct from every other float) and the field it sets.
struct KeyRow {
    const wchar_t* section;
    const wchar_t* key;
    const char* text;
    std::function<void(Settings&)> expect;
};

const std::vector<KeyRow>& SettingsKeyRows() {
    static const std::vector<KeyRow> rows = {
        {L"VR", L"Enabled", "0", [](Settings& s) { s.Enabled = false; }},
        {L"VR", L"VisibleHands", "1", [](Settings& s) { s.VisibleHands = true; }},
        {L"VR", L"SpacewarpCompatibleAER", "0", [](Settings& s) { s.SpacewarpCompatibleAER = false; }},
        {L"VR", L"MonoOnTransitions", "0", [](Settings& s) { s.MonoOnTransitions = false; }},
        {L"VR", L"AERFirstEye", "0", [](Settings& s) { s.AERFirstEye = 0; }},
        {L"VR", L"LockHeadPoseAcrossAERPair", "0", [](Settings& s) { s.LockHeadPoseAcrossAERPair = false; }},
        {L"VR", L"AERMaxPairIntervalMs", "77", [](Settings& s) { s.AERMaxPairIntervalMs = 77; }},
        {L"VR", L"WorldScale", "1.5", [](Settings& s) { s.WorldScale = 1.5f; }},
        {L"VR", L"FovScale", "1.25", [](Settings& s) { s.FovScale = 1.25f; }},
        // The right picture follows the left one unless its own key is set.
        {L"VR", L"FrameScale", "0.8",
         [](Settings& s) {
             s.FrameScale = 0.8f;
             s.RightFrameScale = 0.8f;
         }},
        {L"VR", L"FrameHorizontalOffset", "0.03",
         [](Settings& s) {
             s.FrameHorizontalOffset = 0.03f;
             s.RightFrameHorizontalOffset = 0.03f;
         }},
        {L"VR", L"FrameVerticalOffset", "-0.04",
         [](Settings& s) {
             s.FrameVerticalOffset = -0.04f;
             s.RightFrameVerticalOffset = -0.04f;
         }},
        {L"VR", L"RightFrameScale", "0.7", [](Settings& s) { s.RightFrameScale = 0.7f; }},
        {L"VR", L"RightFrameHorizontalOffset", "0.05",
         [](Settings& s) { s.RightFrameHorizontalOffset = 0.05f; }},
        {L"VR", L"RightFrameVerticalOffset", "-0.06",
         [](Settings& s) { s.RightFrameVerticalOffset = -0.06f; }},
        {L"VR", L"RightFrameRollDegrees", "0.9", [](Settings& s) { s.RightFrameRollDegrees = 0.9f; }},
        {L"VR", L"HudScale", "0.6", [](Settings& s) { s.HudScale = 0.6f; }},
        {L"VR", L"HudVerticalOffset", "0.11", [](Settings& s) { s.HudVerticalOffset = 0.11f; }},
        {L"VR", L"HandScale", "1.75", [](Settings& s) { s.HandScale = 1.75f; }},
        {L"VR", L"CinemaScreen", "0", [](Settings& s) { s.CinemaScreen = false; }},
        {L"VR", L"CinemaDistance", "5.5", [](Settings& s) { s.CinemaDistance = 5.5f; }},
        {L"VR", L"CinemaWidth", "8.25", [](Settings& s) { s.CinemaWidth = 8.25f; }},
        {L"VR", L"CinemaSurround", "0.2", [](Settings& s) { s.CinemaSurround = 0.2f; }},
        {L"VR", L"Runtime", "OpenXR", [](Settings& s) { s.Runtime = HeadsetRuntimeChoice::OpenXr; }},
        {L"Input", L"MapMotionControllers", "0", [](Settings& s) { s.MapMotionControllers = false; }},
        {L"Input", L"MapHeadLook", "0", [](Settings& s) { s.MapHeadLook = false; }},
        {L"Input", L"FirstPersonDefault", "0", [](Settings& s) { s.FirstPersonDefault = false; }},
        {L"Input", L"AutoResumeFirstPerson", "0", [](Settings& s) { s.AutoResumeFirstPerson = false; }},
        {L"Input", L"FirstPersonStableFrames", "21", [](Settings& s) { s.FirstPersonStableFrames = 21; }},
        {L"Input", L"SnapTurnDegrees", "45", [](Settings& s) { s.SnapTurnDegrees = 45; }},
        {L"Input", L"FirstPersonRetryFrames", "123", [](Settings& s) { s.FirstPersonRetryFrames = 123; }},
        {L"Input", L"ShowPlayerBody", "1", [](Settings& s) { s.ShowPlayerBody = true; }},
        {L"Input", L"FirstPersonForwardOffset", "0.3",
         [](Settings& s) { s.FirstPersonForwardOffset = 0.3f; }},
        {L"Input", L"HeadYawScale", "-1.5", [](Settings& s) { s.HeadYawScale = -1.5f; }},
        {L"Input", L"HeadPitchScale", "0.45", [](Settings& s) { s.HeadPitchScale = 0.45f; }},
        {L"Input", L"StickDeadzone", "0.35", [](Settings& s) { s.StickDeadzone = 0.35f; }},
    };
    return rows;
}

std::string Narrow(const wchar_t* text) {
    return std::string(text, text + std::wcslen(text));
}

// Appended piece by piece: GCC 12 warns falsely about concatenations that start at a literal.
std::string SectionLine(const wchar_t* section) {
    std::string line(1, '[');
    line.append(Narrow(section)).append("]\r\n");
    return line;
}
std::string KeyLine(const KeyRow& row) {
    std::string line = Narrow(row.key);
    line.append("=").append(row.text).append("\r\n");
    return line;
}

TEST_F(CoreWin32Test, EveryKeyReachesItsOwnFieldThroughTheProfileFunctions) {
    // One key at a time: only its own field (and what follows it) changes.
    for (const KeyRow& row : SettingsKeyRows()) {
        SCOPED_TRACE(Narrow(row.key));
        WriteFile(Beside(L"CorvaneVR.ini"), SectionLine(row.section) + KeyLine(row));
        GetSettings() = Settings{};
        LoadSettings();
        Settings expected;
        row.expect(expected);
        EXPECT_TRUE(GetSettings() == expected);
    }

    // All keys together, each section written once.
    std::string file;
    for (const wchar_t* section : {L"VR", L"Input"}) {
        file += SectionLine(section);
        for (const KeyRow& row : SettingsKeyRows()) {
            if (std::wcscmp(row.section, section) == 0) {
                file += KeyLine(row);
            }
        }
        if (std::wcscmp(section, L"VR") == 0) {
            file += "SwapEyes=1\r\nStereoUnitsPerMeter=1.2\r\nConvergenceOffset=-0.07\r\n";
        }
    }
    WriteFile(Beside(L"CorvaneVR.ini"), file);
    GetSettings() = Settings{};
    LoadSettings();
    Settings expected;
    for (const KeyRow& row : SettingsKeyRows()) {
        row.expect(expected);
    }
    EXPECT_TRUE(GetSettings() == expected);
    const StartupStereoValues startup = ReadStartupStereoValues();
    EXPECT_TRUE(startup.swapEyes);
    EXPECT_FLOAT_EQ(1.2f, startup.stereoUnitsPerMeter);
    EXPECT_FLOAT_EQ(-0.07f, startup.convergenceOffset);
}

TEST_F(CoreWin32Test, ShippedIniHoldsExactlyTheKeysOfTheCode) {
    UseShippedIni();
    const std::wstring path = Beside(L"CorvaneVR.ini");
    std::set<std::pair<std::wstring, std::wstring>> shipped;
    std::vector<wchar_t> sections(4096);
    GetPrivateProfileSectionNamesW(sections.data(), static_cast<DWORD>(sections.size()), path.c_str());
    for (const wchar_t* section = sections.data(); *section != L'\0'; section += std::wcslen(section) + 1) {
        std::vector<wchar_t> keys(16384);
        GetPrivateProfileStringW(section, nullptr, L"", keys.data(), static_cast<DWORD>(keys.size()),
                                 path.c_str());
        for (const wchar_t* key = keys.data(); *key != L'\0'; key += std::wcslen(key) + 1) {
            shipped.emplace(section, key);
        }
    }
    std::set<std::pair<std::wstring, std::wstring>> documented = {
        {L"VR", L"SwapEyes"}, {L"VR", L"StereoUnitsPerMeter"}, {L"VR", L"ConvergenceOffset"}};
    for (const KeyRow& row : SettingsKeyRows()) {
        documented.emplace(row.section, row.key);
    }
    EXPECT_EQ(39u, documented.size());
    EXPECT_EQ(documented, shipped);
}

TEST_F(CoreWin32Test, SwitchWordsAndUnusableTextThroughTheProfileFunctions) {
    WriteFile(Beside(L"CorvaneVR.ini"),
              "[VR]\r\nEnabled=False\r\nVisibleHands= on \r\nSpacewarpCompatibleAER=perhaps\r\n[Input]\r\n"
              "MapHeadLook=NO\r\n");
    LoadSettings();
    EXPECT_FALSE(GetSettings().Enabled);
    EXPECT_TRUE(GetSettings().VisibleHands);
    EXPECT_TRUE(GetSettings().SpacewarpCompatibleAER);
    EXPECT_FALSE(GetSettings().MapHeadLook);
    const auto lines = LogLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos,
              lines[0].find("] Configuration: [VR] SpacewarpCompatibleAER=\"perhaps\" is not a "
                            "number or true/false, yes/no, on/off; using 1"))
        << lines[0];
}

TEST_F(CoreWin32Test, WrittenValuesReadBackExactly) {
    UseShippedIni();
    for (float value : {-1e30f, 3.4028235e38f, 1e-7f, 1.4e-45f, 0.65f + 0.025f, -0.1f, -123456.789f}) {
        SCOPED_TRACE(value);
        ASSERT_TRUE(WriteRightFrameHorizontalOffsetToIni(value));
        EXPECT_EQ(value, ReadIniFloat(L"VR", L"RightFrameHorizontalOffset", 99.0f));
    }
    EXPECT_NE(std::string::npos,
              ReadFileText(Beside(L"CorvaneVR.ini")).find("RightFrameHorizontalOffset=-123456.789"));
    EXPECT_FALSE(WriteRightFrameHorizontalOffsetToIni(INFINITY));
    EXPECT_EQ(-123456.789f, ReadIniFloat(L"VR", L"RightFrameHorizontalOffset", 99.0f));
}

// A host that switches the C library to a comma-decimal locale (games do, for their own text)
// must not change how the file's numbers read or write.
TEST_F(CoreWin32Test, NumbersReadAndWriteAlikeInACommaDecimalLocale) {
    WriteFile(Beside(L"CorvaneVR.ini"), "[VR]\r\nFrameScale=0.65\r\nHudVerticalOffset=-0.125\r\n"
                                        "ConvergenceOffset=-0.1\r\n[Input]\r\nStickDeadzone=0.25\r\n");
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(nullptr, std::setlocale(LC_ALL, "German_Germany.1252"));
    struct RestoreLocale {
        std::string name;
        ~RestoreLocale() { std::setlocale(LC_ALL, name.c_str()); }
    } restore{previous};
    ASSERT_STREQ(",", std::localeconv()->decimal_point) << "the locale in force is no comma-decimal one";

    LoadSettings();
    const Settings& s = GetSettings();
    EXPECT_EQ(0.65f, s.FrameScale);
    EXPECT_EQ(0.65f, s.RightFrameScale);
    EXPECT_EQ(-0.125f, s.HudVerticalOffset);
    EXPECT_EQ(0.25f, s.StickDeadzone);
    EXPECT_EQ(0.75f, s.HudScale); // a default passed as text reads back as itself
    EXPECT_EQ(0.2f, s.FirstPersonForwardOffset);
    const StartupStereoValues stereo = ReadStartupStereoValues();
    EXPECT_EQ(-0.1f, stereo.convergenceOffset);
    EXPECT_EQ(1.75f, stereo.stereoUnitsPerMeter);

    EXPECT_TRUE(WriteRightFrameScaleToIni(0.7f));
    EXPECT_TRUE(WriteConvergenceToIni(-0.105f));
    const std::string after = ReadFileText(Beside(L"CorvaneVR.ini"));
    EXPECT_NE(std::string::npos, after.find("RightFrameScale=0.700000")) << after;
    EXPECT_NE(std::string::npos, after.find("ConvergenceOffset=-0.105000")) << after;
    for (const std::string& line : LogLines()) {
        EXPECT_EQ(std::string::npos, line.find("Configuration: [")) << line;
    }
}

TEST_F(CoreWin32Test, WriteBackKeepsCommentsAndOtherKeys) {
    UseShippedIni();
    const std::string before = ReadFileText(Beside(L"CorvaneVR.ini"));

    EXPECT_TRUE(WriteConvergenceToIni(-0.1f));
    EXPECT_TRUE(WriteRightFrameScaleToIni(0.7f));
    EXPECT_TRUE(WriteRightFrameRollDegreesToIni(-0.3f));

    const std::string after = ReadFileText(Beside(L"CorvaneVR.ini"));
    EXPECT_NE(std::string::npos, after.find("ConvergenceOffset=-0.100000"));
    EXPECT_NE(std::string::npos, after.find("RightFrameScale=0.700000"));
    EXPECT_NE(std::string::npos, after.find("; Thumbstick dead zone: 0.0 to 0.9. Default 0.18."));
    EXPECT_NE(std::string::npos, after.find("StickDeadzone=0.18"));
    // Every line of the shipped file that names no written key is still there.
    std::istringstream lines(before);
    for (std::string line; std::getline(lines, line);) {
        if (line == "\r" || line.find("ConvergenceOffset=") == 0 || line.find("RightFrameScale=") == 0 ||
            line.find("RightFrameRollDegrees=") == 0) {
            continue;
        }
        EXPECT_NE(std::string::npos, after.find(line)) << line;
    }

    LoadSettings();
    EXPECT_FLOAT_EQ(0.7f, GetSettings().RightFrameScale);
    EXPECT_FLOAT_EQ(-0.3f, GetSettings().RightFrameRollDegrees);
    EXPECT_FLOAT_EQ(-0.1f, ReadStartupStereoValues().convergenceOffset);
}

TEST_F(CoreWin32Test, UnwritableIniReportsTheFailedSave) {
    // A folder where the file should be: no write can succeed, whoever runs the game.
    ASSERT_TRUE(CreateDirectoryW(Beside(L"CorvaneVR.ini").c_str(), nullptr));
    EXPECT_FALSE(WriteConvergenceToIni(-0.1f));
    EXPECT_FALSE(WriteRightFrameVerticalOffsetToIni(0.01f));
    RemoveDirectoryW(Beside(L"CorvaneVR.ini").c_str());
}

TEST_F(CoreWin32Test, LogLinesCarryTheLocalTime) {
    LogMessage("hello %s", "log");
    const auto lines = LogLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] hello log)")))
        << lines[0];
}

TEST_F(CoreWin32Test, UnopenableLogFileLosesOnlyTheFileCopy) {
    LogMessage("first");
    // Held open without sharing, the file cannot be opened for the append (a read-only
    // attribute would not do here: the tests may run as an administrator).
    const HANDLE held = CreateFileW(Beside(L"CorvaneVR.log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    LogMessage("second");
    CloseHandle(held);
    const auto lines = LogLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("first"));
}

TEST_F(CoreWin32Test, ConcurrentLoggersWriteWholeLines) {
    constexpr int kLinesPerThread = 150;
    auto logger = [](char mark) {
        const std::string body(1500, mark);
        for (int i = 0; i < kLinesPerThread; ++i) {
            LogMessage("%c%04d %s", mark, i, body.c_str());
        }
    };
    std::thread a(logger, 'a');
    std::thread b(logger, 'b');
    a.join();
    b.join();

    const auto lines = LogLines();
    ASSERT_EQ(2u * kLinesPerThread, lines.size());
    const std::regex whole(R"(\[[^\]]{23}\] ([ab])\d{4} (a{1500}|b{1500}))");
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, whole)) << line.substr(0, 80);
        EXPECT_EQ(match[1].str()[0], match[2].str()[0]);
    }
}

} // namespace
} // namespace corvane
