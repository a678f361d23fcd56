// Runtime state ownership, the file locations (environment variables first, then files beside
// this DLL) and the COM references the runtime holds.
#include "runtime_state.h"

#include <windows.h>
#include <unknwn.h>

#include <cstdio>
#include <string>

namespace xrsim {
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

// The capture folder with a trailing separator: as the scenario names it, relative ones from
// the log's folder, "captures" beside the log when the scenario names none.
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

// Lets go of everything a previous run left: the client's devices and our textures.
void ReleaseObjects(RuntimeState& state) {
    for (auto& [handle, swapchain] : state.swapchains) {
        for (void* texture : swapchain.textures) {
            ReleaseComObject(texture);
        }
    }
    for (auto& [handle, session] : state.sessions) {
        ReleaseComObject(session.device);
    }
    state.swapchains.clear();
    state.sessions.clear();
    state.spaces.clear();
    state.actions.clear();
    state.actionSets.clear();
    state.instances.clear();
}

} // namespace

void AddDeviceReference(void* device) {
    if (device != nullptr) {
        static_cast<IUnknown*>(device)->AddRef();
    }
}

void ReleaseComObject(void* object) {
    if (object != nullptr) {
        static_cast<IUnknown*>(object)->Release();
    }
}

void ReloadRuntime(RuntimeState& state) {
    ReleaseObjects(state);
    std::wstring logPath = EnvironmentPath(L"XRSIM_LOG");
    if (logPath.empty()) {
        logPath = BesideThisDll(L"xrsim.log");
    }
    state.log.Restart(logPath);
    state.frame = 0;
    state.sessionLossFired = state.instanceLossFired = state.exitRequestFired = 0;
    state.nextVsync = {};
    state.captureFolder.clear();

    std::wstring scenarioPath = EnvironmentPath(L"XRSIM_SCENARIO");
    bool named = !scenarioPath.empty();
    if (!named) {
        scenarioPath = BesideThisDll(L"xrsim_scenario.txt");
    }
    std::string text;
    if (!ReadWholeFile(scenarioPath, text)) {
        state.scenario = DefaultScenario();
        if (named) {
            // Asked for a file that is not there: say so rather than run a silent default.
            state.log.Line("scenario error line=0: cannot read %s", Narrow(scenarioPath).c_str());
        }
        state.log.Line("scenario default");
        return;
    }
    ParsedScenario parsed = ParseScenario(text);
    state.scenario = std::move(parsed.scenario);
    state.log.Line("scenario file=%s", Narrow(scenarioPath).c_str());
    for (const ScenarioProblem& problem : parsed.problems) {
        state.log.Line("scenario error line=%d: %s", problem.line, problem.message.c_str());
    }
    if (!state.scenario.captureFrames.empty()) {
        state.captureFolder = CaptureFolder(state.scenario.captureFolder, logPath);
        state.log.Line("capture folder=%s", Narrow(state.captureFolder).c_str());
    }
}

RuntimeAccess AccessRuntime() {
    static std::mutex mutex;
    static RuntimeState state;
    static bool loaded = false;
    RuntimeAccess access(mutex, state);
    if (!loaded) {
        loaded = true;
        ReloadRuntime(state);
    }
    return access;
}

} // namespace xrsim
