// Windows side of the OS seam: the module entry records the DLL's own handle here so the
// log and the INI can find the files beside it.
#pragma once

#include <windows.h>

#include <cstdint>

namespace corvane {

void RecordOwnModule(HMODULE module);
HMODULE OwnModule();

// Moves OsSteadyClockNs forward, for test programs that must not sleep through a wait.
void AdvanceSteadyClockForTests(int64_t nanoseconds);

} // namespace corvane
