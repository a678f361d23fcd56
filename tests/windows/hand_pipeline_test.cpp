// The hand pipeline and hand drawing on a real Direct3D 11 device: shaders compiled by the
// system's d3dcompiler_47.dll (or the stand-in beside this program), objects created and
// released, and hands recorded on a deferred context and read back from the texture.
#include "d3d_test_device.h"
#include "device_slot_override.h"
#include "hand_scene_fixture.h"
#include "hand_fake_compiler.h"
#include "hands/hand_drawing_win32.h"
#include "hands/hand_pipeline_win32.h"

#include <gtest/gtest.h>

#include <d3d11.h>
#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace corvane {
namespace {

constexpr UINT kWidth = 128;
constexpr UINT kHeight = 96;

struct Rgba {
    int r, g, b, a;
};

constexpr Rgba kClear{0, 0, 255, 255};

Rgba ToRgba(const HandColour& c) {
    auto unorm = [](float v) { return static_cast<int>(std::lround(v * 255.0f)); };
    return Rgba{unorm(c.red), unorm(c.green), unorm(c.blue), unorm(c.alpha)};
}

bool Near(const Rgba& a, const Rgba& b) {
    return std::abs(a.r - b.r) <= 1 && std::abs(a.g - b.g) <= 1 && std::abs(a.b - b.b) <= 1 &&
           std::abs(a.a - b.a) <= 1;
}

ULONG References(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// A real device with one colour target, its depth target and a read-back copy.
class HandDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        using testing_support::TextureDesc;
        ASSERT_TRUE(testing_support::CreateTestDevice(device, immediate));
        const D3D11_TEXTURE2D_DESC colour =
            TextureDesc(kWidth, kHeight, DXGI_FORMAT_R8G8B8A8_UNORM,
                        D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE);
        const D3D11_TEXTURE2D_DESC colourReadBack =
            TextureDesc(kWidth, kHeight, DXGI_FORMAT_R8G8B8A8_UNORM, 0);
        const D3D11_TEXTURE2D_DESC depth =
            TextureDesc(kWidth, kHeight, DXGI_FORMAT_D24_UNORM_S8_UINT, D3D11_BIND_DEPTH_STENCIL);
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&colour, nullptr, eyeTexture.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateRenderTargetView(eyeTexture.Get(), nullptr, eyeView.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&colourReadBack, nullptr, readBack.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&depth, nullptr, depthTexture.Put()));
        ASSERT_HRESULT_SUCCEEDED(
            device->CreateDepthStencilView(depthTexture.Get(), nullptr, depthView.Put()));
        ASSERT_HRESULT_SUCCEEDED(device->CreateDeferredContext(0, deferred.Put()));
    }

    void ClearTargets(float depth) {
        const float clear[4] = {kClear.r / 255.0f, kClear.g / 255.0f, kClear.b / 255.0f, kClear.a / 255.0f};
        immediate->ClearRenderTargetView(eyeView.Get(), clear);
        immediate->ClearDepthStencilView(depthView.Get(), D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL, depth, 0);
    }

    // Plays what was recorded on the deferred context, as the presenter does after each eye.
    void Execute() {
        ComPtr<ID3D11CommandList> commands;
        ASSERT_HRESULT_SUCCEEDED(deferred->FinishCommandList(FALSE, commands.Put()));
        immediate->ExecuteCommandList(commands.Get(), FALSE);
    }

    std::vector<Rgba> Pixels() {
        std::vector<Rgba> pixels;
        for (const uint32_t texel :
             testing_support::ReadTexels(immediate.Get(), eyeTexture.Get(), readBack.Get())) {
            uint8_t p[4];
            std::memcpy(p, &texel, 4);
            pixels.push_back(Rgba{p[0], p[1], p[2], p[3]});
        }
        return pixels;
    }

    // Records the whole texture as viewport and target, with the hand pipeline bound.
    void BindWholeTexture() {
        ID3D11RenderTargetView* target = eyeView.Get();
        deferred->OMSetRenderTargets(1, &target, depthView.Get());
        const D3D11_VIEWPORT viewport{0.0f, 0.0f, kWidth, kHeight, 0.0f, 1.0f};
        deferred->RSSetViewports(1, &viewport);
        BindHandPipeline(deferred.Get(), resources);
    }

    HandDrawInputs DrawInputs() {
        HandDrawInputs inputs;
        inputs.context = deferred.Get();
        inputs.depthView = depthView.Get();
        inputs.depthSlices = &depthSlices;
        inputs.resources = &resources;
        return inputs;
    }

    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> immediate;
    ComPtr<ID3D11DeviceContext> deferred;
    ComPtr<ID3D11Texture2D> eyeTexture;
    ComPtr<ID3D11RenderTargetView> eyeView;
    ComPtr<ID3D11Texture2D> readBack;
    ComPtr<ID3D11Texture2D> depthTexture;
    ComPtr<ID3D11DepthStencilView> depthView;
    HandDepthSlices depthSlices;
    HandResources resources;
};

