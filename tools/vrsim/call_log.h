// The call log tests read (shared with the other stand-in runtime) and the pose text its lines
// print.
#pragma once

#include "standin/call_log.h"
#include "vr_types.h"

#include <cstdio>
#include <string>

namespace vrsim {

using standin::CallLog;

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
