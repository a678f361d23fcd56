// Direct3D side of the presenter's eye textures: the targets made to match the game's
// backbuffer, the copies (or MSAA resolves) recorded on the presenter's deferred context with
// the hands drawn over them, and their execution on the game's immediate context with the
// game's state restored afterwards. Render thread, presenterMutex held.
#include "core/log.h"
#include "core/settings.h"
#include "hands/hand_drawing_win32.h"
#include "hands/hand_pipeline_win32.h"
#include "platform/win32/com_ptr_win32.h"
#include "vr/cinema_drawing_win32.h"
#include "vr/vr_presenter.h"

#include <d3d11.h>
#include <dxgi.h>

#include <new>

namespace corvane {
namespace {

constexpr float kOpticalBoundsConvergence = 0.095f;
constexpr UINT kColourBindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;

template <typename T> void ReleaseAndClear(T*& object) {
    if (object != nullptr) {
        object->Release();
        object = nullptr;
    }
}

D3D11_TEXTURE2D_DESC TargetDesc(const BackbufferDesc& backbuffer, DXGI_FORMAT format, UINT bindFlags) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = backbuffer.width;
    desc.Height = backbuffer.height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.SampleDesc.Quality = 0;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = bindFlags;
    return desc;
}

// One colour target and its view; false with the failure text of the call that failed.
bool CreateColourTarget(ID3D11Device* device, const D3D11_TEXTURE2D_DESC& desc, ID3D11Texture2D*& texture,
                        ID3D11RenderTargetView*& view, const char* textureCall, const char* viewCall,
                        std::string& failure) {
    HRESULT result = device->CreateTexture2D(&desc, nullptr, &texture);
    if (FAILED(result) || texture == nullptr) {
        WriteHresultFailure(failure, textureCall, FAILED(result) ? result : E_POINTER);
        return false;
    }
    result = device->CreateRenderTargetView(texture, nullptr, &view);
    if (FAILED(result) || view == nullptr) {
        WriteHresultFailure(failure, viewCall, FAILED(result) ? result : E_POINTER);
        return false;
    }
    return true;
}

} // namespace

GameFrameSource::~GameFrameSource() {
    ReleaseAndClear(backbuffer);
    ReleaseAndClear(device);
}

VrPresenter::~VrPresenter() {
    ReleaseEyeTargets();
    delete handResources;
    delete cinemaResources;
}

bool VrPresenter::AcquireGameFrame(IDXGISwapChain* swapChain, GameFrameSource& frame) {
    HRESULT result =
        swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&frame.backbuffer));
    if (FAILED(result) || frame.backbuffer == nullptr) {
        frame.backbuffer = nullptr;
        WriteHresultFailure(lastErrorText, "IDXGISwapChain::GetBuffer", FAILED(result) ? result : E_POINTER);
        return false;
    }
    result = swapChain->GetDevice(__uuidof(ID3D11Device), reinterpret_cast<void**>(&frame.device));
    if (FAILED(result) || frame.device == nullptr) {
        frame.device = nullptr;
        WriteHresultFailure(lastErrorText, "IDXGISwapChain::GetDevice", FAILED(result) ? result : E_POINTER);
        return false;
    }
    D3D11_TEXTURE2D_DESC desc{};
    frame.backbuffer->GetDesc(&desc);
    frame.desc =
        BackbufferDesc{desc.Width, desc.Height, desc.SampleDesc.Count, static_cast<uint32_t>(desc.Format)};
    return true;
}

