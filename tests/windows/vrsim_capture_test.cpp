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
#include <cstdlib>
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
                                      L"frame_000002_headset.png", L"frame_000002_view.png"}),
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
    // The player's view needs a pair too, but not a texel inside the bounds: it samples wherever
    // the bounds point.
    EXPECT_TRUE(Logged("view frame=1 eye=both -> error no left eye captured in this frame"));
    EXPECT_EQ((std::set<std::wstring>{L"frame_000001_right.png", L"frame_000003_left.png",
                                      L"frame_000003_right.png", L"frame_000003_view.png"}),
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
                                      L"frame_000001_headset.png", L"frame_000001_view.png"}),
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

// The numbers that follow " KEY=" in a log line (fewer when the line has fewer).
std::vector<double> NumbersAfter(const std::string& line, const std::string& key, size_t count) {
    std::vector<double> numbers;
    const size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) {
        return numbers;
    }
    const char* next = line.c_str() + at + key.size() + 2;
    while (numbers.size() < count) {
        char* end = nullptr;
        const double value = std::strtod(next, &end);
        if (end == next) {
            break;
        }
        numbers.push_back(value);
        next = end;
    }
    return numbers;
}

void ExpectNumbers(const std::vector<double>& expected, const std::vector<double>& got,
                   const std::string& line) {
    ASSERT_EQ(expected.size(), got.size()) << line;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(expected[i], got[i], 1e-5) << "number " << i << " of " << line;
    }
}

class ViewCaptureTest : public CaptureTest {
protected:
    // 20 x 10 texels of `background` with `red` texels where `isRed` says.
    ComPtr<ID3D11Texture2D> PatchTexture(Rgba background, const std::function<bool(UINT, UINT)>& isRed) {
        return MakeTexture(DXGI_FORMAT_R8G8B8A8_UNORM, 20, 10, 4, [&](UINT x, UINT y, uint8_t* out) {
            std::memcpy(out, isRed(x, y) ? kRed.data() : background.data(), 4);
        });
    }

    int32_t SubmitWithPose(int32_t eye, ID3D11Texture2D* texture, const Bounds* bounds,
                           const Matrix34& pose) {
        TextureWithPose submitted{{texture, 0, 0}, pose};
        return SlotOf<SubmitFn>(compositor, 6)(compositor, eye, &submitted, bounds, 0x08);
    }

    // The one log line that starts with `prefix`, or a failure and an empty line.
    std::string LineStarting(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const std::string& line : LogLines()) {
            if (line.rfind(prefix, 0) == 0) {
                found.push_back(line);
            }
        }
        EXPECT_EQ(1u, found.size()) << "lines starting \"" << prefix << "\"";
        return found.empty() ? std::string() : found.front();
    }

    static constexpr Rgba kRed{250, 30, 30, 255};
};

