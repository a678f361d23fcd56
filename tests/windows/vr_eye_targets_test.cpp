// The presenter's eye textures with a real Direct3D 11 device and swap chain and the
// stand-in runtime: the game's picture reaching the eye textures (copied, resolved, staged,
// published as pairs or dropped), the bounds and flags the compositor receives, the hands
// drawn over the picture, the game's pipeline state left alone, and failures that release
// everything.
#include "core/settings.h"
#include "device_slot_override.h"
#include "hands/hand_geometry.h"
#include "hands/hand_pipeline_win32.h"
#include "vr_runtime_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <regex>
#include <thread>

namespace corvane::vr_test {
namespace {

const float kRed[4] = {1.0f, 0.0f, 0.0f, 1.0f};
const float kGreen[4] = {0.0f, 1.0f, 0.0f, 1.0f};
const float kBlue[4] = {0.0f, 0.0f, 1.0f, 1.0f};
const float kYellow[4] = {1.0f, 1.0f, 0.0f, 1.0f};
const float kBlack[4] = {0.0f, 0.0f, 0.0f, 1.0f};

constexpr int64_t kMs = 1'000'000;

// One compositor.Submit line of the runtime's call log.
struct Submission {
    uint32_t frame = 0;
    int eye = -1;
    uint32_t flags = 0;
    unsigned long long texture = 0;
    float bounds[4] = {};
    bool withPose = false;
    HmdMatrix34_t pose{}; // as submitted, when withPose
};

struct FrameParams {
    uint32_t eye = 0;
    bool pairValid = false;
    PictureProjection projection = PictureProjection::Game;
    float convergence = -0.095f;
    PictureParams picture;
};

class EyeTargetsTest : public VrRuntimeTest {
protected:
    void SetUp() override {
        VrRuntimeTest::SetUp();
        GetSettings().SpacewarpCompatibleAER = true;
    }

    // The game draws a frame in one colour; the presenter submits it; the game presents.
    bool Present(const float (&colour)[4], const FrameParams& p = FrameParams{}) {
        Game().DrawFrame(colour);
        const bool submitted = presenter->RenderFrame(
            Game().SwapChain(), FrameRequest{p.eye, p.pairValid, p.projection, p.convergence, p.picture});
        Game().Present();
        presenter->AfterPresent();
        return submitted;
    }

    bool PresentEye(uint32_t eye, const float (&colour)[4]) {
        FrameParams p;
        p.eye = eye;
        p.pairValid = true;
        p.projection = PictureProjection::Eye;
        return Present(colour, p);
    }

    // The head sample of the current epoch, as the first valid headset pose would make it, so
    // the camera code can publish render poses for the very first frame.
    uint64_t SeedHeadSample() {
        presenter->UpdateHeadRelativePose(Quaternion{}, Vector3{0.0f, 1.6f, 0.0f});
        HeadPoseSample sample;
        EXPECT_TRUE(presenter->GetHeadPoseSample(sample));
        return sample.referenceEpoch;
    }

    void PublishRenderPose(uint32_t eye, uint64_t epoch) {
        EyeRenderPose pose;
        pose.valid = true;
        pose.referenceEpoch = epoch;
        pose.position[1] = 1.6f;
        presenter->SetEyeRenderPose(eye, pose);
    }

    std::vector<uint32_t> Texels(ID3D11Texture2D* texture) {
        return ReadTexels(Game().device.Get(), Game().context.Get(), texture);
    }

