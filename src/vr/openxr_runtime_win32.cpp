#include "vr/openxr_runtime_win32.h"

#include <cstdio>
#include <cwchar>
#include <vector>

namespace corvane {
namespace {

std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                          static_cast<int>(text.size()), nullptr, 0);
    if (count <= 0) {
        return {};
    }
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), count);
    return wide;
}

std::string Utf8(const wchar_t* text, size_t length) {
    if (length == 0) {
        return {};
    }
    const int count =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (count <= 0) {
        return {};
    }
    std::string narrow(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), count, nullptr, nullptr);
    return narrow;
}

std::optional<std::string> EnvironmentManifest() {
    const DWORD needed = GetEnvironmentVariableW(L"XR_RUNTIME_JSON", nullptr, 0);
    if (needed <= 1) {
        return std::nullopt;
    }
    std::vector<wchar_t> value(needed);
    const DWORD written = GetEnvironmentVariableW(L"XR_RUNTIME_JSON", value.data(), needed);
    if (written == 0 || written >= needed) {
        return std::nullopt;
    }
    return Utf8(value.data(), written);
}

std::optional<std::string> RegistryManifest() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Khronos\\OpenXR\\1", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::optional<std::string> manifest;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, L"ActiveRuntime", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && bytes >= sizeof(wchar_t) && bytes < 64 * 1024) {
        // Room for a terminator the stored value may lack.
        std::vector<wchar_t> value(bytes / sizeof(wchar_t) + 1, L'\0');
        DWORD read = bytes;
        if (RegQueryValueExW(key, L"ActiveRuntime", nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                             &read) == ERROR_SUCCESS) {
            // `value` ends in a terminator whether or not the stored value had one.
            if (type == REG_EXPAND_SZ) {
                const DWORD expanded = ExpandEnvironmentStringsW(value.data(), nullptr, 0);
                std::vector<wchar_t> out(expanded + 1, L'\0');
                if (expanded != 0 && ExpandEnvironmentStringsW(value.data(), out.data(), expanded) != 0) {
                    manifest = Utf8(out.data(), std::wcslen(out.data()));
                }
            } else {
                manifest = Utf8(value.data(), std::wcslen(value.data()));
            }
        }
    }
    RegCloseKey(key);
    return manifest;
}

} // namespace

RuntimeLookupSources ReadOpenXrRuntimeSources() {
    RuntimeLookupSources sources;
    sources.environmentManifest = EnvironmentManifest();
    sources.registryManifest = RegistryManifest();
    return sources;
}

bool ReadManifestFileWin32(const std::string& path, size_t maxBytes, std::string& text) {
    const std::wstring widePath = Wide(path);
    if (widePath.empty()) {
        return false;
    }
    HANDLE file = CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(file, &size) != FALSE && size.QuadPart >= 0 &&
              static_cast<unsigned long long>(size.QuadPart) <= maxBytes;
    if (ok) {
        text.assign(static_cast<size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        ok = text.empty() ||
             (ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr) != FALSE &&
              read == text.size());
    }
    CloseHandle(file);
    return ok;
}

bool OpenXrRuntimeLibrary::Load(const RuntimeLookupSources& sources, std::string& reason) {
    Unload();
    std::optional<RuntimeLocation> location = LocateOpenXrRuntime(sources, &ReadManifestFileWin32, reason);
    if (!location.has_value()) {
        return false;
    }
    const std::wstring widePath = Wide(location->libraryPath);
    // The runtime's own dependencies are found beside it, as the loader arranges.
    HMODULE module =
        widePath.empty() ? nullptr : LoadLibraryExW(widePath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        char text[64];
        std::snprintf(text, sizeof(text), " cannot be loaded (error %lu)",
                      static_cast<unsigned long>(GetLastError()));
        reason = "The OpenXR runtime library " + location->libraryPath + " named by " +
                 location->manifestPath + text;
        return false;
    }
    const auto negotiate = reinterpret_cast<XrNegotiateFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "xrNegotiateLoaderRuntimeInterface")));
    XrNegotiateRuntimeRequestRecord answer;
    std::string why;
    if (!NegotiateWithRuntime(negotiate, answer, why)) {
        FreeLibrary(module);
        reason = "The OpenXR runtime " + location->libraryPath + " " + why;
        return false;
    }
    module_ = module;
    location_ = std::move(*location);
    negotiated_ = answer;
    return true;
}

void OpenXrRuntimeLibrary::Unload() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
        module_ = nullptr;
    }
    location_ = RuntimeLocation{};
    negotiated_ = XrNegotiateRuntimeRequestRecord{};
}

} // namespace corvane
