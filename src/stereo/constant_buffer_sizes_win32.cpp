#include "stereo/constant_buffer_sizes_win32.h"

#include "platform/win32/release_marker_win32.h"
#include "stereo/constant_buffer_sizes.h"

#include <atomic>

namespace corvane {
namespace {

// {3E8B5A71-0C24-4F6D-9B13-7A2E4C95D0F8}
constexpr GUID kSizeMarkerKey = {
    0x3e8b5a71, 0x0c24, 0x4f6d, {0x9b, 0x13, 0x7a, 0x2e, 0x4c, 0x95, 0xd0, 0xf8}};

// One marker per slot, held only by the private data of the buffer in that slot: Direct3D
// releases it while destroying the buffer, before the buffer's memory can be reused, and the
// last release empties the slot. That release runs under Direct3D's own lock, so it only
// stores a word. The markers are static: remembering a buffer allocates nothing.
class SizeMarker final : public ReleaseMarker<SizeMarker> {
public:
    constexpr SizeMarker() noexcept : ReleaseMarker(0) {}

    void LastReleased() noexcept;
};

constinit SizeMarker g_markers[ConstantBufferSizes::kSlots];

void SizeMarker::LastReleased() noexcept {
    ProcessConstantBufferSizes().Empty(static_cast<uint32_t>(this - g_markers));
}

// The slot the buffer is published in; kNoSlot when it could not be remembered, and it is
// asked again at its next use.
uint32_t Remember(ID3D11Buffer* buffer, UINT bytes) noexcept {
    ConstantBufferSizes& sizes = ProcessConstantBufferSizes();
    const uint32_t slot = sizes.Reserve(buffer, bytes);
    if (slot == ConstantBufferSizes::kNoSlot) {
        return slot;
    }
    SizeMarker& marker = g_markers[slot];
    // A slot is free only once its marker's last holder let go; anything else and the slot
    // is given back rather than tied to two buffers.
    if (!marker.Unheld() || FAILED(buffer->SetPrivateDataInterface(kSizeMarkerKey, &marker))) {
        if (marker.Unheld()) {
            sizes.Empty(slot);
        }
        return ConstantBufferSizes::kNoSlot;
    }
    return sizes.Publish(slot, buffer, bytes) ? slot : ConstantBufferSizes::kNoSlot;
}

} // namespace

UINT AskConstantBufferBytes(ID3D11Buffer* buffer, uint32_t* slot) noexcept {
    if (slot != nullptr) {
        *slot = ConstantBufferSizes::kNoSlot;
    }
    if (buffer == nullptr) {
        return 0;
    }
    D3D11_BUFFER_DESC desc{};
    buffer->GetDesc(&desc);
    const UINT bytes = (desc.BindFlags & D3D11_BIND_CONSTANT_BUFFER) != 0 ? desc.ByteWidth : 0;
    const uint32_t remembered = Remember(buffer, bytes);
    if (slot != nullptr) {
        *slot = remembered;
    }
    return bytes;
}

bool RememberedConstantBufferBytes(ID3D11Resource* resource, UINT& bytes) noexcept {
    uint32_t remembered = 0;
    if (resource == nullptr || !ProcessConstantBufferSizes().Find(resource, remembered)) {
        return false;
    }
    bytes = remembered;
    return true;
}

} // namespace corvane
