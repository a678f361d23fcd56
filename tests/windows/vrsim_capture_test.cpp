// Eye texture capture in the stand-in runtime: real Direct3D 11 textures (Wine's own device)
// submitted through the compositor slot, and the PNG files it writes decoded and compared.
#include "vrsim_client.h"

#include <d3d11.h>
#include <wrl/client.h>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#include <stb/stb_image.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <set>

namespace vrsim_test {
namespace {

using Microsoft::WRL::ComPtr;
using Rgba = std::array<uint8_t, 4>;

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
    [[nodiscard]] Rgba At(int x, int y) const {
        const uint8_t* p = pixels.data() + (static_cast<size_t>(y) * width + x) * 4;
        return {p[0], p[1], p[2], p[3]};
    }
};

std::string Text(const Rgba& c) {
    char text[24];
    std::snprintf(text, sizeof text, "(%d,%d,%d,%d)", c[0], c[1], c[2], c[3]);
    return text;
}

// Distinct in every channel, so a swapped channel, a shifted column or row, or a flip all show.
Rgba Pattern(int x, int y, uint8_t eyeMark) {
    return {static_cast<uint8_t>(x * 4), static_cast<uint8_t>(y * 8), eyeMark, 255};
}

class CaptureTest : public VrSimTest {
protected:
    void SetUp() override {
        VrSimTest::SetUp();
        const D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
        HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, &level, 1,
                                       D3D11_SDK_VERSION, &device, nullptr, &context);
        ASSERT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    }

    // Empties a capture folder (or makes sure it is gone) before a run writes into it.
    static void ClearFolder(const std::wstring& folder) {
        for (const std::wstring& name : FilesIn(folder)) {
            DeleteFileW((folder + name).c_str());
        }
        RemoveDirectoryW(folder.c_str());
    }