int CreatedObjects(const HandResources& r) {
    return !!r.vertexShader + !!r.pixelShader + !!r.inputLayout + !!r.vertexBuffer + !!r.indexBuffer +
           !!r.rasterizerState + !!r.depthStencilState + !!r.cullingRasterizerState;
}

// ---- Creation ----

using HandPipelineTest = HandDeviceTest;

TEST_F(HandPipelineTest, SystemCompilerBuildsAllEightObjectsAndTheyAreReleasedWithTheirOwner) {
    ASSERT_NE(HandShaderCompilerLibrary(), nullptr);
    EXPECT_EQ(HandShaderCompilerLibrary(), HandShaderCompilerLibrary());

    const ULONG before = References(device.Get());
    std::string errorText = "earlier text";
    ASSERT_TRUE(CreateHandResources(device.Get(), resources, errorText)) << errorText;
    EXPECT_TRUE(resources.Complete());
    EXPECT_EQ("earlier text", errorText);

    // 20 boxes (ten for each hand) of 8 corners of 32 bytes, written each frame; their 36
    // indices each, fixed.
    D3D11_BUFFER_DESC desc{};
    resources.vertexBuffer->GetDesc(&desc);
    EXPECT_EQ(5120u, desc.ByteWidth);
    EXPECT_EQ(D3D11_USAGE_DYNAMIC, desc.Usage);
    resources.indexBuffer->GetDesc(&desc);
    EXPECT_EQ(1440u, desc.ByteWidth);
    EXPECT_EQ(D3D11_USAGE_IMMUTABLE, desc.Usage);
    D3D11_RASTERIZER_DESC rasterizer{};
    resources.rasterizerState->GetDesc(&rasterizer);
    EXPECT_EQ(D3D11_CULL_NONE, rasterizer.CullMode);
    // The corners are placed so that faces towards the eye are clockwise.
    resources.cullingRasterizerState->GetDesc(&rasterizer);
    EXPECT_EQ(D3D11_CULL_BACK, rasterizer.CullMode);
    EXPECT_FALSE(rasterizer.FrontCounterClockwise);
    EXPECT_TRUE(rasterizer.DepthClipEnable);
    D3D11_DEPTH_STENCIL_DESC depth{};
    resources.depthStencilState->GetDesc(&depth);
    EXPECT_EQ(D3D11_COMPARISON_LESS_EQUAL, depth.DepthFunc);
    EXPECT_EQ(D3D11_DEPTH_WRITE_MASK_ALL, depth.DepthWriteMask);
    EXPECT_FALSE(depth.StencilEnable);

    resources.Release();
    EXPECT_EQ(0, CreatedObjects(resources));
    EXPECT_EQ(before, References(device.Get()));
}

