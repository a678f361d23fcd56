// A real Direct3D 11 device for the device tests, with the small helpers they share:
// constant buffers, read-back through a staging copy, and shaders compiled at run time.
// Test thread only.
#pragma once

#include "hands/hand_pipeline_win32.h"
#include "platform/win32/com_ptr_win32.h"

#include <gtest/gtest.h>

#include <d3d11.h>
#include <d3dcompiler.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace corvane::testing_support {

inline bool CreateTestDevice(ComPtr<ID3D11Device>& device, ComPtr<ID3D11DeviceContext>& immediate) {
    const D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
    return SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, &level, 1,
                                       D3D11_SDK_VERSION, device.Put(), nullptr, immediate.Put()));
}

// The object's method table.
inline void** TableOf(void* object) {
    return *static_cast<void***>(object);
}

// A constant buffer the game would map (dynamic) or update (default usage).
inline ComPtr<ID3D11Buffer> MakeConstantBuffer(ID3D11Device* device, UINT bytes, bool dynamic,
                                               const void* initial = nullptr) {
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = bytes;
    desc.Usage = dynamic ? D3D11_USAGE_DYNAMIC : D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    desc.CPUAccessFlags = dynamic ? D3D11_CPU_ACCESS_WRITE : 0;
    D3D11_SUBRESOURCE_DATA data{};
    data.pSysMem = initial;
    ComPtr<ID3D11Buffer> buffer;
    EXPECT_HRESULT_SUCCEEDED(device->CreateBuffer(&desc, initial != nullptr ? &data : nullptr, buffer.Put()));
    return buffer;
}

// What the GPU holds in `buffer`, copied out through a staging buffer.
inline std::vector<uint8_t> ReadBack(ID3D11Device* device, ID3D11DeviceContext* immediate,
                                     ID3D11Buffer* buffer) {
    D3D11_BUFFER_DESC desc{};
    buffer->GetDesc(&desc);
    D3D11_BUFFER_DESC stagingDesc{};
    stagingDesc.ByteWidth = desc.ByteWidth;
    stagingDesc.Usage = D3D11_USAGE_STAGING;
    stagingDesc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    ComPtr<ID3D11Buffer> staging;
    std::vector<uint8_t> bytes;
    if (FAILED(device->CreateBuffer(&stagingDesc, nullptr, staging.Put()))) {
        ADD_FAILURE() << "no staging buffer";
        return bytes;
    }
    immediate->CopyResource(staging.Get(), buffer);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(immediate->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) {
        ADD_FAILURE() << "staging map failed";
        return bytes;
    }
    bytes.assign(static_cast<const uint8_t*>(mapped.pData),
                 static_cast<const uint8_t*>(mapped.pData) + desc.ByteWidth);
    immediate->Unmap(staging.Get(), 0);
    return bytes;
}

// A 2D texture of one level and one sample: default usage with `bindFlags`, or, with no bind
// flags, a staging texture the CPU reads.
inline D3D11_TEXTURE2D_DESC TextureDesc(UINT width, UINT height, DXGI_FORMAT format, UINT bindFlags) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Usage = bindFlags != 0 ? D3D11_USAGE_DEFAULT : D3D11_USAGE_STAGING;
    desc.BindFlags = bindFlags;
    desc.CPUAccessFlags = bindFlags != 0 ? 0 : D3D11_CPU_ACCESS_READ;
    return desc;
}

// The four-byte texels of a 2D texture, row by row, copied out through `staging` (a texture of
// the same size and format with staging usage and CPU read access). Empty when it cannot be read.
inline std::vector<uint32_t> ReadTexels(ID3D11DeviceContext* immediate, ID3D11Texture2D* texture,
                                        ID3D11Texture2D* staging) {
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    std::vector<uint32_t> texels;
    immediate->CopyResource(staging, texture);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(immediate->Map(staging, 0, D3D11_MAP_READ, 0, &mapped)) || mapped.pData == nullptr) {
        ADD_FAILURE() << "staging map failed";
        return texels;
    }
    texels.resize(static_cast<size_t>(desc.Width) * desc.Height);
    for (UINT y = 0; y < desc.Height; ++y) {
        std::memcpy(&texels[static_cast<size_t>(y) * desc.Width],
                    static_cast<const uint8_t*>(mapped.pData) + static_cast<size_t>(y) * mapped.RowPitch,
                    desc.Width * sizeof(uint32_t));
    }
    immediate->Unmap(staging, 0);
    return texels;
}

inline ComPtr<ID3DBlob> CompileShader(const char* source, const char* entry, const char* target) {
    ComPtr<ID3DBlob> code;
    const HMODULE library = HandShaderCompilerLibrary();
    if (library == nullptr) {
        ADD_FAILURE() << "no shader compiler";
        return code;
    }
    const auto compile =
        reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(library, "D3DCompile")));
    ComPtr<ID3DBlob> errors;
    const HRESULT result = compile(source, std::strlen(source), nullptr, nullptr, nullptr, entry, target, 0,
                                   0, code.Put(), errors.Put());
    if (FAILED(result)) {
        ADD_FAILURE() << "compile failed: "
                      << (errors ? std::string(static_cast<const char*>(errors->GetBufferPointer()),
                                               errors->GetBufferSize())
                                 : std::string());
    }
    return code;
}

} // namespace corvane::testing_support
