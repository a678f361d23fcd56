// Swapchains: three textures made on the session's device through its own method table (the DLL
// imports nothing from Direct3D), and the acquire, wait and release order.
#include "call_support.h"
#include "xr_calls.h"

#include <windows.h>
#include <d3d11.h>

#include <openxr/openxr_platform.h>

#include <algorithm>
#include <cstdio>

namespace xrsim {
namespace {

DXGI_FORMAT TypelessFamilyOf(DXGI_FORMAT format) {
    switch (format) {
    case DXGI_FORMAT_R8G8B8A8_UNORM:
    case DXGI_FORMAT_R8G8B8A8_UNORM_SRGB:
        return DXGI_FORMAT_R8G8B8A8_TYPELESS;
    case DXGI_FORMAT_B8G8R8A8_UNORM:
    case DXGI_FORMAT_B8G8R8A8_UNORM_SRGB:
        return DXGI_FORMAT_B8G8R8A8_TYPELESS;
    case DXGI_FORMAT_R10G10B10A2_UNORM:
        return DXGI_FORMAT_R10G10B10A2_TYPELESS;
    case DXGI_FORMAT_R16G16B16A16_FLOAT:
        return DXGI_FORMAT_R16G16B16A16_TYPELESS;
    default:
        break;
    }
    return format;
}

constexpr uint32_t kImagesPerSwapchain = 3;
constexpr uint32_t kMaxSide = 8192;
// Colour formats in order of preference: sRGB first, as a compositor wants them.
const std::vector<int64_t> kFormats = {DXGI_FORMAT_R8G8B8A8_UNORM_SRGB, DXGI_FORMAT_R8G8B8A8_UNORM,
                                       DXGI_FORMAT_B8G8R8A8_UNORM_SRGB, DXGI_FORMAT_B8G8R8A8_UNORM,
                                       DXGI_FORMAT_R10G10B10A2_UNORM,   DXGI_FORMAT_R16G16B16A16_FLOAT};

uint64_t Raw(const void* handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

std::string HresultText(HRESULT hr) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

XrResult CheckCreateInfo(RuntimeState& state, const char* function, const XrSwapchainCreateInfo& info) {
    if (std::find(kFormats.begin(), kFormats.end(), info.format) == kFormats.end()) {
        return Rule(state, function, XR_ERROR_SWAPCHAIN_FORMAT_UNSUPPORTED,
                    "format " + std::to_string(info.format) + " is not offered");
    }
    if (info.sampleCount != 1 || info.arraySize != 1 || info.mipCount != 1 || info.faceCount != 1) {
        return Rule(state, function, XR_ERROR_VALIDATION_FAILURE,
                    "samples " + std::to_string(info.sampleCount) + ", array " +
                        std::to_string(info.arraySize) + ", mips " + std::to_string(info.mipCount) +
                        ", faces " + std::to_string(info.faceCount) + " (each must be 1)");
    }
    if (info.width == 0 || info.height == 0 || info.width > kMaxSide || info.height > kMaxSide) {
        return Rule(state, function, XR_ERROR_VALIDATION_FAILURE,
                    "size " + std::to_string(info.width) + "x" + std::to_string(info.height) +
                        " is not 1..8192");
    }
    if ((info.usageFlags & XR_SWAPCHAIN_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT) != 0) {
        return Rule(state, function, XR_ERROR_FEATURE_UNSUPPORTED, "depth usage on a colour format");
    }
    return XR_SUCCESS;
}

} // namespace

XrResult XRAPI_CALL EnumerateSwapchainFormats(XrSession session, uint32_t capacity, uint32_t* count,
                                              int64_t* formats) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrEnumerateSwapchainFormats";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = FillArray(capacity, count, formats, kFormats);
    }
    LogCall(state, function, "capacity=" + std::to_string(capacity), result);
    return result;
}

