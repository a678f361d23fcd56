#include "stereo/camera_buffer_win32.h"

#include "core/game_thread_boundary.h"
#include "core/log.h"
#include "interception/context_entries_win32.h"
#include "platform/win32/com_ptr_win32.h"
#include "stereo/camera_buffer.h"
#include "stereo/constant_buffer_sizes_win32.h"
#include "stereo/hud_projection_win32.h"

#include <cstdint>
#include <cstring>

namespace corvane {
namespace {

// The program's own work inside each handler; the game's call goes through either way.
BoundarySite g_vsSetConstantBuffersSite{
    BoundaryReport::Log,
    "D3D11 VSSetConstantBuffers handler raised an exception; the call was passed through"};
BoundarySite g_mapSite{BoundaryReport::Log,
                       "D3D11 Map handler raised an exception; the call was passed through"};
BoundarySite g_unmapSite{BoundaryReport::Log,
                         "D3D11 Unmap handler raised an exception; the call was passed through"};
BoundarySite g_updateSubresourceSite{
    BoundaryReport::Log, "D3D11 UpdateSubresource handler raised an exception; the call was passed through"};

// ByteWidth of a constant buffer; 0 for anything else. A resource seen before is answered
// from the remembered sizes, anything else with one QueryInterface and one GetDesc.
UINT ConstantBufferBytes(ID3D11Resource* resource) noexcept {
    if (resource == nullptr) {
        return 0;
    }
    UINT bytes = 0;
    if (RememberedConstantBufferBytes(resource, bytes)) {
        return bytes;
    }
    ComPtr<ID3D11Buffer> buffer;
    if (FAILED(resource->QueryInterface(__uuidof(ID3D11Buffer), reinterpret_cast<void**>(buffer.Put()))) ||
        !buffer) {
        return 0;
    }
    return ConstantBufferBytesOf(buffer.Get());
}

const char* ContextKind(ID3D11DeviceContext* context) {
    return context->GetType() == D3D11_DEVICE_CONTEXT_DEFERRED ? "deferred" : "immediate";
}

// The flag kept with a remembered buffer once its binding at `slot` on this kind of context
// has been looked at: its lines, if any, are written.
uint32_t ObservedFlag(uint32_t type, UINT slot) {
    return 1u << ((type == D3D11_DEVICE_CONTEXT_DEFERRED ? 16 : 0) + slot);
}

// Logs each new pairing of context kind, slot and size once, and the pooled candidates at
// b0 and b1 once each. A buffer seen before at the same slot and context kind costs one look
// into the remembered sizes.
void ObserveBindings(ID3D11DeviceContext* context, UINT startSlot, UINT numBuffers,
                     ID3D11Buffer* const* buffers) {
    if (context == nullptr) {
        return;
    }
    static_assert(kObservedSlotLimit <= 16);
    uint32_t type = UINT32_MAX;
    ConstantBufferSizes& sizes = ProcessConstantBufferSizes();
    for (UINT i = 0; i < numBuffers; ++i) {
        const UINT slot = startSlot + i;
        if (slot >= kObservedSlotLimit || slot < startSlot) {
            break;
        }
        uint32_t remembered = ConstantBufferSizes::kNoSlot;
        const UINT bytes = ConstantBufferBytesOf(buffers[i], &remembered);
        if (bytes == 0) {
            continue;
        }
        if (type == UINT32_MAX) {
            type = static_cast<uint32_t>(context->GetType());
        }
        const uint32_t flag = ObservedFlag(type, slot);
        if ((sizes.Flags(remembered) & flag) != 0) {
            continue;
        }
        if (ProcessObservations().Insert(ObservationKey(type, slot, bytes))) {
            LogMessage("D3D11 %s-context VS b%u constant buffer observed: %u bytes",
                       type == D3D11_DEVICE_CONTEXT_DEFERRED ? "deferred" : "immediate", slot, bytes);
        }
        if (slot == 0 && bytes == kPooledB0Bytes && !PooledB0Logged().exchange(true)) {
            LogMessage("Pooled 1024-byte CB candidate observed at %s VS b0", ContextKind(context));
        }
        if (slot == 1 && bytes == kPooledB1Bytes && !PooledB1Logged().exchange(true)) {
            LogMessage("Pooled 2048-byte CB candidate observed at %s VS b1", ContextKind(context));
        }
        sizes.AddFlags(remembered, flag);
    }
}

} // namespace

bool IsConstantBufferOfSize(ID3D11Resource* resource, UINT byteWidth, ID3D11Buffer** buffer) noexcept {
    if (resource == nullptr || byteWidth == 0) {
        return false;
    }
    UINT bytes = 0;
    if (RememberedConstantBufferBytes(resource, bytes)) {
        // Only buffers are remembered, by the address of their buffer interface.
        if (bytes != byteWidth) {
            return false;
        }
        if (buffer != nullptr) {
            *buffer = static_cast<ID3D11Buffer*>(resource);
            (*buffer)->AddRef();
        }
        return true;
    }
    ComPtr<ID3D11Buffer> queried;
    if (FAILED(resource->QueryInterface(__uuidof(ID3D11Buffer), reinterpret_cast<void**>(queried.Put()))) ||
        !queried || ConstantBufferBytesOf(queried.Get()) != byteWidth) {
        return false;
    }
    if (buffer != nullptr) {
        *buffer = queried.Get();
        queried->AddRef();
    }
    return true;
}

void STDMETHODCALLTYPE OnVSSetConstantBuffers(ID3D11DeviceContext* context, UINT startSlot, UINT numBuffers,
                                              ID3D11Buffer* const* buffers) noexcept {
    if (buffers != nullptr) {
        CallAtBoundary(g_vsSetConstantBuffersSite,
                       [&] { ObserveBindings(context, startSlot, numBuffers, buffers); });
    }
    const auto real = RealEntry<VSSetConstantBuffersEntry>(context, ContextMethod::VSSetConstantBuffers);
    if (real != nullptr) {
        real(context, startSlot, numBuffers, buffers);
    }
}

HRESULT STDMETHODCALLTYPE OnMap(ID3D11DeviceContext* context, ID3D11Resource* resource, UINT subresource,
                                D3D11_MAP mapType, UINT mapFlags, D3D11_MAPPED_SUBRESOURCE* mapped) noexcept {
    const auto real = RealEntry<MapEntry>(context, ContextMethod::Map);
    if (real == nullptr) {
        return E_FAIL;
    }
    const HRESULT result = real(context, resource, subresource, mapType, mapFlags, mapped);
    if (FAILED(result) || subresource != 0 || mapType != D3D11_MAP_WRITE_DISCARD || mapped == nullptr ||
        mapped->pData == nullptr) {
        return result;
    }
    CallAtBoundary(g_mapSite, [&] {
        const UINT bytes = ConstantBufferBytes(resource);
        PendingMaps& pending = ThreadPendingMaps();
        if (bytes == kHudBufferBytes) {
            pending.RecordHud(resource, mapped->pData);
        }
        if (const uint32_t kind = CameraBufferKind(bytes); kind != 0) {
            pending.RecordCamera(resource, mapped->pData, kind);
        }
    });
    return result;
}

void STDMETHODCALLTYPE OnUnmap(ID3D11DeviceContext* context, ID3D11Resource* resource,
                               UINT subresource) noexcept {
    CallAtBoundary(g_unmapSite, [&] {
        const PendingMaps::Taken taken = ThreadPendingMaps().Take(resource, subresource);
        const PendingHudMap& hud = taken.hud;
        if (hud.data != nullptr) {
            CaptureHudProjection(resource, static_cast<const uint8_t*>(hud.data));
        }
        const PendingCameraMap& camera = taken.camera;
        if (camera.data != nullptr && camera.kind == 1) {
            // Written straight into the mapped memory, so the GPU receives the per-eye values.
            static_cast<void>(RewriteCameraBuffer(static_cast<uint8_t*>(camera.data)));
        }
    });
    const auto real = RealEntry<UnmapEntry>(context, ContextMethod::Unmap);
    if (real != nullptr) {
        real(context, resource, subresource);
    }
}

void STDMETHODCALLTYPE OnUpdateSubresource(ID3D11DeviceContext* context, ID3D11Resource* destination,
                                           UINT destinationSubresource, const D3D11_BOX* destinationBox,
                                           const void* sourceData, UINT sourceRowPitch,
                                           UINT sourceDepthPitch) noexcept {
    const auto real = RealEntry<UpdateSubresourceEntry>(context, ContextMethod::UpdateSubresource);
    bool forwarded = false;
    const auto forward = [&] {
        uint32_t kind = 0;
        if (destinationSubresource == 0 && destinationBox == nullptr && sourceData != nullptr) {
            const UINT bytes = ConstantBufferBytes(destination);
            kind = CameraBufferKind(bytes);
            if (bytes == kHudBufferBytes) {
                CaptureHudProjection(destination, static_cast<const uint8_t*>(sourceData));
            }
        }
        if (real == nullptr) {
            forwarded = true;
            return;
        }
        const void* forwardedData = sourceData;
        // The game's memory is never written: the per-eye values go up from our own copy.
        alignas(16) uint8_t copy[kCameraBufferBytes] = {};
        if (kind != 0) {
            std::memcpy(copy, sourceData, kCameraBufferBytes);
            if (RewriteCameraBuffer(copy)) {
                forwardedData = copy;
            }
        }
        real(context, destination, destinationSubresource, destinationBox, forwardedData, sourceRowPitch,
             sourceDepthPitch);
        forwarded = true;
    };
    // If our work raised before the update went up, or the real method itself raised, the update
    // goes up (again) with the caller's own arguments.
    PassThroughAtBoundary(g_updateSubresourceSite, forward, [&] {
        if (!forwarded && real != nullptr) {
            real(context, destination, destinationSubresource, destinationBox, sourceData, sourceRowPitch,
                 sourceDepthPitch);
        }
    });
}

} // namespace corvane
