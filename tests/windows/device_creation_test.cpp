// The import redirect on a mapped image laid out like the supported game, and the creation
// hook in front of Wine's real D3D11CreateDeviceAndSwapChain.
#include "interception/device_creation_win32.h"

#include "debug_output_capture.h"
#include "test_files.h"
#include "vr_game_swap_chain.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace corvane {
namespace {

using CreateFunction = decltype(&D3D11CreateDeviceAndSwapChain);

// A reserved range of the supported image size with a header page and one page of imports.
class MappedHostImage {
public:
    static constexpr uint32_t kNt = 0x80;
    static constexpr uint32_t kImports = 0x1000;
    static constexpr uint32_t kAddressTable = 0x1200;

    MappedHostImage() {
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, 0x0A01B000, MEM_RESERVE, PAGE_NOACCESS));
        if (base_ != nullptr) {
            VirtualAlloc(base_, 0x2000, MEM_COMMIT, PAGE_READWRITE);
        }
    }
    ~MappedHostImage() {
        if (base_ != nullptr) {
            VirtualFree(base_, 0, MEM_RELEASE);
        }
    }
    MappedHostImage(const MappedHostImage&) = delete;
    MappedHostImage& operator=(const MappedHostImage&) = delete;

    void Lay(uint32_t timeDateStamp, void* importedFunction) {
        Put<uint16_t>(0, 0x5A4D);
        Put<uint32_t>(0x3C, kNt);
        Put<uint32_t>(kNt, 0x00004550);
        Put<uint16_t>(kNt + 4, 0x8664);
        Put<uint32_t>(kNt + 8, timeDateStamp);
        Put<uint16_t>(kNt + 24, 0x020B);
        Put<uint32_t>(kNt + 24 + 56, 0x0A01B000);
        Put<uint32_t>(kNt + 24 + 120, kImports);
        Put<uint32_t>(kNt + 24 + 124, 40);
        Put<uint32_t>(kImports, kImports + 0x100);     // import name table
        Put<uint32_t>(kImports + 12, kImports + 0x80); // library name
        Put<uint32_t>(kImports + 16, kAddressTable);   // import address table
        std::memcpy(base_ + kImports + 0x80, "D3D11.DLL", 10);
        Put<uint64_t>(kImports + 0x100, kImports + 0x180);
        std::memcpy(base_ + kImports + 0x182, "D3D11CreateDeviceAndSwapChain", 30);
        Put<void*>(kAddressTable, importedFunction);
    }

    // The import pages read-only, as the loader leaves them.
    void Protect() {
        DWORD previous = 0;
        VirtualProtect(base_ + kImports, 0x1000, PAGE_READONLY, &previous);
    }

    template <typename T> void Put(uint32_t rva, T value) { std::memcpy(base_ + rva, &value, sizeof(value)); }
    void* Slot() const { return *reinterpret_cast<void* const*>(base_ + kAddressTable); }
    uintptr_t Base() const { return reinterpret_cast<uintptr_t>(base_); }

private:
    uint8_t* base_ = nullptr;
};

struct Recorded {
    int finalCamera = 0;
    int projection = 0;
    int allocator = 0;
    int contexts = 0;
    int swapChains = 0;
    bool finalCameraWorks = false;
    ULONG immediateReferencesSeen = 0;
};
Recorded g_recorded;

void UseRecorders(bool validated, bool contextsHook = true, bool presentHook = true) {
    g_recorded = Recorded{};
    DeviceCreationActions actions;
    actions.isExecutableValidated = validated ? +[] { return true; } : +[] { return false; };
    actions.installFinalCameraDetour = [] {
        ++g_recorded.finalCamera;
        return g_recorded.finalCameraWorks;
    };
    actions.installProjectionDetour = [] {
        ++g_recorded.projection;
        return true;
    };
    actions.installAllocatorFallback = [] {
        ++g_recorded.allocator;
        return true;
    };
    if (contextsHook) {
        actions.hookDeviceContexts = [](ID3D11Device*, ID3D11DeviceContext* context) {
            ++g_recorded.contexts;
            g_recorded.immediateReferencesSeen = vr_test::ReferenceCount(context);
            return true;
        };
    } else {
        actions.hookDeviceContexts = [](ID3D11Device*, ID3D11DeviceContext*) {
            ++g_recorded.contexts;
            return false;
        };
    }
    if (presentHook) {
        actions.hookSwapChain = [](IDXGISwapChain*) {
            ++g_recorded.swapChains;
            return true;
        };
    } else {
        actions.hookSwapChain = [](IDXGISwapChain*) {
            ++g_recorded.swapChains;
            return false;
        };
    }
    SetDeviceCreationActions(actions);
}

