// The cinema screen drawn on a real device: the game's picture on its quad over the surround
// when the screen is fully shown, and laid over the game's own picture while it fades in; and
// the picture laid into an eye's field that reaches past it.
#include "d3d_test_device.h"
#include "platform/win32/com_ptr_win32.h"
#include "vr/cinema_drawing_win32.h"
#include "vr/openvr_matrices.h"

#include <gtest/gtest.h>

#include <d3d11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace corvane {
namespace {

constexpr UINT kSize = 16;
constexpr DXGI_FORMAT kFormat = DXGI_FORMAT_R8G8B8A8_UNORM;

struct Texel {
    int r, g, b, a;
};

// The game's picture (its alpha is 0, as a game's backbuffer often has) and the eye texture's
// content before the screen is drawn.
constexpr float kPicture[4] = {1.0f, 0.4f, 0.2f, 0.0f};
constexpr float kGameFrame[4] = {0.0f, 1.0f, 0.0f, 0.5f};

class CinemaDrawingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testing_support::CreateTestDevice(device, context));
        using testing_support::TextureDesc;
        const D3D11_TEXTURE2D_DESC colour = TextureDesc(kSize, kSize, kFormat, D3D11_BIND_RENDER_TARGET);
        const D3D11_TEXTURE2D_DESC depth =
            TextureDesc(kSize, kSize, DXGI_FORMAT_D24_UNORM_S8_UINT, D3D11_BIND_DEPTH_STENCIL);
        const D3D11_TEXTURE2D_DESC colourReadBack = TextureDesc(kSize, kSize, kFormat, 0);
        const D3D11_TEXTURE2D_DESC depthReadBackDesc =
            TextureDesc(kSize, kSize, DXGI_FORMAT_D24_UNORM_S8_UINT, 0);
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&colour, nullptr, eyeTexture.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateRenderTargetView(eyeTexture.Get(), nullptr, eyeView.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&colour, nullptr, backbuffer.Put()));
        ASSERT_HRESULT_SUCCEEDED(
            device->CreateRenderTargetView(backbuffer.Get(), nullptr, backbufferView.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&colourReadBack, nullptr, readBack.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&depthReadBackDesc, nullptr, depthReadBack.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&depth, nullptr, depthTexture.Put()));
        ASSERT_HRESULT_SUCCEEDED(
            device->CreateDepthStencilView(depthTexture.Get(), nullptr, depthView.Put()));
        // What earlier hands left, unlike any depth the screen's triangles have: the screen must
        // not disturb it.
        context->ClearDepthStencilView(depthView.Get(), D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL, 0.25f, 7);
        std::string errorText;
        ASSERT_TRUE(CreateCinemaResources(device.Get(), kSize, kSize, kFormat, resources, errorText))
            << errorText;
        context->ClearRenderTargetView(backbufferView.Get(), kPicture);
        context->ClearRenderTargetView(eyeView.Get(), kGameFrame);
    }

    // A screen over the middle half of the texture both ways (texels 4 to 11), seen through an
    // identity view-projection, with a surround of 0.2 grey.
    static CinemaEyeConstants Screen(float opacity) {
        CinemaEyeConstants c{};
        for (int i = 0; i < 4; ++i) {
            c.viewProjection[i * 5] = 1.0f;
        }
        const float centre[4] = {0.0f, 0.0f, 0.5f, 0.5f};
        const float right[4] = {1.0f, 0.0f, 0.0f, 0.5f};
        const float up[4] = {0.0f, 1.0f, 0.0f, opacity};
        const float surround[4] = {0.2f, 0.2f, 0.2f, 1.0f};
        std::copy(centre, centre + 4, c.centre);
        std::copy(right, right + 4, c.right);
        std::copy(up, up + 4, c.up);
        std::copy(surround, surround + 4, c.surround);
        return c;
    }

    // What the presenter does for one eye: the picture copied, the surround cleared when the
    // screen is fully shown, the screen drawn.
    void Draw(const CinemaEyeConstants& screen) {
        CopyCinemaPicture(context.Get(), resources, backbuffer.Get(), 1, kFormat);
        if (screen.up[3] >= 1.0f) {
            ClearForCinema(context.Get(), eyeView.Get(), screen);
        }
        const D3D11_VIEWPORT viewport{0.0f, 0.0f, kSize, kSize, 0.0f, 1.0f};
        DrawCinemaForEye(context.Get(), resources, screen, eyeView.Get(), depthView.Get(), viewport);
    }

    Texel At(UINT x, UINT y) {
        const std::vector<uint32_t> texels =
            testing_support::ReadTexels(context.Get(), eyeTexture.Get(), readBack.Get());
        if (texels.size() != kSize * kSize) {
            return Texel{-1, -1, -1, -1};
        }
        uint8_t p[4];
        std::memcpy(p, &texels[y * kSize + x], 4);
        return Texel{p[0], p[1], p[2], p[3]};
    }

    // The depth buffer's words as the device keeps them.
    std::vector<uint32_t> DepthWords() {
        return testing_support::ReadTexels(context.Get(), depthTexture.Get(), depthReadBack.Get());
    }

    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    ComPtr<ID3D11Texture2D> eyeTexture;
    ComPtr<ID3D11RenderTargetView> eyeView;
    ComPtr<ID3D11Texture2D> backbuffer;
    ComPtr<ID3D11RenderTargetView> backbufferView;
    ComPtr<ID3D11Texture2D> readBack;
    ComPtr<ID3D11Texture2D> depthTexture;
    ComPtr<ID3D11DepthStencilView> depthView;
    ComPtr<ID3D11Texture2D> depthReadBack;
    CinemaResources resources;
};

