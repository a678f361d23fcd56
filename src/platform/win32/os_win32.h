// Windows side of the OS seam: the module entry records the DLL's own handle here so the
// log and the INI can find the files beside it.
#pragma once

#include <windows.h>

namespace corvane {

void RecordOwnModule(HMODULE module);
HMODULE OwnModule();

} // namespace corvane