    // True when every texel of the eye texture has this colour.
    // The other eye's picture laid into this eye's field: with the stand-in headset's optics the
    // fields lie 0.14 / 2.64 of a picture's width apart, 3.39 of the 64 texels, so the left eye's
    // first three columns and the right eye's last three (centres past 60.61) have no picture.
    ::testing::AssertionResult HoldsLaid(int eye, const float (&colour)[4]) {
        const uint32_t expected = PackColour(colour);
        const uint32_t dark = 0xFF000000u;
        const std::vector<uint32_t> texels = Texels(presenter->eyeTexture[eye]);
        if (texels.size() != 64u * 36u) {
            return ::testing::AssertionFailure() << "eye " << eye << " cannot be read";
        }
        for (size_t i = 0; i < texels.size(); ++i) {
            const size_t x = i % 64;
            const bool sliver = eye == 0 ? x < 3 : x >= 61;
            if (texels[i] != (sliver ? dark : expected)) {
                char text[96];
                std::snprintf(text, sizeof text, "eye %d texel %zu is 0x%08x, not 0x%08x", eye, i, texels[i],
                              sliver ? dark : expected);
                return ::testing::AssertionFailure() << text;
            }
        }
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult Holds(int eye, const float (&colour)[4]) {
        const uint32_t expected = PackColour(colour);
        const std::vector<uint32_t> texels = Texels(presenter->eyeTexture[eye]);
        if (texels.empty()) {
            return ::testing::AssertionFailure() << "eye " << eye << " cannot be read";
        }
        for (size_t i = 0; i < texels.size(); ++i) {
            if (texels[i] != expected) {
                char text[96];
                std::snprintf(text, sizeof text, "eye %d texel %zu is 0x%08x, not 0x%08x", eye, i, texels[i],
                              expected);
                return ::testing::AssertionFailure() << text;
            }
        }
        return ::testing::AssertionSuccess();
    }

    std::vector<Submission> Submissions() const {
        std::vector<Submission> submissions;
        for (const std::string& line : RuntimeLog()) {
            Submission s;
            if (std::sscanf(
                    line.c_str(),
                    "compositor.Submit frame=%u eye=%d flags=0x%x texture=0x%llx type=%*d bounds=%f %f %f %f",
                    &s.frame, &s.eye, &s.flags, &s.texture, &s.bounds[0], &s.bounds[1], &s.bounds[2],
                    &s.bounds[3]) == 8) {
                s.withPose = line.find("pose=none") == std::string::npos;
                const size_t pose = line.find("pose=");
                if (s.withPose && pose != std::string::npos) {
                    float(&m)[3][4] = s.pose.m;
                    std::sscanf(line.c_str() + pose, "pose=%f %f %f %f %f %f %f %f %f %f %f %f", &m[0][0],
                                &m[0][1], &m[0][2], &m[0][3], &m[1][0], &m[1][1], &m[1][2], &m[1][3],
                                &m[2][0], &m[2][1], &m[2][2], &m[2][3]);
                }
                submissions.push_back(s);
            }
        }
        return submissions;
    }

    size_t MessageCount(const std::string& message) const {
        size_t count = 0;
        for (const std::string& m : Messages()) {
            count += m == message ? 1 : 0;
        }
        return count;
    }

    size_t MessagesStartingWith(const std::string& prefix) const {
        size_t count = 0;
        for (const std::string& m : Messages()) {
            count += m.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return count;
    }
};

void ExpectBounds(const Submission& s, const VRTextureBounds_t& expected) {
    SCOPED_TRACE("eye " + std::to_string(s.eye));
    EXPECT_NEAR(s.bounds[0], expected.uMin, 2e-6f);
    EXPECT_NEAR(s.bounds[1], expected.vMin, 2e-6f);
    EXPECT_NEAR(s.bounds[2], expected.uMax, 2e-6f);
    EXPECT_NEAR(s.bounds[3], expected.vMax, 2e-6f);
}

TEST_F(EyeTargetsTest, AMonoFrameReachesBothEyeTexturesMadeLikeTheBackbuffer) {
    RunScenario("");
    ASSERT_TRUE(Present(kRed)) << presenter->LastError();

    EXPECT_TRUE(Holds(0, kRed));
    EXPECT_TRUE(Holds(1, kRed));
    for (ID3D11Texture2D* texture : {presenter->eyeTexture[0], presenter->eyeTexture[1],
                                     presenter->stagingTexture[0], presenter->stagingTexture[1]}) {
        D3D11_TEXTURE2D_DESC desc{};
        texture->GetDesc(&desc);
        EXPECT_EQ(desc.Width, 64u);
        EXPECT_EQ(desc.Height, 36u);
        EXPECT_EQ(desc.Format, DXGI_FORMAT_R8G8B8A8_UNORM);
        EXPECT_EQ(desc.SampleDesc.Count, 1u);
        EXPECT_EQ(desc.BindFlags, static_cast<UINT>(D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE));
    }
    D3D11_TEXTURE2D_DESC depth{};
    presenter->depthTexture->GetDesc(&depth);
    EXPECT_EQ(depth.Format, DXGI_FORMAT_D24_UNORM_S8_UINT);

    EXPECT_EQ(
        MessageCount("D3D source=64x36; aspect crop U=(0.246875, 0.753125) V=(0.000000, 1.000000); optical "
                     "bounds L=(0.139640, 1.000000) R=(0.000000, 0.860360)"),
        1u);
    EXPECT_EQ(
        MessageCount("Stereo bounds: left scale/offsets 0.650/+0.000/+0.000, right scale/offsets/roll "
                     "0.650/+0.000/+0.000/+0.00, requested convergence -0.0950, applied 0.0000; "
                     "projection=legacy; L=(0.000000, 0.000000, 0.949640, 1.000000) R=(0.050360, 0.000000, "
                     "1.000000, 1.000000)"),
        1u);
    const std::vector<Submission> submissions = Submissions();
    ASSERT_EQ(submissions.size(), 2u);
    EXPECT_EQ(submissions[0].eye, 0);
    EXPECT_EQ(submissions[1].eye, 1);
    EXPECT_EQ(submissions[0].texture, reinterpret_cast<uintptr_t>(presenter->eyeTexture[0]));
    EXPECT_EQ(submissions[1].texture, reinterpret_cast<uintptr_t>(presenter->eyeTexture[1]));
    EXPECT_EQ(submissions[0].flags, 0u) << "no render pose was published";
    EXPECT_EQ(RuntimeCalls("compositor.PostPresentHandoff frame=1"), 1u);

    // Nothing changed: the targets are kept and the bounds are not logged again.
    ASSERT_TRUE(Present(kGreen));
    EXPECT_TRUE(Holds(1, kGreen));
    EXPECT_EQ(MessagesStartingWith("D3D source="), 1u);
    EXPECT_EQ(MessagesStartingWith("Stereo bounds:"), 1u);
    EXPECT_TRUE(NoMisdirectedCalls());
}

TEST_F(EyeTargetsTest, SubmittedBoundsFollowTheOpticsThePictureAndTheConvergence) {
    struct Case {
        const char* name;
        PictureProjection projection;
        float convergence;
        float leftScale;
        VRTextureBounds_t left;
        VRTextureBounds_t right;
    };
    const Case cases[] = {
        {"common projection",
         PictureProjection::Common,
         -0.095f,
         0.65f,
         {0.023810f, 0.023809f, 0.928229f, 0.976191f},
         {0.071771f, 0.023809f, 0.976190f, 0.976191f}},
        // The left eye's own picture, shown whole to the left eye and cut for the right one.
        {"left eye's projection",
         PictureProjection::Eye,
         -0.095f,
         0.65f,
         {0.0f, 0.0f, 1.0f, 1.0f},
         // Laid into the right eye's field, which reaches past the left eye's picture.
         {0.0f, 0.0f, 1.0f, 1.0f}},
        {"legacy, left scale 1.3",
         PictureProjection::Game,
         -0.095f,
         1.3f,
         {0.237410f, 0.25f, 0.712230f, 0.75f},
         {0.050360f, 0.0f, 1.0f, 1.0f}},
        {"legacy, convergence 0.095",
         PictureProjection::Game,
         0.0f,
         0.65f,
         {0.139640f, 0.0f, 1.0f, 1.0f},
         {0.0f, 0.0f, 0.860360f, 1.0f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        presenter = std::make_unique<VrPresenter>();
        RunScenario("");
        FrameParams p;
        p.projection = c.projection;
        p.convergence = c.convergence;
        p.picture.leftScale = c.leftScale;
        ASSERT_TRUE(Present(kRed, p)) << presenter->LastError();
        const std::vector<Submission> submissions = Submissions();
        ASSERT_EQ(submissions.size(), 2u);
        ExpectBounds(submissions[0], c.left);
        ExpectBounds(submissions[1], c.right);
    }
}

TEST_F(EyeTargetsTest, StagedPairsPublishTogetherOrNotAtAll) {
    // No age limit: the machine's speed must not decide which pairs complete.
    GetSettings().AERMaxPairIntervalMs = 0;
    RunScenario("");
    ASSERT_TRUE(Connect());
    const uint64_t epoch = SeedHeadSample();

    PublishRenderPose(0, epoch);
    ASSERT_TRUE(PresentEye(0, kRed)) << presenter->LastError();
    EXPECT_TRUE(Holds(0, kRed)) << "the first picture fills both eyes";
    EXPECT_TRUE(HoldsLaid(1, kRed));
    EXPECT_EQ(MessagesStartingWith("Spacewarp-compatible"), 0u);

    PublishRenderPose(1, epoch);
    ASSERT_TRUE(PresentEye(1, kGreen));
    EXPECT_TRUE(Holds(0, kRed)) << "the pair is published";
    EXPECT_TRUE(Holds(1, kGreen));

    PublishRenderPose(0, epoch);
    ASSERT_TRUE(PresentEye(0, kBlue));
    EXPECT_TRUE(Holds(0, kRed)) << "half a pair is not shown";
    EXPECT_TRUE(Holds(1, kGreen));
    PublishRenderPose(1, epoch);
    ASSERT_TRUE(PresentEye(1, kYellow));
    EXPECT_TRUE(Holds(0, kBlue));
    EXPECT_TRUE(Holds(1, kYellow));

    // A tracking reset between the eyes: the halves belong to different epochs.
    PublishRenderPose(0, epoch);
    ASSERT_TRUE(PresentEye(0, kRed));
    presenter->ResetForTransition();
    const uint64_t nextEpoch = SeedHeadSample();
    ASSERT_NE(nextEpoch, epoch);
    PublishRenderPose(1, nextEpoch);
    ASSERT_TRUE(PresentEye(1, kGreen));
    // The pair of the old epoch goes: its pose means nothing in the new one. The new picture
    // fills both eyes (laid into the left eye's field) and pairs with nothing of the old epoch.
    EXPECT_TRUE(HoldsLaid(0, kGreen));
    EXPECT_TRUE(Holds(1, kGreen));

    EXPECT_EQ(
        MessageCount("Spacewarp-compatible completed-pair AER submission active; left/right textures now "
                     "publish atomically"),
        1u);
    EXPECT_EQ(MessageCount("Dropped an incoherent staged AER pair after a tracking/projection transition"),
              1u);
    EXPECT_EQ(MessageCount("Per-eye render-pose submission active for SteamVR reprojection"), 1u);

    const std::vector<Submission> submissions = Submissions();
    ASSERT_EQ(submissions.size(), 12u);
    for (const Submission& s : submissions) {
        EXPECT_EQ(s.flags & Submit_FrameDiscontinuty, 0u) << "frame " << s.frame;
    }
    EXPECT_EQ(submissions[0].flags, static_cast<uint32_t>(Submit_TextureWithPose));
    EXPECT_EQ(submissions[1].flags, static_cast<uint32_t>(Submit_TextureWithPose));
    // Publication swaps the textures' roles instead of copying.
    EXPECT_NE(submissions[2].texture, submissions[0].texture);
    EXPECT_NE(submissions[3].texture, submissions[1].texture);
    EXPECT_EQ(submissions[4].texture, submissions[2].texture);
    EXPECT_TRUE(NoMisdirectedCalls());
}

TEST_F(EyeTargetsTest, ASecondEyeArrivingTooLateIsShownMono) {
    RunScenario("");
    ASSERT_TRUE(PresentEye(0, kRed));
    AdvanceSteadyClockForTests(60 * kMs);
    ASSERT_TRUE(PresentEye(1, kYellow));
    EXPECT_TRUE(HoldsLaid(0, kYellow));
    EXPECT_TRUE(Holds(1, kYellow));

    const std::regex line(
        R"(Dropped an over-age staged AER pair \((\d+\.\d) ms; limit 50 ms\); submitting the )"
        R"(current frame as mono)");
    size_t lines = 0;
    for (const std::string& message : Messages()) {
        std::smatch match;
        if (std::regex_match(message, match, line)) {
            ++lines;
            EXPECT_GE(std::stod(match[1].str()), 60.0);
        }
    }
    EXPECT_EQ(lines, 1u);
}

TEST_F(EyeTargetsTest, DirectAerSubmitsBothEyesAsADiscontinuity) {
    GetSettings().SpacewarpCompatibleAER = false;
    RunScenario("");
    ASSERT_TRUE(PresentEye(1, kRed));
    EXPECT_TRUE(HoldsLaid(0, kRed)) << "the first frame fills both";
    EXPECT_TRUE(Holds(1, kRed));
    ASSERT_TRUE(PresentEye(0, kGreen));
    EXPECT_TRUE(Holds(0, kGreen));
    EXPECT_TRUE(Holds(1, kRed));
    ASSERT_TRUE(PresentEye(1, kBlue));
    EXPECT_TRUE(Holds(0, kGreen));
    EXPECT_TRUE(Holds(1, kBlue));

    const std::vector<Submission> submissions = Submissions();
    ASSERT_EQ(submissions.size(), 6u);
    for (const Submission& s : submissions) {
        EXPECT_EQ(s.flags, static_cast<uint32_t>(Submit_FrameDiscontinuty)) << "frame " << s.frame;
    }
    EXPECT_EQ(MessageCount("AER frame-discontinuity submission active; compositor motion extrapolation "
                           "suppressed"),
              1u);
}

TEST_F(EyeTargetsTest, AMultisampledBackbufferIsResolved) {
    RunScenario("");
    game = std::make_unique<GameSwapChain>();
    ASSERT_TRUE(game->Create(64, 36, DXGI_FORMAT_R8G8B8A8_UNORM, 4)) << game->failure;
    ASSERT_TRUE(Present(kBlue)) << presenter->LastError();
    EXPECT_TRUE(Holds(0, kBlue));
    EXPECT_TRUE(Holds(1, kBlue));
    D3D11_TEXTURE2D_DESC desc{};
    presenter->eyeTexture[0]->GetDesc(&desc);
    EXPECT_EQ(desc.SampleDesc.Count, 1u);
}

TEST_F(EyeTargetsTest, AFormatChangeMakesEveryTargetAgainAndReleasingGivesEverythingBack) {
    RunScenario("");
    ID3D11Device* device = Game().device.Get();
    const ULONG deviceReferences = ReferenceCount(device);
    ASSERT_TRUE(Present(kRed));
    EXPECT_GT(ReferenceCount(device), deviceReferences);

    ASSERT_TRUE(SUCCEEDED(Game().swapChain->ResizeBuffers(1, 64, 36, DXGI_FORMAT_B8G8R8A8_UNORM, 0)));
    ASSERT_TRUE(Present(kRed)) << presenter->LastError();
    EXPECT_EQ(MessagesStartingWith("D3D source=64x36;"), 2u);
    for (ID3D11Texture2D* texture : {presenter->eyeTexture[0], presenter->eyeTexture[1],
                                     presenter->stagingTexture[0], presenter->stagingTexture[1]}) {
        D3D11_TEXTURE2D_DESC desc{};
        texture->GetDesc(&desc);
        EXPECT_EQ(desc.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
    }
    const std::vector<uint32_t> texels = Texels(presenter->eyeTexture[1]);
    ASSERT_FALSE(texels.empty());
    EXPECT_EQ(texels[0], SwapRedBlue(PackColour(kRed)));

    {
        std::lock_guard<std::mutex> lock(presenter->presenterMutex);
        presenter->ReleaseEyeTargets();
    }
    EXPECT_EQ(ReferenceCount(device), deviceReferences);
    EXPECT_EQ(presenter->device, nullptr);
    EXPECT_EQ(presenter->deferredContext, nullptr);
    EXPECT_EQ(presenter->eyeTexture[0], nullptr);
}

// The game re-creating its device must get it back whole: after its swap chain is released
// nothing of the presenter holds the device; a frame in flight on another thread lets go of it
// as it ends, and the releasing thread never waits for that frame.
TEST_F(EyeTargetsTest, TheServedSwapChainsReleaseGivesTheGamesDeviceBack) {
    RunScenario("");
    GetSettings().VisibleHands = true;
    ID3D11Device* device = Game().device.Get();
    const ULONG deviceReferences = ReferenceCount(device);
    const ULONG contextReferences = ReferenceCount(Game().context.Get());

    ASSERT_TRUE(Present(kRed)) << presenter->LastError();
    ASSERT_GT(ReferenceCount(device), deviceReferences);
    {
        std::lock_guard<std::mutex> frameInFlight(presenter->presenterMutex);
        std::thread([&] { presenter->OnServedSwapChainReleased(); }).join();
        EXPECT_NE(presenter->device, nullptr) << "released under a frame that holds the lock";
    }
    presenter->AfterPresent(); // the end of the frame in flight
    EXPECT_EQ(ReferenceCount(device), deviceReferences);
    EXPECT_EQ(ReferenceCount(Game().context.Get()), contextReferences);
    EXPECT_EQ(presenter->eyeTexture[1], nullptr);
    ASSERT_TRUE(Present(kRed)) << "the next frame makes its targets again: " << presenter->LastError();
}

TEST_F(EyeTargetsTest, TheGamesPipelineStateIsTheSameAfterTheFrame) {
    GetSettings().VisibleHands = true;
    RunScenario("controller 1 key 1 -0.05 1.6 -0.3 0 0 0\ncontroller 2 key 1 0.05 1.6 -0.3 0 0 0\n");
    ASSERT_TRUE(Present(kBlack));

    // The game's own pipeline: shaders, a target, a viewport, a rasterizer state.
    HandResources gameObjects;
    std::string failure;
    ASSERT_TRUE(CreateHandResources(Game().device.Get(), gameObjects, failure)) << failure;
    ComPtr<ID3D11Texture2D> backbuffer;
    Game().swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(backbuffer.Put()));
    ComPtr<ID3D11RenderTargetView> target;
    ASSERT_TRUE(SUCCEEDED(Game().device->CreateRenderTargetView(backbuffer.Get(), nullptr, target.Put())));
    ID3D11DeviceContext* context = Game().context.Get();
    ID3D11RenderTargetView* targets[1] = {target.Get()};
    context->OMSetRenderTargets(1, targets, nullptr);
    const D3D11_VIEWPORT viewport{3.0f, 4.0f, 20.0f, 10.0f, 0.1f, 0.9f};
    context->RSSetViewports(1, &viewport);
    context->VSSetShader(gameObjects.vertexShader.Get(), nullptr, 0);
    context->PSSetShader(gameObjects.pixelShader.Get(), nullptr, 0);
    context->RSSetState(gameObjects.rasterizerState.Get());

    ASSERT_TRUE(presenter->RenderFrame(Game().SwapChain(), FrameRequest{})) << presenter->LastError();

    ComPtr<ID3D11RenderTargetView> boundTarget;
    context->OMGetRenderTargets(1, boundTarget.Put(), nullptr);
    EXPECT_EQ(boundTarget.Get(), target.Get());
    UINT viewports = 1;
    D3D11_VIEWPORT boundViewport{};
    context->RSGetViewports(&viewports, &boundViewport);
    ASSERT_EQ(viewports, 1u);
    EXPECT_EQ(boundViewport.TopLeftX, viewport.TopLeftX);
    EXPECT_EQ(boundViewport.Width, viewport.Width);
    EXPECT_EQ(boundViewport.MaxDepth, viewport.MaxDepth);
    ComPtr<ID3D11VertexShader> vertexShader;
    context->VSGetShader(vertexShader.Put(), nullptr, nullptr);
    EXPECT_EQ(vertexShader.Get(), gameObjects.vertexShader.Get());
    ComPtr<ID3D11PixelShader> pixelShader;
    context->PSGetShader(pixelShader.Put(), nullptr, nullptr);
    EXPECT_EQ(pixelShader.Get(), gameObjects.pixelShader.Get());
    ComPtr<ID3D11RasterizerState> rasterizer;
    context->RSGetState(rasterizer.Put());
    EXPECT_EQ(rasterizer.Get(), gameObjects.rasterizerState.Get());
    context->ClearState();
}

TEST_F(EyeTargetsTest, HandsAreDrawnInsideTheGamePictureOnly) {
    constexpr uint32_t kWidth = 512;
    constexpr uint32_t kHeight = 288;
    // The controllers in front, far enough apart that a hand drawn over the whole texture would
    // land outside the part the headset shows when the picture is shown larger; the runtime
    // keeps a picture of the second frame as the headset shows it.
    RunScenario("controller 1 key 1 -0.3 1.55 -0.3 0 0 0\ncontroller 2 key 1 0.3 1.55 -0.3 0 0 0\n"
                "capture 2\n");
    game = std::make_unique<GameSwapChain>();
    ASSERT_TRUE(game->Create(kWidth, kHeight)) << game->failure;

    GetSettings().VisibleHands = false;
    ASSERT_TRUE(Present(kBlack));
    EXPECT_TRUE(Holds(0, kBlack)) << "without hands the eye shows the game frame";
    EXPECT_TRUE(Holds(1, kBlack));

    GetSettings().VisibleHands = true;
    FrameParams larger;
    larger.picture.leftScale = larger.picture.rightScale = 1.3f;
    ASSERT_TRUE(Present(kBlack, larger)) << presenter->LastError();
    const std::vector<Submission> submissions = Submissions();
    ASSERT_EQ(submissions.size(), 4u);
    for (int eye = 0; eye < 2; ++eye) {
        SCOPED_TRACE("eye " + std::to_string(eye));
        // The flat picture shown larger: the middle half of the texture in each direction.
        const float* shown = submissions[2 + eye].bounds;
        ASSERT_NEAR(shown[1], 0.25f, 1e-6f);
        ASSERT_NEAR(shown[3], 0.75f, 1e-6f);
        const std::vector<uint32_t> texels = Texels(presenter->eyeTexture[eye]);
        ASSERT_EQ(texels.size(), size_t{kWidth} * kHeight);
        size_t handTexels = 0;
        size_t outsideTheBounds = 0;
        size_t notSkin = 0;
        for (size_t i = 0; i < texels.size(); ++i) {
            if (texels[i] == PackColour(kBlack)) {
                continue;
            }
            ++handTexels;
            const float u = (static_cast<float>(i % kWidth) + 0.5f) / kWidth;
            const float v = (static_cast<float>(i / kWidth) + 0.5f) / kHeight;
            outsideTheBounds += u < shown[0] || v < shown[1] || u > shown[2] || v > shown[3] ? 1 : 0;
            // Skin: red above green above blue.
            const uint32_t red = texels[i] & 0xFF;
            const uint32_t green = (texels[i] >> 8) & 0xFF;
            const uint32_t blue = (texels[i] >> 16) & 0xFF;
            notSkin += red > green && green > blue ? 0 : 1;
        }
        EXPECT_GT(handTexels, 100u);
        EXPECT_EQ(outsideTheBounds, 0u);
        EXPECT_EQ(notSkin, 0u);
    }
    EXPECT_NE(GetFileAttributesW(Beside(L"captures\\frame_000002_headset.png").c_str()),
              INVALID_FILE_ATTRIBUTES);
    // The projection comes back through the explicit result pointer of the struct-returning slot.
    EXPECT_EQ(RuntimeCalls("system.GetProjectionMatrix frame=2 eye=0 near=0.025000 far=30.000000 -> ok"), 1u);
    EXPECT_EQ(RuntimeCalls("system.GetProjectionMatrix frame=2 eye=1 near=0.025000 far=30.000000 -> ok"), 1u);
    EXPECT_TRUE(NoMisdirectedCalls());
}

// Where a box of texels lies, as texel edges (the first covered column and one past the last).
struct TexelBox {
    float left = 0.0f;
    float right = 0.0f;
    float top = 0.0f;
    float bottom = 0.0f;
};

// The extent of everything that is not the game's black frame; false when there is none.
bool DrawnBox(const std::vector<uint32_t>& texels, uint32_t width, uint32_t black, TexelBox& box) {
    bool any = false;
    for (size_t i = 0; i < texels.size(); ++i) {
        if (texels[i] == black) {
            continue;
        }
        const auto x = static_cast<float>(i % width);
        const auto y = static_cast<float>(i / width);
        box = any ? TexelBox{std::min(box.left, x), std::max(box.right, x + 1.0f), std::min(box.top, y),
                             std::max(box.bottom, y + 1.0f)}
                  : TexelBox{x, x + 1.0f, y, y + 1.0f};
        any = true;
    }
    return any;
}

// How one eye sees the world, worked out here from the headset's optics alone: its position
// and axes in tracking space, its raw tangents, and the part of its texture that stands for
// its field (u min, v min, u max, v max).
struct EyeOptics {
    HmdMatrix34_t headPose;
    float eyeX = 0.0f;
    float raw[4] = {}; // left, right, down (negative), up (positive)
    float shown[4] = {};
};

// Where the corners of the hand's boxes land in a width x height texture when each direction
// from the eye goes where that eye's shown rectangle puts it.
TexelBox ExpectedHandBox(const HmdMatrix34_t& controllerPose, const EyeOptics& eye, float width,
                         float height) {
    const Matrix44 hand = Matrix34To44(ToPoseMatrix(controllerPose));
    const HandParts parts = BuildHandParts(hand, true, 0.0f, 0.0f);
    const float(&h)[3][4] = eye.headPose.m;
    // The eye sits eyeX along the head's own x axis.
    const float eyeAt[3] = {h[0][3] + h[0][0] * eye.eyeX, h[1][3] + h[1][0] * eye.eyeX,
                            h[2][3] + h[2][0] * eye.eyeX};
    TexelBox box{1e9f, -1e9f, 1e9f, -1e9f};
    for (const HandPart& part : parts) {
        for (int corner = 0; corner < 8; ++corner) {
            const float local[3] = {(corner & 1) ? 0.5f : -0.5f, (corner & 2) ? 0.5f : -0.5f,
                                    (corner & 4) ? 0.5f : -0.5f};
            float world[3];
            for (int row = 0; row < 3; ++row) {
                world[row] = part.model.m[row][0] * local[0] + part.model.m[row][1] * local[1] +
                             part.model.m[row][2] * local[2] + part.model.m[row][3];
            }
            // Into the eye's axes: the transposed head rotation applied to the offset.
            float e[3];
            for (int axis = 0; axis < 3; ++axis) {
                e[axis] = h[0][axis] * (world[0] - eyeAt[0]) + h[1][axis] * (world[1] - eyeAt[1]) +
                          h[2][axis] * (world[2] - eyeAt[2]);
            }
            const float tanRight = e[0] / -e[2];
            const float tanUp = e[1] / -e[2];
            const float u = eye.shown[0] + (tanRight - eye.raw[0]) / (eye.raw[1] - eye.raw[0]) *
                                               (eye.shown[2] - eye.shown[0]);
            const float v = eye.shown[1] +
                            (eye.raw[3] - tanUp) / (eye.raw[3] - eye.raw[2]) * (eye.shown[3] - eye.shown[1]);
            box.left = std::min(box.left, u * width);
            box.right = std::max(box.right, u * width);
            box.top = std::min(box.top, v * height);
            box.bottom = std::max(box.bottom, v * height);
        }
    }
    return box;
}

HmdMatrix34_t PoseAt(float x, float y, float z, float yawDegrees = 0.0f) {
    const float a = yawDegrees * 3.14159265f / 180.0f;
    // Yaw turns the view from -z towards -x, as a right-handed turn about +y.
    return HmdMatrix34_t{
        {{std::cos(a), 0.0f, std::sin(a), x}, {0.0f, 1.0f, 0.0f, y}, {-std::sin(a), 0.0f, std::cos(a), z}}};
}

TEST_F(EyeTargetsTest, HandsLandWhereTheirDirectionIsShownInEachEye) {
    constexpr uint32_t kWidth = 512;
    constexpr uint32_t kHeight = 288;
    const float kRaw[2][4] = {{-1.39f, 1.25f, -1.47f, 1.47f}, {-1.25f, 1.39f, -1.47f, 1.47f}};
    const float kEyeX[2] = {-0.0315f, 0.0315f};
    struct Case {
        const char* name;
        bool stereo; // the game's picture in the left eye's own frustum, else a flat mono picture
        float hand[3];
        bool renderPose; // a render pose other than the headset's, turned and moved
        float rightRoll; // degrees
    };
    const Case cases[] = {
        {"straight ahead of the left eye", true, {-0.0315f, 1.6f, -0.45f}, false, 0.0f},
        {"straight ahead of the right eye", true, {0.0315f, 1.6f, -0.45f}, false, 0.0f},
        {"up and to the right", true, {0.2f, 1.75f, -0.5f}, false, 0.0f},
        {"down and to the left, mono", false, {-0.25f, 1.45f, -0.5f}, false, 0.0f},
        {"straight ahead of the left eye, mono", false, {-0.0315f, 1.6f, -0.45f}, false, 0.0f},
        {"from an older, turned render pose with a right roll", true, {0.05f, 1.55f, -0.45f}, true, 4.0f},
    };
    GetSettings().VisibleHands = true;
    GetSettings().SpacewarpCompatibleAER = false; // the first frame fills both eyes, each for its own eye
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        presenter = std::make_unique<VrPresenter>();
        char scenario[160];
        std::snprintf(scenario, sizeof scenario,
                      "controllers none\ncontroller 1 role left\ncontroller 1 key 1 %f %f %f 0 0 0\n",
                      c.hand[0], c.hand[1], c.hand[2]);
        RunScenario(scenario);
        game = std::make_unique<GameSwapChain>();
        ASSERT_TRUE(game->Create(kWidth, kHeight)) << game->failure;
        FrameParams p;
        p.pairValid = c.stereo;
        p.projection = c.stereo ? PictureProjection::Eye : PictureProjection::Game;
        p.picture.rightRollDegrees = c.rightRoll;
        if (c.renderPose) {
            ASSERT_TRUE(Connect());
            EyeRenderPose pose;
            pose.valid = true;
            pose.referenceEpoch = SeedHeadSample();
            pose.position[0] = 0.04f;
            pose.position[1] = 1.62f;
            const float half = 6.0f * 3.14159265f / 360.0f; // 6 degrees of yaw
            pose.orientation[1] = std::sin(half);
            pose.orientation[3] = std::cos(half);
            presenter->SetEyeRenderPose(0, pose);
        }
        ASSERT_TRUE(Present(kBlack, p)) << presenter->LastError();

        const std::vector<Submission> submissions = Submissions();
        ASSERT_EQ(submissions.size(), 2u);
        for (int eye = 0; eye < 2; ++eye) {
            SCOPED_TRACE("eye " + std::to_string(eye));
            const Submission& submitted = submissions[eye];
            ASSERT_EQ(submitted.withPose, c.renderPose);
            EyeOptics optics;
            optics.headPose = c.renderPose ? submitted.pose : PoseAt(0.0f, 1.6f, 0.0f);
            optics.eyeX = kEyeX[eye];
            std::memcpy(optics.raw, kRaw[eye], sizeof optics.raw);
            // Whatever the picture, the compositor spreads the submitted bounds over the eye's field.
            std::memcpy(optics.shown, submitted.bounds, sizeof optics.shown);
            const TexelBox expected =
                ExpectedHandBox(PoseAt(c.hand[0], c.hand[1], c.hand[2]), optics, kWidth, kHeight);

            TexelBox drawn;
            ASSERT_TRUE(DrawnBox(Texels(presenter->eyeTexture[eye]), kWidth, PackColour(kBlack), drawn));
            EXPECT_NEAR(drawn.left, expected.left, 1.5f);
            EXPECT_NEAR(drawn.right, expected.right, 1.5f);
            EXPECT_NEAR(drawn.top, expected.top, 1.5f);
            EXPECT_NEAR(drawn.bottom, expected.bottom, 1.5f);
        }
    }
    EXPECT_TRUE(NoMisdirectedCalls());
}

TEST_F(EyeTargetsTest, TargetsMadeAgainAfterAReconnectOrANewBackbufferStartEmptyAndAreFilledByTheNextFrame) {
    GetSettings().SpacewarpCompatibleAER = false;
    RunScenario("");
    ASSERT_TRUE(Connect());
    PublishRenderPose(1, SeedHeadSample());
    ASSERT_TRUE(PresentEye(1, kRed)) << presenter->LastError();
    ASSERT_TRUE(PresentEye(0, kBlue));
    ASSERT_TRUE(Holds(1, kRed));
    ASSERT_TRUE(presenter->eyeTextures.eyePose[1].valid);

    Disconnect();
    const EyeTextureState& state = presenter->eyeTextures;
    for (int eye = 0; eye < 2; ++eye) {
        EXPECT_FALSE(state.eyeTextureValid[eye]) << eye;
        EXPECT_FALSE(state.eyePose[eye].valid) << eye;
        EXPECT_EQ(state.eyePose[eye].referenceEpoch, 0u) << eye;
        EXPECT_FALSE(state.staged[eye]) << eye;
    }
    EXPECT_EQ(state.eyeSource[0], PictureSource{});
    EXPECT_EQ(state.eyeSource[1], PictureSource{});

    // The next connection's first frame fills both new textures, not only its own eye's.
    AdvanceSeconds(10);
    ASSERT_TRUE(PresentEye(1, kYellow)) << presenter->LastError();
    EXPECT_TRUE(HoldsLaid(0, kYellow));
    EXPECT_TRUE(Holds(1, kYellow));
    ASSERT_TRUE(PresentEye(0, kRed));
    EXPECT_TRUE(Holds(1, kYellow));

    // A backbuffer of another format: new textures again, filled by the next frame.
    ASSERT_TRUE(SUCCEEDED(Game().swapChain->ResizeBuffers(1, 64, 36, DXGI_FORMAT_B8G8R8A8_UNORM, 0)));
    ASSERT_TRUE(PresentEye(0, kGreen)) << presenter->LastError(); // green reads the same in either order
    EXPECT_TRUE(Holds(0, kGreen));
    EXPECT_TRUE(HoldsLaid(1, kGreen));
    const std::vector<Submission> submissions = Submissions();
    ASSERT_FALSE(submissions.empty());
    EXPECT_FALSE(submissions.back().withPose) << "no pose of an earlier texture is submitted";
}

// Device creation methods that fail on the Nth call while installed.
using CreateTexture2DFn = HRESULT(STDMETHODCALLTYPE*)(ID3D11Device*, const D3D11_TEXTURE2D_DESC*,
                                                      const D3D11_SUBRESOURCE_DATA*, ID3D11Texture2D**);
using CreateViewFn = HRESULT(STDMETHODCALLTYPE*)(ID3D11Device*, ID3D11Resource*, const void*, void**);
void* realCreateMethod = nullptr;
int callsUntilFailure = 0;

bool FailsNow() {
    return --callsUntilFailure == 0;
}

HRESULT STDMETHODCALLTYPE CreateTexture2DFailingOnce(ID3D11Device* device, const D3D11_TEXTURE2D_DESC* desc,
                                                     const D3D11_SUBRESOURCE_DATA* data,
                                                     ID3D11Texture2D** out) {
    return FailsNow() ? testing_support::kInjectedFailure
                      : reinterpret_cast<CreateTexture2DFn>(realCreateMethod)(device, desc, data, out);
}

HRESULT STDMETHODCALLTYPE CreateViewFailingOnce(ID3D11Device* device, ID3D11Resource* resource,
                                                const void* desc, void** out) {
    return FailsNow() ? testing_support::kInjectedFailure
                      : reinterpret_cast<CreateViewFn>(realCreateMethod)(device, resource, desc, out);
}

HRESULT STDMETHODCALLTYPE CreateDeferredContextFailing(ID3D11Device*, UINT, ID3D11DeviceContext**) {
    return testing_support::kInjectedFailure;
}

void STDMETHODCALLTYPE GetNoImmediateContext(ID3D11Device*, ID3D11DeviceContext** context) {
    *context = nullptr;
}

TEST_F(EyeTargetsTest, EachFailedCreationIsNamedReleasesEverythingAndIsTriedAgainNextFrame) {
    // ID3D11Device method slots: 5 CreateTexture2D, 9 CreateRenderTargetView,
    // 10 CreateDepthStencilView, 27 CreateDeferredContext, 40 GetImmediateContext. The targets
    // are made as eye texture, its view, staging texture, its view (left, then right), depth.
    struct Case {
        int slot;
        void* replacement;
        int failingCall;
        const char* text;
    };
    const Case cases[] = {
        {40, reinterpret_cast<void*>(&GetNoImmediateContext), 0, "D3D11 immediate context is unavailable"},
        {27, reinterpret_cast<void*>(&CreateDeferredContextFailing), 0,
         "ID3D11Device::CreateDeferredContext failed (HRESULT 0x8007000e)"},
        {5, reinterpret_cast<void*>(&CreateTexture2DFailingOnce), 1,
         "ID3D11Device::CreateTexture2D (eye) failed (HRESULT 0x8007000e)"},
        {9, reinterpret_cast<void*>(&CreateViewFailingOnce), 1,
         "ID3D11Device::CreateRenderTargetView (eye) failed (HRESULT 0x8007000e)"},
        {5, reinterpret_cast<void*>(&CreateTexture2DFailingOnce), 2,
         "ID3D11Device::CreateTexture2D (staging eye) failed (HRESULT 0x8007000e)"},
        {9, reinterpret_cast<void*>(&CreateViewFailingOnce), 2,
         "ID3D11Device::CreateRenderTargetView (staging eye) failed (HRESULT 0x8007000e)"},
        {5, reinterpret_cast<void*>(&CreateTexture2DFailingOnce), 3,
         "ID3D11Device::CreateTexture2D (eye) failed (HRESULT 0x8007000e)"},
        {9, reinterpret_cast<void*>(&CreateViewFailingOnce), 4,
         "ID3D11Device::CreateRenderTargetView (staging eye) failed (HRESULT 0x8007000e)"},
        {5, reinterpret_cast<void*>(&CreateTexture2DFailingOnce), 5,
         "ID3D11Device::CreateTexture2D (depth) failed (HRESULT 0x8007000e)"},
        {10, reinterpret_cast<void*>(&CreateViewFailingOnce), 1,
         "ID3D11Device::CreateDepthStencilView failed (HRESULT 0x8007000e)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + ", call " + std::to_string(c.failingCall));
        presenter = std::make_unique<VrPresenter>();
        RunScenario("");
        ID3D11Device* device = Game().device.Get();
        const ULONG deviceReferences = ReferenceCount(device);
        Game().DrawFrame(kRed);
        {
            testing_support::DeviceSlotOverride override(device, c.slot, c.replacement);
            realCreateMethod = override.Original();
            callsUntilFailure = c.failingCall;
            EXPECT_FALSE(Frame());
        }
        EXPECT_EQ(presenter->LastError(), c.text);
        EXPECT_EQ(presenter->device, nullptr);
        EXPECT_EQ(presenter->deferredContext, nullptr);
        EXPECT_EQ(presenter->eyeTexture[0], nullptr);
        EXPECT_EQ(presenter->depthView, nullptr);
        EXPECT_EQ(ReferenceCount(device), deviceReferences)
            << "everything made before the failure is given back";
        EXPECT_EQ(RuntimeCalls("compositor.Submit"), 0u);

        // No back-off: the next frame makes the targets.
        EXPECT_TRUE(Frame()) << presenter->LastError();
        EXPECT_TRUE(Holds(0, kRed));
        Game().Present();
    }
}

TEST_F(EyeTargetsTest, FailuresDisconnectReleaseEverythingAndLeaveTheGameFrameAlone) {
    struct Case {
        const char* scenario;
        const char* text;
        size_t submitsOfTheFailingFrame;
    };
    const Case cases[] = {
        {"submit_error right 102 2", "OpenVR Submit failed (left 0, right 102)", 2},
        {"wait_error 101 2", "OpenVR WaitGetPoses failed (101)", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        presenter = std::make_unique<VrPresenter>();
        RunScenario(c.scenario);
        ID3D11Device* device = Game().device.Get();
        const ULONG deviceReferences = ReferenceCount(device);
        ASSERT_TRUE(Present(kRed));
        Game().DrawFrame(kGreen);
        EXPECT_FALSE(presenter->RenderFrame(Game().SwapChain(), FrameRequest{}));
        // The game's own frame is untouched and can be presented.
        ComPtr<ID3D11Texture2D> backbuffer;
        Game().swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(backbuffer.Put()));
        EXPECT_EQ(Texels(backbuffer.Get())[0], PackColour(kGreen));
        backbuffer.Reset();
        Game().Present();
        presenter->AfterPresent();

        EXPECT_EQ(presenter->LastError(), c.text);
        EXPECT_EQ(RuntimeCalls("compositor.Submit frame=2 "), c.submitsOfTheFailingFrame);
        EXPECT_EQ(RuntimeCalls("VR_ShutdownInternal"), 1u);
        EXPECT_EQ(presenter->eyeTexture[0], nullptr);
        EXPECT_EQ(ReferenceCount(device), deviceReferences);
        EXPECT_EQ(RuntimeCalls("compositor.PostPresentHandoff"), 1u)
            << "only the submitted frame is handed off";
    }
}

HRESULT STDMETHODCALLTYPE GetBufferFailing(IDXGISwapChain*, UINT, REFIID, void**) {
    return testing_support::kInjectedFailure;
}

HRESULT STDMETHODCALLTYPE GetDeviceFailing(IDXGISwapChain*, REFIID, void**) {
    return testing_support::kInjectedFailure;
}

HRESULT STDMETHODCALLTYPE FinishCommandListFailing(ID3D11DeviceContext*, BOOL, ID3D11CommandList**) {
    return testing_support::kInjectedFailure;
}

TEST_F(EyeTargetsTest, AFrameWithoutBackbufferDeviceOrCommandListIsSkippedAndTheSessionStays) {
    // IDXGISwapChain slots: 7 GetDevice, 9 GetBuffer; ID3D11DeviceContext slot 114
    // FinishCommandList (on the presenter's deferred context, whose copies it closes).
    struct Case {
        int slot;
        void* replacement;
        bool onPresenterContext;
        const char* text;
    };
    const Case cases[] = {
        {9, reinterpret_cast<void*>(&GetBufferFailing), false,
         "IDXGISwapChain::GetBuffer failed (HRESULT 0x8007000e)"},
        {7, reinterpret_cast<void*>(&GetDeviceFailing), false,
         "IDXGISwapChain::GetDevice failed (HRESULT 0x8007000e)"},
        {114, reinterpret_cast<void*>(&FinishCommandListFailing), true,
         "ID3D11DeviceContext::FinishCommandList failed (HRESULT 0x8007000e)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        presenter = std::make_unique<VrPresenter>();
        RunScenario("");
        ASSERT_TRUE(Present(kRed)) << presenter->LastError();
        const size_t submits = RuntimeCalls("compositor.Submit");
        Game().DrawFrame(kGreen);
        {
            void* object = c.onPresenterContext ? static_cast<void*>(presenter->deferredContext)
                                                : static_cast<void*>(Game().SwapChain());
            testing_support::DeviceSlotOverride override(object, c.slot, c.replacement);
            EXPECT_FALSE(presenter->RenderFrame(Game().SwapChain(), FrameRequest{}));
        }
        Game().Present();
        presenter->AfterPresent();
        EXPECT_EQ(presenter->LastError(), c.text);
        EXPECT_EQ(RuntimeCalls("compositor.Submit"), submits) << "the frame is not submitted";
        EXPECT_TRUE(Holds(0, kRed)) << "the skipped frame reached no eye texture";
        EXPECT_TRUE(Holds(1, kRed));
        EXPECT_EQ(RuntimeCalls("VR_ShutdownInternal"), 0u) << "the session stays open";

        EXPECT_TRUE(Present(kBlue)) << presenter->LastError();
        EXPECT_TRUE(Holds(0, kBlue));
    }
}

TEST_F(EyeTargetsTest, BadBackbuffersAndNonFiniteParametersAreRefusedOrMadeSafe) {
    RunScenario("");
    {
        std::lock_guard<std::mutex> lock(presenter->presenterMutex);
        EXPECT_FALSE(presenter->EnsureEyeTargets(nullptr, BackbufferDesc{64, 36, 1, 28}));
        EXPECT_EQ(presenter->lastErrorText, "The game supplied an invalid D3D11 backbuffer");
        EXPECT_FALSE(presenter->EnsureEyeTargets(Game().device.Get(), BackbufferDesc{0, 36, 1, 28}));
        EXPECT_EQ(presenter->lastErrorText, "The game supplied an invalid D3D11 backbuffer");
        EXPECT_EQ(presenter->device, nullptr);

        // A backbuffer Direct3D cannot make a copy of: the call that failed is named and
        // whatever was made before it is given back.
        ID3D11Device* device = Game().device.Get();
        const ULONG deviceReferences = ReferenceCount(device);
        EXPECT_FALSE(presenter->EnsureEyeTargets(device, BackbufferDesc{64, 36, 1, DXGI_FORMAT_UNKNOWN}));
        EXPECT_EQ(presenter->lastErrorText,
                  "ID3D11Device::CreateTexture2D (eye) failed (HRESULT 0x80070057)");
        EXPECT_EQ(ReferenceCount(device), deviceReferences);
        EXPECT_EQ(presenter->deferredContext, nullptr);
    }

    const float nan = std::nanf("");
    FrameParams p;
    p.convergence = nan;
    p.picture = PictureParams{nan, nan, nan, nan, nan, nan, nan};
    ASSERT_TRUE(Present(kRed, p)) << presenter->LastError();
    const std::vector<Submission> submissions = Submissions();
    ASSERT_EQ(submissions.size(), 2u);
    // Non-finite parameters act as the defaults: the flat picture's parts each eye shows.
    ExpectBounds(submissions[0], VRTextureBounds_t{0.0f, 0.0f, 0.949640f, 1.0f});
    ExpectBounds(submissions[1], VRTextureBounds_t{0.050360f, 0.0f, 1.0f, 1.0f});
    EXPECT_EQ(MessagesStartingWith(
                  "Stereo bounds: left scale/offsets 0.650/+0.000/+0.000, right scale/offsets/roll "
                  "0.650/+0.000/+0.000/+0.00, requested convergence nan, applied 0.0000;"),
              1u);
}

using NoCompiler = VrRuntimeTest;

TEST_F(NoCompiler, WithoutTheShaderCompilerThereAreNoEyeTargets) {
    RunScenario("");
    ID3D11Device* device = Game().device.Get();
    const ULONG deviceReferences = ReferenceCount(device);
    EXPECT_FALSE(Frame());
    EXPECT_EQ(presenter->LastError(),
              "Hand vertex shader compilation failed: d3dcompiler_47.dll is unavailable");
    EXPECT_EQ(presenter->eyeTexture[0], nullptr);
    EXPECT_EQ(presenter->deferredContext, nullptr);
    EXPECT_EQ(ReferenceCount(device), deviceReferences);
    EXPECT_EQ(RuntimeCalls("compositor.Submit"), 0u);
}

} // namespace
} // namespace corvane::vr_test
