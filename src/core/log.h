// The process-wide log: every line goes to the debugger output and is appended to
// "CorvaneVR.log" beside the module. Any thread may log; file appends are serialised.
#pragma once

#include <string>

namespace corvane {

// Maximum message length kept before the time stamp is added; longer messages are cut.
inline constexpr size_t kLogMessageCapacity = 2048;

void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Directory of the program's own module without a trailing separator; "." when unknown.
std::wstring GetModuleDirectory();

// Logs a message of the game-integration module as "Camera: <text>".
void ForwardCameraMessage(const char* text);

} // namespace corvane