    static std::set<std::wstring> FilesIn(const std::wstring& folder) {
        std::set<std::wstring> names;
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) {
            return names;
        }
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                names.insert(found.cFileName);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return names;
    }

    static Picture Decode(const std::wstring& path) {
        Picture picture;
        std::FILE* file = _wfopen(path.c_str(), L"rb");
        if (file == nullptr) {
            ADD_FAILURE() << "no picture " << std::string(path.begin(), path.end());
            return picture;
        }
        std::vector<uint8_t> bytes;
        uint8_t chunk[4096];
        size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        std::fclose(file);
        int channels = 0;
        std::unique_ptr<stbi_uc, void (*)(void*)> decoded(
            stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &picture.width,
                                  &picture.height, &channels, 4),
            &stbi_image_free);
        if (!decoded) {
            ADD_FAILURE() << "not a PNG: " << std::string(path.begin(), path.end());
            return picture;
        }
        EXPECT_EQ(4, channels) << "the capture writes RGBA";
        picture.pixels.assign(decoded.get(), decoded.get() + size_t(picture.width) * picture.height * 4);
        return picture;
    }

    // A texture with texels given as raw bytes per texel (texelBytes each), row by row.
    ComPtr<ID3D11Texture2D> MakeTexture(DXGI_FORMAT format, UINT width, UINT height, UINT texelBytes,
                                        const std::function<void(UINT, UINT, uint8_t*)>& texel) {
        std::vector<uint8_t> data(size_t(width) * height * texelBytes);
        for (UINT y = 0; y < height; ++y) {
            for (UINT x = 0; x < width; ++x) {
                texel(x, y, data.data() + (size_t(y) * width + x) * texelBytes);
            }
        }
        D3D11_TEXTURE2D_DESC desc{};
        desc.Width = width;
        desc.Height = height;
        desc.MipLevels = 1;
        desc.ArraySize = 1;
        desc.Format = format;
        desc.SampleDesc.Count = 1;
        desc.Usage = D3D11_USAGE_DEFAULT;
        desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        D3D11_SUBRESOURCE_DATA initial{data.data(), width * texelBytes, 0};
        ComPtr<ID3D11Texture2D> texture;
        HRESULT hr = device->CreateTexture2D(&desc, &initial, &texture);
        EXPECT_TRUE(SUCCEEDED(hr)) << "format " << format << " hr " << std::hex << hr;
        return texture;
    }

    ComPtr<ID3D11Texture2D> PatternTexture(UINT width, UINT height, uint8_t eyeMark, uint8_t alpha) {
        return MakeTexture(DXGI_FORMAT_R8G8B8A8_UNORM, width, height, 4, [&](UINT x, UINT y, uint8_t* out) {
            Rgba c = Pattern(static_cast<int>(x), static_cast<int>(y), eyeMark);
            c[3] = alpha;
            std::memcpy(out, c.data(), 4);
        });
    }

    int32_t Submit(int32_t eye, ID3D11Texture2D* texture, const Bounds* bounds, int32_t colorSpace = 0) {
        Texture submitted{texture, 0, colorSpace};
        return SubmitHandle(eye, &submitted, bounds);
    }

    int32_t SubmitHandle(int32_t eye, const Texture* texture, const Bounds* bounds) {
        return SlotOf<SubmitFn>(compositor, 6)(compositor, eye, texture, bounds, 0);
    }

    void NextFrame() {
        DevicePose poses[64] = {};
        ASSERT_EQ(0, WaitGetPoses(poses));
    }

    std::vector<std::string> CaptureLines() const {
        std::vector<std::string> lines;
        for (const std::string& line : LogLines()) {
            if (line.rfind("capture ", 0) == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
};

TEST_F(CaptureTest, CapturedFramesGetBothEyesAndTheHeadsetViewCroppedToTheBounds) {
    const std::wstring folder = BesideThisProgram(L"eye pictures\\run 1\\");
    ClearFolder(folder);
    RunScenario("capture 2\ncapture_folder eye pictures\\run 1\n");
    ASSERT_EQ(0, Connect());
    ComPtr<ID3D11Texture2D> left = PatternTexture(64, 32, 10, 128);
    ComPtr<ID3D11Texture2D> right = PatternTexture(64, 32, 200, 255);
    const Bounds leftBounds{0.0f, 0.25f, 0.5f, 0.75f}; // texels x 0..31, y 8..23
    const Bounds rightBounds{0.5f, 1.0f, 1.0f, 0.0f};  // x 32..63, all rows, upside down
    for (int frame = 1; frame <= 3; ++frame) {
        NextFrame();
        EXPECT_EQ(0, Submit(0, left.Get(), &leftBounds));
        EXPECT_EQ(0, Submit(1, right.Get(), &rightBounds));
    }

    EXPECT_EQ((std::set<std::wstring>{L"frame_000002_left.png", L"frame_000002_right.png",
                                      L"frame_000002_headset.png"}),
              FilesIn(folder));
    EXPECT_EQ((std::vector<std::string>{"capture folder=" + std::string(folder.begin(), folder.end()),
                                        "capture frame=2 eye=0 file=frame_000002_left.png",
                                        "capture frame=2 eye=1 file=frame_000002_right.png",
                                        "capture frame=2 eye=both file=frame_000002_headset.png"}),
              CaptureLines());

    // Each eye file is the whole texture as stored, alpha included.
    for (const auto& [name, mark, alpha] :
         {std::tuple{L"frame_000002_left.png", 10, 128}, std::tuple{L"frame_000002_right.png", 200, 255}}) {
        Picture eye = Decode(folder + name);
        ASSERT_EQ(64, eye.width);
        ASSERT_EQ(32, eye.height);
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 64; ++x) {
                Rgba expected = Pattern(x, y, static_cast<uint8_t>(mark));
                expected[3] = static_cast<uint8_t>(alpha);
                ASSERT_EQ(expected, eye.At(x, y)) << "eye mark " << mark << " at " << x << "," << y;
            }
        }
    }

    // The headset view: the left crop (32 x 16, opaque) beside the right crop (32 x 32, flipped),
    // black below the shorter eye.
    Picture headset = Decode(folder + L"frame_000002_headset.png");
    ASSERT_EQ(64, headset.width);
    ASSERT_EQ(32, headset.height);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const Rgba expectedLeft = y < 16 ? Pattern(x, 8 + y, 10) : Rgba{0, 0, 0, 255};
            ASSERT_EQ(expectedLeft, headset.At(x, y)) << "left part at " << x << "," << y;
            ASSERT_EQ(Pattern(32 + x, 31 - y, 200), headset.At(32 + x, y))
                << "right part at " << x << "," << y;
        }
    }
}

struct FormatCase {
    const char* name;
    DXGI_FORMAT format;
    UINT texelBytes;
    std::vector<uint8_t> leftTexel; // texels of the left and right half of a 4 x 2 texture
    std::vector<uint8_t> rightTexel;
    int32_t colorSpace;
    Rgba expectedLeft;
    Rgba expectedRight;
    int tolerance;
};

