#include "platform/win32/os_win32.h"

#include "platform/os.h"

#include <atomic>

namespace corvane {
namespace {

std::atomic<HMODULE> g_ownModule{nullptr};
// Lets a test program step over waits such as the OpenVR reconnection throttle; zero in
// the game, where nothing calls AdvanceSteadyClockForTests.
std::atomic<int64_t> g_steadyClockOffsetNs{0};

constexpr SHORT kKeyDownBit = static_cast<SHORT>(0x8000);

} // namespace

void RecordOwnModule(HMODULE module) {
    g_ownModule.store(module);
}

HMODULE OwnModule() {
    return g_ownModule.load();
}

void OsDebugOutput(const char* text) {
    OutputDebugStringA(text);
}

LocalTime OsLocalTime() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

uint64_t OsTickCountMs() {
    return GetTickCount64();
}

int64_t OsSteadyClockNs() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    // Whole seconds and the remainder apart, so the product cannot overflow.
    const int64_t ticksPerSecond = frequency.QuadPart;
    const int64_t seconds = counter.QuadPart / ticksPerSecond;
    const int64_t remainder = counter.QuadPart % ticksPerSecond;
    const int64_t now = seconds * 1'000'000'000 + remainder * 1'000'000'000 / ticksPerSecond;
    return now + g_steadyClockOffsetNs.load();
}

void AdvanceSteadyClockForTests(int64_t nanoseconds) {
    g_steadyClockOffsetNs.fetch_add(nanoseconds);
}

uint32_t OsOwnModuleFileName(wchar_t* buffer, uint32_t capacity) {
    // A null handle would name the game's executable instead; report failure instead.
    const HMODULE module = g_ownModule.load();
    if (module == nullptr) {
        return 0;
    }
    return GetModuleFileNameW(module, buffer, capacity);
}

bool OsIsKeyDown(int virtualKey) {
    return (GetAsyncKeyState(virtualKey) & kKeyDownBit) != 0;
}

bool OsIsForegroundWindowOurs() {
    const HWND window = GetForegroundWindow();
    if (window == nullptr) {
        return false;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return processId == GetCurrentProcessId();
}

bool OsAppendToFile(const std::wstring& path, const char* bytes, size_t size) {
    const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
    return ok != FALSE && written == size;
}

} // namespace corvane
