// What the recording stand-in for openvr_api.dll saw: every client function called by its
// exported name and every interface method by its slot, in order. Shared by the stand-in and
// the test that loads it. Test thread only.
#pragma once

#include <cstdint>

namespace corvane::testing_support {

enum class RecordedInterface : int32_t { None = 0, System = 1, Compositor = 2 };

struct RecordedCall {
    char name[48]; // the client function, empty for an interface method
    char text[32]; // a version string passed to it, if any
    RecordedInterface interface;
    int32_t slot;     // the interface method's slot, -1 for a client function
    const void* self; // the object an interface method was called on
    uint64_t args[3]; // the next three argument registers after `self`
};

inline constexpr int kRecordedCallCapacity = 256;

struct RecordingClientLog {
    int32_t count;
    RecordedCall calls[kRecordedCallCapacity];
    const void* system; // the objects handed out for IVRSystem_026 and IVRCompositor_029
    const void* compositor;
};

// Exported by the stand-in: the log, emptied by RecordingClient_Clear.
using RecordingClientLogFn = RecordingClientLog* (*)();
using RecordingClientClearFn = void (*)();

// Written by the struct-returning slots into the caller's result: the eye-to-head x offset of
// the eye asked for (so a connection can pass its eye check) and a mark in another element.
inline constexpr float kEyeToHeadMark = 42.0f;  // row 1, column 1 of the eye-to-head result
inline constexpr float kProjectionMark = 17.0f; // row 2, column 0 of the projection result

} // namespace corvane::testing_support
