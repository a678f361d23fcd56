// Names of results and structure types, as xrResultToString and the log lines print them.
// Platform-free; any thread.
#pragma once

#include <openxr/openxr.h>

#include <string>

namespace xrsim {

// "XR_SUCCESS", ...; null for a value the headers do not name.
[[nodiscard]] const char* KnownResultName(XrResult result);
[[nodiscard]] const char* KnownStructureTypeName(XrStructureType type);

// The name, or the number for a value without one (as xrResultToString writes it).
[[nodiscard]] std::string ResultName(XrResult result);
[[nodiscard]] std::string StructureTypeName(XrStructureType type);

[[nodiscard]] const char* SessionStateName(XrSessionState state);

} // namespace xrsim
