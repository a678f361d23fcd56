#include "interception/method_table_patch.h"

#include "platform/memory.h"

#include <cstdint>

namespace corvane {

std::mutex& ContextHookMutex() {
    static std::mutex mutex;
    return mutex;
}

bool PatchMethodSlot(void** slot, void* handler, std::atomic<void*>& savedReal) noexcept {
    if (slot == nullptr || handler == nullptr) {
        return false;
    }
    std::atomic_ref<void*> entry(*slot);
    void* current = entry.load(std::memory_order_acquire);
    void* real = savedReal.load(std::memory_order_acquire);
    if (current == handler) {
        return real != nullptr;
    }
    if (real != nullptr && current != real) {
        return false;
    }
    if (current == nullptr) {
        return false;
    }
    const auto address = reinterpret_cast<uintptr_t>(slot);
    uint32_t previousProtection = 0;
    if (!MemoryProtect(address, sizeof(void*), kPageExecuteReadWrite, previousProtection)) {
        return false;
    }
    if (real == nullptr) {
        savedReal.store(current, std::memory_order_release);
    }
    // A compare-exchange, not a blind store: a write by another party between our read and
    // ours must survive, and then the slot is theirs.
    const bool swapped = entry.compare_exchange_strong(current, handler, std::memory_order_acq_rel);
    uint32_t ignored = 0;
    // The slot is written either way; a protection that cannot be put back leaves the page
    // writable, which harms nobody who only calls through it.
    static_cast<void>(MemoryProtect(address, sizeof(void*), previousProtection, ignored));
    // Two threads hooking the same new table at once: the one that lost the race finds the
    // handler already in place, which is just as hooked.
    return swapped || current == handler;
}

} // namespace corvane
