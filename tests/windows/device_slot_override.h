// Replaces one method in a Direct3D device's method table while the override lives, so a
// test can make one creation step fail the way a device that ran out of memory would. Test
// thread only; the table is shared by every device of the process.
#pragma once

#include <d3d11.h>
#include <windows.h>

namespace corvane::testing_support {

// The failure the overrides report.
inline constexpr HRESULT kInjectedFailure = static_cast<HRESULT>(0x8007000E); // E_OUTOFMEMORY

class DeviceSlotOverride {
public:
    DeviceSlotOverride(ID3D11Device* device, int slot, void* replacement) {
        entry_ = *reinterpret_cast<void***>(device) + slot;
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