HWND MakeWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"CorvaneVrCreationTest";
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, windowClass.lpszClassName, L"game", WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr,
                           nullptr, windowClass.hInstance, nullptr);
}

DXGI_SWAP_CHAIN_DESC SwapChainDesc(HWND window) {
    DXGI_SWAP_CHAIN_DESC desc{};
    desc.BufferDesc.Width = 64;
    desc.BufferDesc.Height = 64;
    desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 1;
    desc.OutputWindow = window;
    desc.Windowed = TRUE;
    desc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    return desc;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

TEST(ImportHook, AnotherBuildKeepsItsImport) {
    MappedHostImage image;
    image.Lay(0x5BE4DE31, reinterpret_cast<void*>(&D3D11CreateDeviceAndSwapChain));
    EXPECT_FALSE(InstallImportHookInImage(image.Base()));
    EXPECT_EQ(image.Slot(), reinterpret_cast<void*>(&D3D11CreateDeviceAndSwapChain));
}

// This test program is not the supported build: its own import stays, and the debugger
// output says which check refused it (an x64 PE32+ program, but another build's time stamp).
TEST(ImportHook, AnotherProgramIsReportedOnTheDebuggerOutput) {
    testing_support::DebugOutputCapture capture;
    EXPECT_FALSE(InstallImportHook());
    EXPECT_EQ(testing_support::DebugOutputCapture::Text(),
              "CorvaneVR: D3D11 import hook not found (the executable's TimeDateStamp is not the supported "
              "build's)\n");
}

// One process, one summary line: the steps build on each other.
TEST(DeviceCreation, RedirectedImportCreatesTheRealDeviceAndSetsUpOnce) {
    MappedHostImage image;
    image.Lay(0x5BE4DE30, reinterpret_cast<void*>(&D3D11CreateDeviceAndSwapChain));
    image.Protect();
    ASSERT_TRUE(InstallImportHookInImage(image.Base()));
    ASSERT_EQ(image.Slot(), reinterpret_cast<void*>(&HookedD3D11CreateDeviceAndSwapChain));
    ASSERT_TRUE(InstallImportHookInImage(image.Base())) << "a second redirect finds its own hook";
    const auto create = reinterpret_cast<CreateFunction>(image.Slot());
    const std::wstring logPath = testing_support::Beside(L"CorvaneVR.log");
    DeleteFileW(logPath.c_str());
    HWND window = MakeWindow();
    ASSERT_NE(window, nullptr);
    DXGI_SWAP_CHAIN_DESC desc = SwapChainDesc(window);

    // A failed creation passes its error through with nothing set up.
    UseRecorders(true);
    IDXGISwapChain* noSwapChain = nullptr;
    ID3D11Device* noDevice = nullptr;
    // No adapter with an unknown driver type is an invalid argument.
    EXPECT_LT(create(nullptr, D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &desc,
                     &noSwapChain, &noDevice, nullptr, nullptr),
              0);
    EXPECT_EQ(g_recorded.contexts + g_recorded.swapChains + g_recorded.finalCamera, 0);

    // The final-camera detour fails, so the allocator fallback is tried instead of the
    // projection; the context is fetched for the hook and its reference given back.
    ComPtr<IDXGISwapChain> swapChain;
    ComPtr<ID3D11Device> device;
    ASSERT_EQ(create(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &desc,
                     swapChain.Put(), device.Put(), nullptr, nullptr),
              S_OK);
    ComPtr<ID3D11DeviceContext> immediate;
    device->GetImmediateContext(immediate.Put());
    // The hook saw one fetched reference, as we hold one now: the fetched one was given back.
    EXPECT_EQ(g_recorded.immediateReferencesSeen, vr_test::ReferenceCount(immediate.Get()));
    EXPECT_EQ(g_recorded.finalCamera, 1);
    EXPECT_EQ(g_recorded.projection, 0);
    EXPECT_EQ(g_recorded.allocator, 1);
    EXPECT_EQ(g_recorded.contexts, 1);
    EXPECT_EQ(g_recorded.swapChains, 1);
    const GameDetourResults results = GetGameDetourResults();
    EXPECT_FALSE(results.finalCameraDetourActive);
    EXPECT_FALSE(results.projectionDetourActive);
    EXPECT_TRUE(results.allocatorFallbackActive);

    // A second device: contexts and swap chain hooked again, detours and summary not repeated.
    UseRecorders(true);
    g_recorded.finalCameraWorks = true;
    ComPtr<IDXGISwapChain> secondSwapChain;
    ComPtr<ID3D11Device> secondDevice;
    ComPtr<ID3D11DeviceContext> secondContext;
    ASSERT_EQ(create(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &desc,
                     secondSwapChain.Put(), secondDevice.Put(), nullptr, secondContext.Put()),
              S_OK);
    EXPECT_EQ(g_recorded.finalCamera + g_recorded.projection + g_recorded.allocator, 0);
    EXPECT_EQ(g_recorded.contexts, 1);
    EXPECT_EQ(g_recorded.swapChains, 1);

    const std::string log = testing_support::ReadFileText(logPath);
    EXPECT_EQ(Count(log,
                    "D3D11 swap chain plus immediate/deferred contexts intercepted; final CPU "
                    "camera=unavailable, common-frustum projection=unavailable, allocator fallback=active"),
              1u)
        << log;
    EXPECT_EQ(Count(log, "intercepted;"), 1u) << log;
    DestroyWindow(window);
}

// The summary is written once per process, so each of these runs in a process of its own
// (see the test list): a device whose contexts or swap chain could not be hooked.
std::string LogOfOneCreation(bool contextsHook, bool presentHook) {
    MappedHostImage image;
    image.Lay(0x5BE4DE30, reinterpret_cast<void*>(&D3D11CreateDeviceAndSwapChain));
    EXPECT_TRUE(InstallImportHookInImage(image.Base()));
    const auto create = reinterpret_cast<CreateFunction>(image.Slot());
    const std::wstring logPath = testing_support::Beside(L"CorvaneVR.log");
    DeleteFileW(logPath.c_str());
    HWND window = MakeWindow();
    EXPECT_NE(window, nullptr);
    DXGI_SWAP_CHAIN_DESC desc = SwapChainDesc(window);
    UseRecorders(true, contextsHook, presentHook);
    ComPtr<IDXGISwapChain> swapChain;
    ComPtr<ID3D11Device> device;
    EXPECT_EQ(create(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &desc,
                     swapChain.Put(), device.Put(), nullptr, nullptr),
              S_OK)
        << "the game's creation succeeds whatever the hooks did";
    EXPECT_EQ(g_recorded.contexts, 1);
    EXPECT_EQ(g_recorded.swapChains, 1);
    swapChain.Reset();
    device.Reset();
    DestroyWindow(window);
    return testing_support::ReadFileText(logPath);
}

TEST(DeviceCreationSummary, WithoutContextHooksOnlyThePresentHookIsReported) {
    const std::string log = LogOfOneCreation(false, true);
    EXPECT_EQ(Count(log, "] D3D11 Present hook active; context camera interception unavailable\r\n"), 1u)
        << log;
    EXPECT_EQ(Count(log, "intercepted;"), 0u) << log;
    EXPECT_EQ(Count(log, "Present hook installation failed"), 0u) << log;
}

TEST(DeviceCreationSummary, WithoutThePresentHookTheFailureIsReported) {
    // Also when the contexts were hooked: without Present nothing of the program runs.
    const std::string log = LogOfOneCreation(true, false);
    EXPECT_EQ(Count(log, "] D3D11 swap chain was created, but Present hook installation failed\r\n"), 1u)
        << log;
    EXPECT_EQ(Count(log, "intercepted;"), 0u) << log;
    EXPECT_EQ(Count(log, "Present hook active"), 0u) << log;
}

} // namespace
} // namespace corvane
