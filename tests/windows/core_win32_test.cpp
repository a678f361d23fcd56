// Configuration and log through the real Windows profile and file functions. The INI and
// the log live beside this program, as they live beside the DLL in the game.
#include "core/live_tuning.h"
#include "core/log.h"
#include "core/settings.h"
#include "platform/win32/os_win32.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
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
