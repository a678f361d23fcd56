// What the constant-buffer handlers decide, free of Direct3D: the per-thread tables of
// write-discard maps awaiting their unmap, the process-wide set of observed vertex-shader
// constant-buffer bindings, and the seam through which a camera buffer is rewritten for the
// current eye. Game threads (any thread that uses a device context).
#pragma once

#include <atomic>
#include <cstdint>

namespace corvane {

inline constexpr uint32_t kCameraBufferBytes = 528;
inline constexpr uint32_t kHudBufferBytes = 128;
inline constexpr uint32_t kPooledB0Bytes = 1024;
inline constexpr uint32_t kPooledB1Bytes = 2048;
// Vertex-shader constant-buffer slots below this are observed.
inline constexpr uint32_t kObservedSlotLimit = 14;

// Camera-buffer kind of a constant buffer of `byteWidth` bytes: 1 for the camera buffer, 0 otherwise.
[[nodiscard]] constexpr uint32_t CameraBufferKind(uint32_t constantBufferBytes) {
    return constantBufferBytes == kCameraBufferBytes ? 1u : 0u;
}

struct PendingHudMap {
    const void* resource = nullptr;
    uint32_t subresource = 0;
    void* data = nullptr;
    uint64_t generation = 0; // which map of the resource, process-wide
};

struct PendingCameraMap {
    const void* resource = nullptr;
    uint32_t subresource = 0;
    void* data = nullptr;
    uint32_t kind = 0;
    uint64_t generation = 0;
};

inline constexpr uint32_t kPendingHudMapSlots = 8;
inline constexpr uint32_t kPendingCameraMapSlots = 32;

// Write-discard maps of one thread awaiting their unmap. A slot whose resource is null is free.
// Resources are not referenced: a slot lives from a map to the matching unmap on one thread. A
// map unmapped on another thread leaves its slot behind; every unmap, on whichever thread, ends
// the resource's current map process-wide, so such a slot is never taken for a later map of the
// same address (a buffer made again where a released one was), whose memory it does not point to.
struct PendingMaps {
    PendingHudMap hud[kPendingHudMapSlots];
    PendingCameraMap camera[kPendingCameraMapSlots];

    // Stores the map in the first slot that is free or already holds `resource`; false (and
    // nothing evicted) when every slot holds another resource.
    bool RecordHud(const void* resource, void* data) noexcept;
    bool RecordCamera(const void* resource, void* data, uint32_t kind) noexcept;

    // The unmap of `resource`: clears its slots and returns what they held (empty records where
    // none matches, or where the map had already ended), and ends its map process-wide.
    struct Taken {
        PendingHudMap hud;
        PendingCameraMap camera;
    };
    Taken Take(const void* resource, uint32_t subresource) noexcept;
};

// The calling thread's tables (zero-initialised on first use by the thread).
PendingMaps& ThreadPendingMaps() noexcept;

// ((contextType << 8 | slot) << 32 | byteWidth) x 2 + 1: never zero, so zero marks a free slot.
[[nodiscard]] constexpr uint64_t ObservationKey(uint32_t contextType, uint32_t slot, uint32_t byteWidth) {
    return (((static_cast<uint64_t>(contextType) << 8 | slot) << 32) | byteWidth) * 2 + 1;
}

inline constexpr uint32_t kObservationSlots = 64;

// Lock-free set of observed bindings, shared by all threads.
struct ObservationSet {
    std::atomic<uint64_t> keys[kObservationSlots] = {};

    // True only for the one call that stored the key; false when it was there already or
    // the set is full.
    bool Insert(uint64_t key) noexcept;
};

ObservationSet& ProcessObservations() noexcept;

// The two pooled-candidate lines, each written once per process.
std::atomic<bool>& PooledB0Logged() noexcept;
std::atomic<bool>& PooledB1Logged() noexcept;

// Rewrites a camera buffer's 528 bytes in place for the current eye; true when it did.
using CameraBufferRewrite = bool (*)(uint8_t* data);

// Installs the rewrite the camera-buffer handlers call (null: camera buffers pass unchanged).
void SetCameraBufferRewrite(CameraBufferRewrite rewrite) noexcept;

// Calls the installed rewrite; false when there is none.
[[nodiscard]] bool RewriteCameraBuffer(uint8_t* data);

} // namespace corvane