std::vector<uint8_t> Half4(uint16_t r, uint16_t g, uint16_t b, uint16_t a) {
    std::vector<uint8_t> bytes(8);
    const uint16_t values[4] = {r, g, b, a};
    std::memcpy(bytes.data(), values, 8);
    return bytes;
}

std::vector<uint8_t> Packed1010102(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    std::vector<uint8_t> bytes(4);
    const uint32_t value = r | (g << 10) | (b << 20) | (a << 30);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

TEST_F(CaptureTest, CommonFormatsBecomeRgbaInTheRightChannelOrder) {
    const FormatCase cases[] = {
        {"B8G8R8A8_UNORM",
         DXGI_FORMAT_B8G8R8A8_UNORM,
         4,
         {0x10, 0x20, 0x30, 0x40},
         {0xF0, 0x00, 0x80, 0xFF},
         0,
         {0x30, 0x20, 0x10, 0x40},
         {0x80, 0x00, 0xF0, 0xFF},
         0},
        {"B8G8R8A8_UNORM_SRGB",
         DXGI_FORMAT_B8G8R8A8_UNORM_SRGB,
         4,
         {0x10, 0x20, 0x30, 0x40},
         {0xF0, 0x00, 0x80, 0xFF},
         0,
         {0x30, 0x20, 0x10, 0x40},
         {0x80, 0x00, 0xF0, 0xFF},
         0},
        {"R8G8B8A8_UNORM_SRGB",
         DXGI_FORMAT_R8G8B8A8_UNORM_SRGB,
         4,
         {0x10, 0x20, 0x30, 0x40},
         {0xF0, 0x00, 0x80, 0xFF},
         0,
         {0x10, 0x20, 0x30, 0x40},
         {0xF0, 0x00, 0x80, 0xFF},
         0},
        {"R10G10B10A2_UNORM",
         DXGI_FORMAT_R10G10B10A2_UNORM,
         4,
         Packed1010102(1023, 512, 0, 3),
         Packed1010102(0, 0, 1023, 1),
         0,
         {255, 128, 0, 255},
         {0, 0, 255, 85},
         0},
        // Half floats hold linear light: 0.5 is encoded to sRGB 188 (0.25 to 137) unless the colour
        // space says gamma.
        {"R16G16B16A16_FLOAT",
         DXGI_FORMAT_R16G16B16A16_FLOAT,
         8,
         Half4(0x3C00, 0x3800, 0x0000, 0x3C00),
         Half4(0xBC00, 0x4000, 0x3400, 0x3800),
         0,
         {255, 188, 0, 255},
         {0, 255, 137, 128},
         1},
        {"R16G16B16A16_FLOAT gamma",
         DXGI_FORMAT_R16G16B16A16_FLOAT,
         8,
         Half4(0x3C00, 0x3800, 0x0000, 0x3C00),
         Half4(0xBC00, 0x4000, 0x3400, 0x3800),
         1,
         {255, 128, 0, 255},
         {0, 255, 64, 128},
         1},
    };
    const std::wstring folder = BesideThisProgram(L"formats\\");
    ClearFolder(folder);
    RunScenario("capture 1..\ncapture_folder formats\n");
    ASSERT_EQ(0, Connect());
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.name);
        ComPtr<ID3D11Texture2D> texture =
            MakeTexture(c.format, 4, 2, c.texelBytes, [&c](UINT x, UINT, uint8_t* out) {
                const std::vector<uint8_t>& bytes = x < 2 ? c.leftTexel : c.rightTexel;
                std::memcpy(out, bytes.data(), bytes.size());
            });
        ASSERT_TRUE(texture);
        NextFrame();
        EXPECT_EQ(0, Submit(0, texture.Get(), nullptr, c.colorSpace));
        char name[40];
        std::snprintf(name, sizeof name, "frame_%06u_left.png", Export<FrameCountFn>("VRSim_FrameCount")());
        Picture picture = Decode(folder + std::wstring(name, name + std::strlen(name)));
        ASSERT_EQ(4, picture.width);
        ASSERT_EQ(2, picture.height);
        for (int y = 0; y < 2; ++y) {
            for (int x = 0; x < 4; ++x) {
                const Rgba expected = x < 2 ? c.expectedLeft : c.expectedRight;
                const Rgba got = picture.At(x, y);
                for (int channel = 0; channel < 4; ++channel) {
                    EXPECT_NEAR(expected[channel], got[channel], c.tolerance)
                        << "at " << x << "," << y << ": " << Text(got) << " expected " << Text(expected);
                }
            }
        }
    }
}