XrResult XRAPI_CALL CreateSwapchain(XrSession session, const XrSwapchainCreateInfo* info,
                                    XrSwapchain* swapchain) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrCreateSwapchain";
    SessionObject* object = nullptr;
    XrResult result = UseSession(state, function, session, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS) {
        result = Structure(state, function, info, XR_TYPE_SWAPCHAIN_CREATE_INFO, "create info");
    }
    std::string args, out;
    if (result == XR_SUCCESS) {
        args = "size=" + std::to_string(info->width) + " " + std::to_string(info->height) +
               " format=" + std::to_string(info->format);
        result = CheckCreateInfo(state, function, *info);
    }
    if (result == XR_SUCCESS && swapchain == nullptr) {
        result = Rule(state, function, XR_ERROR_VALIDATION_FAILURE, "swapchain pointer is null");
    }
    SwapchainObject created;
    if (result == XR_SUCCESS) {
        D3D11_TEXTURE2D_DESC desc{};
        desc.Width = info->width;
        desc.Height = info->height;
        desc.MipLevels = 1;
        desc.ArraySize = 1;
        // As OpenXR has it for DXGI: the images carry their family's typeless format, and the
        // format the application asked for is how the runtime reads them.
        desc.Format = TypelessFamilyOf(static_cast<DXGI_FORMAT>(info->format));
        desc.SampleDesc.Count = 1;
        desc.Usage = D3D11_USAGE_DEFAULT;
        desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
        if ((info->usageFlags & XR_SWAPCHAIN_USAGE_UNORDERED_ACCESS_BIT) != 0) {
            desc.BindFlags |= D3D11_BIND_UNORDERED_ACCESS;
        }
        auto* device = static_cast<ID3D11Device*>(object->device);
        for (uint32_t i = 0; i < kImagesPerSwapchain && result == XR_SUCCESS; ++i) {
            ID3D11Texture2D* texture = nullptr;
            const HRESULT hr = device->CreateTexture2D(&desc, nullptr, &texture);
            if (FAILED(hr)) {
                out = "CreateTexture2D failed (hr=" + HresultText(hr) + ")";
                result = XR_ERROR_RUNTIME_FAILURE;
                break;
            }
            created.textures.push_back(texture);
        }
    }
    if (result == XR_SUCCESS) {
        const uint64_t handle = state.NewHandle();
        created.session = Raw(session);
        created.width = info->width;
        created.height = info->height;
        created.format = info->format;
        created.order = ImageOrder(kImagesPerSwapchain);
        state.swapchains[handle] = std::move(created);
        *swapchain = reinterpret_cast<XrSwapchain>(handle);
        out = "swapchain=" + HandleText(handle);
    } else {
        for (void* texture : created.textures) {
            ReleaseComObject(texture);
        }
    }
    LogCall(state, function, args, result, out);
    return result;
}

XrResult XRAPI_CALL DestroySwapchain(XrSwapchain swapchain) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrDestroySwapchain";
    SwapchainObject* object = nullptr;
    XrResult result = UseSwapchain(state, function, swapchain, object);
    if (result == XR_ERROR_SESSION_LOST || result == XR_ERROR_INSTANCE_LOST) {
        result = XR_SUCCESS;
    }
    if (result == XR_SUCCESS) {
        for (void* texture : object->textures) {
            ReleaseComObject(texture);
        }
        state.swapchains.erase(Raw(swapchain));
    }
    LogCall(state, function, "swapchain=" + HandleText(Raw(swapchain)), result);
    return result;
}