TEST_F(ViewCaptureTest, EachEyeIsShownOverItsFieldAndAColourIsFoundWhereThePlayerSeesIt) {
    const std::wstring folder = BesideThisProgram(L"views\\");
    ClearFolder(folder);
    // Default optics: left -1.39 1.25 -1.47 1.47, right -1.25 1.39 -1.47 1.47. The head turns
    // from yaw 0 at frame 1 to yaw 20 at frame 3.
    RunScenario("capture 2..3\ncapture_folder views\nview_grid 10\n"
                "find red 250 30 30 0\nfind near_red 220 60 10\nfind blue 0 0 255\n"
                "head key 1 0 1.6 0 0 0 0\nhead key 3 0 1.6 0 20 0 0\nwait_error 108 3\n");
    ASSERT_EQ(0, Connect());
    // Left: red at columns 12-14 of rows 3-4 and at (15, 3); a red texel at (0, 0) lies outside
    // the bounds. Right: red at columns 2-3 of rows 6-7, shown whole.
    ComPtr<ID3D11Texture2D> left = PatchTexture({100, 100, 100, 255}, [](UINT x, UINT y) {
        return ((y == 3 || y == 4) && x >= 12 && x <= 14) || (x == 15 && y == 3) || (x == 0 && y == 0);
    });
    ComPtr<ID3D11Texture2D> right = PatchTexture(
        {60, 120, 180, 255}, [](UINT x, UINT y) { return (y == 6 || y == 7) && (x == 2 || x == 3); });
    const Bounds leftBounds{0.1f, 0.05f, 0.9f, 0.95f};
    const Matrix34 submittedPose{{{1, 0, 0, 0.5f}, {0, 1, 0, 1.7f}, {0, 0, 1, -0.2f}}};
    for (int frame = 1; frame <= 2; ++frame) {
        NextFrame();
        EXPECT_EQ(0, Submit(0, left.Get(), &leftBounds));
        EXPECT_EQ(0, SubmitWithPose(1, right.Get(), nullptr, submittedPose));
    }
    DevicePose poses[64] = {};
    EXPECT_EQ(108, WaitGetPoses(poses)); // frame 3: no pose this frame
    EXPECT_EQ(0, Submit(0, left.Get(), &leftBounds));
    EXPECT_EQ(0, Submit(1, right.Get(), nullptr));

    // The mean red texel (13.29, 3.43) of the left eye is u 0.6893, v 0.3929: x = -1.39 + 0.5893 /
    // 0.8 * 2.64, y = 1.47 - 0.3429 / 0.9 * 2.94. The right eye's (2.5, 6.5) is u 0.15, v 0.7.
    struct Found {
        const char* prefix;
        std::vector<double> tan;
        std::vector<double> box;
    };
    const Found found[] = {
        {"find frame=2 eye=0 name=red texels=7 tan=", {0.554643, 0.35}, {0.26, 0.0, 0.92, 0.653333}},
        {"find frame=2 eye=0 name=near_red texels=7 tan=", {0.554643, 0.35}, {0.26, 0.0, 0.92, 0.653333}},
        {"find frame=2 eye=1 name=red texels=4 tan=", {-0.854, -0.588}, {-0.986, -0.882, -0.722, -0.294}},
        {"find frame=3 eye=1 name=near_red texels=4 tan=",
         {-0.854, -0.588},
         {-0.986, -0.882, -0.722, -0.294}},
    };
    for (const Found& f : found) {
        const std::string line = LineStarting(f.prefix);
        ExpectNumbers(f.tan, NumbersAfter(line, "tan", 3), line);
        ExpectNumbers(f.box, NumbersAfter(line, "box", 5), line);
    }
    EXPECT_TRUE(Logged("find frame=2 eye=0 name=blue texels=0"));
    EXPECT_TRUE(Logged("find frame=3 eye=1 name=blue texels=0"));
    for (const std::string& line : LogLines()) {
        EXPECT_NE(0u, line.find("find frame=1 ")) << "frame 1 is not captured: " << line;
        EXPECT_NE(0u, line.find("view frame=1 ")) << "frame 1 is not captured: " << line;
    }

    // Poses: the left eye of frame 2 came without one, so it is relative to the head pose that
    // frame's WaitGetPoses reported (yaw 10); the right came with its own. Frame 3's wait failed.
    const std::string grid = "grid=-1.390000 1.390000 -1.470000 1.470000 10.000000 size=28 30 ";
    const std::string leftView = LineStarting("view frame=2 eye=0 ");
    EXPECT_EQ(0u, leftView.find("view frame=2 eye=0 " + grid + "column=0 pose_source=wait pose="))
        << leftView;
    ExpectNumbers({0.984808, 0.0, 0.173648, 0.0, 0.0, 1.0, 0.0, 1.6, -0.173648, 0.0, 0.984808, 0.0},
                  NumbersAfter(leftView, "pose", 13), leftView);
    EXPECT_NE(std::string::npos, leftView.find(" file=frame_000002_view.png")) << leftView;
    EXPECT_TRUE(
        Logged("view frame=2 eye=1 " + grid +
               "column=32 pose_source=submitted pose=1.000000 0.000000 0.000000 0.500000 0.000000 "
               "1.000000 0.000000 1.700000 0.000000 0.000000 1.000000 -0.200000 file=frame_000002_view.png"));
    for (int eye = 0; eye < 2; ++eye) {
        EXPECT_TRUE(Logged("view frame=3 eye=" + std::to_string(eye) + " " + grid +
                           "column=" + (eye == 0 ? "0" : "32") +
                           " pose_source=none pose=none file=frame_000003_view.png"));
    }
    EXPECT_EQ((std::set<std::wstring>{L"frame_000002_left.png", L"frame_000002_right.png",
                                      L"frame_000002_headset.png", L"frame_000002_view.png",
                                      L"frame_000003_left.png", L"frame_000003_right.png",
                                      L"frame_000003_headset.png", L"frame_000003_view.png"}),
              FilesIn(folder));

    // 28 columns of the left eye, 4 black, 28 of the right; pixel (i, j) of a half looks along
    // x = -1.39 + (i + 0.5) / 10, y = 1.47 - (j + 0.5) / 10.
    Picture view = Decode(folder + L"frame_000002_view.png");
    ASSERT_EQ(60, view.width);
    ASSERT_EQ(30, view.height);
    const Rgba outside{32, 0, 48, 255};
    struct Probe {
        int column, row;
        Rgba expected;
    };
    const Probe probes[] = {
        {19, 11, kRed},                    // the left red's direction (0.554643, 0.35)
        {5, 11, {100, 100, 100, 255}},     // (-0.84, 0.32)
        {0, 0, {100, 100, 100, 255}},      // (-1.34, 1.42): u 0.1152, so not the red texel (0, 0)
        {27, 0, outside},                  // x 1.36: beyond the left eye's field
        {29, 5, {0, 0, 0, 255}},           // the gap
        {32 + 5, 20, kRed},                // the right red's direction (-0.854, -0.588)
        {32 + 27, 0, {60, 120, 180, 255}}, // x 1.36 is inside the right eye's field
        {32 + 0, 0, outside},              // x -1.34 is not
    };
    for (const Probe& p : probes) {
        EXPECT_EQ(Text(p.expected), Text(view.At(p.column, p.row))) << "at " << p.column << "," << p.row;
    }
}

TEST_F(ViewCaptureTest, BadViewAndFindLinesAreReported) {
    RunScenario("view_grid 0\nview_grid 2049\nview_grid wide\nfind\nfind red 256 0 0\nfind red 1 2\n"
                "find red 1 2 3 256\nfind red 1 2 3 40 9\n");
    EXPECT_TRUE(Logged("scenario error line=1: pixels per tangent out of range"));
    EXPECT_TRUE(Logged("scenario error line=2: pixels per tangent out of range"));
    EXPECT_TRUE(Logged("scenario error line=3: bad pixels per tangent 'wide'"));
    EXPECT_TRUE(Logged("scenario error line=4: missing name"));
    EXPECT_TRUE(Logged("scenario error line=5: red out of range"));
    EXPECT_TRUE(Logged("scenario error line=6: missing blue"));
    EXPECT_TRUE(Logged("scenario error line=7: tolerance out of range"));
    EXPECT_TRUE(Logged("scenario error line=8: unexpected '9'"));
}

} // namespace
} // namespace vrsim_test
