#include "stereo/camera_buffer.h"

namespace corvane {
namespace {

std::atomic<CameraBufferRewrite> g_rewrite{nullptr};
ObservationSet g_observations;
std::atomic<bool> g_pooledB0{false};
std::atomic<bool> g_pooledB1{false};

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

template <typename Slot>
Slot TakeSlot(Slot* slots, uint32_t count, const void* resource, uint32_t subresource) noexcept {
    if (resource == nullptr) {
        return Slot{};
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (slots[i].resource == resource && slots[i].subresource == subresource) {
            const Slot taken = slots[i];
            slots[i] = Slot{};
            return taken;
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
    hud[i] = PendingHudMap{resource, 0, data};
    return true;
}

bool PendingMaps::RecordCamera(const void* resource, void* data, uint32_t kind) noexcept {
    const uint32_t i = SlotFor(camera, kPendingCameraMapSlots, resource);
    if (resource == nullptr || i == kPendingCameraMapSlots) {
        return false;
    }
    camera[i] = PendingCameraMap{resource, 0, data, kind};
    return true;
}

PendingHudMap PendingMaps::TakeHud(const void* resource, uint32_t subresource) noexcept {
    return TakeSlot(hud, kPendingHudMapSlots, resource, subresource);
}

PendingCameraMap PendingMaps::TakeCamera(const void* resource, uint32_t subresource) noexcept {
    return TakeSlot(camera, kPendingCameraMapSlots, resource, subresource);
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
