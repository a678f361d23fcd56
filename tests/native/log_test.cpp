#include "core/log.h"
#include "core/settings.h"

#include "fakes/fake_platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace corvane {
namespace {

class LogTest : public testing_support::ProcessStateTest {};

TEST_F(LogTest, LineCarriesTimeStampAndGoesToDebuggerAndFile) {
    fake::Os().localTime = LocalTime{2026, 3, 4, 5, 6, 7, 8};
    LogMessage("value %d and %s", 42, "text");

    const std::string expected = "[2026-03-04 05:06:07.008] value 42 and text\r\n";
    ASSERT_EQ(1u, fake::Os().debugOutput.size());
    EXPECT_EQ(expected, fake::Os().debugOutput[0]);
    EXPECT_EQ(expected, fake::Os().files[L"C:\\Games\\Corvane\\CorvaneVR.log"]);
}

TEST_F(LogTest, LinesAppendAndOverLongMessagesAreCut) {
    LogMessage("first");
    LogMessage("%s", std::string(5000, 'x').c_str());

    const auto lines = fake::LogLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("first", testing_support::MessageOf(lines[0]));
    EXPECT_EQ(std::string(kLogMessageCapacity - 1, 'x'), testing_support::MessageOf(lines[1]));
    const std::string& file = fake::Os().files[L"C:\\Games\\Corvane\\CorvaneVR.log"];
    EXPECT_EQ("\r\n", file.substr(file.size() - 2));
}

TEST_F(LogTest, UnwritableFileLosesOnlyTheFileCopy) {
    fake::Os().appendFails = true;
    LogMessage("still seen");
    ASSERT_EQ(1u, fake::Os().debugOutput.size());
    EXPECT_NE(std::string::npos, fake::Os().debugOutput[0].find("still seen"));
    EXPECT_TRUE(fake::LogLines().empty());
}

TEST_F(LogTest, ModuleDirectoryEdgeCases) {
    struct Case {
        std::wstring modulePath;
        uint32_t forcedResult;
        std::wstring directory;
    };
    const Case cases[] = {
        {L"C:\\Games\\Corvane\\XINPUT1_3.dll", 0, L"C:\\Games\\Corvane"},
        {L"C:/Games/Corvane/XINPUT1_3.dll", 0, L"C:/Games/Corvane"},
        {L"C:\\Games/Mixed\\sub/XINPUT1_3.dll", 0, L"C:\\Games/Mixed\\sub"},
        {L"XINPUT1_3.dll", 0, L"."},
        {L"\\XINPUT1_3.dll", 0, L""},
        {L"", 0, L"."},
        {std::wstring(40000, L'a'), 0, L"."},
        {L"C:\\Games\\x.dll", 32768, L"."},
    };
    for (const Case& c : cases) {
        fake::Os().modulePath = c.modulePath;
        fake::Os().moduleFileNameResult = c.forcedResult;
        ForgetLogFilePath();
        EXPECT_EQ(c.directory, GetModuleDirectory()) << std::string(c.modulePath.begin(), c.modulePath.end());
    }
}

TEST_F(LogTest, LogFileFollowsTheModuleDirectory) {
    fake::Os().modulePath = L"XINPUT1_3.dll";
    LogMessage("here");
    EXPECT_EQ(1u, fake::Os().files.count(L".\\CorvaneVR.log"));
}

TEST_F(LogTest, TheModulePathIsLookedUpOnceForAllLinesAndDirectoryQueries) {
    LogMessage("one");
    EXPECT_EQ(L"C:\\Games\\Corvane", GetModuleDirectory());
    LogMessage("two");
    LoadSettings();
    ForwardCameraMessage("three");
    EXPECT_EQ(1, fake::Os().modulePathLookups);
    EXPECT_EQ(4u, fake::LogLines().size()); // three lines and the configuration's
}

TEST_F(LogTest, AFailedModuleLookupIsNotRemembered) {
    // Before the module is recorded the platform cannot name it.
    fake::Os().moduleFileNameResult = 0;
    fake::Os().modulePath = L"";
    LogMessage("too early");
    EXPECT_NE(std::string::npos, fake::Os().files[L".\\CorvaneVR.log"].find("] too early\r\n"));

    fake::Os().modulePath = L"C:\\Games\\Corvane\\XINPUT1_3.dll";
    LogMessage("recorded");
    LogMessage("again");
    const auto lines = fake::LogLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("recorded", testing_support::MessageOf(lines[0]));
    EXPECT_EQ(2, fake::Os().modulePathLookups);
}

// Any thread may log, game threads included: whatever fails inside, the caller goes on and
// the next line is written normally.
TEST_F(LogTest, AFailureInsideALineNeverReachesTheCaller) {
    struct Case {
        const char* name;
        bool fake::FakeOs::*throwing;
        bool debuggerCopySent; // the failure comes after the debugger copy went out
    };
    const Case cases[] = {
        {"clock", &fake::FakeOs::localTimeThrows, false},
        {"debugger output", &fake::FakeOs::debugOutputThrows, false},
        {"module path", &fake::FakeOs::modulePathThrows, true},
        {"file append", &fake::FakeOs::appendThrows, true},
    };
    for (const Case& c : cases) {
        testing_support::ResetProcessState();
        fake::Os().*c.throwing = true;
        LogMessage("lost %s", c.name);
        ForwardCameraMessage(c.name);
        EXPECT_TRUE(fake::LogLines().empty()) << c.name;
        const auto sent = [&](const std::string& message) {
            return std::any_of(
                fake::Os().debugOutput.begin(), fake::Os().debugOutput.end(),
                [&](const std::string& line) { return line.find(message) != std::string::npos; });
        };
        EXPECT_EQ(c.debuggerCopySent, sent(std::string("] lost ") + c.name)) << c.name;
        EXPECT_EQ(c.debuggerCopySent, sent(std::string("] Camera: ") + c.name)) << c.name;

        fake::Os().*c.throwing = false;
        LogMessage("after %s", c.name);
        const auto lines = fake::LogLines();
        ASSERT_EQ(1u, lines.size()) << c.name;
        EXPECT_EQ(std::string("after ") + c.name, testing_support::MessageOf(lines[0]));
    }
}

TEST_F(LogTest, CameraMessagesAreForwardedWithPrefix) {
    ForwardCameraMessage("first person entered");
    EXPECT_EQ("Camera: first person entered", testing_support::MessageOf(fake::LogLines().at(0)));
}

} // namespace
} // namespace corvane
