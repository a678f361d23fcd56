// The call log tests read: one line per call, flushed at once. Owned by the runtime state and
// written under the runtime lock from whichever thread calls into the DLL.
#pragma once

#include "vr_types.h"

#include <cstdio>
#include <string>

namespace vrsim {

class CallLog {
public:
    CallLog() = default;
    CallLog(const CallLog&) = delete;
    CallLog& operator=(const CallLog&) = delete;
    ~CallLog() { Close(); }

    // Empties the file at `path` and appends to it from then on; without a file, lines are dropped.
    void Restart(const std::wstring& path);
    void Close();

    // Writes one line; the format has no trailing newline.
    void Line(const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));

private:
    std::FILE* file_ = nullptr;
};

// A pose as every log line prints it: the 3 x 4 matrix row by row, "%.6f" each, blank-separated.
[[nodiscard]] inline std::string MatrixText(const HmdMatrix34& matrix) {
    std::string text;
    for (const auto& row : matrix.m) {
        for (float value : row) {
            char number[64];
            std::snprintf(number, sizeof number, "%.6f", static_cast<double>(value));
            text += text.empty() ? "" : " ";
            text += number;
        }
    }
    return text;
}

} // namespace vrsim
