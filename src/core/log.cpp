#include "core/log.h"

#include "core/game_thread_boundary.h"
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
constexpr wchar_t kLogFileName[] = L"\\CorvaneVR.log";

BoundarySite g_logSite{BoundaryReport::DebuggerOutput, "[CorvaneVR] A log line was lost to an exception.\n"};

// Serialises file appends so lines from different threads never interleave, and guards the
// remembered directory: looking it up takes a 32768-character buffer, too much for every line
// or every key of the configuration. The module never moves once the platform can name it.
struct LogFile {
    std::mutex mutex;
    std::wstring directory = L".";
    std::wstring path;
    bool directoryKnown = false;
};

LogFile& TheLogFile() {
    static LogFile file;
    return file;
}

// False when the platform could not name the module (not recorded yet, or the call failed).
bool LookUpModuleDirectory(std::wstring& directory) {
    std::vector<wchar_t> path(kModulePathCapacity, L'\0');
    const uint32_t length = OsOwnModuleFileName(path.data(), kModulePathCapacity);
    if (length == 0 || length > kModulePathCapacity - 1) {
        return false;
    }
    directory = L".";
    for (uint32_t i = length; i > 0; --i) {
        const wchar_t c = path[i - 1];
        if (c == L'\\' || c == L'/') {
            directory.assign(path.data(), i - 1);
            break;
        }
    }
    return true;
}

// Caller holds the log mutex. A failed lookup is not remembered, so a line logged before the
// module was recorded does not send every later line to the working directory.
void KnowModuleDirectory(LogFile& file) {
    if (!file.directoryKnown) {
        std::wstring directory;
        const bool found = LookUpModuleDirectory(directory);
        file.directory = found ? directory : std::wstring(L".");
        file.path = file.directory + kLogFileName;
        file.directoryKnown = found;
    }
}

const std::wstring& LogFilePath(LogFile& file) {
    KnowModuleDirectory(file);
    return file.path;
}

__attribute__((format(printf, 1, 0))) void WriteLine(const char* format, va_list args) {
    char message[kLogMessageCapacity];
    const int written = std::vsnprintf(message, sizeof message, format, args);
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

    LogFile& file = TheLogFile();
    std::lock_guard<std::mutex> lock(file.mutex);
    OsAppendToFile(LogFilePath(file), line, std::strlen(line));
}

} // namespace

std::wstring GetModuleDirectory() {
    LogFile& file = TheLogFile();
    std::lock_guard<std::mutex> lock(file.mutex);
    KnowModuleDirectory(file);
    return file.directory;
}

void LogMessage(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    CallAtBoundary(g_logSite, [&] { WriteLine(format, args); });
    va_end(args);
}

void ForwardCameraMessage(const char* text) noexcept {
    LogMessage("Camera: %s", text != nullptr ? text : "");
}

void ForgetLogFilePath() noexcept {
    LogFile& file = TheLogFile();
    try {
        std::lock_guard<std::mutex> lock(file.mutex);
        file.directoryKnown = false;
    } catch (...) {
        // Only a test program calls this; a lock that cannot be taken leaves the path as it was.
    }
}

} // namespace corvane
