// A stand-in openvr_api.dll that records what is called, to compare the program's calls with
// the client library's exported names and the interfaces' slot numbers. Its exports carry the
// client function names the program must ask for; its two objects have a method table in
// which every entry records its own slot. It answers just enough for a connection attempt to
// run its course: an install, a session, the two interfaces and eye-to-head offsets; the raw
// projections stay zero, so the attempt ends at their check and shuts the session down.
#include "openvr_recording_client.h"

#include <cstdint>
#include <cstring>
#include <utility>

using corvane::testing_support::kEyeToHeadMark;
using corvane::testing_support::kProjectionMark;
using corvane::testing_support::kRecordedCallCapacity;
using corvane::testing_support::RecordedCall;
using corvane::testing_support::RecordedInterface;
using corvane::testing_support::RecordingClientLog;

namespace {

RecordingClientLog g_log;

RecordedCall* Record(const char* name, RecordedInterface interface, int slot, const void* self, uint64_t a,
                     uint64_t b, uint64_t c) {
    if (g_log.count >= kRecordedCallCapacity) {
        return nullptr;
    }
    RecordedCall& call = g_log.calls[g_log.count++];
    std::memset(&call, 0, sizeof call);
    std::strncpy(call.name, name, sizeof call.name - 1);
    call.interface = interface;
    call.slot = slot;
    call.self = self;
    call.args[0] = a;
    call.args[1] = b;
    call.args[2] = c;
    return &call;
}

void RecordText(RecordedCall* call, const char* text) {
    if (call != nullptr && text != nullptr) {
        std::strncpy(call->text, text, sizeof call->text - 1);
    }
}

constexpr int kSystemSlots = 51;
constexpr int kCompositorSlots = 53;
constexpr int kSystemGetProjectionMatrix = 1;
constexpr int kSystemGetEyeToHeadTransform = 5;

struct Object {
    void* const* methods;
};

// Every slot has the register layout of the Microsoft x64 convention: `self` first, then three
// integer or pointer arguments. A struct-returning slot finds its result buffer in the first.
bool IsResultBuffer(uint64_t address);

template <RecordedInterface Interface, int Slot>
uint64_t Method(void* self, uint64_t a, uint64_t b, uint64_t c) {
    Record("", Interface, Slot, self, a, b, c);
    if (!IsResultBuffer(a)) {
        return 0;
    }
    if (Interface == RecordedInterface::System && Slot == kSystemGetEyeToHeadTransform) {
        float(&m)[3][4] = *reinterpret_cast<float(*)[3][4]>(a);
        std::memset(m, 0, sizeof m);
        m[0][0] = m[2][2] = 1.0f;
        m[1][1] = kEyeToHeadMark;
        m[0][3] = static_cast<uint32_t>(b) == 0 ? -0.0315f : 0.0315f;
        return a;
    }
    if (Interface == RecordedInterface::System && Slot == kSystemGetProjectionMatrix) {
        float(&m)[4][4] = *reinterpret_cast<float(*)[4][4]>(a);
        std::memset(m, 0, sizeof m);
        m[2][0] = kProjectionMark + static_cast<float>(static_cast<uint32_t>(b));
        return a;
    }
    return 0;
}

template <RecordedInterface Interface, int... Slots>
constexpr auto MakeTable(std::integer_sequence<int, Slots...>) {
    struct Table {
        void* entries[sizeof...(Slots)];
    };
    return Table{{reinterpret_cast<void*>(&Method<Interface, Slots>)...}};
}

const auto g_systemTable =
    MakeTable<RecordedInterface::System>(std::make_integer_sequence<int, kSystemSlots>{});
const auto g_compositorTable =
    MakeTable<RecordedInterface::Compositor>(std::make_integer_sequence<int, kCompositorSlots>{});
Object g_system{g_systemTable.entries};
Object g_compositor{g_compositorTable.entries};

// A caller that passes `this` where the result buffer belongs would have the result written
// over the object; it is refused, so the test sees the wrong `this` instead of a crash.
bool IsResultBuffer(uint64_t address) {
    const auto* buffer = reinterpret_cast<const void*>(address);
    return buffer != nullptr && buffer != &g_system && buffer != &g_compositor;
}

} // namespace

extern "C" __declspec(dllexport) RecordingClientLog* RecordingClient_Log() {
    g_log.system = &g_system;
    g_log.compositor = &g_compositor;
    return &g_log;
}

extern "C" __declspec(dllexport) void RecordingClient_Clear() {
    g_log.count = 0;
}

extern "C" __declspec(dllexport) bool VR_IsRuntimeInstalled() {
    Record("VR_IsRuntimeInstalled", RecordedInterface::None, -1, nullptr, 0, 0, 0);
    return true;
}

extern "C" __declspec(dllexport) uint32_t
    VR_InitInternal2(int32_t* error, int32_t type, const char* startup) {
    RecordText(Record("VR_InitInternal2", RecordedInterface::None, -1, nullptr, static_cast<uint32_t>(type),
                      startup == nullptr ? 0 : 1, 0),
               startup);
    *error = 0;
    return 1;
}

extern "C" __declspec(dllexport) bool VR_IsInterfaceVersionValid(const char* version) {
    RecordText(Record("VR_IsInterfaceVersionValid", RecordedInterface::None, -1, nullptr, 0, 0, 0), version);
    return true;
}

extern "C" __declspec(dllexport) void* VR_GetGenericInterface(const char* version, int32_t* error) {
    RecordText(Record("VR_GetGenericInterface", RecordedInterface::None, -1, nullptr, 0, 0, 0), version);
    if (std::strcmp(version, "IVRSystem_026") == 0) {
        return &g_system;
    }
    if (std::strcmp(version, "IVRCompositor_029") == 0) {
        return &g_compositor;
    }
    *error = 105;
    return nullptr;
}

extern "C" __declspec(dllexport) uint32_t VR_GetInitToken() {
    Record("VR_GetInitToken", RecordedInterface::None, -1, nullptr, 0, 0, 0);
    return 1;
}

extern "C" __declspec(dllexport) void VR_ShutdownInternal() {
    Record("VR_ShutdownInternal", RecordedInterface::None, -1, nullptr, 0, 0, 0);
}

extern "C" __declspec(dllexport) const char* VR_GetVRInitErrorAsEnglishDescription(int32_t error) {
    Record("VR_GetVRInitErrorAsEnglishDescription", RecordedInterface::None, -1, nullptr,
           static_cast<uint32_t>(error), 0, 0);
    return "recorded";
}
