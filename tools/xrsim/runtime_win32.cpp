// Runtime state ownership, the files it reads at load and reset, and the COM references the
// runtime holds.
#include "runtime_state.h"

#include "standin/runtime_files.h"

#include <windows.h>
#include <unknwn.h>

#include <string>

namespace xrsim {
namespace {

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
    std::wstring logPath = standin::RuntimeFilePath(L"XRSIM_LOG", L"xrsim.log");
    state.log.Restart(logPath);
    state.frame = 0;
    state.sessionLossFired = state.instanceLossFired = state.exitRequestFired = 0;
    state.nextVsync = {};
    state.captureFolder.clear();

    // The default scenario captures nothing, so only a file's scenario names a capture folder.
    state.scenario = standin::LoadScenario(state.log, L"XRSIM_SCENARIO", L"xrsim_scenario.txt", ParseScenario,
                                           DefaultScenario);
    if (!state.scenario.captureFrames.empty()) {
        state.captureFolder = standin::CaptureFolder(state.scenario.captureFolder, logPath);
        state.log.Line("capture folder=%s", standin::Narrow(state.captureFolder).c_str());
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
