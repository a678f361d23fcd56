// The real entry points of the intercepted context methods, looked up per context table
// for the handlers that call through to them. Any game thread; no lock, no allocation.
#pragma once

#include "interception/context_tables.h"

#include <d3d11.h>

namespace corvane {

using VSSetConstantBuffersEntry = void(STDMETHODCALLTYPE*)(ID3D11DeviceContext*, UINT, UINT,
                                                           ID3D11Buffer* const*);
using VSSetShaderEntry = void(STDMETHODCALLTYPE*)(ID3D11DeviceContext*, ID3D11VertexShader*,
                                                  ID3D11ClassInstance* const*, UINT);
using DrawIndexedEntry = void(STDMETHODCALLTYPE*)(ID3D11DeviceContext*, UINT, UINT, INT);
using DrawEntry = void(STDMETHODCALLTYPE*)(ID3D11DeviceContext*, UINT, UINT);
using MapEntry = HRESULT(STDMETHODCALLTYPE*)(ID3D11DeviceContext*, ID3D11Resource*, UINT, D3D11_MAP, UINT,
                                             D3D11_MAPPED_SUBRESOURCE*);
using UnmapEntry = void(STDMETHODCALLTYPE*)(ID3D11DeviceContext*, ID3D11Resource*, UINT);
using RSSetScissorRectsEntry = void(STDMETHODCALLTYPE*)(ID3D11DeviceContext*, UINT, const D3D11_RECT*);
using UpdateSubresourceEntry = void(STDMETHODCALLTYPE*)(ID3D11DeviceContext*, ID3D11Resource*, UINT,
                                                        const D3D11_BOX*, const void*, UINT, UINT);

// The real entry point of `method` for this context (its table's record, else the fallback
// set); null when none is known.
[[nodiscard]] inline void* FindRealEntry(ID3D11DeviceContext* context, ContextMethod method) noexcept {
    void* const* table = context != nullptr ? *reinterpret_cast<void* const* const*>(context) : nullptr;
    return FindRealEntryInTable(table, method);
}

template <typename Entry>
[[nodiscard]] Entry RealEntry(ID3D11DeviceContext* context, ContextMethod method) noexcept {
    return reinterpret_cast<Entry>(FindRealEntry(context, method));
}

} // namespace corvane
