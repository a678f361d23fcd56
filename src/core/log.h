// The process-wide log: every line goes to the debugger output and is appended to
// "CorvaneVR.log" beside the module. Any thread may log, game threads included: a line never
// throws and never allocates once the file's path is known; file appends are serialised.
#pragma once

#include <string>

namespace corvane {

// Maximum message length kept before the time stamp is added; longer messages are cut.
inline constexpr size_t kLogMessageCapacity = 2048;

void LogMessage(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

// Directory of the program's own module without a trailing separator; "." when unknown.
// Looked up once and shared with the log (an unknown directory is looked up again).
std::wstring GetModuleDirectory();

// Logs a message of the game-integration module as "Camera: <text>".
void ForwardCameraMessage(const char* text) noexcept;

// Makes the next line (and the next directory query) look the module's directory up again. The module never
// moves in the game; test programs that change what the module path reports call this.
void ForgetLogFilePath() noexcept;

} // namespace corvane
