// The built XINPUT1_3.dll, loaded from its own file the way the game loads it, in front of
// Wine's xinput1_3 as the system library.
#include <gtest/gtest.h>

#include <windows.h>
#include <xinput.h>

#include <string>

namespace {

using GetStateFn = DWORD(WINAPI*)(DWORD, XINPUT_STATE*);
using SetStateFn = DWORD(WINAPI*)(DWORD, XINPUT_VIBRATION*);
using GetCapabilitiesFn = DWORD(WINAPI*)(DWORD, DWORD, XINPUT_CAPABILITIES*);
using EnableFn = void(WINAPI*)(BOOL);
using GetBatteryFn = DWORD(WINAPI*)(DWORD, BYTE, XINPUT_BATTERY_INFORMATION*);
using GetKeystrokeFn = DWORD(WINAPI*)(DWORD, DWORD, PXINPUT_KEYSTROKE);

std::wstring BesideThisProgram(const wchar_t* file) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1) + file;
}

class XInputDllTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The game's order: the proxy first, then (inside it) the system copy by full path.
        proxy = LoadLibraryW(BesideThisProgram(L"XINPUT1_3.dll").c_str());
        wchar_t directory[MAX_PATH] = {};
        GetSystemDirectoryW(directory, MAX_PATH);
        system = LoadLibraryW((std::wstring(directory) + L"\\xinput1_3.dll").c_str());
    }

    template <typename Function> static Function Export(HMODULE module, const char* name) {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    template <typename Function> static Function Ordinal(HMODULE module, WORD ordinal) {
        return Export<Function>(module, MAKEINTRESOURCEA(ordinal));
    }

    static HMODULE proxy;
    static HMODULE system;
};
HMODULE XInputDllTest::proxy = nullptr;
HMODULE XInputDllTest::system = nullptr;

// A host that frees the DLL and runs on must not keep the system library the DLL loaded.
// Alone in its process: the suite above holds a reference of its own to the system library.
TEST(XInputDllUnload, TheSystemLibraryGoesWithTheDll) {
    wchar_t directory[MAX_PATH] = {};
    ASSERT_NE(0u, GetSystemDirectoryW(directory, MAX_PATH));
    const std::wstring systemPath = std::wstring(directory) + L"\\xinput1_3.dll";
    ASSERT_EQ(nullptr, GetModuleHandleW(systemPath.c_str())) << "loaded before the DLL was";

    HMODULE proxy = LoadLibraryW(BesideThisProgram(L"XINPUT1_3.dll").c_str());
    ASSERT_NE(nullptr, proxy);
    const auto getState =
        reinterpret_cast<GetStateFn>(reinterpret_cast<void*>(GetProcAddress(proxy, "XInputGetState")));
    ASSERT_NE(nullptr, getState);
    XINPUT_STATE state{};
    static_cast<void>(getState(1, &state)); // the first call loads the system library
    ASSERT_NE(nullptr, GetModuleHandleW(systemPath.c_str()));

    ASSERT_TRUE(FreeLibrary(proxy));
    EXPECT_EQ(nullptr, GetModuleHandleW(BesideThisProgram(L"XINPUT1_3.dll").c_str())) << "the DLL stayed";
    EXPECT_EQ(nullptr, GetModuleHandleW(systemPath.c_str()));
}

TEST_F(XInputDllTest, LoadsAsItselfInFrontOfTheSystemLibrary) {
    ASSERT_NE(nullptr, proxy);
    ASSERT_NE(nullptr, system);
    EXPECT_NE(proxy, system);
}

