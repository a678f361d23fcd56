// Runtime state ownership and the files it reads at load and reset.
#include "runtime.h"

#include "standin/runtime_files.h"

#include <string>

namespace vrsim {

void ReloadRuntime(RuntimeState& state) {
    std::wstring logPath = standin::RuntimeFilePath(L"VRSIM_LOG", L"vrsim.log");
    state.log.Restart(logPath);

    state.frame = 0;
    state.initAttempts = 0;
    state.token = 0;
    state.trackingSpace = 1;
    state.nextVsync = {};
    state.eventsAnnouncedThrough = 0;
    state.capture = {};
    state.poses.Clear();

    // The default scenario captures nothing, so only a file's scenario names a capture folder.
    state.scenario = standin::LoadScenario(state.log, L"VRSIM_SCENARIO", L"vrsim_scenario.txt", ParseScenario,
                                           DefaultScenario);
    if (!state.scenario.captureFrames.empty()) {
        state.capture.folder = standin::CaptureFolder(state.scenario.captureFolder, logPath);
        state.log.Line("capture folder=%s", standin::Narrow(state.capture.folder).c_str());
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

} // namespace vrsim
