// The program's side of the OpenVR binary contract, against a stand-in client library that
// records what it is asked: the client functions by their exported names, the IVRSystem_026
// and IVRCompositor_029 methods by their slot numbers (with `this` first and a struct result's
// buffer right after it), and the connection's own sequence of both. The expected names and
// slots are the OpenVR SDK 2.15.6 values, written out here.
#include "core/log.h"
#include "openvr_recording_client.h"
#include "platform/win32/os_win32.h"
#include "test_files.h"
#include "vr/openvr_port.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace corvane {
namespace {

using testing_support::RecordedCall;
using testing_support::RecordedInterface;
using testing_support::RecordingClientLog;

class OpenVrContractTest : public ::testing::Test {
protected:
    void SetUp() override {
        RecordOwnModule(GetModuleHandleW(nullptr));
        std::string failure;
        ASSERT_TRUE(OpenVrLoadClient(failure)) << failure;
        client = GetModuleHandleW(testing_support::Beside(L"openvr_api.dll").c_str());
        ASSERT_NE(client, nullptr);
        log = reinterpret_cast<testing_support::RecordingClientLogFn>(
            reinterpret_cast<void*>(GetProcAddress(client, "RecordingClient_Log")))();
        clear = reinterpret_cast<testing_support::RecordingClientClearFn>(
            reinterpret_cast<void*>(GetProcAddress(client, "RecordingClient_Clear")));
        clear();
    }

    // The calls recorded since the last clear.
    std::vector<RecordedCall> Calls() const {
        return std::vector<RecordedCall>(log->calls, log->calls + log->count);
    }

    HMODULE client = nullptr;
    RecordingClientLog* log = nullptr;
    testing_support::RecordingClientClearFn clear = nullptr;
};

TEST_F(OpenVrContractTest, ClientFunctionsAreTheLibrarysExportsOfTheseNames) {
    struct Row {
        const char* name;
        std::function<void()> call;
    };
    const Row rows[] = {
        {"VR_IsRuntimeInstalled", [] { (void)OpenVrIsRuntimeInstalled(); }},
        {"VR_InitInternal2",
         [] {
             EVRInitError error = 1;
             (void)OpenVrInitInternal2(&error, 1, nullptr);
         }},
        {"VR_IsInterfaceVersionValid", [] { (void)OpenVrIsInterfaceVersionValid("IVRSystem_026"); }},
        {"VR_GetGenericInterface",
         [] {
             EVRInitError error = 0;
             (void)OpenVrGetGenericInterface("IVRSystem_026", &error);
         }},
        {"VR_GetInitToken", [] { (void)OpenVrGetInitToken(); }},
        {"VR_ShutdownInternal", [] { OpenVrShutdownInternal(); }},
        {"VR_GetVRInitErrorAsEnglishDescription", [] { (void)OpenVrGetInitErrorAsEnglishDescription(108); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // The stand-in's export of that name is what records it.
        ASSERT_NE(GetProcAddress(client, row.name), nullptr);
        clear();
        row.call();
        const std::vector<RecordedCall> calls = Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_STREQ(calls[0].name, row.name);
    }
}

TEST_F(OpenVrContractTest, InterfaceMethodsAreCalledInTheirSlotsWithThisFirst) {
    void* system = const_cast<void*>(log->system);
    void* compositor = const_cast<void*>(log->compositor);
    struct Row {
        const char* method;
        RecordedInterface interface;
        int slot;
        uint64_t firstArgument; // the argument after `this`, where it is a plain number
        std::function<void()> call;
    };
    constexpr uint64_t kAny = ~uint64_t{0};
    uint32_t width = 0;
    uint32_t height = 0;
    float tangents[4] = {};
    VRControllerState_t state{};
    ETrackedPropertyError propertyError = 0;
    TrackedDevicePose_t poses[k_unMaxTrackedDeviceCount] = {};
    const Texture_t texture{nullptr, 0, 0};
    const VRTextureBounds_t bounds{0.0f, 0.0f, 1.0f, 1.0f};
    const Row rows[] = {
        {"GetRecommendedRenderTargetSize", RecordedInterface::System, 0, kAny,
         [&] { OpenVrGetRecommendedRenderTargetSize(system, &width, &height); }},
        {"GetProjectionRaw", RecordedInterface::System, 2, 1,
         [&] { OpenVrGetProjectionRaw(system, 1, &tangents[0], &tangents[1], &tangents[2], &tangents[3]); }},
        {"GetTrackedDeviceIndexForControllerRole", RecordedInterface::System, 18, 2,
         [&] { (void)OpenVrGetTrackedDeviceIndexForControllerRole(system, 2); }},
        {"GetControllerRoleForTrackedDeviceIndex", RecordedInterface::System, 19, 7,
         [&] { (void)OpenVrGetControllerRoleForTrackedDeviceIndex(system, 7); }},
        {"GetTrackedDeviceClass", RecordedInterface::System, 20, 9,
         [&] { (void)OpenVrGetTrackedDeviceClass(system, 9); }},
        {"IsTrackedDeviceConnected", RecordedInterface::System, 21, 11,
         [&] { (void)OpenVrIsTrackedDeviceConnected(system, 11); }},
        {"GetInt32TrackedDeviceProperty", RecordedInterface::System, 24, 3,
         [&] { (void)OpenVrGetInt32TrackedDeviceProperty(system, 3, 3002, &propertyError); }},
        {"GetControllerState", RecordedInterface::System, 37, 4,
         [&] { (void)OpenVrGetControllerState(system, 4, &state, 64); }},
        {"SetSDKVersion", RecordedInterface::System, 50, 2,
         [&] { (void)OpenVrSetSDKVersion(system, 2, 15, 6); }},
        {"SetTrackingSpace", RecordedInterface::Compositor, 0, 1,
         [&] { OpenVrSetTrackingSpace(compositor, 1); }},
        {"WaitGetPoses", RecordedInterface::Compositor, 2, kAny,
         [&] { (void)OpenVrWaitGetPoses(compositor, poses, k_unMaxTrackedDeviceCount, nullptr, 0); }},
        {"Submit", RecordedInterface::Compositor, 6, 1,
         [&] { (void)OpenVrSubmit(compositor, 1, &texture, &bounds, 0x08); }},
        {"PostPresentHandoff", RecordedInterface::Compositor, 9, kAny,
         [&] { OpenVrPostPresentHandoff(compositor); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.method);
        clear();
        row.call();
        const std::vector<RecordedCall> calls = Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].interface, row.interface);
        EXPECT_EQ(calls[0].slot, row.slot);
        EXPECT_EQ(calls[0].self, row.interface == RecordedInterface::System ? system : compositor);
        if (row.firstArgument != kAny) {
            EXPECT_EQ(static_cast<uint32_t>(calls[0].args[0]), row.firstArgument);
        }
    }

    // The struct-returning slots: the caller's result buffer right after `this`, the eye after it.
    clear();
    const HmdMatrix34_t eyeToHead = OpenVrGetEyeToHeadTransform(system, 1);
    HmdMatrix44_t projection = OpenVrGetProjectionMatrix(system, 0, 0.025f, 30.0f);
    const std::vector<RecordedCall> calls = Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].slot, 5) << "GetEyeToHeadTransform";
    EXPECT_EQ(calls[0].self, system);
    EXPECT_EQ(static_cast<uint32_t>(calls[0].args[1]), 1u);
    EXPECT_EQ(eyeToHead.m[1][1], testing_support::kEyeToHeadMark);
    EXPECT_EQ(eyeToHead.m[0][3], 0.0315f);
    EXPECT_EQ(calls[1].slot, 1) << "GetProjectionMatrix";
    EXPECT_EQ(calls[1].self, system);
    EXPECT_EQ(static_cast<uint32_t>(calls[1].args[1]), 0u);
    EXPECT_EQ(projection.m[2][0], testing_support::kProjectionMark);
}

