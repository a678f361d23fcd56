// Eye texture read-back: a one-texel-per-texel staging copy, mapped for reading. Everything goes
// through the texture's own vtable, so the DLL needs no Direct3D import of its own.
#include "texture_readback_win32.h"

#include <d3d11.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdio>

namespace vrsim {
namespace {

using Microsoft::WRL::ComPtr;

static_assert(DXGI_FORMAT_R8G8B8A8_UNORM == kFormatR8G8B8A8Unorm);
static_assert(DXGI_FORMAT_B8G8R8A8_UNORM_SRGB == kFormatB8G8R8A8UnormSrgb);
static_assert(DXGI_FORMAT_R10G10B10A2_UNORM == kFormatR10G10B10A2Unorm);
static_assert(DXGI_FORMAT_R16G16B16A16_FLOAT == kFormatR16G16B16A16Float);
static_assert(DXGI_FORMAT_B8G8R8X8_TYPELESS == kFormatB8G8R8X8Typeless);

bool Readable(const void* address, size_t size, bool executable) {
    MEMORY_BASIC_INFORMATION info{};
    if (address == nullptr || VirtualQuery(address, &info, sizeof info) != sizeof info ||
        info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) {
        return false;
    }
    const DWORD readable = executable ? (PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)
                                      : (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                         PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY);
    const auto end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    return (info.Protect & readable) != 0 && reinterpret_cast<uintptr_t>(address) + size <= end;
}

// A handle is only asked QueryInterface when it at least looks like a COM object: readable, with
// a readable vtable whose first entry is code. Clients hand the runtime arbitrary numbers.
bool LooksLikeComObject(void* handle) {
    if (!Readable(handle, sizeof(void*), false)) {
        return false;
    }
    void* const* vtable = *static_cast<void* const* const*>(handle);
    return Readable(vtable, 3 * sizeof(void*), false) && Readable(vtable[0], 1, true);
}

std::string Failure(const char* what, HRESULT hr) {
    char text[96];
    std::snprintf(text, sizeof text, "%s failed (hr=0x%08lx)", what, static_cast<unsigned long>(hr));
    return text;
}

// Unmaps when it goes out of scope.
class MappedTexture {
public:
    MappedTexture(ID3D11DeviceContext* context, ID3D11Texture2D* texture)
        : context_(context), texture_(texture) {}
    MappedTexture(const MappedTexture&) = delete;
    MappedTexture& operator=(const MappedTexture&) = delete;
    ~MappedTexture() {
        if (mapped_) {
            context_->Unmap(texture_, 0);
        }
    }
    [[nodiscard]] HRESULT Map() {
        HRESULT hr = context_->Map(texture_, 0, D3D11_MAP_READ, 0, &data_);
        mapped_ = SUCCEEDED(hr);
        return hr;
    }
    [[nodiscard]] const D3D11_MAPPED_SUBRESOURCE& Data() const { return data_; }

private:
    ID3D11DeviceContext* context_;
    ID3D11Texture2D* texture_;
    D3D11_MAPPED_SUBRESOURCE data_{};
    bool mapped_ = false;
};

// One mip, one array slice and one sample of `source`, in `format`, for the GPU only.
D3D11_TEXTURE2D_DESC OneImageLike(const D3D11_TEXTURE2D_DESC& source, DXGI_FORMAT format) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = source.Width;
    desc.Height = source.Height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    return desc;
}

} // namespace

bool ReadEyeTexture(void* handle, int32_t colorSpace, RgbaImage& image, std::string& error) {
    if (!LooksLikeComObject(handle)) {
        error = "not a Direct3D 11 texture";
        return false;
    }
    ComPtr<ID3D11Texture2D> texture;
    if (FAILED(static_cast<IUnknown*>(handle)->QueryInterface(__uuidof(ID3D11Texture2D), &texture))) {
        error = "not a Direct3D 11 texture";
        return false;
    }
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    if (!IsConvertibleFormat(desc.Format)) {
        error = "unsupported format " + std::to_string(static_cast<unsigned>(desc.Format));
        return false;
    }
    ComPtr<ID3D11Device> device;
    texture->GetDevice(&device);
    ComPtr<ID3D11DeviceContext> context;
    if (device) {
        device->GetImmediateContext(&context);
    }
    if (!context) {
        error = "texture has no device context";
        return false;
    }

    // A multisampled texture cannot be copied to a staging one; resolve it to one sample first
    // (in the typed format, which a resolve requires).
    ComPtr<ID3D11Texture2D> source = texture;
    DXGI_FORMAT format = desc.Format;
    if (desc.SampleDesc.Count > 1) {
        format = static_cast<DXGI_FORMAT>(TypedFormat(desc.Format));
        D3D11_TEXTURE2D_DESC resolvedDesc = OneImageLike(desc, format);
        ComPtr<ID3D11Texture2D> resolved;
        HRESULT hr = device->CreateTexture2D(&resolvedDesc, nullptr, &resolved);
        if (FAILED(hr)) {
            error = Failure("CreateTexture2D for the resolve", hr);
            return false;
        }
        context->ResolveSubresource(resolved.Get(), 0, texture.Get(), 0, format);
        source = resolved;
    }

    D3D11_TEXTURE2D_DESC stagingDesc = OneImageLike(desc, format);
    stagingDesc.Usage = D3D11_USAGE_STAGING;
    stagingDesc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    ComPtr<ID3D11Texture2D> staging;
    HRESULT hr = device->CreateTexture2D(&stagingDesc, nullptr, &staging);
    if (FAILED(hr)) {
        error = Failure("CreateTexture2D for the staging copy", hr);
        return false;
    }
    if (desc.MipLevels == 1 && desc.ArraySize == 1) {
        context->CopyResource(staging.Get(), source.Get());
    } else {
        // Only mip 0 of slice 0 is shown, and CopyResource needs matching mips and slices.
        context->CopySubresourceRegion(staging.Get(), 0, 0, 0, 0, source.Get(), 0, nullptr);
    }

    MappedTexture mapped(context.Get(), staging.Get());
    hr = mapped.Map();
    if (FAILED(hr)) {
        error = Failure("Map", hr);
        return false;
    }
    if (!ConvertToRgba8(format, colorSpace, static_cast<const uint8_t*>(mapped.Data().pData),
                        mapped.Data().RowPitch, desc.Width, desc.Height, image)) {
        error = "unsupported format " + std::to_string(static_cast<unsigned>(format));
        return false;
    }
    return true;
}

} // namespace vrsim
