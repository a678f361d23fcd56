#include "stereo/camera_buffer.h"

namespace corvane {
namespace {

std::atomic<CameraBufferRewrite> g_rewrite{nullptr};
ObservationSet g_observations;
std::atomic<bool> g_pooledB0{false};
std::atomic<bool> g_pooledB1{false};

// The current map of each resource, process-wide, by a hash of its address: the generation of
// its last map, 0 once unmapped. Two resources that share an entry can only make a map look
// ended that is not, which costs that one map its rewrite, never a write through a stale record.
constexpr uint32_t kGenerationSlots = 4096;
std::atomic<uint64_t> g_mapGenerations[kGenerationSlots];
std::atomic<uint64_t> g_nextGeneration{1};

std::atomic<uint64_t>& GenerationOf(const void* resource) noexcept {
    const uint64_t address = reinterpret_cast<uintptr_t>(resource);
    return g_mapGenerations[(address * 0x9E3779B97F4A7C15ull >> 52) % kGenerationSlots];
}

uint64_t BeginMap(const void* resource) noexcept {
    const uint64_t generation = g_nextGeneration.fetch_add(1, std::memory_order_relaxed);
    GenerationOf(resource).store(generation, std::memory_order_release);
    return generation;
}

// The slot already holding `resource`, else the first free one; `count` when there is
// neither. Preferring the held slot keeps one resource from occupying two slots.
template <typename Slot> uint32_t SlotFor(const Slot* slots, uint32_t count, const void* resource) noexcept {
    uint32_t firstFree = count;
    for (uint32_t i = 0; i < count; ++i) {
        if (slots[i].resource == resource) {
            return i;
        }
        if (slots[i].resource == nullptr && firstFree == count) {
            firstFree = i;
        }
    }
    return firstFree;
}

// Takes this thread's slot for the unmap of `resource` whose current map is `current`; a slot of
// a map that had already ended (unmapped on another thread) is dropped, not taken.
template <typename Slot>
Slot TakeSlot(Slot* slots, uint32_t count, const void* resource, uint32_t subresource,
              uint64_t current) noexcept {
    for (uint32_t i = 0; i < count; ++i) {
        if (slots[i].resource == resource && slots[i].subresource == subresource) {
            const Slot taken = slots[i];
            slots[i] = Slot{};
            return taken.generation == current ? taken : Slot{};
        }
    }
    return Slot{};
}

} // namespace

bool PendingMaps::RecordHud(const void* resource, void* data) noexcept {
    const uint32_t i = SlotFor(hud, kPendingHudMapSlots, resource);
    if (resource == nullptr || i == kPendingHudMapSlots) {
        return false;
    }
    hud[i] = PendingHudMap{resource, 0, data, BeginMap(resource)};
    return true;
}

bool PendingMaps::RecordCamera(const void* resource, void* data, uint32_t kind) noexcept {
    const uint32_t i = SlotFor(camera, kPendingCameraMapSlots, resource);
    if (resource == nullptr || i == kPendingCameraMapSlots) {
        return false;
    }
    camera[i] = PendingCameraMap{resource, 0, data, kind, BeginMap(resource)};
    return true;
}

PendingMaps::Taken PendingMaps::Take(const void* resource, uint32_t subresource) noexcept {
    // Only whole buffers are recorded; the unmap of another subresource ends none of their maps.
    if (resource == nullptr || subresource != 0) {
        return Taken{};
    }
    const uint64_t current = GenerationOf(resource).exchange(0, std::memory_order_acq_rel);
    return Taken{TakeSlot(hud, kPendingHudMapSlots, resource, subresource, current),
                 TakeSlot(camera, kPendingCameraMapSlots, resource, subresource, current)};
}

PendingMaps& ThreadPendingMaps() noexcept {
    thread_local PendingMaps maps;
    return maps;
}

bool ObservationSet::Insert(uint64_t key) noexcept {
    // Probing starts where the key hashes to, so a key seen before is found in a step or two
    // on every bind instead of after all the keys stored before it.
    const uint32_t first = static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 58) % kObservationSlots;
    for (uint32_t i = 0; i < kObservationSlots; ++i) {
        std::atomic<uint64_t>& slot = keys[(first + i) % kObservationSlots];
        uint64_t held = slot.load(std::memory_order_acquire);
        if (held == key) {
            return false;
        }
        if (held != 0) {
            continue;
        }
        uint64_t expected = 0;
        if (slot.compare_exchange_strong(expected, key, std::memory_order_acq_rel)) {
            return true;
        }
        // Another thread took this slot meanwhile: with our key we are done, with another
        // we look further.
        if (expected == key) {
            return false;
        }
    }
    return false;
}

ObservationSet& ProcessObservations() noexcept {
    return g_observations;
}

std::atomic<bool>& PooledB0Logged() noexcept {
    return g_pooledB0;
}

std::atomic<bool>& PooledB1Logged() noexcept {
    return g_pooledB1;
}

void SetCameraBufferRewrite(CameraBufferRewrite rewrite) noexcept {
    g_rewrite.store(rewrite, std::memory_order_release);
}

bool RewriteCameraBuffer(uint8_t* data) {
    const CameraBufferRewrite rewrite = g_rewrite.load(std::memory_order_acquire);
    return rewrite != nullptr && data != nullptr && rewrite(data);
}

} // namespace corvane