// One step of the connection as the stand-in saw it: a client function (with the version
// string it was given) or an interface slot.
struct Step {
    std::string name;
    std::string text;
    RecordedInterface interface = RecordedInterface::None;
    int slot = -1;
    bool operator==(const Step&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Step& step) {
    return step.slot < 0 ? out << step.name << "(" << step.text << ")"
                         : out << (step.interface == RecordedInterface::System ? "system" : "compositor")
                               << " slot " << step.slot;
}

Step Function(const char* name, const char* text = "") {
    return Step{name, text, RecordedInterface::None, -1};
}

Step SystemSlot(int slot) {
    return Step{"", "", RecordedInterface::System, slot};
}

TEST_F(OpenVrContractTest, AConnectionAsksForTheseInterfacesAndSlotsInThisOrder) {
    VrPresenter presenter;
    {
        std::lock_guard<std::mutex> lock(presenter.presenterMutex);
        EXPECT_FALSE(presenter.EnsureConnected()) << "the stand-in's raw projections are all zero";
    }
    EXPECT_EQ(presenter.LastError(), "OpenVR supplied invalid raw eye projections");

    std::vector<Step> steps;
    const RecordedCall* sdkVersion = nullptr;
    const RecordedCall* init = nullptr;
    const RecordedCall* trackingSpace = nullptr;
    for (int i = 0; i < log->count; ++i) {
        const RecordedCall& call = log->calls[i];
        steps.push_back(Step{call.name, call.text, call.interface, call.slot});
        if (call.interface == RecordedInterface::System && call.slot == 50) {
            sdkVersion = &call;
        }
        if (std::string(call.name) == "VR_InitInternal2") {
            init = &call;
        }
        if (call.interface == RecordedInterface::Compositor && call.slot == 0) {
            trackingSpace = &call;
        }
    }
    const std::vector<Step> expected = {
        Function("VR_IsRuntimeInstalled"),
        Function("VR_InitInternal2"),
        Function("VR_IsInterfaceVersionValid", "IVRSystem_026"),
        Function("VR_GetInitToken"),
        Function("VR_GetGenericInterface", "IVRSystem_026"),
        SystemSlot(50), // SetSDKVersion
        Function("VR_GetInitToken"),
        Function("VR_GetGenericInterface", "IVRCompositor_029"),
        Step{"", "", RecordedInterface::Compositor, 0}, // SetTrackingSpace
        SystemSlot(0),                                  // GetRecommendedRenderTargetSize
        SystemSlot(5),                                  // GetEyeToHeadTransform, left
        SystemSlot(5),                                  // right
        SystemSlot(2),                                  // GetProjectionRaw, left: refused
        Function("VR_ShutdownInternal"),
    };
    EXPECT_EQ(steps, expected);
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init->args[0], 1u) << "VRApplication_Scene";
    EXPECT_EQ(init->args[1], 0u) << "no startup info";
    ASSERT_NE(sdkVersion, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(sdkVersion->args[0]), 2u);
    EXPECT_EQ(static_cast<uint32_t>(sdkVersion->args[1]), 15u);
    EXPECT_EQ(static_cast<uint32_t>(sdkVersion->args[2]), 6u);
    ASSERT_NE(trackingSpace, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(trackingSpace->args[0]), 1u) << "TrackingUniverseStanding";
}

} // namespace
} // namespace corvane
