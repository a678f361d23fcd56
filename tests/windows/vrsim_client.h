// The test side of the stand-in runtime: independent declarations of the OpenVR layouts and
// slot signatures (Microsoft x64, `this` first, result buffer second), and a fixture that loads
// the built openvr_api.dll by full path and runs it on a scenario. Test thread only.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vrsim_test {

struct Matrix34 {
    float m[3][4];
};
struct Matrix44 {
    float m[4][4];
};
struct DevicePose {
    Matrix34 deviceToTracking;
    float velocity[3];
    float angularVelocity[3];
    int32_t trackingResult;
    bool poseIsValid;
    bool deviceIsConnected;
};
struct Axis {
    float x, y;
};
struct ControllerState {
    uint32_t packetNum;
    uint64_t pressed;
    uint64_t touched;
    Axis axis[5];
};
struct Texture {
    void* handle;
    int32_t type;
    int32_t colorSpace;
};
struct TextureWithPose {
    Texture texture;
    Matrix34 pose;
};
struct Bounds {
    float uMin, vMin, uMax, vMax;
};
static_assert(sizeof(DevicePose) == 80 && sizeof(ControllerState) == 64 && sizeof(TextureWithPose) == 64);

// Client exports.
using IsRuntimeInstalledFn = bool (*)();
using InitInternal2Fn = uint32_t (*)(int32_t*, int32_t, const char*);
using IsInterfaceVersionValidFn = bool (*)(const char*);
using GetGenericInterfaceFn = void* (*)(const char*, int32_t*);
using GetInitTokenFn = uint32_t (*)();
using ShutdownInternalFn = void (*)();
using DescribeInitErrorFn = const char* (*)(int32_t);
using ResetFn = void (*)();
using FrameCountFn = uint32_t (*)();

// IVRSystem_026 slots.
using GetRenderTargetSizeFn = void (*)(void*, uint32_t*, uint32_t*);
using GetProjectionMatrixFn = Matrix44* (*)(void*, Matrix44*, int32_t, float, float);
using GetProjectionRawFn = void (*)(void*, int32_t, float*, float*, float*, float*);
using GetEyeToHeadFn = Matrix34* (*)(void*, Matrix34*, int32_t);
using IndexForRoleFn = uint32_t (*)(void*, int32_t);
using RoleForIndexFn = int32_t (*)(void*, uint32_t);
using DeviceClassFn = int32_t (*)(void*, uint32_t);
using IsConnectedFn = bool (*)(void*, uint32_t);
using FloatPropertyFn = float (*)(void*, uint32_t, int32_t, int32_t*);
using Int32PropertyFn = int32_t (*)(void*, uint32_t, int32_t, int32_t*);
using GetControllerStateFn = bool (*)(void*, uint32_t, ControllerState*, uint32_t);
using SetSdkVersionFn = int32_t (*)(void*, uint32_t, uint32_t, uint32_t);
// A GCC-style struct-returning member call: result buffer first, `this` second.
using SwappedGetEyeToHeadFn = Matrix34* (*)(Matrix34*, void*, int32_t);

// IVRCompositor_029 slots.
using SetTrackingSpaceFn = void (*)(void*, int32_t);
using WaitGetPosesFn = int32_t (*)(void*, DevicePose*, uint32_t, DevicePose*, uint32_t);
using SubmitFn = int32_t (*)(void*, int32_t, const void*, const Bounds*, uint32_t);
using PostPresentHandoffFn = void (*)(void*);

template <typename Function> Function SlotOf(void* object, int slot) {
    return reinterpret_cast<Function>((*static_cast<void***>(object))[slot]);
}

inline std::wstring BesideThisProgram(const wchar_t* file) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1) + file;
}

class VrSimTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { runtime = LoadLibraryW(BesideThisProgram(L"openvr_api.dll").c_str()); }

    template <typename Function> static Function Export(const char* name) {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(runtime, name)));
    }

    void SetUp() override { ASSERT_NE(nullptr, runtime); }

    // Writes the scenario text to a file, points the runtime at it and a fresh log, resets.
    void RunScenario(const std::string& text) {
        std::wstring scenarioPath = BesideThisProgram(L"vrsim_test_scenario.txt");
        logPath = BesideThisProgram(L"vrsim_test.log");
        std::FILE* file = _wfopen(scenarioPath.c_str(), L"wb");
        ASSERT_NE(nullptr, file);
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
        SetEnvironmentVariableW(L"VRSIM_SCENARIO", scenarioPath.c_str());
        SetEnvironmentVariableW(L"VRSIM_LOG", logPath.c_str());
        Export<ResetFn>("VRSim_Reset")();
    }

    // Initialises as a scene application and fetches both interfaces; both null on failure.
    int32_t Connect() {
        int32_t error = -1;
        Export<InitInternal2Fn>("VR_InitInternal2")(&error, 1, nullptr);
        int32_t ignored = 0;
        system = Export<GetGenericInterfaceFn>("VR_GetGenericInterface")("IVRSystem_026", &ignored);
        compositor = Export<GetGenericInterfaceFn>("VR_GetGenericInterface")("IVRCompositor_029", &ignored);
        return error;
    }

    int32_t WaitGetPoses(DevicePose (&poses)[64]) {
        return SlotOf<WaitGetPosesFn>(compositor, 2)(compositor, poses, 64, nullptr, 0);
    }

    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::FILE* file = _wfopen(logPath.c_str(), L"rb");
        if (file == nullptr) {
            return lines;
        }
        std::string text;
        char chunk[4096];
        size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            text.append(chunk, got);
        }
        std::fclose(file);
        size_t start = 0;
        for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    // Passes when the log holds exactly this line; a failure shows the whole log.
    ::testing::AssertionResult Logged(const std::string& line) const {
        std::string all;
        for (const std::string& logged : LogLines()) {
            if (logged == line) {
                return ::testing::AssertionSuccess();
            }
            all += "  " + logged + "\n";
        }
        return ::testing::AssertionFailure() << "no log line \"" << line << "\" in:\n" << all;
    }

    static HMODULE runtime;
    std::wstring logPath;
    void* system = nullptr;
    void* compositor = nullptr;
};

inline HMODULE VrSimTest::runtime = nullptr;

} // namespace vrsim_test