void ExpectTexel(const Texel& expected, const Texel& seen, const char* where) {
    EXPECT_NEAR(expected.r, seen.r, 2) << where;
    EXPECT_NEAR(expected.g, seen.g, 2) << where;
    EXPECT_NEAR(expected.b, seen.b, 2) << where;
    EXPECT_NEAR(expected.a, seen.a, 2) << where;
}

TEST_F(CinemaDrawingTest, FullyShownTheScreenHoldsThePictureOpaqueOverTheSurround) {
    const std::vector<uint32_t> depth = DepthWords();
    ASSERT_EQ(kSize * kSize, depth.size());
    Draw(Screen(1.0f));
    ExpectTexel(Texel{255, 102, 51, 255}, At(8, 8), "on the screen");
    ExpectTexel(Texel{255, 102, 51, 255}, At(4, 11), "the screen's corner texel");
    ExpectTexel(Texel{51, 51, 51, 255}, At(1, 1), "the surround");
    ExpectTexel(Texel{51, 51, 51, 255}, At(12, 8), "just right of the screen");
    // The hands drawn next set no blend state of their own.
    ComPtr<ID3D11BlendState> blend;
    context->OMGetBlendState(blend.Put(), nullptr, nullptr);
    EXPECT_EQ(nullptr, blend.Get());
    // The hands' depth, bound beside the target, is as they left it.
    EXPECT_EQ(depth, DepthWords());
}

TEST_F(CinemaDrawingTest, FadingInTheSurroundAndScreenAreLaidOverTheGamesFrameKeepingItsAlpha) {
    const std::vector<uint32_t> depth = DepthWords();
    Draw(Screen(0.5f));
    // Surround: half grey 0.2, half the frame's green; the screen: half the picture over that.
    ExpectTexel(Texel{26, 153, 26, 128}, At(1, 1), "the surround");
    ExpectTexel(Texel{140, 128, 38, 128}, At(8, 8), "on the screen");
    EXPECT_EQ(depth, DepthWords());
}

// A head at (x, 1.6, z) turned by `yaw` degrees to the left of -z.
HmdMatrix34_t HeadAt(float x, float z, float yawDegrees) {
    const float a = yawDegrees * 3.14159265f / 180.0f;
    const float c = std::cos(a);
    const float s = std::sin(a);
    return HmdMatrix34_t{{{c, 0.0f, s, x}, {0.0f, 1.0f, 0.0f, 1.6f}, {-s, 0.0f, c, z}}};
}