class HandCompilerStandInTest : public HandDeviceTest {
protected:
    void SetUp() override {
        HandDeviceTest::SetUp();
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring folder(path, length);
        folder.resize(folder.find_last_of(L'\\') + 1);
        compiler = LoadLibraryW((folder + L"hand_fake_compiler.dll").c_str());
        ASSERT_NE(compiler, nullptr);
        setMode = reinterpret_cast<HandFakeCompilerSetModeFn>(
            reinterpret_cast<void*>(GetProcAddress(compiler, "HandFakeCompiler_SetMode")));
        record = reinterpret_cast<HandFakeCompilerRecordFn>(
            reinterpret_cast<void*>(GetProcAddress(compiler, "HandFakeCompiler_Record")));
        ASSERT_NE(setMode, nullptr);
        ASSERT_NE(record, nullptr);
    }

    HMODULE compiler = nullptr;
    HandFakeCompilerSetModeFn setMode = nullptr;
    HandFakeCompilerRecordFn record = nullptr;
};

TEST_F(HandCompilerStandInTest, BothStagesAreCompiledFromTheOneSourceAndWarningsAreAccepted) {
    setMode(HandFakeCompilerMode::Warnings);
    std::string errorText;
    HandShaderCode code;
    ASSERT_TRUE(CreateHandResourcesWithCompiler(compiler, code, device.Get(), resources, errorText))
        << errorText;
    EXPECT_TRUE(resources.Complete());
    EXPECT_EQ("", errorText);

    const HandFakeCompilerRecord& calls = *record();
    EXPECT_EQ(2, calls.calls);
    EXPECT_EQ(std::strlen(kHandShaderSource), calls.sourceSize);
    EXPECT_STREQ("CorvaneVR procedural hands", calls.sourceName);
    EXPECT_EQ(0x8000u, calls.flags1);
    EXPECT_EQ(0u, calls.flags2);
    EXPECT_FALSE(calls.hadDefinesOrInclude);
    EXPECT_STREQ("PSMain", calls.lastEntry);
    EXPECT_STREQ("ps_5_0", calls.lastTarget);
}

TEST_F(HandCompilerStandInTest, CompilationFailuresNameTheStageAndCreateNothing) {
    struct Case {
        const char* name;
        bool useStandIn;
        HMODULE library;
        HandFakeCompilerMode mode;
        std::string expected;
    };
    const Case cases[] = {
        {"no compiler library", false, nullptr, HandFakeCompilerMode::Warnings,
         "Hand vertex shader compilation failed: d3dcompiler_47.dll is unavailable"},
        {"library without D3DCompile", false, GetModuleHandleW(L"kernel32.dll"),
         HandFakeCompilerMode::Warnings,
         "Hand vertex shader compilation failed: D3DCompile is missing from d3dcompiler_47.dll"},
        {"silent failure", true, nullptr, HandFakeCompilerMode::SilentFailure,
         "Hand vertex shader compilation failed: "},
        {"pixel diagnostics", true, nullptr, HandFakeCompilerMode::PixelDiagnostics,
         std::string("Hand pixel shader compilation failed: ") + kHandFakePixelDiagnostic},
    };
    for (const Case& c : cases) {
        setMode(c.mode);
        const ULONG before = References(device.Get());
        HandResources created;
        HandShaderCode code;
        std::string errorText;
        EXPECT_FALSE(CreateHandResourcesWithCompiler(c.useStandIn ? compiler : c.library, code, device.Get(),
                                                     created, errorText))
            << c.name;
        EXPECT_EQ(c.expected, errorText) << c.name;
        EXPECT_EQ(0, CreatedObjects(created)) << c.name;
        EXPECT_EQ(before, References(device.Get())) << c.name;
    }
}

