// Controllable stand-ins for the OS and INI seams, linked into the native tests in place
// of the Windows implementations.
#pragma once

#include "platform/os.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace corvane::fake {

struct FakeOs {
    std::wstring modulePath = L"C:\\Games\\Corvane\\XINPUT1_3.dll";
    uint32_t moduleFileNameResult = 0; // when nonzero, returned instead of the path length
    LocalTime localTime{2026, 12, 10, 9, 5, 7, 42};
    uint64_t tickMs = 1000;
    int64_t steadyNs = 1'000'000'000;
    std::set<int> keysDown;
    bool foregroundOurs = true;
    bool appendFails = false;
    // Each makes that call throw, as a failed allocation or lock inside it would.
    bool localTimeThrows = false;
    bool debugOutputThrows = false;
    bool modulePathThrows = false;
    bool appendThrows = false;
    int modulePathLookups = 0; // OsOwnModuleFileName calls
    std::vector<std::string> debugOutput;
    std::map<std::wstring, std::string> files;
};

struct FakeIni {
    // (path, section, key) -> text
    std::map<std::tuple<std::wstring, std::wstring, std::wstring>, std::wstring> values;
    bool writesFail = false;
    int failingWrite = 0; // when nonzero, the write attempt with this number (from 1) fails
    bool readsThrow = false;
    int writeAttempts = 0;
    int writeCount = 0; // successful writes
    // (section, key) of every read, in order
    std::vector<std::pair<std::wstring, std::wstring>> reads;
};

FakeOs& Os();
FakeIni& Ini();

// Puts both fakes back to their initial state.
void ResetPlatform();

// Convenience for the INI beside the fake module.
void SetIni(const std::wstring& section, const std::wstring& key, const std::wstring& text);
// The text stored for the key in the INI beside the fake module, or "<missing>".
std::wstring GetIni(const std::wstring& section, const std::wstring& key);
// Lines of the log file beside the fake module, without line endings.
std::vector<std::string> LogLines();

} // namespace corvane::fake
