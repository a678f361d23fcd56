#include "stereo/hud_shader_slots.h"

namespace corvane {

bool HudShaderSlots::Remember(const void* shader) noexcept {
    if (shader == nullptr || Contains(shader)) {
        return false;
    }
    for (std::atomic<const void*>& slot : slots_) {
        const void* expected = nullptr;
        if (slot.compare_exchange_strong(expected, shader, std::memory_order_acq_rel)) {
            taken_.fetch_add(1, std::memory_order_release);
            return true;
        }
    }
    return false;
}

bool HudShaderSlots::Forget(const void* shader) noexcept {
    if (shader == nullptr) {
        return false;
    }
    bool forgotten = false;
    for (std::atomic<const void*>& slot : slots_) {
        const void* expected = shader;
        if (slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel)) {
            taken_.fetch_sub(1, std::memory_order_release);
            forgotten = true;
        }
    }
    return forgotten;
}

bool HudShaderSlots::Contains(const void* shader) const noexcept {
    if (shader == nullptr) {
        return false;
    }
    for (const std::atomic<const void*>& slot : slots_) {
        if (slot.load(std::memory_order_acquire) == shader) {
            return true;
        }
    }
    return false;
}

bool HudShaderSlots::Full() const noexcept {
    return taken_.load(std::memory_order_acquire) >= kHudShaderSlots;
}

bool HudShaderSlots::Empty() const noexcept {
    return taken_.load(std::memory_order_acquire) == 0;
}

} // namespace corvane
