// The exported client functions of openvr_api.dll and the test controls of the stand-in.
#include "init_errors.h"
#include "runtime.h"
#include "served_interface.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

using vrsim::AccessRuntime;
using vrsim::RuntimeAccess;
using vrsim::RuntimeState;

namespace {

std::string ThisDllDirectory() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ThisDllDirectory), &self)) {
        return {};
    }
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    std::string directory(path, length);
    return directory.substr(0, directory.find_last_of("\\/"));
}

// Which served object a version string names, honouring the scenario's missing interfaces.
bool ServesVersion(const vrsim::Scenario& scenario, const char* version) {
    if (version == nullptr) {
        return false;
    }
    if (std::strcmp(version, vrsim::kSystemVersion) == 0) {
        return !scenario.systemMissing;
    }
    if (std::strcmp(version, vrsim::kCompositorVersion) == 0) {
        return !scenario.compositorMissing;
    }
    return false;
}

} // namespace

extern "C" {

bool VR_IsRuntimeInstalled() noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    bool installed = state.scenario.runtimeInstalled;
    state.log.Line("VR_IsRuntimeInstalled -> %d", installed ? 1 : 0);
    return installed;
}

bool VR_IsHmdPresent() noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    bool present = state.scenario.runtimeInstalled;
    state.log.Line("VR_IsHmdPresent -> %d", present ? 1 : 0);
    return present;
}

uint32_t VR_InitInternal2(int32_t* error, int32_t applicationType, const char* /*startupInfo*/) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    uint32_t attempt = ++state.initAttempts;
    int32_t result = vrsim::CodeAt(state.scenario.initErrors, attempt);
    if (result == vrsim::kInitErrorNone && !state.scenario.runtimeInstalled) {
        result = 100; // Init_InstallationNotFound
    }
    state.token = result == vrsim::kInitErrorNone ? ++state.lastToken : 0;
    if (error != nullptr) {
        *error = result;
    }
    state.log.Line("VR_InitInternal2 type=%d attempt=%u -> token=%u error=%d", applicationType, attempt,
                   state.token, result);
    return state.token;
}

bool VR_IsInterfaceVersionValid(const char* version) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    bool valid = ServesVersion(state.scenario, version);
    state.log.Line("VR_IsInterfaceVersionValid version=%s -> %d", version ? version : "(null)",
                   valid ? 1 : 0);
    return valid;
}

void* VR_GetGenericInterface(const char* version, int32_t* error) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    void* served = nullptr;
    int32_t result = vrsim::kInitErrorNone;
    if (!state.SessionOpen()) {
        result = vrsim::kInitErrorNotInitialized;
    } else if (!ServesVersion(state.scenario, version)) {
        result = vrsim::kInitErrorInterfaceNotFound;
    } else if (std::strcmp(version, vrsim::kSystemVersion) == 0) {
        served = state.scenario.systemNull ? nullptr : vrsim::SystemObject();
    } else {
        served = state.scenario.compositorNull ? nullptr : vrsim::CompositorObject();
    }
    if (error != nullptr) {
        *error = result;
    }
    state.log.Line("VR_GetGenericInterface version=%s -> %s error=%d", version ? version : "(null)",
                   served ? "ok" : "null", result);
    return served;
}

uint32_t VR_GetInitToken() noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    state.log.Line("VR_GetInitToken -> %u", state.token);
    return state.token;
}

void VR_ShutdownInternal() noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    state.token = 0;
    state.log.Line("VR_ShutdownInternal");
}

const char* VR_GetVRInitErrorAsEnglishDescription(int32_t error) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* text = state.scenario.errorTextNull ? nullptr : vrsim::InitErrorDescription(error);
    state.log.Line("VR_GetVRInitErrorAsEnglishDescription error=%d -> %s", error, text ? text : "null");
    return text;
}

const char* VR_GetVRInitErrorAsSymbol(int32_t error) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* symbol = vrsim::InitErrorSymbol(error);
    state.log.Line("VR_GetVRInitErrorAsSymbol error=%d -> %s", error, symbol);
    return symbol;
}

bool VR_GetRuntimePath(char* buffer, uint32_t bufferSize, uint32_t* requiredSize) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    std::string directory = state.scenario.runtimeInstalled ? ThisDllDirectory() : std::string();
    uint32_t required = directory.empty() ? 0 : static_cast<uint32_t>(directory.size() + 1);
    if (requiredSize != nullptr) {
        *requiredSize = required;
    }
    bool ok = required != 0 && buffer != nullptr && bufferSize >= required;
    if (ok) {
        std::memcpy(buffer, directory.c_str(), required);
    }
    state.log.Line("VR_GetRuntimePath -> %d", ok ? 1 : 0);
    return ok;
}

void VRSim_Reset() noexcept {
    RuntimeAccess access = AccessRuntime();
    vrsim::ReloadRuntime(access.State());
}

uint32_t VRSim_FrameCount() noexcept {
    RuntimeAccess access = AccessRuntime();
    return access.State().frame;
}

} // extern "C"
