#include "fakes/fake_platform.h"

#include "platform/ini.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <system_error>

namespace corvane {
namespace fake {

namespace {
FakeOs g_os;
FakeIni g_ini;

std::wstring ModuleDirectory() {
    const size_t slash = g_os.modulePath.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : g_os.modulePath.substr(0, slash);
}
} // namespace

FakeOs& Os() {
    return g_os;
}
FakeIni& Ini() {
    return g_ini;
}

void ResetPlatform() {
    g_os = FakeOs{};
    g_ini = FakeIni{};
}

void SetIni(const std::wstring& section, const std::wstring& key, const std::wstring& text) {
    g_ini.values[{ModuleDirectory() + L"\\CorvaneVR.ini", section, key}] = text;
}

std::wstring GetIni(const std::wstring& section, const std::wstring& key) {
    const auto it = g_ini.values.find({ModuleDirectory() + L"\\CorvaneVR.ini", section, key});
    return it == g_ini.values.end() ? L"<missing>" : it->second;
}

std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    const std::string& text = g_os.files[ModuleDirectory() + L"\\CorvaneVR.log"];
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

} // namespace fake

void OsDebugOutput(const char* text) {
    if (fake::g_os.debugOutputThrows) {
        throw std::runtime_error("debugger output failed");
    }
    fake::g_os.debugOutput.emplace_back(text);
}

LocalTime OsLocalTime() {
    if (fake::g_os.localTimeThrows) {
        throw std::runtime_error("clock failed");
    }
    return fake::g_os.localTime;
}

uint64_t OsTickCountMs() {
    return fake::g_os.tickMs;
}

int64_t OsSteadyClockNs() {
    return fake::g_os.steadyNs;
}

uint32_t OsOwnModuleFileName(wchar_t* buffer, uint32_t capacity) {
    ++fake::g_os.modulePathLookups;
    if (fake::g_os.modulePathThrows) {
        throw std::bad_alloc();
    }
    const std::wstring& path = fake::g_os.modulePath;
    const uint32_t copied = static_cast<uint32_t>(std::min<size_t>(path.size(), capacity - 1));
    std::copy_n(path.begin(), copied, buffer);
    buffer[copied] = L'\0';
    if (fake::g_os.moduleFileNameResult != 0) {
        return fake::g_os.moduleFileNameResult;
    }
    return path.size() >= capacity ? capacity : copied;
}

bool OsIsKeyDown(int virtualKey) {
    return fake::g_os.keysDown.count(virtualKey) != 0;
}

bool OsIsForegroundWindowOurs() {
    return fake::g_os.foregroundOurs;
}

bool OsAppendToFile(const std::wstring& path, const char* bytes, size_t size) {
    if (fake::g_os.appendThrows) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    if (fake::g_os.appendFails) {
        return false;
    }
    fake::g_os.files[path].append(bytes, size);
    return true;
}

uint32_t IniReadText(const wchar_t* section, const wchar_t* key, const wchar_t* defaultText, wchar_t* buffer,
                     uint32_t capacity, const std::wstring& path) {
    if (fake::g_ini.readsThrow) {
        throw std::runtime_error("INI read failed");
    }
    fake::g_ini.reads.emplace_back(section, key);
    const auto it = fake::g_ini.values.find({path, section, key});
    const std::wstring text = it == fake::g_ini.values.end() ? std::wstring(defaultText) : it->second;
    const uint32_t copied = static_cast<uint32_t>(std::min<size_t>(text.size(), capacity - 1));
    std::copy_n(text.begin(), copied, buffer);
    buffer[copied] = L'\0';
    return copied;
}

bool IniWriteText(const wchar_t* section, const wchar_t* key, const wchar_t* value,
                  const std::wstring& path) {
    ++fake::g_ini.writeAttempts;
    if (fake::g_ini.writesFail || fake::g_ini.writeAttempts == fake::g_ini.failingWrite) {
        return false;
    }
    ++fake::g_ini.writeCount;
    fake::g_ini.values[{path, section, key}] = value;
    return true;
}

} // namespace corvane