bool VrPresenter::EnsureEyeTargets(ID3D11Device* gameDevice, const BackbufferDesc& desc) {
    if (gameDevice == nullptr || desc.width == 0 || desc.height == 0) {
        lastErrorText = "The game supplied an invalid D3D11 backbuffer";
        return false;
    }
    const bool current = gameDevice == device && desc == backbufferDescCache && eyeTexture[0] != nullptr &&
                         eyeTexture[1] != nullptr && stagingTexture[0] != nullptr &&
                         stagingTexture[1] != nullptr;
    if (current) {
        return true;
    }

    ReleaseEyeTargets();
    gameDevice->AddRef();
    device = gameDevice;
    device->GetImmediateContext(&immediateContext);
    if (immediateContext == nullptr) {
        lastErrorText = "D3D11 immediate context is unavailable";
        ReleaseEyeTargets();
        return false;
    }

    std::string& failure = lastErrorText;
    const auto fail = [&] {
        ReleaseEyeTargets();
        return false;
    };
    const HRESULT deferredResult = device->CreateDeferredContext(0, &deferredContext);
    if (FAILED(deferredResult) || deferredContext == nullptr) {
        WriteHresultFailure(failure, "ID3D11Device::CreateDeferredContext",
                            FAILED(deferredResult) ? deferredResult : E_POINTER);
        return fail();
    }

    if (handResources == nullptr) {
        handResources = new HandResources();
    }
    if (!CreateHandResources(device, *handResources, lastErrorText)) {
        ReleaseEyeTargets();
        return false;
    }

    const D3D11_TEXTURE2D_DESC colourDesc =
        TargetDesc(desc, static_cast<DXGI_FORMAT>(desc.format), kColourBindFlags);
    for (int eye = 0; eye < 2; ++eye) {
        if (!CreateColourTarget(device, colourDesc, eyeTexture[eye], eyeTextureView[eye],
                                "ID3D11Device::CreateTexture2D (eye)",
                                "ID3D11Device::CreateRenderTargetView (eye)", failure) ||
            !CreateColourTarget(device, colourDesc, stagingTexture[eye], stagingTextureView[eye],
                                "ID3D11Device::CreateTexture2D (staging eye)",
                                "ID3D11Device::CreateRenderTargetView (staging eye)", failure)) {
            return fail();
        }
    }

    const D3D11_TEXTURE2D_DESC depthDesc =
        TargetDesc(desc, DXGI_FORMAT_D24_UNORM_S8_UINT, D3D11_BIND_DEPTH_STENCIL);
    HRESULT result = device->CreateTexture2D(&depthDesc, nullptr, &depthTexture);
    if (FAILED(result) || depthTexture == nullptr) {
        WriteHresultFailure(failure, "ID3D11Device::CreateTexture2D (depth)",
                            FAILED(result) ? result : E_POINTER);
        return fail();
    }
    result = device->CreateDepthStencilView(depthTexture, nullptr, &depthView);
    if (FAILED(result) || depthView == nullptr) {
        WriteHresultFailure(failure, "ID3D11Device::CreateDepthStencilView",
                            FAILED(result) ? result : E_POINTER);
        return fail();
    }

    backbufferDescCache = desc;
    aspectCrop = ComputeAspectCrop(desc.width, desc.height, renderTargetWidth, renderTargetHeight);
    const VRTextureBounds_t left = ComputeEyeBounds(0, kOpticalBoundsConvergence, PictureSource{});
    const VRTextureBounds_t right = ComputeEyeBounds(1, kOpticalBoundsConvergence, PictureSource{});
    LogMessage(
        "D3D source=%ux%u; aspect crop U=(%.6f, %.6f) V=(%.6f, %.6f); optical bounds L=(%.6f, %.6f) R=(%.6f, "
        "%.6f)",
        desc.width, desc.height, double{aspectCrop.u.lo}, double{aspectCrop.u.hi}, double{aspectCrop.v.lo},
        double{aspectCrop.v.hi}, double{left.uMin}, double{left.uMax}, double{right.uMin},
        double{right.uMax});
    return true;
}

void VrPresenter::ReleaseEyeTargets() {
    // The runtime is no longer handed the screen's picture, which goes with the targets.
    screenLayer = ScreenLayer{};
    surroundOnly[0] = surroundOnly[1] = std::numeric_limits<float>::quiet_NaN();
    for (ID3D11RenderTargetView*& view : eyeTextureView) {
        ReleaseAndClear(view);
    }
    for (ID3D11RenderTargetView*& view : stagingTextureView) {
        ReleaseAndClear(view);
    }
    for (ID3D11Texture2D*& texture : eyeTexture) {
        ReleaseAndClear(texture);
    }
    for (ID3D11Texture2D*& texture : stagingTexture) {
        ReleaseAndClear(texture);
    }
    ReleaseAndClear(depthView);
    ReleaseAndClear(depthTexture);
    handDepthSlices.Forget();
    if (handResources != nullptr) {
        handResources->Release();
    }
    if (cinemaResources != nullptr) {
        cinemaResources->Release();
    }
    ReleaseAndClear(deferredContext);
    ReleaseAndClear(immediateContext);
    ReleaseAndClear(device);

    backbufferDescCache = BackbufferDesc{};
    aspectCrop = AspectCrop{};
    for (int eye = 0; eye < 2; ++eye) {
        eyeTextures.eyeTextureValid[eye] = false;
        eyeTextures.eyePose[eye] = EyeRenderPose{};
        eyeTextures.eyeBounds[eye] = kWholeTexture;
    }
    eyeTextures.eyeSource[0] = eyeTextures.eyeSource[1] = PictureSource{};
    ClearStagedPair(eyeTextures);
}

void VrPresenter::BeginEyeCopies(const GameFrameSource& frame) {
    deferredContext->ClearState();
    if ((pictureBeingCopied.cinema || pictureBeingCopied.LaidIntoField()) && cinemaResources != nullptr &&
        cinemaResources->Complete()) {
        CopyCinemaPicture(deferredContext, *cinemaResources, frame.backbuffer, frame.desc.sampleCount,
                          frame.desc.format);
    }
}