// The objects die with the eye targets, the code does not: a creation that keeps failing
// after the shaders were built, or targets made again, must not run the compiler again.
TEST_F(HandCompilerStandInTest, CompiledCodeIsKeptAndOnlyAMissingStageIsCompiledAgain) {
    setMode(HandFakeCompilerMode::Warnings);
    HandShaderCode code;
    std::string errorText;
    ASSERT_TRUE(CreateHandResourcesWithCompiler(compiler, code, device.Get(), resources, errorText))
        << errorText;
    ASSERT_TRUE(code.Complete());
    ID3DBlob* const vertexCode = code.vertex.Get();
    resources.Release();
    for (int again = 0; again < 3; ++again) {
        ASSERT_TRUE(CreateHandResourcesWithCompiler(compiler, code, device.Get(), resources, errorText));
        EXPECT_TRUE(resources.Complete());
        resources.Release();
    }
    EXPECT_EQ(2, record()->calls);
    EXPECT_EQ(vertexCode, code.vertex.Get());
    // Kept code needs no compiler at all.
    ASSERT_TRUE(CreateHandResourcesWithCompiler(nullptr, code, device.Get(), resources, errorText));
    resources.Release();

    // A failed stage keeps nothing; the stage that compiled is not compiled again.
    setMode(HandFakeCompilerMode::PixelDiagnostics);
    HandShaderCode partial;
    EXPECT_FALSE(CreateHandResourcesWithCompiler(compiler, partial, device.Get(), resources, errorText));
    EXPECT_EQ(std::string("Hand pixel shader compilation failed: ") + kHandFakePixelDiagnostic, errorText);
    EXPECT_TRUE(partial.vertex);
    EXPECT_FALSE(partial.pixel);
    EXPECT_EQ(2, record()->calls);
    setMode(HandFakeCompilerMode::Warnings);
    ASSERT_TRUE(CreateHandResourcesWithCompiler(compiler, partial, device.Get(), resources, errorText));
    EXPECT_EQ(1, record()->calls);
    EXPECT_STREQ("PSMain", record()->lastEntry);
}

TEST_F(HandPipelineTest, TheProcessKeepsOneCopyOfTheCodeForEveryCreation) {
    std::string errorText;
    ASSERT_TRUE(CreateHandResources(device.Get(), resources, errorText)) << errorText;
    ASSERT_TRUE(ProcessHandShaderCode().Complete());
    ID3DBlob* const vertexCode = ProcessHandShaderCode().vertex.Get();
    ID3DBlob* const pixelCode = ProcessHandShaderCode().pixel.Get();
    resources.Release();
    ASSERT_TRUE(CreateHandResources(device.Get(), resources, errorText)) << errorText;
    EXPECT_EQ(vertexCode, ProcessHandShaderCode().vertex.Get());
    EXPECT_EQ(pixelCode, ProcessHandShaderCode().pixel.Get());
}

using testing_support::DeviceSlotOverride;

constexpr HRESULT kInjected = testing_support::kInjectedFailure;

using CreateBufferFn = HRESULT(STDMETHODCALLTYPE*)(ID3D11Device*, const D3D11_BUFFER_DESC*,
                                                   const D3D11_SUBRESOURCE_DATA*, ID3D11Buffer**);
CreateBufferFn realCreateBuffer = nullptr;
UINT failingBindFlags = 0;

HRESULT STDMETHODCALLTYPE CreateBufferFailingOneKind(ID3D11Device* device, const D3D11_BUFFER_DESC* desc,
                                                     const D3D11_SUBRESOURCE_DATA* data,
                                                     ID3D11Buffer** buffer) {
    if (desc->BindFlags == failingBindFlags) {
        return kInjected;
    }
    return realCreateBuffer(device, desc, data, buffer);
}

HRESULT STDMETHODCALLTYPE FailShader(ID3D11Device*, const void*, SIZE_T, ID3D11ClassLinkage*, void**) {
    return kInjected;
}
HRESULT STDMETHODCALLTYPE FailInputLayout(ID3D11Device*, const D3D11_INPUT_ELEMENT_DESC*, UINT, const void*,
                                          SIZE_T, ID3D11InputLayout**) {
    return kInjected;
}
HRESULT STDMETHODCALLTYPE FailState(ID3D11Device*, const void*, void**) {
    return kInjected;
}

