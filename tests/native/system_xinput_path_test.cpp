#include "input/system_xinput_path.h"

#include <gtest/gtest.h>

#include <string>

namespace corvane {
namespace {

TEST(SystemXInputPathTest, DirectoryIsCheckedAgainstThePathBuffer) {
    const std::string noDirectory = "GetSystemDirectoryW failed; real XInput is unavailable.";
    const std::string directoryTooLong = "System32 path is too long; real XInput is unavailable.";
    const std::string fileTooLong = "System32 XInput path is too long; real XInput is unavailable.";
    struct Case {
        std::wstring directory;
        uint32_t reportedLength;
        std::wstring path;
        std::string failure;
    };
    const Case cases[] = {
        {L"C:\\Windows\\system32", 19, L"C:\\Windows\\system32\\xinput1_3.dll", ""},
        {L"C:\\Windows\\system32\\", 20, L"C:\\Windows\\system32\\xinput1_3.dll", ""},
        {L"C:/Windows/system32/", 20, L"C:/Windows/system32/xinput1_3.dll", ""},
        {L"", 0, L"", noDirectory},
        {std::wstring(300, L'a'), 300, L"", noDirectory},
        {std::wstring(259, L'a'), 259, L"", directoryTooLong},
        {std::wstring(258, L'a') + L"\\", 259, L"", fileTooLong},
        {std::wstring(246, L'a'), 246, L"", fileTooLong}, // 247 with the separator
        {std::wstring(245, L'a'), 245, std::wstring(245, L'a') + L"\\xinput1_3.dll", ""},
        {std::wstring(245, L'a') + L"\\", 246, std::wstring(245, L'a') + L"\\xinput1_3.dll", ""},
    };
    for (const Case& c : cases) {
        const SystemXInputPath result = BuildSystemXInputPath(c.directory.c_str(), c.reportedLength);
        EXPECT_EQ(c.failure, result.failure != nullptr ? result.failure : "") << c.reportedLength;
        EXPECT_EQ(c.path, result.path) << c.reportedLength;
    }
}

} // namespace
} // namespace corvane
