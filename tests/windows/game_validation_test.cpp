// Executable validation against real files and the real main module: SHA-256 through the
// system hashing provider, and a program that is not the supported game being refused.
#include "game/executable_validation.h"
#include "game/game_bridge.h"
#include "game/game_host_win32.h"
#include "game/guarded_memory.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace corvane {
namespace {

std::string Hex(const uint8_t (&digest)[kSha256Size]) {
    std::string text;
    char pair[3];
    for (uint8_t byte : digest) {
        std::snprintf(pair, sizeof(pair), "%02x", byte);
        text += pair;
    }
    return text;
}

std::wstring TempFile(const wchar_t* name, const std::string& bytes) {
    wchar_t directory[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    const std::wstring path = std::wstring(directory) + name;
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
    return path;
}

TEST(GameValidationWin32, HashesFilesOfEverySizeThroughTheSystemProvider) {
    std::string patterned(200000, '\0');
    for (size_t i = 0; i < patterned.size(); ++i) {
        patterned[i] = static_cast<char>((i * 7 + 3) % 251);
    }
    struct Case {
        const wchar_t* name;
        std::string bytes;
        const char* sha256;
    };
    const Case cases[] = {
        {L"corvane_empty.bin", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {L"corvane_abc.bin", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // Spans several 64 KiB reads and ends in a partial one.
        {L"corvane_patterned.bin", patterned,
         "d2979f63fc353288130be1837d34f088e378e76c5baa67b8a6077c950db3c286"},
    };
    for (const Case& c : cases) {
        const std::wstring path = TempFile(c.name, c.bytes);
        uint8_t digest[kSha256Size] = {};
        EXPECT_TRUE(HashFileSha256(path.c_str(), digest));
        EXPECT_EQ(c.sha256, Hex(digest)) << c.bytes.size();
        DeleteFileW(path.c_str());
    }
    uint8_t digest[kSha256Size] = {};
    EXPECT_FALSE(HashFileSha256(L"C:\\no\\such\\corvane.exe", digest));
}

std::vector<std::string>& Messages() {
    static std::vector<std::string> messages;
    return messages;
}

TEST(GameValidationWin32, ThisProgramIsRefusedWithItsOwnHeaderValues) {
    InstallGameHostWin32();
    SetCameraLogSink([](const char* message) { Messages().emplace_back(message); });
    EXPECT_FALSE(IsExecutableValidated());
    EXPECT_FALSE(IsExecutableValidated());

    const auto* base = reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    char expected[200];
    std::snprintf(expected, sizeof(expected),
                  "Unsupported or modified executable; camera writes disabled (timestamp=0x%08X, "
                  "SizeOfImage=0x%08X, SHA-256 match=no).",
                  static_cast<unsigned>(nt->FileHeader.TimeDateStamp),
                  static_cast<unsigned>(nt->OptionalHeader.SizeOfImage));
    ASSERT_EQ(1u, Messages().size());
    EXPECT_EQ(expected, Messages()[0]);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(base), GetGameBridge().GameBase);
    // Eight upper-case hex digits each.
    const std::string& line = Messages()[0];
    const size_t stamp = line.find("timestamp=0x") + 12;
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(line[stamp + i])) &&
                    !std::islower(static_cast<unsigned char>(line[stamp + i])));
    }
    EXPECT_EQ(',', line[stamp + 8]);
}

} // namespace
} // namespace corvane