XrResult XRAPI_CALL EnumerateSwapchainImages(XrSwapchain swapchain, uint32_t capacity, uint32_t* count,
                                             XrSwapchainImageBaseHeader* images) noexcept {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    const char* function = "xrEnumerateSwapchainImages";
    SwapchainObject* object = nullptr;
    XrResult result = UseSwapchain(state, function, swapchain, object);
    if (result == XR_SUCCESS && count == nullptr) {
        result = Rule(state, function, XR_ERROR_VALIDATION_FAILURE, "count pointer is null");
    }
    if (result == XR_SUCCESS) {
        *count = static_cast<uint32_t>(object->textures.size());
        if (capacity != 0 && (capacity < object->textures.size() || images == nullptr)) {
            result = XR_ERROR_SIZE_INSUFFICIENT;
        }
    }
    if (result == XR_SUCCESS && capacity != 0) {
        auto* d3d11 = reinterpret_cast<XrSwapchainImageD3D11KHR*>(images);
        for (size_t i = 0; i < object->textures.size() && result == XR_SUCCESS; ++i) {
            if (d3d11[i].type != XR_TYPE_SWAPCHAIN_IMAGE_D3D11_KHR) {
                result = Rule(state, function, XR_ERROR_VALIDATION_FAILURE,
                              "image " + std::to_string(i) + " is not XR_TYPE_SWAPCHAIN_IMAGE_D3D11_KHR");
                break;
            }
            d3d11[i].texture = static_cast<ID3D11Texture2D*>(object->textures[i]);
        }
    }
    LogCall(state, function,
            "swapchain=" + HandleText(Raw(swapchain)) + " capacity=" + std::to_string(capacity), result);
    return result;
}

namespace {

enum class Step { Acquire, Wait, Release };

XrResult ImageStep(RuntimeState& state, const char* function, XrSwapchain swapchain, const void* info,
                   XrStructureType infoType, Step step, uint32_t* index) {
    SwapchainObject* object = nullptr;
    XrResult result = UseSwapchain(state, function, swapchain, object);
    if (result == XR_SUCCESS) {
        result = Injected(state, function);
    }
    if (result == XR_SUCCESS && (info != nullptr || step == Step::Wait)) {
        result = Structure(state, function, info, infoType, "info");
    }
    uint32_t image = 0;
    if (result == XR_SUCCESS) {
        std::string broken;
        const bool done = step == Step::Acquire ? object->order.Acquire(image, broken)
                          : step == Step::Wait  ? object->order.Wait(image, broken)
                                                : object->order.Release(image, broken);
        if (!done) {
            result = Rule(state, function, XR_ERROR_CALL_ORDER_INVALID,
                          "swapchain " + HandleText(Raw(swapchain)) + ": " + broken);
        }
    }
    if (result == XR_SUCCESS && index != nullptr) {
        *index = image;
    }
    LogCall(state, function, "swapchain=" + HandleText(Raw(swapchain)), result,
            result == XR_SUCCESS ? "index=" + std::to_string(image) : "");
    return result;
}

} // namespace

XrResult XRAPI_CALL AcquireSwapchainImage(XrSwapchain swapchain, const XrSwapchainImageAcquireInfo* info,
                                          uint32_t* index) noexcept {
    RuntimeAccess access = AccessRuntime();
    if (index == nullptr) {
        return Rule(access.State(), "xrAcquireSwapchainImage", XR_ERROR_VALIDATION_FAILURE,
                    "index pointer is null");
    }
    return ImageStep(access.State(), "xrAcquireSwapchainImage", swapchain, info,
                     XR_TYPE_SWAPCHAIN_IMAGE_ACQUIRE_INFO, Step::Acquire, index);
}

XrResult XRAPI_CALL WaitSwapchainImage(XrSwapchain swapchain, const XrSwapchainImageWaitInfo* info) noexcept {
    RuntimeAccess access = AccessRuntime();
    return ImageStep(access.State(), "xrWaitSwapchainImage", swapchain, info,
                     XR_TYPE_SWAPCHAIN_IMAGE_WAIT_INFO, Step::Wait, nullptr);
}

XrResult XRAPI_CALL ReleaseSwapchainImage(XrSwapchain swapchain,
                                          const XrSwapchainImageReleaseInfo* info) noexcept {
    RuntimeAccess access = AccessRuntime();
    return ImageStep(access.State(), "xrReleaseSwapchainImage", swapchain, info,
                     XR_TYPE_SWAPCHAIN_IMAGE_RELEASE_INFO, Step::Release, nullptr);
}

} // namespace xrsim
