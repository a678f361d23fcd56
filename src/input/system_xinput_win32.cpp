#include "input/system_xinput_win32.h"

#include "input/system_xinput_path.h"
#include "platform/win32/os_win32.h"

#include <atomic>

namespace corvane {
namespace {

SystemXInput g_system;
const SystemXInput kAbsent{};
INIT_ONCE g_loadOnce = INIT_ONCE_STATIC_INIT;
std::atomic<bool> g_loadDone{false};
std::atomic<SystemDirectorySource> g_systemDirectorySource{&GetSystemDirectoryW};

// Loader reports go to the debugger only: the log beside the game is for the VR side.
void ReportLoaderProblem(const char* message) noexcept {
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

// Fills `loaded` only when the library was found; the caller publishes it.
void LoadSystemXInput(SystemXInput& loaded) {
    wchar_t directory[kSystemPathCapacity] = {};
    const UINT length = g_systemDirectorySource.load()(directory, kSystemPathCapacity);
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
    loaded.module = module;
    loaded.getState = Resolve<SystemXInput::GetStateFn>(module, 2);
    loaded.setState = Resolve<SystemXInput::SetStateFn>(module, 3);
    loaded.getCapabilities = Resolve<SystemXInput::GetCapabilitiesFn>(module, 4);
    loaded.enable = Resolve<SystemXInput::EnableFn>(module, 5);
    loaded.getDSoundGuids = Resolve<SystemXInput::GetDSoundGuidsFn>(module, 6);
    loaded.getBattery = Resolve<SystemXInput::GetBatteryFn>(module, 7);
    loaded.getKeystroke = Resolve<SystemXInput::GetKeystrokeFn>(module, 8);
    loaded.getStateEx = Resolve<SystemXInput::GetStateFn>(module, 100);
    loaded.waitForGuide = Resolve<SystemXInput::WaitForGuideFn>(module, 101);
    loaded.cancelGuideWait = Resolve<SystemXInput::UserOnlyFn>(module, 102);
    loaded.powerOff = Resolve<SystemXInput::UserOnlyFn>(module, 103);
    if (loaded.getState == nullptr) {
        ReportLoaderProblem("System XInputGetState export is missing.");
    }
}

// Runs once per process under the platform's one-time initialisation, which cannot throw
// itself. Whatever happens inside, the attempt counts as made: an exception (the path text
// is allocated) leaves the library absent, exactly as a file that is not there.
BOOL CALLBACK LoadSystemXInputOnce(PINIT_ONCE, PVOID, PVOID*) noexcept {
    try {
        SystemXInput loaded;
        LoadSystemXInput(loaded);
        g_system = loaded;
    } catch (...) {
        ReportLoaderProblem("Could not load System32\\xinput1_3.dll.");
    }
    return TRUE;
}

} // namespace

const SystemXInput& EnsureSystemXInput() noexcept {
    // Every XInput call of the game comes through here; after the load a flag is all it costs.
    if (g_loadDone.load(std::memory_order_acquire)) {
        return g_system;
    }
    if (!InitOnceExecuteOnce(&g_loadOnce, &LoadSystemXInputOnce, nullptr, nullptr)) {
        return kAbsent;
    }
    g_loadDone.store(true, std::memory_order_release);
    return g_system;
}

void ReleaseSystemXInput() noexcept {
    if (!g_loadDone.load(std::memory_order_acquire) || g_system.module == nullptr) {
        return;
    }
    const HMODULE module = g_system.module;
    g_system = SystemXInput{};
    FreeLibrary(module);
}

void SetSystemDirectorySourceForTests(SystemDirectorySource source) noexcept {
    g_systemDirectorySource.store(source != nullptr ? source : &GetSystemDirectoryW);
}

} // namespace corvane
