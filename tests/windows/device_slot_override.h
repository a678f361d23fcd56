// Replaces one method of a Direct3D object's table while the holder lives, so one creation
// step fails the way a device that ran out of memory would. The table is shared by every
// object of that class in the process. Test thread only.
#pragma once

#include <windows.h>

namespace corvane::testing_support {

// The failure the overrides report.
inline constexpr HRESULT kInjectedFailure = static_cast<HRESULT>(0x8007000E); // E_OUTOFMEMORY

class DeviceSlotOverride {
public:
    DeviceSlotOverride(void* object, int slot, void* replacement) {
        entry_ = *reinterpret_cast<void***>(object) + slot;
        original_ = Swap(replacement);
    }
    ~DeviceSlotOverride() { Swap(original_); }
    DeviceSlotOverride(const DeviceSlotOverride&) = delete;
    DeviceSlotOverride& operator=(const DeviceSlotOverride&) = delete;

    void* Original() const { return original_; }

private:
    void* Swap(void* value) {
        DWORD old = 0;
        VirtualProtect(entry_, sizeof(void*), PAGE_EXECUTE_READWRITE, &old);
        void* previous = *entry_;
        *entry_ = value;
        VirtualProtect(entry_, sizeof(void*), old, &old);
        FlushInstructionCache(GetCurrentProcess(), entry_, sizeof(void*));
        return previous;
    }

    void** entry_ = nullptr;
    void* original_ = nullptr;
};

} // namespace corvane::testing_support