TEST_F(HandPipelineTest, AFailedCreationIsReportedAndEarlierObjectsStayWithTheOwner) {
    // Device method slots: 3 CreateBuffer, 11 CreateInputLayout, 12 CreateVertexShader,
    // 15 CreatePixelShader, 21 CreateDepthStencilState, 22 CreateRasterizerState.
    struct Case {
        int slot;
        void* replacement;
        UINT bindFlags;
        const char* label;
        int createdBefore;
    };
    const Case cases[] = {
        {12, reinterpret_cast<void*>(&FailShader), 0, "ID3D11Device::CreateVertexShader", 0},
        {15, reinterpret_cast<void*>(&FailShader), 0, "ID3D11Device::CreatePixelShader", 1},
        {11, reinterpret_cast<void*>(&FailInputLayout), 0, "ID3D11Device::CreateInputLayout", 2},
        {3, reinterpret_cast<void*>(&CreateBufferFailingOneKind), D3D11_BIND_VERTEX_BUFFER,
         "ID3D11Device::CreateBuffer (vertex)", 3},
        {3, reinterpret_cast<void*>(&CreateBufferFailingOneKind), D3D11_BIND_INDEX_BUFFER,
         "ID3D11Device::CreateBuffer (index)", 4},
        {22, reinterpret_cast<void*>(&FailState), 0, "ID3D11Device::CreateRasterizerState", 5},
        {21, reinterpret_cast<void*>(&FailState), 0, "ID3D11Device::CreateDepthStencilState", 7},
    };
    for (const Case& c : cases) {
        const ULONG before = References(device.Get());
        HandResources created;
        std::string errorText;
        {
            DeviceSlotOverride override(device.Get(), c.slot, c.replacement);
            realCreateBuffer = reinterpret_cast<CreateBufferFn>(override.Original());
            failingBindFlags = c.bindFlags;
            EXPECT_FALSE(CreateHandResources(device.Get(), created, errorText)) << c.label;
        }
        EXPECT_EQ(std::string(c.label) + " failed (HRESULT 0x8007000e)", errorText);
        EXPECT_EQ(c.createdBefore, CreatedObjects(created)) << c.label;
        EXPECT_FALSE(created.Complete()) << c.label;
        created.Release();
        EXPECT_EQ(before, References(device.Get())) << c.label;
    }
}

TEST_F(HandCompilerStandInTest, ACreationThatKeepsFailingAfterTheShadersWereBuiltCompilesNothing) {
    setMode(HandFakeCompilerMode::Warnings);
    HandShaderCode code;
    std::string errorText;
    ASSERT_TRUE(CreateHandResourcesWithCompiler(compiler, code, device.Get(), resources, errorText));
    resources.Release();
    {
        DeviceSlotOverride override(device.Get(), 11, reinterpret_cast<void*>(&FailInputLayout));
        for (int frame = 0; frame < 3; ++frame) {
            HandResources created;
            EXPECT_FALSE(CreateHandResourcesWithCompiler(compiler, code, device.Get(), created, errorText));
            EXPECT_EQ("ID3D11Device::CreateInputLayout failed (HRESULT 0x8007000e)", errorText);
        }
    }
    EXPECT_EQ(2, record()->calls);
}

// Run with the system compiler library switched off.
using NoCompilerTest = HandDeviceTest;

TEST_F(NoCompilerTest, AMissingCompilerLibraryFailsTheVertexStageAndCreatesNothing) {
    EXPECT_EQ(nullptr, HandShaderCompilerLibrary());
    const ULONG before = References(device.Get());
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string errorText;
        EXPECT_FALSE(CreateHandResources(device.Get(), resources, errorText));
        EXPECT_EQ("Hand vertex shader compilation failed: d3dcompiler_47.dll is unavailable", errorText);
        EXPECT_EQ(0, CreatedObjects(resources));
        EXPECT_EQ(before, References(device.Get()));
    }
}

// ---- Drawing ----

class HandDrawingTest : public HandDeviceTest {
protected:
    void SetUp() override {
        HandDeviceTest::SetUp();
        std::string errorText;
        ASSERT_TRUE(CreateHandResources(device.Get(), resources, errorText)) << errorText;
    }
};