TEST_F(XInputDllTest, ExportsTheXInputSurfaceByNameAndOrdinal) {
    ASSERT_NE(nullptr, proxy);
    const char* names[] = {"DllMain",
                           "XInputGetState",
                           "XInputSetState",
                           "XInputGetCapabilities",
                           "XInputEnable",
                           "XInputGetDSoundAudioDeviceGuids",
                           "XInputGetBatteryInformation",
                           "XInputGetKeystroke"};
    for (WORD ordinal = 1; ordinal <= 8; ++ordinal) {
        void* byName = Export<void*>(proxy, names[ordinal - 1]);
        EXPECT_NE(nullptr, byName) << names[ordinal - 1];
        EXPECT_EQ(byName, Ordinal<void*>(proxy, ordinal)) << names[ordinal - 1];
    }
    for (WORD ordinal = 100; ordinal <= 103; ++ordinal) {
        EXPECT_NE(nullptr, Ordinal<void*>(proxy, ordinal)) << ordinal;
    }
    for (WORD ordinal : {9, 50, 99, 104}) {
        EXPECT_EQ(nullptr, Ordinal<void*>(proxy, ordinal)) << ordinal;
    }
    EXPECT_EQ(nullptr, Export<void*>(proxy, "XInputGetStateEx"));
}

TEST_F(XInputDllTest, NullRecordsAreRefused) {
    ASSERT_NE(nullptr, proxy);
    EXPECT_EQ(DWORD{ERROR_BAD_ARGUMENTS}, Ordinal<GetStateFn>(proxy, 2)(0, nullptr));
    EXPECT_EQ(DWORD{ERROR_BAD_ARGUMENTS}, Ordinal<GetStateFn>(proxy, 100)(0, nullptr));
    EXPECT_EQ(DWORD{ERROR_BAD_ARGUMENTS}, Ordinal<SetStateFn>(proxy, 3)(0, nullptr));
    EXPECT_EQ(DWORD{ERROR_BAD_ARGUMENTS}, Ordinal<GetCapabilitiesFn>(proxy, 4)(0, 0, nullptr));
    EXPECT_EQ(DWORD{ERROR_BAD_ARGUMENTS},
              Ordinal<GetBatteryFn>(proxy, 7)(0, BATTERY_DEVTYPE_GAMEPAD, nullptr));
    EXPECT_EQ(DWORD{ERROR_BAD_ARGUMENTS}, Ordinal<GetKeystrokeFn>(proxy, 8)(0, 0, nullptr));
}

// Without VR input every answer is the system library's own.
TEST_F(XInputDllTest, WithoutVrInputEveryUserGetsTheSystemAnswer) {
    ASSERT_NE(nullptr, proxy);
    for (DWORD user = 0; user < 4; ++user) {
        XINPUT_STATE viaProxy{};
        XINPUT_STATE direct{};
        EXPECT_EQ(Ordinal<GetStateFn>(system, 2)(user, &direct),
                  Ordinal<GetStateFn>(proxy, 2)(user, &viaProxy));
        XINPUT_CAPABILITIES capabilities{};
        XINPUT_CAPABILITIES directCapabilities{};
        EXPECT_EQ(Ordinal<GetCapabilitiesFn>(system, 4)(user, 0, &directCapabilities),
                  Ordinal<GetCapabilitiesFn>(proxy, 4)(user, 0, &capabilities));
        XINPUT_BATTERY_INFORMATION battery{};
        XINPUT_BATTERY_INFORMATION directBattery{};
        EXPECT_EQ(Ordinal<GetBatteryFn>(system, 7)(user, BATTERY_DEVTYPE_GAMEPAD, &directBattery),
                  Ordinal<GetBatteryFn>(proxy, 7)(user, BATTERY_DEVTYPE_GAMEPAD, &battery));
    }
    XINPUT_STATE state{};
    EXPECT_EQ(DWORD{ERROR_DEVICE_NOT_CONNECTED}, Ordinal<GetStateFn>(proxy, 2)(1, &state));
}

TEST_F(XInputDllTest, DisabledXInputPassesTheSystemResultThrough) {
    ASSERT_NE(nullptr, proxy);
    Ordinal<EnableFn>(proxy, 5)(FALSE);
    XINPUT_STATE viaProxy{};
    XINPUT_STATE direct{};
    const DWORD expected = Ordinal<GetStateFn>(system, 2)(0, &direct);
    EXPECT_EQ(expected, Ordinal<GetStateFn>(proxy, 2)(0, &viaProxy));
    EXPECT_EQ(expected, Ordinal<GetStateFn>(proxy, 100)(0, &viaProxy));
    Ordinal<EnableFn>(proxy, 5)(TRUE);
}

} // namespace
