// The loader-runtime handshake of OpenXR, done by the program itself: the runtime library's
// xrNegotiateLoaderRuntimeInterface is offered interface version 1 and API versions 1.0.0 to
// 1.x, and its answer is checked before anything else of it is called. The two records are
// declared here from the loader-runtime interface as Khronos publishes it (Debian's headers
// lack them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane {

using XrVersionNumber = uint64_t;
using XrResultCode = int32_t;
using XrProcAddrFunction = XrResultCode (*)(void* instance, const char* name, void (**function)());

inline constexpr XrVersionNumber MakeXrVersion(uint64_t major, uint64_t minor, uint64_t patch) {
    return ((major & 0xFFFF) << 48) | ((minor & 0xFFFF) << 32) | (patch & 0xFFFFFFFF);
}
inline constexpr uint32_t XrVersionMajor(XrVersionNumber version) {
    return static_cast<uint32_t>(version >> 48);
}

// XrLoaderInterfaceStructs.
inline constexpr uint32_t kXrLoaderInterfaceLoaderInfo = 1;
inline constexpr uint32_t kXrLoaderInterfaceRuntimeRequest = 3;
inline constexpr uint32_t kXrLoaderInfoStructVersion = 1;
inline constexpr uint32_t kXrRuntimeInfoStructVersion = 1;
inline constexpr uint32_t kXrLoaderRuntimeInterfaceVersion = 1;
inline constexpr XrVersionNumber kXrMinApiVersion = MakeXrVersion(1, 0, 0);
inline constexpr XrVersionNumber kXrMaxApiVersion = MakeXrVersion(1, 0xFFFF, 0xFFFFFFFF);

struct XrNegotiateLoaderInfoRecord {
    uint32_t structType = kXrLoaderInterfaceLoaderInfo;
    uint32_t structVersion = kXrLoaderInfoStructVersion;
    size_t structSize = sizeof(XrNegotiateLoaderInfoRecord);
    uint32_t minInterfaceVersion = kXrLoaderRuntimeInterfaceVersion;
    uint32_t maxInterfaceVersion = kXrLoaderRuntimeInterfaceVersion;
    XrVersionNumber minApiVersion = kXrMinApiVersion;
    XrVersionNumber maxApiVersion = kXrMaxApiVersion;
};

struct XrNegotiateRuntimeRequestRecord {
    uint32_t structType = kXrLoaderInterfaceRuntimeRequest;
    uint32_t structVersion = kXrRuntimeInfoStructVersion;
    size_t structSize = sizeof(XrNegotiateRuntimeRequestRecord);
    uint32_t runtimeInterfaceVersion = 0;
    XrVersionNumber runtimeApiVersion = 0;
    XrProcAddrFunction getInstanceProcAddr = nullptr;
};

using XrNegotiateFunction = XrResultCode (*)(const XrNegotiateLoaderInfoRecord* loaderInfo,
                                             XrNegotiateRuntimeRequestRecord* runtimeRequest);

// Whether the runtime's answer makes it usable; when not, `reason` says why (it completes
// "The OpenXR runtime ...").
bool AcceptNegotiatedRuntime(XrResultCode result, const XrNegotiateLoaderInfoRecord& offered,
                             const XrNegotiateRuntimeRequestRecord& answer, std::string& reason);

// Calls `negotiate` with a fresh offer and checks its answer.
bool NegotiateWithRuntime(XrNegotiateFunction negotiate, XrNegotiateRuntimeRequestRecord& answer,
                          std::string& reason);

} // namespace corvane