// Which pixels of the texture have the given colour, column by column.
std::vector<bool> ColumnsWith(const std::vector<Rgba>& pixels, const Rgba& colour) {
    std::vector<bool> columns(kWidth, false);
    for (size_t i = 0; i < pixels.size(); ++i) {
        if (Near(pixels[i], colour)) {
            columns[i % kWidth] = true;
        }
    }
    return columns;
}

TEST_F(HandDrawingTest, IdentityCubeShowsItsFarFaceOverTheMiddleOfTheViewportDespiteItsWinding) {
    ClearTargets(1.0f);
    BindWholeTexture();
    const HandColour colour{1.0f, 0.0f, 0.5f, 1.0f}; // distinct channels show their order
    HandDrawInputs inputs = DrawInputs();
    // Only the face at z = +0.5 survives the depth clip, and it is wound counter-clockwise
    // on screen: without culling off it would vanish.
    DrawHandPart(inputs, Matrix44{}, Matrix44{}, colour);
    Execute();

    const std::vector<Rgba> pixels = Pixels();
    ASSERT_EQ(kWidth * kHeight, pixels.size());
    for (UINT y = 0; y < kHeight; ++y) {
        for (UINT x = 0; x < kWidth; ++x) {
            const bool inside =
                x >= kWidth / 4 && x < 3 * kWidth / 4 && y >= kHeight / 4 && y < 3 * kHeight / 4;
            const Rgba& p = pixels[y * kWidth + x];
            EXPECT_TRUE(Near(p, inside ? ToRgba(colour) : kClear))
                << x << "," << y << " = " << p.r << " " << p.g << " " << p.b << " " << p.a;
        }
    }
}

TEST_F(HandDrawingTest, TheMatrixReachesTheShaderRowByRow) {
    ClearTargets(1.0f);
    BindWholeTexture();
    // Half the clip-space width to the right, in the last column: read column by column it
    // would land in w instead and stretch the box around the centre.
    DrawHandPart(DrawInputs(), Matrix44{}, Translation(0.5f, 0.0f, 0.0f), HandColour{0.0f, 1.0f, 0.0f, 1.0f});
    Execute();

    const std::vector<bool> columns = ColumnsWith(Pixels(), Rgba{0, 255, 0, 255});
    for (UINT x = 0; x < kWidth; ++x) {
        EXPECT_EQ(x >= kWidth / 2, static_cast<bool>(columns[x])) << "column " << x;
    }
}

using testing_support::Perspective;
using testing_support::Pose;

// The hand scene's fixture seen through a perspective onto the middle half of the texture, with
// half-closed hands.
class HandsInFrontTest : public HandDrawingTest {
protected:
    void SetUp() override {
        HandDrawingTest::SetUp();
        poses[kLeft] = Pose(-0.12f, 1.55f, -0.35f);
        // Far enough to the right that its thumb reaches past the game picture's edge.
        poses[kRight] = Pose(0.33f, 1.55f, -0.35f);
        inputs = DrawInputs();
        HandScene& scene = inputs.scene;
        scene = fixture.scene;
        scene.controllers[0].grip = 0.5f;
        scene.controllers[1].grip = 0.5f;
        scene.projection[0] = Perspective();
        scene.projection[1] = Perspective();
        scene.textureWidth = kWidth;
        scene.textureHeight = kHeight;
        scene.areaUMin = 0.25f;
        scene.areaUMax = 0.75f;
    }

    // The fixture's controllers' device indices.
    static constexpr int kLeft = 3;
    static constexpr int kRight = 7;

    testing_support::SceneFixture fixture;
    std::vector<PoseMatrix34>& poses = fixture.poses;
    HandDrawInputs inputs;
};

