// The constant-buffer size of each buffer the handlers have already asked, remembered by
// address so that a bind does not ask Direct3D for the buffer's description again. Each
// remembered buffer carries a marker that Direct3D releases while destroying the buffer,
// before its memory can be reused, and that release empties the buffer's slot. It runs with
// Direct3D's own lock held, so nothing here takes a lock: every slot is one word, taken,
// published and emptied by compare-exchange alone. No allocation. Any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvane {

class ConstantBufferSizes {
public:
    static constexpr uint32_t kSlots = 4096;
    // A buffer lives in one of the eight slots of its address's window (one cache line).
    static constexpr uint32_t kWindow = 8;
    static constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
    // Constant buffers are multiples of 16 bytes and at most 4096 registers of 16 bytes.
    static constexpr uint32_t kMaxBytes = 65536;

    // True with the remembered size (0: a buffer that is not a constant buffer) when `buffer`
    // has a published slot.
    [[nodiscard]] bool Find(const void* buffer, uint32_t& constantBufferBytes) const noexcept {
        uint32_t slot = 0;
        return Find(buffer, constantBufferBytes, slot);
    }

    // The same with the slot that answered, for the flags kept beside it.
    [[nodiscard]] bool Find(const void* buffer, uint32_t& constantBufferBytes,
                            uint32_t& slot) const noexcept {
        // Inline: it runs in every bind the game makes.
        const auto address = reinterpret_cast<uintptr_t>(buffer);
        if (!Packable(address)) {
            return false;
        }
        const uint32_t first = WindowOf(address);
        for (uint32_t i = 0; i < kWindow; ++i) {
            const uint64_t word = slots_[first + i].load(std::memory_order_acquire);
            if (word >> kAddressShift == address && (word & kSizeMask) != kReservedMark) {
                constantBufferBytes = static_cast<uint32_t>(word & kSizeMask) * 16;
                slot = first + i;
                return true;
            }
        }
        return false;
    }

    // Takes a free slot of the buffer's window, which Find ignores until Publish; kNoSlot for
    // null, an address or size that does not fit a slot, or a full window. The caller ties the
    // slot's marker to the buffer, then publishes, or empties the slot when it cannot.
    [[nodiscard]] uint32_t Reserve(const void* buffer, uint32_t constantBufferBytes) noexcept;

    // Makes the slot `buffer` reserved visible to Find with its size; false when the slot no
    // longer holds that reservation (it was emptied because the buffer already went), so
    // nothing stale is ever published.
    bool Publish(uint32_t slot, const void* buffer, uint32_t constantBufferBytes) noexcept;

    // Forgets whatever the slot holds: its buffer was destroyed, or its reservation given up.
    void Empty(uint32_t slot) noexcept;

    // Flags the caller keeps with a published slot (the handlers: which context kinds and
    // binding slots already logged this buffer's size). Cleared with the slot and again as it
    // is published, so a buffer never sees the flags of one that had its slot before.
    [[nodiscard]] uint32_t Flags(uint32_t slot) const noexcept {
        return slot < kSlots ? flags_[slot].load(std::memory_order_relaxed) : 0;
    }
    void AddFlags(uint32_t slot, uint32_t flags) noexcept {
        if (slot < kSlots) {
            flags_[slot].fetch_or(flags, std::memory_order_relaxed);
        }
    }

    // Published slots naming `buffer` (several while two threads remembered it at once).
    [[nodiscard]] uint32_t CountOf(const void* buffer) const noexcept;

private:
    // A slot word: the address in the upper 48 bits, the size in 16-byte registers in the
    // lower 16, the reserved mark in place of the size until published. Zero is a free slot;
    // no buffer has address zero.
    static constexpr uint64_t kSizeMask = 0xFFFF;
    static constexpr uint64_t kReservedMark = 0xFFFF;
    static constexpr int kAddressShift = 16;

    static bool Packable(uintptr_t address) noexcept {
        return address != 0 && (static_cast<uint64_t>(address) >> (64 - kAddressShift)) == 0;
    }
    static uint64_t Word(uintptr_t address, uint64_t low) noexcept {
        return static_cast<uint64_t>(address) << kAddressShift | low;
    }
    static uint32_t WindowOf(uintptr_t address) noexcept {
        // Heap objects are at least 16-byte aligned; the multiply spreads the rest of the address.
        const uint64_t mixed = (static_cast<uint64_t>(address) >> 4) * 0x9E3779B97F4A7C15ull;
        return static_cast<uint32_t>(mixed >> 40) % (kSlots / kWindow) * kWindow;
    }

    alignas(64) std::atomic<uint64_t> slots_[kSlots] = {};
    std::atomic<uint32_t> flags_[kSlots] = {};
};

// The process's remembered sizes, shared by every context handler.
extern ConstantBufferSizes g_processConstantBufferSizes;

inline ConstantBufferSizes& ProcessConstantBufferSizes() noexcept {
    return g_processConstantBufferSizes;
}

} // namespace corvane
