// The INI seam with the semantics of the Windows profile functions: a missing file,
// section or key yields the default text, and a read never returns more than
// capacity - 1 characters. Called by the configuration and the tuning write-back.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// Copies the key's text (or defaultText) into buffer, cut to capacity - 1 characters and
// terminated; returns the number of characters copied.
uint32_t IniReadText(const wchar_t* section, const wchar_t* key, const wchar_t* defaultText, wchar_t* buffer,
                     uint32_t capacity, const std::wstring& path);

// Writes key=value into the section, keeping every other line of the file.
bool IniWriteText(const wchar_t* section, const wchar_t* key, const wchar_t* value, const std::wstring& path);

} // namespace corvane