TEST_F(CaptureTest, MultisampledAndMipmappedTexturesAreReadFromTheirFirstImage) {
    UINT quality = 0;
    ASSERT_TRUE(SUCCEEDED(device->CheckMultisampleQualityLevels(DXGI_FORMAT_R8G8B8A8_UNORM, 4, &quality)));
    ASSERT_GT(quality, 0u) << "4x multisampling unsupported by this device";
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = 16;
    desc.Height = 8;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_R8G8B8A8_TYPELESS; // a resolve needs the typed format, found by the runtime
    desc.SampleDesc.Count = 4;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET;
    ComPtr<ID3D11Texture2D> multisampled;
    ASSERT_TRUE(SUCCEEDED(device->CreateTexture2D(&desc, nullptr, &multisampled)));
    D3D11_RENDER_TARGET_VIEW_DESC viewDesc{};
    viewDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    viewDesc.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2DMS;
    ComPtr<ID3D11RenderTargetView> view;
    ASSERT_TRUE(SUCCEEDED(device->CreateRenderTargetView(multisampled.Get(), &viewDesc, &view)));
    const float colour[4] = {0.2f, 0.4f, 0.6f, 1.0f};
    context->ClearRenderTargetView(view.Get(), colour);

    // Three mip levels: only the largest is the picture.
    desc = {};
    desc.Width = 8;
    desc.Height = 4;
    desc.MipLevels = 3;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    std::vector<uint32_t> levels[3] = {std::vector<uint32_t>(32, 0xFF00FF00u),
                                       std::vector<uint32_t>(8, 0xFF0000FFu),
                                       std::vector<uint32_t>(2, 0xFFFF0000u)};
    D3D11_SUBRESOURCE_DATA initial[3] = {
        {levels[0].data(), 32, 0}, {levels[1].data(), 16, 0}, {levels[2].data(), 8, 0}};
    ComPtr<ID3D11Texture2D> mipmapped;
    ASSERT_TRUE(SUCCEEDED(device->CreateTexture2D(&desc, initial, &mipmapped)));

    const std::wstring folder = BesideThisProgram(L"layouts\\");
    ClearFolder(folder);
    RunScenario("capture 1\ncapture_folder layouts\n");
    ASSERT_EQ(0, Connect());
    NextFrame();
    const Bounds half{0.25f, 0.0f, 0.75f, 0.5f};
    EXPECT_EQ(0, Submit(0, multisampled.Get(), &half));
    EXPECT_EQ(0, Submit(1, mipmapped.Get(), nullptr));

    Picture resolved = Decode(folder + L"frame_000001_left.png");
    ASSERT_EQ(16, resolved.width);
    ASSERT_EQ(8, resolved.height);
    EXPECT_EQ((Rgba{51, 102, 153, 255}), resolved.At(0, 0));
    EXPECT_EQ((Rgba{51, 102, 153, 255}), resolved.At(15, 7));
    Picture largest = Decode(folder + L"frame_000001_right.png");
    ASSERT_EQ(8, largest.width);
    ASSERT_EQ(4, largest.height);
    EXPECT_EQ((Rgba{0, 255, 0, 255}), largest.At(7, 3));
    Picture headset = Decode(folder + L"frame_000001_headset.png");
    EXPECT_EQ(8 + 8, headset.width); // half of 16 wide beside all of 8
    EXPECT_EQ(4, headset.height);
    EXPECT_EQ((Rgba{51, 102, 153, 255}), headset.At(0, 3));
    EXPECT_EQ((Rgba{0, 255, 0, 255}), headset.At(8, 0));
}