// The screen is seen from the side it faces, the head, and only from there: not from behind it,
// and not when it stands behind the eye.
TEST_F(CinemaDrawingTest, OnlyTheFrontOfTheScreenIsSeen) {
    CinemaPlacement placement;
    ASSERT_TRUE(PlaceCinemaScreen(HeadAt(0.0f, 0.0f, 0.0f), 3.0f, 4.0f, 16.0f / 9.0f, placement));
    const HmdMatrix34_t eyeToHead{
        {{1.0f, 0.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 1.0f, 0.0f}}};
    // Tangents of 1 every way, depth 0 at 0.05 m and 1 at 30 m, as the runtime documents it.
    const float n = 0.05f;
    const float f = 30.0f;
    const HmdMatrix44_t projection{{{1.0f, 0.0f, 0.0f, 0.0f},
                                    {0.0f, 1.0f, 0.0f, 0.0f},
                                    {0.0f, 0.0f, -f / (f - n), -f * n / (f - n)},
                                    {0.0f, 0.0f, -1.0f, 0.0f}}};
    struct Case {
        const char* label;
        HmdMatrix34_t head;
        bool seen;
    };
    const Case cases[] = {
        {"in front, facing it", HeadAt(0.0f, 0.0f, 0.0f), true},
        {"in front, turned away", HeadAt(0.0f, 0.0f, 180.0f), false},
        {"behind it, facing its back", HeadAt(0.0f, -6.0f, 180.0f), false},
        {"behind it, turned away", HeadAt(0.0f, -6.0f, 0.0f), false},
    };
    for (const Case& c : cases) {
        CinemaEyeConstants constants{};
        ASSERT_TRUE(MakeCinemaEyeConstants(ToPoseMatrix(c.head), ToPoseMatrix(eyeToHead),
                                           ToMatrix4x4(projection), placement, 1.0f, 0.2f, constants));
        context->ClearRenderTargetView(eyeView.Get(), kGameFrame);
        Draw(constants);
        ExpectTexel(c.seen ? Texel{255, 102, 51, 255} : Texel{51, 51, 51, 255}, At(8, 8), c.label);
        ExpectTexel(Texel{51, 51, 51, 255}, At(0, 0), c.label);
    }
}

// Each texel of the picture says where it is: red 16 x its column, green 16 x its row.
TEST_F(CinemaDrawingTest, APictureLaidIntoAFieldShowsEachTexelMovedAndTheRestDark) {
    std::vector<uint32_t> picture(kSize * kSize);
    for (UINT y = 0; y < kSize; ++y) {
        for (UINT x = 0; x < kSize; ++x) {
            picture[y * kSize + x] = (16u * x) | ((16u * y) << 8) | (0x80u << 16) | (0xFFu << 24);
        }
    }
    context->UpdateSubresource(backbuffer.Get(), 0, nullptr, picture.data(), kSize * 4, 0);
    CopyCinemaPicture(context.Get(), resources, backbuffer.Get(), 1, kFormat);
    // The field starts four texels right of the picture's left edge and four above its top.
    const VRTextureBounds_t field{0.25f, -0.25f, 1.25f, 0.75f};
    DrawPictureInField(context.Get(), resources, field, eyeView.Get(), kSize, kSize);
    for (const auto& [x, y] : {std::pair{0u, 4u}, std::pair{5u, 9u}, std::pair{11u, 15u}}) {
        const std::string where = std::to_string(x) + "," + std::to_string(y);
        ExpectTexel(Texel{static_cast<int>(16 * (x + 4)), static_cast<int>(16 * (y - 4)), 128, 255}, At(x, y),
                    where.c_str());
    }
    ExpectTexel(Texel{0, 0, 0, 255}, At(12, 8), "right of the picture");
    ExpectTexel(Texel{0, 0, 0, 255}, At(15, 15), "the far corner");
    ExpectTexel(Texel{0, 0, 0, 255}, At(6, 3), "above the picture");
}

} // namespace
} // namespace corvane