bool VrPresenter::EnsureCinemaResources(const GameFrameSource& frame) {
    if (cinemaResources == nullptr) {
        cinemaResources = new (std::nothrow) CinemaResources();
        if (cinemaResources == nullptr) {
            lastErrorText = "out of memory";
            return false;
        }
    }
    // Made once per set of eye targets, which are made again for a new device or backbuffer.
    if (cinemaResources->Complete()) {
        return true;
    }
    cinemaResources->Release();
    if (!CreateCinemaResources(device, frame.desc.width, frame.desc.height, frame.desc.format,
                               *cinemaResources, lastErrorText)) {
        cinemaResources->Release();
        return false;
    }
    return true;
}

void VrPresenter::CopyBackbufferInto(const GameFrameSource& frame, ID3D11Texture2D* target,
                                     ID3D11RenderTargetView* view, uint32_t eye) {
    const bool handsShown = GetSettings().VisibleHands && head.valid;
    HandDrawInputs inputs;
    CinemaEyeConstants screen{};
    bool cinema = false;
    // What the texture is seen from, for whatever is drawn over the copy.
    if (handsShown || pictureBeingCopied.cinema) {
        inputs.context = deferredContext;
        inputs.depthView = depthView;
        inputs.depthSlices = &handDepthSlices;
        inputs.resources = handResources;
        FillHandScene(inputs.scene, frame.desc, eye);
        cinema = cinemaResources != nullptr && CinemaForEye(inputs.scene, eye, screen);
    }
    const EyeFieldFit& fit = pictureBeingCopied.fit[eye == 0 ? 0 : 1];
    copiedSurroundOnly = cinema && screen.up[3] >= 1.0f && pictureBeingCopied.screenAsLayer &&
                         !pictureBeingCopied.screenUnderEyes;
    // A screen shown fully covers the picture: its surround replaces the copy.
    if (cinema && screen.up[3] >= 1.0f) {
        ClearForCinema(deferredContext, view, screen);
    } else if (fit.laidIntoField) {
        if (cinemaResources != nullptr && cinemaResources->Complete()) {
            DrawPictureInField(deferredContext, *cinemaResources, fit.field, view, frame.desc.width,
                               frame.desc.height);
        } else {
            // Without the objects to lay it (their creation failed) the eye stays dark for the frame.
            const float dark[4] = {0.0f, 0.0f, 0.0f, 1.0f};
            deferredContext->ClearRenderTargetView(view, dark);
        }
    } else if (frame.desc.sampleCount > 1) {
        deferredContext->ResolveSubresource(target, 0, frame.backbuffer, 0,
                                            static_cast<DXGI_FORMAT>(frame.desc.format));
    } else {
        deferredContext->CopyResource(target, frame.backbuffer);
    }

    if (cinema) {
        const HandViewport area = HandViewportFor(inputs.scene);
        D3D11_VIEWPORT viewport{};
        viewport.TopLeftX = area.topLeftX;
        viewport.TopLeftY = area.topLeftY;
        viewport.Width = area.width;
        viewport.Height = area.height;
        viewport.MaxDepth = 1.0f;
        // The hands follow in the same target and depth pair.
        if (pictureBeingCopied.screenAsLayer && screen.up[3] >= 1.0f) {
            // The runtime composes the screen: over the surround, or under it through a hole
            // when the hands are drawn in front of it.
            if (pictureBeingCopied.screenUnderEyes) {
                CutScreenHole(deferredContext, *cinemaResources, screen, view,
                              handsShown ? depthView : nullptr, viewport);
            }
        } else {
            DrawCinemaForEye(deferredContext, *cinemaResources, screen, view,
                             handsShown ? depthView : nullptr, viewport);
        }
    }
    if (handsShown) {
        DrawHandsForEye(inputs, eye == 0 ? 0 : 1, view);
    }
}

ID3D11Texture2D* VrPresenter::CinemaPicture() const {
    return cinemaResources != nullptr && cinemaResources->Complete() ? cinemaResources->picture.Get()
                                                                     : nullptr;
}

bool VrPresenter::ExecuteEyeCopies() {
    ComPtr<ID3D11CommandList> commands;
    const HRESULT result = deferredContext->FinishCommandList(FALSE, commands.Put());
    if (FAILED(result) || !commands) {
        // Whatever the hands recorded into the depth buffer never reaches it.
        handDepthSlices.Forget();
        WriteHresultFailure(lastErrorText, "ID3D11DeviceContext::FinishCommandList",
                            FAILED(result) ? result : E_POINTER);
        return false;
    }
    // Restoring the context state leaves the game's pipeline exactly as it was.
    immediateContext->ExecuteCommandList(commands.Get(), TRUE);
    return true;
}

} // namespace corvane