TEST_F(CaptureTest, UnreadableTexturesAreLoggedAndTheSubmitStillSucceeds) {
    const std::wstring folder = BesideThisProgram(L"errors\\");
    ClearFolder(folder);
    RunScenario("capture 1..\ncapture_folder errors\nsubmit_error left 102 4\n");
    ASSERT_EQ(0, Connect());
    ComPtr<ID3D11Texture2D> unsupported =
        MakeTexture(DXGI_FORMAT_R32_FLOAT, 4, 4, 4, [](UINT, UINT, uint8_t* out) { std::memset(out, 0, 4); });
    ComPtr<ID3D11Texture2D> good = PatternTexture(8, 8, 50, 255);
    D3D11_BUFFER_DESC bufferDesc{};
    bufferDesc.ByteWidth = 64;
    bufferDesc.Usage = D3D11_USAGE_DEFAULT;
    bufferDesc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    ComPtr<ID3D11Buffer> buffer;
    ASSERT_TRUE(SUCCEEDED(device->CreateBuffer(&bufferDesc, nullptr, &buffer)));

    NextFrame(); // frame 1: an unsupported format on the left, so the headset view has no pair
    EXPECT_EQ(0, Submit(0, unsupported.Get(), nullptr));
    EXPECT_EQ(0, Submit(1, good.Get(), nullptr));
    NextFrame(); // frame 2: handles that are not textures
    const Texture notAnObject{reinterpret_cast<void*>(uintptr_t{0x1000}), 0, 0};
    const Texture aBuffer{buffer.Get(), 0, 0};
    EXPECT_EQ(0, SubmitHandle(0, &notAnObject, nullptr));
    EXPECT_EQ(0, SubmitHandle(1, &aBuffer, nullptr));
    NextFrame(); // frame 3: bounds that select no texel
    const Bounds empty{0.5f, 0.0f, 0.5f, 1.0f};
    EXPECT_EQ(0, Submit(0, good.Get(), &empty));
    EXPECT_EQ(0, Submit(1, good.Get(), nullptr));
    NextFrame(); // frame 4: a refused submit shows nothing and captures nothing
    EXPECT_EQ(102, Submit(0, good.Get(), nullptr));

    EXPECT_EQ((std::vector<std::string>{
                  "capture folder=" + std::string(folder.begin(), folder.end()),
                  "capture frame=1 eye=0 -> error unsupported format 41",
                  "capture frame=1 eye=1 file=frame_000001_right.png",
                  "capture frame=1 eye=both -> error no left eye captured in this frame",
                  "capture frame=2 eye=0 -> error not a Direct3D 11 texture",
                  "capture frame=2 eye=1 -> error not a Direct3D 11 texture",
                  "capture frame=3 eye=0 file=frame_000003_left.png",
                  "capture frame=3 eye=1 file=frame_000003_right.png",
                  "capture frame=3 eye=both -> error bounds hold no texel",
              }),
              CaptureLines());
    EXPECT_EQ((std::set<std::wstring>{L"frame_000001_right.png", L"frame_000003_left.png",
                                      L"frame_000003_right.png"}),
              FilesIn(folder));
}

TEST_F(CaptureTest, TheDefaultFolderIsBesideTheLogAndNothingIsCapturedUnasked) {
    const std::wstring folder = BesideThisProgram(L"captures\\");
    ClearFolder(folder);
    ComPtr<ID3D11Texture2D> texture = PatternTexture(8, 8, 50, 255);

    RunScenario("");
    ASSERT_EQ(0, Connect());
    NextFrame();
    EXPECT_EQ(0, Submit(0, texture.Get(), nullptr));
    EXPECT_EQ(0, Submit(1, texture.Get(), nullptr));
    EXPECT_TRUE(CaptureLines().empty());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str()));

    RunScenario("capture 1\n");
    ASSERT_EQ(0, Connect());
    NextFrame();
    EXPECT_EQ(0, Submit(0, texture.Get(), nullptr));
    EXPECT_EQ(0, Submit(1, texture.Get(), nullptr));
    EXPECT_TRUE(Logged("capture folder=" + std::string(folder.begin(), folder.end())));
    EXPECT_EQ((std::set<std::wstring>{L"frame_000001_left.png", L"frame_000001_right.png",
                                      L"frame_000001_headset.png"}),
              FilesIn(folder));
}

TEST_F(CaptureTest, BadCaptureLinesAreReported) {
    RunScenario("capture\ncapture 9..3\ncapture_folder\ncapture 5 6\n");
    EXPECT_TRUE(Logged("scenario error line=1: missing range"));
    EXPECT_TRUE(Logged("scenario error line=2: empty range '9..3'"));
    EXPECT_TRUE(Logged("scenario error line=3: missing folder"));
    EXPECT_TRUE(Logged("scenario error line=4: unexpected '6'"));
    EXPECT_TRUE(CaptureLines().empty()); // no valid capture line: no folder either
}

} // namespace
} // namespace vrsim_test
