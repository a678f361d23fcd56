// Reading what the program wrote beside the test program (log, INI, runtime call log).
// Test thread only.
#pragma once

#include "core/log.h"

#include <cstdio>
#include <string>

namespace corvane::testing_support {

// A file beside this test program, as the program's own files sit beside its module.
inline std::wstring Beside(const wchar_t* file) {
    return GetModuleDirectory() + L"\\" + file;
}

// The whole file as bytes; empty when it cannot be opened.
inline std::string ReadFileText(const std::wstring& path) {
    std::string text;
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return text;
    }
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
    }
    std::fclose(file);
    return text;
}

} // namespace corvane::testing_support
