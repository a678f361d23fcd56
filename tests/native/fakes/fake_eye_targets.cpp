#include "fakes/fake_eye_targets.h"

#include <limits>

namespace corvane {
namespace fake {
namespace {

FakeEyeTargets g_targets;
int g_device = 0;
int g_backbuffer = 0;
int g_context = 0;
int g_textures[5] = {}; // two eye, two staging, depth
int g_views[5] = {};

template <typename T> T* Token(int& storage) {
    return reinterpret_cast<T*>(&storage);
}

} // namespace

FakeEyeTargets& EyeTargets() {
    return g_targets;
}

void ResetEyeTargets() {
    g_targets = FakeEyeTargets{};
}

uint32_t PictureIn(const void* texture) {
    const auto found = g_targets.contents.find(texture);
    return found == g_targets.contents.end() ? 0 : found->second;
}

} // namespace fake

using fake::g_targets;

GameFrameSource::~GameFrameSource() = default;

VrPresenter::~VrPresenter() {
    ReleaseEyeTargets();
}

bool VrPresenter::AcquireGameFrame(IDXGISwapChain* /*swapChain*/, GameFrameSource& frame) {
    if (g_targets.acquireFails) {
        lastErrorText = FormatHresultFailure("IDXGISwapChain::GetBuffer", static_cast<int32_t>(0x887a0001));
        return false;
    }
    frame.backbuffer = fake::Token<ID3D11Texture2D>(fake::g_backbuffer);
    frame.device = fake::Token<ID3D11Device>(fake::g_device);
    frame.desc = g_targets.backbuffer;
    return true;
}

bool VrPresenter::EnsureEyeTargets(ID3D11Device* gameDevice, const BackbufferDesc& desc) {
    if (gameDevice == nullptr || desc.width == 0 || desc.height == 0) {
        lastErrorText = "The game supplied an invalid D3D11 backbuffer";
        return false;
    }
    if (gameDevice == device && desc == backbufferDescCache && eyeTexture[0] != nullptr) {
        return true;
    }
    ReleaseEyeTargets();
    ++g_targets.targetCreations;
    device = gameDevice;
    deferredContext = fake::Token<ID3D11DeviceContext>(fake::g_context);
    for (int eye = 0; eye < 2; ++eye) {
        eyeTexture[eye] = fake::Token<ID3D11Texture2D>(fake::g_textures[eye]);
        eyeTextureView[eye] = fake::Token<ID3D11RenderTargetView>(fake::g_views[eye]);
        stagingTexture[eye] = fake::Token<ID3D11Texture2D>(fake::g_textures[2 + eye]);
        stagingTextureView[eye] = fake::Token<ID3D11RenderTargetView>(fake::g_views[2 + eye]);
    }
    depthTexture = fake::Token<ID3D11Texture2D>(fake::g_textures[4]);
    backbufferDescCache = desc;
    aspectCrop = ComputeAspectCrop(desc.width, desc.height, renderTargetWidth, renderTargetHeight);
    return true;
}

void VrPresenter::ReleaseEyeTargets() {
    screenLayer = ScreenLayer{};
    surroundOnly[0] = surroundOnly[1] = std::numeric_limits<float>::quiet_NaN();
    for (int eye = 0; eye < 2; ++eye) {
        eyeTexture[eye] = nullptr;
        eyeTextureView[eye] = nullptr;
        stagingTexture[eye] = nullptr;
        stagingTextureView[eye] = nullptr;
        eyeTextures.eyeTextureValid[eye] = false;
        eyeTextures.eyePose[eye] = EyeRenderPose{};
        eyeTextures.eyeBounds[eye] = kWholeTexture;
    }
    depthTexture = nullptr;
    deferredContext = nullptr;
    device = nullptr;
    backbufferDescCache = BackbufferDesc{};
    aspectCrop = AspectCrop{};
    eyeTextures.eyeSource[0] = eyeTextures.eyeSource[1] = PictureSource{};
    ClearStagedPair(eyeTextures);
    g_targets.contents.clear();
}

void VrPresenter::BeginEyeCopies(const GameFrameSource& /*frame*/) {
    g_targets.recorded.clear();
}

bool VrPresenter::EnsureCinemaResources(const GameFrameSource& /*frame*/) {
    if (g_targets.cinemaFails) {
        lastErrorText = "Cinema screen shader compilation failed";
        return false;
    }
    return true;
}

void VrPresenter::CopyBackbufferInto(const GameFrameSource& frame, ID3D11Texture2D* target,
                                     ID3D11RenderTargetView* /*view*/, uint32_t eye) {
    g_targets.recorded.emplace_back(target, g_targets.picture);
    fake::RecordedHands hands;
    hands.target = target;
    hands.eye = eye;
    FillHandScene(hands.scene, frame.desc, eye);
    hands.cinema = CinemaForEye(hands.scene, eye, hands.cinemaConstants);
    hands.screenAsLayer = pictureBeingCopied.screenAsLayer;
    hands.screenUnderEyes = pictureBeingCopied.screenUnderEyes;
    copiedSurroundOnly = hands.cinema && hands.cinemaConstants.up[3] >= 1.0f &&
                         pictureBeingCopied.screenAsLayer && !pictureBeingCopied.screenUnderEyes;
    hands.fit = pictureBeingCopied.fit[eye == 0 ? 0 : 1];
    g_targets.hands.push_back(hands);
}

ID3D11Texture2D* VrPresenter::CinemaPicture() const {
    return g_targets.cinemaFails ? nullptr : fake::kCinemaPicture;
}

bool VrPresenter::ExecuteEyeCopies() {
    if (g_targets.executeFails) {
        lastErrorText =
            FormatHresultFailure("ID3D11DeviceContext::FinishCommandList", static_cast<int32_t>(0x8007000e));
        g_targets.recorded.clear();
        return false;
    }
    for (const auto& [texture, picture] : g_targets.recorded) {
        g_targets.contents[texture] = picture;
    }
    g_targets.recorded.clear();
    return true;
}

} // namespace corvane
