// The client library's functions the presenter calls, as one set: those of openvr_api.dll, or
// those the OpenXR back end serves in their place.
#pragma once

#include "vr/openvr_abi.h"

namespace corvane {

struct OpenVrClientFunctions {
    using IsRuntimeInstalledFn = bool (*)();
    using InitInternal2Fn = uint32_t (*)(EVRInitError*, EVRApplicationType, const char*);
    using IsInterfaceVersionValidFn = bool (*)(const char*);
    using GetGenericInterfaceFn = void* (*)(const char*, EVRInitError*);
    using GetInitTokenFn = uint32_t (*)();
    using ShutdownInternalFn = void (*)();
    using GetInitErrorAsEnglishDescriptionFn = const char* (*)(EVRInitError);

    IsRuntimeInstalledFn isRuntimeInstalled = nullptr;
    InitInternal2Fn initInternal2 = nullptr;
    IsInterfaceVersionValidFn isInterfaceVersionValid = nullptr;
    GetGenericInterfaceFn getGenericInterface = nullptr;
    GetInitTokenFn getInitToken = nullptr;
    ShutdownInternalFn shutdownInternal = nullptr;
    GetInitErrorAsEnglishDescriptionFn getInitErrorAsEnglishDescription = nullptr;
};

} // namespace corvane
