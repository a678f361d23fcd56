// Where the system XInput library is looked for: the system directory as the platform
// reported it, checked against the fixed path buffer the loader uses.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// Capacity of the loader's path buffer in wide characters, terminator included.
inline constexpr uint32_t kSystemPathCapacity = 260;

struct SystemXInputPath {
    std::wstring path;             // full path of xinput1_3.dll when failure is null
    const char* failure = nullptr; // the loader's report when the path cannot be built
};

// directory/length: what GetSystemDirectoryW wrote and returned for a 260-character buffer.
SystemXInputPath BuildSystemXInputPath(const wchar_t* directory, uint32_t length);

} // namespace corvane
