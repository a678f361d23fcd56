// A runtime library that only negotiates: it checks the offer against the published layout
// (its own declarations, not the program's) and answers as XR_TEST_NEGOTIATION says: "refuse",
// "interface2", "api2", "no-proc", anything else a good answer. Its xrGetInstanceProcAddr
// resolves nothing and says so with XR_ERROR_FUNCTION_UNSUPPORTED.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

struct LoaderInfo {
    uint32_t structType;
    uint32_t structVersion;
    size_t structSize;
    uint32_t minInterfaceVersion;
    uint32_t maxInterfaceVersion;
    uint64_t minApiVersion;
    uint64_t maxApiVersion;
};

using ProcAddr = int32_t (*)(void*, const char*, void (**)());

struct RuntimeRequest {
    uint32_t structType;
    uint32_t structVersion;
    size_t structSize;
    uint32_t runtimeInterfaceVersion;
    uint64_t runtimeApiVersion;
    ProcAddr getInstanceProcAddr;
};

constexpr int32_t kSuccess = 0;
constexpr int32_t kInitializationFailed = -6;
constexpr int32_t kFunctionUnsupported = -7;

int32_t ResolveNothing(void*, const char*, void (**function)()) {
    if (function != nullptr) {
        *function = nullptr;
    }
    return kFunctionUnsupported;
}

bool Mode(const char* mode) {
    char value[32] = {};
    const DWORD length = GetEnvironmentVariableA("XR_TEST_NEGOTIATION", value, sizeof(value));
    return length > 0 && length < sizeof(value) && std::strcmp(value, mode) == 0;
}

} // namespace

extern "C" __declspec(dllexport) int32_t
    xrNegotiateLoaderRuntimeInterface(const LoaderInfo* info, RuntimeRequest* request) {
    if (info == nullptr || request == nullptr || info->structType != 1 || info->structVersion != 1 ||
        info->structSize != sizeof(LoaderInfo) || request->structType != 3 || request->structVersion != 1 ||
        request->structSize != sizeof(RuntimeRequest) || info->minInterfaceVersion > 1 ||
        info->maxInterfaceVersion < 1 || (info->minApiVersion >> 48) > 1 || (info->maxApiVersion >> 48) < 1) {
        return kInitializationFailed;
    }
    if (Mode("refuse")) {
        return kInitializationFailed;
    }
    request->runtimeInterfaceVersion = Mode("interface2") ? 2 : 1;
    request->runtimeApiVersion = Mode("api2") ? (uint64_t{2} << 48) : ((uint64_t{1} << 48) | 53);
    request->getInstanceProcAddr = Mode("no-proc") ? nullptr : &ResolveNothing;
    return kSuccess;
}