TEST_F(HandsInFrontTest, BothHandsAppearOnTheirSidesInsideTheCroppedViewportOnly) {
    ClearTargets(1.0f);
    DrawHandsForEye(inputs, 0, eyeView.Get());
    Execute();

    const std::vector<Rgba> pixels = Pixels();
    ASSERT_EQ(kWidth * kHeight, pixels.size());
    const Rgba colours[4] = {ToRgba(FingerColour(true)), ToRgba(PalmColour(true)),
                             ToRgba(FingerColour(false)), ToRgba(PalmColour(false))};
    int leftHandPixels = 0;
    int rightHandPixels = 0;
    float leftHandX = 0.0f;
    float rightHandX = 0.0f;
    for (UINT y = 0; y < kHeight; ++y) {
        for (UINT x = 0; x < kWidth; ++x) {
            const Rgba& p = pixels[y * kWidth + x];
            if (Near(p, kClear)) {
                continue;
            }
            EXPECT_TRUE(x >= kWidth / 4 && x < 3 * kWidth / 4)
                << "hand outside the crop at " << x << "," << y;
            if (Near(p, colours[0]) || Near(p, colours[1])) {
                ++leftHandPixels;
                leftHandX += static_cast<float>(x);
            } else if (Near(p, colours[2]) || Near(p, colours[3])) {
                ++rightHandPixels;
                rightHandX += static_cast<float>(x);
            } else {
                ADD_FAILURE() << "unexpected colour " << p.r << " " << p.g << " " << p.b << " at " << x << ","
                              << y;
            }
        }
    }
    ASSERT_GT(leftHandPixels, 20);
    ASSERT_GT(rightHandPixels, 20);
    EXPECT_LT(leftHandX / leftHandPixels, kWidth / 2.0f);
    EXPECT_GT(rightHandX / rightHandPixels, kWidth / 2.0f);
    // The right hand is cut at the picture's edge rather than drawn beyond it.
    bool reachesEdge = false;
    for (UINT y = 0; y < kHeight; ++y) {
        const Rgba& p = pixels[y * kWidth + 3 * kWidth / 4 - 1];
        reachesEdge = reachesEdge || Near(p, colours[2]) || Near(p, colours[3]);
    }
    EXPECT_TRUE(reachesEdge);
}

// The depth buffer is cleared only now and then, yet every drawing shows its hands whole, as over
// a freshly cleared buffer: over depth another user left at the nearest value, over nearer hands
// drawn just before (a farther drawing would fail the depth test if it did not come nearer in the
// depth range), across the clears when the range runs out, and after hands that reach inside the
// near plane.
TEST_F(HandsInFrontTest, EveryDrawingShowsItsHandsWholeWhateverEarlierDrawingsLeftInTheDepth) {
    struct Placement {
        const char* name;
        float distance; // of both controllers along one line of sight each from the headset
    };
    // The palm reaches 11 cm in front of its controller and 3 cm behind it, towards the eye.
    const Placement placements[] = {{"near", 0.25f}, {"far", 0.45f}, {"inside the near plane", 0.03f}};
    const auto place = [&](const Placement& p) {
        for (int i : {kLeft, kRight}) {
            const float side = i == kLeft ? -1.0f : 1.0f;
            poses[i] = Pose(side * 0.16f * p.distance, 1.6f - 0.2f * p.distance, -p.distance);
        }
    };
    const float clear[4] = {kClear.r / 255.0f, kClear.g / 255.0f, kClear.b / 255.0f, kClear.a / 255.0f};

    // Each placement drawn alone over a cleared buffer.
    std::vector<Rgba> expected[3];
    for (int i = 0; i < 3; ++i) {
        HandDepthSlices fresh;
        HandDrawInputs alone = inputs;
        alone.depthSlices = &fresh;
        place(placements[i]);
        ClearTargets(1.0f);
        DrawHandsForEye(alone, 0, eyeView.Get());
        Execute();
        expected[i] = Pixels();
    }
    // Near hands and hands in the face both cover much of where the far ones land: their depth,
    // left behind, would hide the far ones.
    for (int nearer : {0, 2}) {
        ASSERT_EQ(expected[1].size(), expected[nearer].size());
        int overlap = 0;
        for (size_t i = 0; i < expected[1].size(); ++i) {
            overlap += !Near(expected[1][i], kClear) && !Near(expected[nearer][i], kClear) ? 1 : 0;
        }
        EXPECT_GT(overlap, 20) << placements[nearer].name;
    }

    ClearTargets(0.0f);
    // Near and far in turn, past two runs through the depth range, with the hands in the face
    // now and then.
    for (int drawing = 0; drawing < 600; ++drawing) {
        const int which = drawing % 150 == 149 ? 2 : drawing % 2;
        place(placements[which]);
        immediate->ClearRenderTargetView(eyeView.Get(), clear);
        DrawHandsForEye(inputs, 0, eyeView.Get());
        Execute();
        const std::vector<Rgba> pixels = Pixels();
        ASSERT_EQ(expected[which].size(), pixels.size());
        int differing = 0;
        for (size_t i = 0; i < pixels.size(); ++i) {
            differing += Near(pixels[i], expected[which][i]) ? 0 : 1;
        }
        ASSERT_EQ(0, differing) << "drawing " << drawing << ", hands " << placements[which].name;
    }
}

