#include "input/system_xinput_win32.h"

#include "input/system_xinput_path.h"
#include "platform/win32/os_win32.h"

#include <mutex>

namespace corvane {
namespace {

SystemXInput g_system;
std::once_flag g_loadOnce;

// Loader reports go to the debugger only: the log beside the game is for the VR side.
void ReportLoaderProblem(const char* message) {
    OutputDebugStringA("[CorvaneVR/XInput] ");
    OutputDebugStringA(message);
    OutputDebugStringA("\n");
}

template <typename Function> Function Resolve(HMODULE module, WORD ordinal) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
}

HMODULE LoadFromSystemDirectory(const std::wstring& path) {
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        module = LoadLibraryW(path.c_str());
    }
    // A loader that hands back this very module (same base name) would make every export
    // call itself forever.
    if (module != nullptr && module == OwnModule()) {
        FreeLibrary(module);
        return nullptr;
    }
    return module;
}

void LoadSystemXInput() {
    wchar_t directory[kSystemPathCapacity] = {};
    const UINT length = GetSystemDirectoryW(directory, kSystemPathCapacity);
    const SystemXInputPath path = BuildSystemXInputPath(directory, length);
    if (path.failure != nullptr) {
        ReportLoaderProblem(path.failure);
        return;
    }
    const HMODULE module = LoadFromSystemDirectory(path.path);
    if (module == nullptr) {
        ReportLoaderProblem("Could not load System32\\xinput1_3.dll.");
        return;
    }
    g_system.module = module;
    g_system.getState = Resolve<SystemXInput::GetStateFn>(module, 2);
    g_system.setState = Resolve<SystemXInput::SetStateFn>(module, 3);
    g_system.getCapabilities = Resolve<SystemXInput::GetCapabilitiesFn>(module, 4);
    g_system.enable = Resolve<SystemXInput::EnableFn>(module, 5);
    g_system.getDSoundGuids = Resolve<SystemXInput::GetDSoundGuidsFn>(module, 6);
    g_system.getBattery = Resolve<SystemXInput::GetBatteryFn>(module, 7);
    g_system.getKeystroke = Resolve<SystemXInput::GetKeystrokeFn>(module, 8);
    g_system.getStateEx = Resolve<SystemXInput::GetStateFn>(module, 100);
    g_system.waitForGuide = Resolve<SystemXInput::WaitForGuideFn>(module, 101);
    g_system.cancelGuideWait = Resolve<SystemXInput::UserOnlyFn>(module, 102);
    g_system.powerOff = Resolve<SystemXInput::UserOnlyFn>(module, 103);
    if (g_system.getState == nullptr) {
        ReportLoaderProblem("System XInputGetState export is missing.");
    }
}

} // namespace

const SystemXInput& EnsureSystemXInput() {
    std::call_once(g_loadOnce, LoadSystemXInput);
    return g_system;
}

} // namespace corvane
