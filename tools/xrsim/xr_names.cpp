// The name tables come from the headers' own reflection lists, so they cannot drift from them.
#include "xr_names.h"

#include <openxr/openxr_reflection.h>

namespace xrsim {

const char* KnownResultName(XrResult result) {
    switch (result) {
#define XRSIM_RESULT_CASE(name, value)                                                                       \
    case name:                                                                                               \
        return #name;
        XR_LIST_ENUM_XrResult(XRSIM_RESULT_CASE)
#undef XRSIM_RESULT_CASE
            default : return nullptr;
    }
}

const char* KnownStructureTypeName(XrStructureType type) {
    switch (type) {
#define XRSIM_TYPE_CASE(name, value)                                                                         \
    case name:                                                                                               \
        return #name;
        XR_LIST_ENUM_XrStructureType(XRSIM_TYPE_CASE)
#undef XRSIM_TYPE_CASE
            default : return nullptr;
    }
}

std::string ResultName(XrResult result) {
    const char* name = KnownResultName(result);
    if (name != nullptr) {
        return name;
    }
    return (result < 0 ? "XR_UNKNOWN_FAILURE_" : "XR_UNKNOWN_SUCCESS_") +
           std::to_string(static_cast<int>(result));
}

std::string StructureTypeName(XrStructureType type) {
    const char* name = KnownStructureTypeName(type);
    return name != nullptr ? std::string(name)
                           : "XR_UNKNOWN_STRUCTURE_TYPE_" + std::to_string(static_cast<int>(type));
}

const char* SessionStateName(XrSessionState state) {
    switch (state) {
    case XR_SESSION_STATE_IDLE:
        return "IDLE";
    case XR_SESSION_STATE_READY:
        return "READY";
    case XR_SESSION_STATE_SYNCHRONIZED:
        return "SYNCHRONIZED";
    case XR_SESSION_STATE_VISIBLE:
        return "VISIBLE";
    case XR_SESSION_STATE_FOCUSED:
        return "FOCUSED";
    case XR_SESSION_STATE_STOPPING:
        return "STOPPING";
    case XR_SESSION_STATE_LOSS_PENDING:
        return "LOSS_PENDING";
    case XR_SESSION_STATE_EXITING:
        return "EXITING";
    default:
        return "UNKNOWN";
    }
}

} // namespace xrsim
