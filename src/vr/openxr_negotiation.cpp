#include "vr/openxr_negotiation.h"

#include <cstdio>

namespace corvane {

static_assert(sizeof(XrNegotiateLoaderInfoRecord) == 40, "loader info: 4 + 4 + 8 + 4 + 4 + 8 + 8 bytes");
static_assert(sizeof(XrNegotiateRuntimeRequestRecord) == 40,
              "runtime request: 4 + 4 + 8 + 4 + (4) + 8 + 8 bytes");

bool AcceptNegotiatedRuntime(XrResultCode result, const XrNegotiateLoaderInfoRecord& offered,
                             const XrNegotiateRuntimeRequestRecord& answer, std::string& reason) {
    char text[160];
    if (result != 0) {
        std::snprintf(text, sizeof(text), "refused the loader negotiation (result %d)",
                      static_cast<int>(result));
        reason = text;
        return false;
    }
    if (answer.runtimeInterfaceVersion < offered.minInterfaceVersion ||
        answer.runtimeInterfaceVersion > offered.maxInterfaceVersion) {
        std::snprintf(text, sizeof(text), "answered loader interface version %u, not %u",
                      static_cast<unsigned>(answer.runtimeInterfaceVersion),
                      static_cast<unsigned>(offered.maxInterfaceVersion));
        reason = text;
        return false;
    }
    if (XrVersionMajor(answer.runtimeApiVersion) != 1 || answer.runtimeApiVersion < offered.minApiVersion ||
        answer.runtimeApiVersion > offered.maxApiVersion) {
        std::snprintf(text, sizeof(text), "answered API version %u.%u.%u, not 1.x",
                      XrVersionMajor(answer.runtimeApiVersion),
                      static_cast<unsigned>((answer.runtimeApiVersion >> 32) & 0xFFFF),
                      static_cast<unsigned>(answer.runtimeApiVersion & 0xFFFFFFFF));
        reason = text;
        return false;
    }
    if (answer.getInstanceProcAddr == nullptr) {
        reason = "answered no xrGetInstanceProcAddr";
        return false;
    }
    return true;
}

bool NegotiateWithRuntime(XrNegotiateFunction negotiate, XrNegotiateRuntimeRequestRecord& answer,
                          std::string& reason) {
    if (negotiate == nullptr) {
        reason = "has no xrNegotiateLoaderRuntimeInterface";
        return false;
    }
    const XrNegotiateLoaderInfoRecord offer;
    answer = XrNegotiateRuntimeRequestRecord{};
    const XrResultCode result = negotiate(&offer, &answer);
    return AcceptNegotiatedRuntime(result, offer, answer, reason);
}

} // namespace corvane
