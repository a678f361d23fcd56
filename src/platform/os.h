// The operating-system seam of the behaviour code: clocks, keys, debugger output, the
// program's own module path and file appends. Any thread may call it. The Windows build
// implements it in win32/os_win32.cpp; the native tests link a controllable fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane {

struct LocalTime {
    uint16_t year = 0;
    uint16_t month = 0;
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t millisecond = 0;
};

// Sends text to the debugger output channel.
void OsDebugOutput(const char* text);

// Local wall clock with milliseconds.
LocalTime OsLocalTime();

// Monotonic milliseconds since an arbitrary start.
uint64_t OsTickCountMs();

// Monotonic nanoseconds since an arbitrary start; never goes backwards.
int64_t OsSteadyClockNs();

// Full path of the program's own module file with GetModuleFileNameW semantics: the
// number of characters written, 0 on failure, `capacity` when the path was cut.
uint32_t OsOwnModuleFileName(wchar_t* buffer, uint32_t capacity);

// True while the key with this virtual-key code is held down.
bool OsIsKeyDown(int virtualKey);

// True when there is a foreground window and it belongs to this process.
bool OsIsForegroundWindowOurs();

// Appends bytes to a file, creating it when missing; the file is shared for reading and
// writing and closed again before returning. False when it could not be opened or written.
bool OsAppendToFile(const std::wstring& path, const char* bytes, size_t size);

} // namespace corvane
