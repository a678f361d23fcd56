#include "core/log.h"

#include "platform/os.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace corvane {
namespace {

constexpr size_t kLogLineCapacity = 2300;
constexpr uint32_t kModulePathCapacity = 32768;

// Serialises file appends so lines from different threads never interleave.
std::mutex& LogFileMutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

std::wstring GetModuleDirectory() {
    std::vector<wchar_t> path(kModulePathCapacity, L'\0');
    const uint32_t length = OsOwnModuleFileName(path.data(), kModulePathCapacity);
    if (length == 0 || length > kModulePathCapacity - 1) {
        return L".";
    }
    for (uint32_t i = length; i > 0; --i) {
        const wchar_t c = path[i - 1];
        if (c == L'\\' || c == L'/') {
            return std::wstring(path.data(), i - 1);
        }
    }
    return L".";
}

void LogMessage(const char* format, ...) {
    char message[kLogMessageCapacity];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (written < 0) {
        message[0] = '\0';
    }

    const LocalTime now = OsLocalTime();
    char line[kLogLineCapacity];
    std::snprintf(line, sizeof line, "[%04u-%02u-%02u %02u:%02u:%02u.%03u] %s\r\n", unsigned{now.year},
                  unsigned{now.month}, unsigned{now.day}, unsigned{now.hour}, unsigned{now.minute},
                  unsigned{now.second}, unsigned{now.millisecond}, message);

    // The debugger copy goes out first and outside the lock: it must survive a file that
    // cannot be opened.
    OsDebugOutput(line);

    std::lock_guard<std::mutex> lock(LogFileMutex());
    const std::wstring path = GetModuleDirectory() + L"\\CorvaneVR.log";
    OsAppendToFile(path, line, std::strlen(line));
}

void ForwardCameraMessage(const char* text) {
    LogMessage("Camera: %s", text != nullptr ? text : "");
}

} // namespace corvane
