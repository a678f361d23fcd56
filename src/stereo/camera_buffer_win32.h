// The context handlers of the camera and HUD constant buffers: they recognise the two
// buffers by their description, catch their contents as they are written, hand them on, and
// call the real method of the same context. Placed into the context tables by the device
// hooks; they run on every thread that uses a context, immediate or deferred.
#pragma once

#include <d3d11.h>

namespace corvane {

// True when `resource` is a buffer of `byteWidth` bytes bound as a constant buffer. With
// `buffer` given and a true result the caller receives the buffer reference and releases it.
[[nodiscard]] bool IsConstantBufferOfSize(ID3D11Resource* resource, UINT byteWidth,
                                          ID3D11Buffer** buffer = nullptr) noexcept;

void STDMETHODCALLTYPE OnVSSetConstantBuffers(ID3D11DeviceContext* context, UINT startSlot, UINT numBuffers,
                                              ID3D11Buffer* const* buffers) noexcept;
HRESULT STDMETHODCALLTYPE OnMap(ID3D11DeviceContext* context, ID3D11Resource* resource, UINT subresource,
                                D3D11_MAP mapType, UINT mapFlags, D3D11_MAPPED_SUBRESOURCE* mapped) noexcept;
void STDMETHODCALLTYPE OnUnmap(ID3D11DeviceContext* context, ID3D11Resource* resource,
                               UINT subresource) noexcept;
void STDMETHODCALLTYPE OnUpdateSubresource(ID3D11DeviceContext* context, ID3D11Resource* destination,
                                           UINT destinationSubresource, const D3D11_BOX* destinationBox,
                                           const void* sourceData, UINT sourceRowPitch,
                                           UINT sourceDepthPitch) noexcept;

} // namespace corvane
