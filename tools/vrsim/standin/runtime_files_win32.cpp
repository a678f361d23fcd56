// File locations and file reading through the wide Windows calls.
#include "runtime_files.h"

#include <windows.h>

#include <cstdio>

namespace standin {
namespace {

std::wstring EnvironmentPath(const wchar_t* name) {
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD length = GetEnvironmentVariableW(name, buffer, static_cast<DWORD>(std::size(buffer)));
    if (length == 0 || length >= std::size(buffer)) {
        return {};
    }
    return std::wstring(buffer, length);
}

std::wstring BesideThisDll(const wchar_t* file) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&BesideThisDll), &self)) {
        return file;
    }
    wchar_t path[MAX_PATH * 2] = {};
    DWORD length = GetModuleFileNameW(self, path, static_cast<DWORD>(std::size(path)));
    if (length == 0 || length >= std::size(path)) {
        return file;
    }
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1) + file;
}

bool ReadWholeFile(const std::wstring& path, std::string& text) {
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
    }
    std::fclose(file);
    return true;
}

std::wstring Widen(const std::string& text) {
    int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size);
    }
    return out;
}

bool IsAbsolute(const std::wstring& path) {
    return (!path.empty() && (path[0] == L'\\' || path[0] == L'/')) || (path.size() >= 2 && path[1] == L':');
}

} // namespace

std::wstring RuntimeFilePath(const wchar_t* variable, const wchar_t* file) {
    std::wstring path = EnvironmentPath(variable);
    return path.empty() ? BesideThisDll(file) : path;
}

std::optional<std::string> ReadScenarioText(CallLog& log, const wchar_t* variable, const wchar_t* file) {
    std::wstring path = EnvironmentPath(variable);
    bool named = !path.empty();
    if (!named) {
        path = BesideThisDll(file);
    }
    std::string text;
    if (!ReadWholeFile(path, text)) {
        if (named) {
            // Asked for a file that is not there: say so rather than run a silent default.
            log.Line("scenario error line=0: cannot read %s", Narrow(path).c_str());
        }
        log.Line("scenario default");
        return std::nullopt;
    }
    log.Line("scenario file=%s", Narrow(path).c_str());
    return text;
}

void LogScenarioProblems(CallLog& log, const std::vector<LineProblem>& problems) {
    for (const LineProblem& problem : problems) {
        log.Line("scenario error line=%d: %s", problem.line, problem.message.c_str());
    }
}

std::wstring CaptureFolder(const std::string& named, const std::wstring& logPath) {
    std::wstring folder = named.empty() ? L"captures" : Widen(named);
    if (!IsAbsolute(folder)) {
        size_t slash = logPath.find_last_of(L"\\/");
        folder = (slash == std::wstring::npos ? std::wstring() : logPath.substr(0, slash + 1)) + folder;
    }
    if (folder.back() != L'\\' && folder.back() != L'/') {
        folder += L'\\';
    }
    return folder;
}

std::string Narrow(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size,
                            nullptr, nullptr);
    }
    return out;
}

} // namespace standin
