#include "stereo/constant_buffer_sizes.h"

namespace corvane {
uint32_t ConstantBufferSizes::Reserve(const void* buffer, uint32_t constantBufferBytes) noexcept {
    const auto address = reinterpret_cast<uintptr_t>(buffer);
    if (!Packable(address) || constantBufferBytes % 16 != 0 || constantBufferBytes > kMaxBytes) {
        return kNoSlot;
    }
    const uint32_t first = WindowOf(address);
    for (uint32_t i = 0; i < kWindow; ++i) {
        uint64_t expected = 0;
        if (slots_[first + i].compare_exchange_strong(expected, Word(address, kReservedMark),
                                                      std::memory_order_acq_rel)) {
            return first + i;
        }
    }
    return kNoSlot;
}

bool ConstantBufferSizes::Publish(uint32_t slot, const void* buffer, uint32_t constantBufferBytes) noexcept {
    const auto address = reinterpret_cast<uintptr_t>(buffer);
    if (slot >= kSlots || !Packable(address) || constantBufferBytes % 16 != 0 ||
        constantBufferBytes > kMaxBytes) {
        return false;
    }
    uint64_t expected = Word(address, kReservedMark);
    flags_[slot].store(0, std::memory_order_relaxed);
    return slots_[slot].compare_exchange_strong(expected, Word(address, constantBufferBytes / 16),
                                                std::memory_order_acq_rel);
}

void ConstantBufferSizes::Empty(uint32_t slot) noexcept {
    if (slot < kSlots) {
        flags_[slot].store(0, std::memory_order_relaxed);
        slots_[slot].store(0, std::memory_order_release);
    }
}

uint32_t ConstantBufferSizes::CountOf(const void* buffer) const noexcept {
    const auto address = reinterpret_cast<uintptr_t>(buffer);
    if (!Packable(address)) {
        return 0;
    }
    const uint32_t first = WindowOf(address);
    uint32_t count = 0;
    for (uint32_t i = 0; i < kWindow; ++i) {
        const uint64_t word = slots_[first + i].load(std::memory_order_acquire);
        count += word >> kAddressShift == address && (word & kSizeMask) != kReservedMark ? 1 : 0;
    }
    return count;
}

constinit ConstantBufferSizes g_processConstantBufferSizes;

} // namespace corvane
