#include "interception/method_slot_win32.h"

#include <windows.h>

namespace corvane {

bool PatchMethodSlot(void** slot, void* hook, std::atomic<void*>& real) noexcept {
    if (slot == nullptr) {
        return false;
    }
    void* const current = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (current == hook) {
        return real.load(std::memory_order_acquire) != nullptr;
    }
    void* const saved = real.load(std::memory_order_acquire);
    if (saved != nullptr && current != saved) {
        return false;
    }
    DWORD previous = 0;
    if (!VirtualProtect(slot, sizeof(void*), PAGE_EXECUTE_READWRITE, &previous)) {
        return false;
    }
    void* expected = nullptr;
    real.compare_exchange_strong(expected, current, std::memory_order_acq_rel);
    static_cast<void>(__atomic_exchange_n(slot, hook, __ATOMIC_ACQ_REL));
    DWORD ignored = 0;
    // A failed restore leaves the table writable, which harms nothing that runs through it.
    static_cast<void>(VirtualProtect(slot, sizeof(void*), previous, &ignored));
    return real.load(std::memory_order_acquire) != nullptr;
}

} // namespace corvane
