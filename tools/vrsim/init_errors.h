// Texts for EVRInitError values: the runtime's own English wording and the enum names.
// Platform-free, called from the client exports on any thread.
#pragma once

#include <cstdint>

namespace vrsim {

// Never null; unknown codes get a generic text.
[[nodiscard]] const char* InitErrorDescription(int32_t error);
[[nodiscard]] const char* InitErrorSymbol(int32_t error);

} // namespace vrsim
