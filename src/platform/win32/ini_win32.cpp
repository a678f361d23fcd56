#include "platform/ini.h"

#include <windows.h>

namespace corvane {

uint32_t IniReadText(const wchar_t* section, const wchar_t* key, const wchar_t* defaultText, wchar_t* buffer,
                     uint32_t capacity, const std::wstring& path) {
    return GetPrivateProfileStringW(section, key, defaultText, buffer, capacity, path.c_str());
}

bool IniWriteText(const wchar_t* section, const wchar_t* key, const wchar_t* value,
                  const std::wstring& path) {
    return WritePrivateProfileStringW(section, key, value, path.c_str()) != FALSE;
}

} // namespace corvane