TEST_F(HandsInFrontTest, NothingIsRecordedWhenHandsCannotOrMustNotBeDrawn) {
    using Spoil = void (*)(HandDrawInputs&, std::vector<PoseMatrix34>&, ID3D11RenderTargetView*&);
    struct Case {
        const char* name;
        Spoil spoil;
    };
    const Case cases[] = {
        {"hands hidden", [](HandDrawInputs& in, auto&, auto&) { in.scene.visibleHands = false; }},
        {"no render target",
         [](HandDrawInputs&, auto&, ID3D11RenderTargetView*& target) { target = nullptr; }},
        {"head record invalid", [](HandDrawInputs& in, auto&, auto&) { in.scene.headValid = false; }},
        {"headset pose not finite",
         [](HandDrawInputs&, std::vector<PoseMatrix34>& p, auto&) { p[0].m[0][3] = NAN; }},
        {"no resources", [](HandDrawInputs& in, auto&, auto&) { in.resources = nullptr; }},
        {"no depth slices", [](HandDrawInputs& in, auto&, auto&) { in.depthSlices = nullptr; }},
    };
    for (const Case& c : cases) {
        // Depth at 0 hides anything drawn later, unless the hand drawing cleared it.
        ClearTargets(0.0f);
        std::vector<PoseMatrix34> spoiltPoses = poses;
        HandDrawInputs spoilt = inputs;
        spoilt.scene.renderPoses = spoiltPoses;
        ID3D11RenderTargetView* target = eyeView.Get();
        c.spoil(spoilt, spoiltPoses, target);
        DrawHandsForEye(spoilt, 1, target);
        BindWholeTexture();
        DrawHandPart(DrawInputs(), Matrix44{}, Matrix44{}, HandColour{1.0f, 1.0f, 1.0f, 1.0f});
        Execute();

        const std::vector<Rgba> pixels = Pixels();
        ASSERT_EQ(kWidth * kHeight, pixels.size()) << c.name;
        int touched = 0;
        for (const Rgba& p : pixels) {
            touched += Near(p, kClear) ? 0 : 1;
        }
        EXPECT_EQ(0, touched) << c.name;
    }
    // The same check passes a picture through when the depth was cleared: the check can see.
    ClearTargets(0.0f);
    DrawHandsForEye(inputs, 1, eyeView.Get());
    BindWholeTexture();
    DrawHandPart(DrawInputs(), Matrix44{}, Matrix44{}, HandColour{1.0f, 1.0f, 1.0f, 1.0f});
    Execute();
    int white = 0;
    for (const Rgba& p : Pixels()) {
        white += Near(p, Rgba{255, 255, 255, 255}) ? 1 : 0;
    }
    EXPECT_GT(white, 0);
}

} // namespace
} // namespace corvane
