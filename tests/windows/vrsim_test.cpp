// The stand-in OpenVR runtime, loaded from its file and called the way a client built for the
// real runtime calls it: exports by name, interface slots through typed pointers.
#include "vrsim_client.h"

#include <chrono>
#include <cmath>
#include <cstring>

namespace vrsim_test {
namespace {

constexpr uint32_t kInvalidDevice = 0xFFFFFFFFu;

TEST_F(VrSimTest, DefaultOpticsAnswerThroughTheRealSlotsAndAreLogged) {
    RunScenario("");
    EXPECT_TRUE(Export<IsRuntimeInstalledFn>("VR_IsRuntimeInstalled")());
    ASSERT_EQ(0, Connect());
    ASSERT_NE(nullptr, system);
    ASSERT_NE(nullptr, compositor);
    EXPECT_NE(0u, Export<GetInitTokenFn>("VR_GetInitToken")());
    EXPECT_EQ(0, SlotOf<SetSdkVersionFn>(system, 50)(system, 2, 15, 6));

    uint32_t width = 0, height = 0;
    SlotOf<GetRenderTargetSizeFn>(system, 0)(system, &width, &height);
    EXPECT_EQ(2016u, width);
    EXPECT_EQ(2240u, height);

    const float expectedRaw[2][4] = {{-1.39f, 1.25f, -1.47f, 1.47f}, {-1.25f, 1.39f, -1.47f, 1.47f}};
    for (int eye = 0; eye < 2; ++eye) {
        float raw[4] = {};
        SlotOf<GetProjectionRawFn>(system, 2)(system, eye, &raw[0], &raw[1], &raw[2], &raw[3]);
        for (int i = 0; i < 4; ++i) {
            EXPECT_FLOAT_EQ(expectedRaw[eye][i], raw[i]) << "eye " << eye << " value " << i;
        }

        // Struct results: the buffer travels second and comes back as the result.
        Matrix34 eyeToHead{};
        eyeToHead.m[1][1] = 42.0f;
        EXPECT_EQ(&eyeToHead, SlotOf<GetEyeToHeadFn>(system, 5)(system, &eyeToHead, eye));
        EXPECT_FLOAT_EQ(eye == 0 ? -0.0315f : 0.0315f, eyeToHead.m[0][3]);
        EXPECT_FLOAT_EQ(1.0f, eyeToHead.m[1][1]);
        EXPECT_FLOAT_EQ(1.0f, eyeToHead.m[2][2]);

        Matrix44 projection{};
        EXPECT_EQ(&projection,
                  SlotOf<GetProjectionMatrixFn>(system, 1)(system, &projection, eye, 0.025f, 30.0f));
        const float* r = expectedRaw[eye];
        EXPECT_FLOAT_EQ(2.0f / (r[1] - r[0]), projection.m[0][0]);
        EXPECT_FLOAT_EQ((r[1] + r[0]) / (r[1] - r[0]), projection.m[0][2]);
        EXPECT_FLOAT_EQ(2.0f / (r[3] - r[2]), projection.m[1][1]);
        EXPECT_FLOAT_EQ(-30.0f / (30.0f - 0.025f), projection.m[2][2]);
        EXPECT_FLOAT_EQ(-30.0f * 0.025f / (30.0f - 0.025f), projection.m[2][3]);
        EXPECT_FLOAT_EQ(-1.0f, projection.m[3][2]);
        EXPECT_FLOAT_EQ(0.0f, projection.m[3][3]);
    }
    int32_t error = -1;
    EXPECT_FLOAT_EQ(90.0f, SlotOf<FloatPropertyFn>(system, 23)(system, 0, 2002, &error));
    EXPECT_EQ(0, error);

    std::wstring scenarioPath = BesideThisProgram(L"vrsim_test_scenario.txt");
    EXPECT_TRUE(Logged("scenario file=" + std::string(scenarioPath.begin(), scenarioPath.end())));
    EXPECT_TRUE(Logged("VR_InitInternal2 type=1 attempt=1 -> token=" +
                       std::to_string(Export<GetInitTokenFn>("VR_GetInitToken")()) + " error=0"));
    EXPECT_TRUE(Logged("VR_GetGenericInterface version=IVRCompositor_029 -> ok error=0"));
    EXPECT_TRUE(Logged("system.SetSDKVersion frame=0 version=2.15.6 -> 0"));
    EXPECT_TRUE(Logged("system.GetRecommendedRenderTargetSize frame=0 -> 2016 2240"));
    EXPECT_TRUE(Logged("system.GetProjectionRaw frame=0 eye=0 -> -1.390000 1.250000 -1.470000 1.470000"));
    EXPECT_TRUE(Logged("system.GetEyeToHeadTransform frame=0 eye=1 -> x=0.031500"));
}

TEST_F(VrSimTest, OpticsAndFaultsComeFromTheScenario) {
    RunScenario("render_size 0 1080\n"
                "eye_to_head left nan\n"
                "projection right 0 1.39 -1.47 1.47\n"
                "sdk_version_error 169\n");
    ASSERT_EQ(0, Connect());
    EXPECT_EQ(169, SlotOf<SetSdkVersionFn>(system, 50)(system, 2, 15, 6));
    uint32_t width = 7, height = 7;
    SlotOf<GetRenderTargetSizeFn>(system, 0)(system, &width, &height);
    EXPECT_EQ(0u, width);
    EXPECT_EQ(1080u, height);
    Matrix34 eyeToHead{};
    SlotOf<GetEyeToHeadFn>(system, 5)(system, &eyeToHead, 0);
    EXPECT_TRUE(std::isnan(eyeToHead.m[0][3]));
    float raw[4] = {1, 1, 1, 1};
    SlotOf<GetProjectionRawFn>(system, 2)(system, 1, &raw[0], &raw[1], &raw[2], &raw[3]);
    EXPECT_EQ(0.0f, raw[0]);
    EXPECT_FLOAT_EQ(1.39f, raw[1]);
}

// Invalid optics follow the init attempt, so a client sees them on one reconnection only.
TEST_F(VrSimTest, OpticsErrorsCoverTheSessionsOfTheirInitAttempts) {
    RunScenario("optics_error 2..3\n");
    auto eyeToHeadX = [&](int32_t eye) {
        Matrix34 eyeToHead{};
        SlotOf<GetEyeToHeadFn>(system, 5)(system, &eyeToHead, eye);
        return eyeToHead.m[0][3];
    };
    const bool invalidOnAttempt[] = {false, true, true, false};
    for (bool invalid : invalidOnAttempt) {
        ASSERT_EQ(0, Connect());
        EXPECT_EQ(invalid, std::isnan(eyeToHeadX(0)));
        EXPECT_EQ(invalid, std::isnan(eyeToHeadX(1)));
        Export<ShutdownInternalFn>("VR_ShutdownInternal")();
    }
    EXPECT_FLOAT_EQ(-0.0315f, eyeToHeadX(0));
}

TEST_F(VrSimTest, InitFaults) {
    auto init = Export<InitInternal2Fn>("VR_InitInternal2");
    auto valid = Export<IsInterfaceVersionValidFn>("VR_IsInterfaceVersionValid");
    auto get = Export<GetGenericInterfaceFn>("VR_GetGenericInterface");
    auto describe = Export<DescribeInitErrorFn>("VR_GetVRInitErrorAsEnglishDescription");
    int32_t error = -1;

    // Fails on the first attempt only: the retry gets a session and a token.
    RunScenario("init_error 108 1..1\n");
    EXPECT_EQ(0u, init(&error, 1, nullptr));
    EXPECT_EQ(108, error);
    EXPECT_EQ(nullptr, get("IVRSystem_026", &error));
    EXPECT_EQ(109, error);
    EXPECT_NE(nullptr, describe(108));
    uint32_t token = init(&error, 1, nullptr);
    EXPECT_EQ(0, error);
    EXPECT_NE(0u, token);
    EXPECT_TRUE(Logged("VR_InitInternal2 type=1 attempt=1 -> token=0 error=108"));

    // Tokens never repeat, so a client drops interfaces cached in an older session.
    Export<ShutdownInternalFn>("VR_ShutdownInternal")();
    EXPECT_GT(init(&error, 1, nullptr), token);

    RunScenario("interface_missing IVRCompositor_029\n");
    init(&error, 1, nullptr);
    EXPECT_TRUE(valid("IVRSystem_026"));
    EXPECT_FALSE(valid("IVRCompositor_029"));
    EXPECT_FALSE(valid("FnTable:IVRSystem_026"));
    EXPECT_FALSE(valid("IVRSystem_023"));
    EXPECT_EQ(nullptr, get("IVRCompositor_029", &error));
    EXPECT_EQ(105, error);
    EXPECT_EQ(nullptr, get("IVRCompositor_028", &error));
    EXPECT_EQ(105, error);

    RunScenario("interface_null IVRCompositor_029\nerror_text none\n");
    init(&error, 1, nullptr);
    EXPECT_TRUE(valid("IVRCompositor_029"));
    EXPECT_EQ(nullptr, get("IVRCompositor_029", &error));
    EXPECT_EQ(0, error);
    EXPECT_NE(nullptr, get("IVRSystem_026", &error));
    EXPECT_EQ(nullptr, describe(108));

    RunScenario("runtime_installed no\n");
    EXPECT_FALSE(Export<IsRuntimeInstalledFn>("VR_IsRuntimeInstalled")());
    EXPECT_EQ(0u, init(&error, 1, nullptr));
    EXPECT_NE(0, error);
}

TEST_F(VrSimTest, WaitAndSubmitFaultsStartAtTheirFrame) {
    RunScenario("wait_error 108 3..3\nsubmit_error right 102 5..\n");
    ASSERT_EQ(0, Connect());
    auto submit = SlotOf<SubmitFn>(compositor, 6);
    Texture texture{reinterpret_cast<void*>(uintptr_t{0x1000}), 0, 0};
    DevicePose poses[64] = {};
    const int32_t expectedWait[] = {0, 0, 108, 0, 0};
    for (int32_t expected : expectedWait) {
        EXPECT_EQ(expected, WaitGetPoses(poses));
    }
    EXPECT_EQ(5u, Export<FrameCountFn>("VRSim_FrameCount")());
    EXPECT_EQ(0, submit(compositor, 0, &texture, nullptr, 0));
    EXPECT_EQ(102, submit(compositor, 1, &texture, nullptr, 0));
    EXPECT_TRUE(Logged("compositor.WaitGetPoses frame=3 render=64 game=0 -> 108"));
    EXPECT_TRUE(Logged("compositor.WaitGetPoses frame=4 render=64 game=0 -> 0"));
    EXPECT_TRUE(Logged(
        "compositor.Submit frame=5 eye=1 flags=0x0 texture=0x1000 type=0 bounds=none pose=none -> 102"));
}

// The age line after each Submit: the frame whose head pose the texture carries, found among
// the recent WaitGetPoses by the nearest pose, and the frames and milliseconds since.
TEST_F(VrSimTest, EachSubmissionSaysHowOldItsPoseIs) {
    // A head turning a degree a frame: every frame's pose is its own.
    RunScenario("head key 0 0 1.6 0 0 0 0\nhead key 100 0 1.6 0 100 0 0\n");
    ASSERT_EQ(0, Connect());
    auto submit = SlotOf<SubmitFn>(compositor, 6);
    DevicePose framePoses[6][64] = {};
    for (int frame = 1; frame <= 5; ++frame) {
        ASSERT_EQ(0, WaitGetPoses(framePoses[frame]));
    }
    const auto withPoseOf = [&](int frame, float nudge) {
        TextureWithPose texture{{reinterpret_cast<void*>(uintptr_t{0x2000}), 0, 0},
                                framePoses[frame][0].deviceToTracking};
        texture.pose.m[0][3] += nudge;
        return texture;
    };
    // Frame 3's pose as the client carried it (a millionth off after its own arithmetic).
    TextureWithPose third = withPoseOf(3, 1e-6f);
    EXPECT_EQ(0, submit(compositor, 0, &third, nullptr, 0x08));
    TextureWithPose fifth = withPoseOf(5, 0.0f);
    EXPECT_EQ(0, submit(compositor, 1, &fifth, nullptr, 0x08));
    Texture plain{reinterpret_cast<void*>(uintptr_t{0x2000}), 0, 0};
    EXPECT_EQ(0, submit(compositor, 0, &plain, nullptr, 0));
    TextureWithPose nowhere = withPoseOf(4, 0.01f); // a centimetre from any pose the runtime gave
    EXPECT_EQ(0, submit(compositor, 1, &nowhere, nullptr, 0x08));

    std::vector<std::string> ages;
    for (const std::string& line : LogLines()) {
        if (line.rfind("compositor.PoseAge ", 0) == 0) {
            // The milliseconds vary; everything before them is exact.
            const size_t ms = line.find(" ms=");
            ages.push_back(line.substr(0, ms));
            if (ms != std::string::npos) {
                EXPECT_GE(std::stod(line.substr(ms + 4)), 0.0) << line;
            }
        }
    }
    EXPECT_EQ((std::vector<std::string>{"compositor.PoseAge frame=5 eye=0 match=yes pose_frame=3 frames=2",
                                        "compositor.PoseAge frame=5 eye=1 match=yes pose_frame=5 frames=0",
                                        "compositor.PoseAge frame=5 eye=0 match=none pose_frame=5 frames=0",
                                        "compositor.PoseAge frame=5 eye=1 match=no"}),
              ages);
}

// A head that does not move gives every frame the same pose: the newest is named, and the line
// says the match could have been another frame.
TEST_F(VrSimTest, AStillHeadMakesThePoseAgeAmbiguous) {
    RunScenario("");
    ASSERT_EQ(0, Connect());
    DevicePose poses[64] = {};
    ASSERT_EQ(0, WaitGetPoses(poses));
    ASSERT_EQ(0, WaitGetPoses(poses));
    TextureWithPose texture{{reinterpret_cast<void*>(uintptr_t{0x2000}), 0, 0}, poses[0].deviceToTracking};
    EXPECT_EQ(0, SlotOf<SubmitFn>(compositor, 6)(compositor, 0, &texture, nullptr, 0x08));
    bool found = false;
    for (const std::string& line : LogLines()) {
        found =
            found ||
            line.rfind("compositor.PoseAge frame=2 eye=0 match=ambiguous pose_frame=2 frames=0 ms=", 0) == 0;
    }
    EXPECT_TRUE(found);
}

TEST_F(VrSimTest, SubmitRecordsBoundsFlagsAndThePose) {
    RunScenario("");
    ASSERT_EQ(0, Connect());
    DevicePose poses[64] = {};
    ASSERT_EQ(0, WaitGetPoses(poses));
    auto submit = SlotOf<SubmitFn>(compositor, 6);

    TextureWithPose withPose{{reinterpret_cast<void*>(uintptr_t{0xabc0}), 0, 0}, {}};
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            withPose.pose.m[row][column] = static_cast<float>(row * 4 + column) * 0.5f;
        }
    }
    Bounds bounds{0.0f, 0.125f, 0.5f, 0.875f};
    EXPECT_EQ(0, submit(compositor, 0, &withPose, &bounds, 0x28));
    EXPECT_TRUE(Logged("compositor.Submit frame=1 eye=0 flags=0x28 texture=0xabc0 type=0 "
                       "bounds=0.000000 0.125000 0.500000 0.875000 pose=0.000000 0.500000 1.000000 1.500000 "
                       "2.000000 2.500000 3.000000 3.500000 4.000000 4.500000 5.000000 5.500000 -> 0"));

    // Unusable textures and bounds are refused, not crashed on.
    Texture noHandle{nullptr, 0, 0};
    Texture openGl{withPose.texture.handle, 1, 0};
    Bounds notFinite{0.0f, 0.0f, NAN, 1.0f};
    EXPECT_EQ(102, submit(compositor, 1, nullptr, &bounds, 0));
    EXPECT_EQ(102, submit(compositor, 1, &noHandle, &bounds, 0));
    EXPECT_EQ(102, submit(compositor, 1, &openGl, &bounds, 0));
    EXPECT_EQ(109, submit(compositor, 1, &withPose.texture, &notFinite, 0));
    SlotOf<PostPresentHandoffFn>(compositor, 9)(compositor);
    EXPECT_TRUE(Logged("compositor.PostPresentHandoff frame=1"));
}

TEST_F(VrSimTest, HeadScriptSweepsLosesTrackingAndRecentres) {
    RunScenario("head key 3 0 1.7 0 0 0 0\n"
                "head key 13 1 1.7 0 90 0 0\n"
                "head lost 15..16\n"
                "recentre 18 1 0 0 90\n");
    ASSERT_EQ(0, Connect());
    DevicePose poses[64] = {};
    auto frameTo = [&](uint32_t frame) {
        while (Export<FrameCountFn>("VRSim_FrameCount")() < frame) {
            ASSERT_EQ(0, WaitGetPoses(poses));
        }
    };
    const Matrix34& head = poses[0].deviceToTracking;
    frameTo(1); // before the first key the first key holds
    EXPECT_NEAR(1.7f, head.m[1][3], 1e-6);
    EXPECT_NEAR(0.0f, head.m[0][3], 1e-6);

    frameTo(8); // half-way: yaw 45, x 0.5
    const float half = std::sqrt(0.5f);
    EXPECT_TRUE(poses[0].poseIsValid);
    EXPECT_NEAR(half, head.m[0][0], 1e-5);
    EXPECT_NEAR(half, head.m[0][2], 1e-5);
    EXPECT_NEAR(-half, head.m[2][0], 1e-5);
    EXPECT_NEAR(0.5f, head.m[0][3], 1e-5);
    EXPECT_NEAR(1.7f, head.m[1][3], 1e-5);

    frameTo(15);
    EXPECT_FALSE(poses[0].poseIsValid);
    EXPECT_TRUE(poses[0].deviceIsConnected);
    EXPECT_EQ(201, poses[0].trackingResult);
    frameTo(17);
    EXPECT_TRUE(poses[0].poseIsValid);
    EXPECT_NEAR(1.0f, head.m[0][3], 1e-5);

    // The new origin sits where the head is, turned the same way: the head reads as home.
    frameTo(18);
    EXPECT_NEAR(1.0f, head.m[0][0], 1e-5);
    EXPECT_NEAR(0.0f, head.m[0][2], 1e-5);
    EXPECT_NEAR(0.0f, head.m[0][3], 1e-5);
    EXPECT_NEAR(1.7f, head.m[1][3], 1e-5);
    EXPECT_NEAR(0.0f, head.m[2][3], 1e-5);

    // The recentre is announced once, as a seated-zero reset, and only to a 64-byte event.
    using PollFn = bool (*)(void*, void*, uint32_t);
    uint8_t event[64] = {};
    EXPECT_FALSE(SlotOf<PollFn>(system, 30)(system, event, 60));
    ASSERT_TRUE(SlotOf<PollFn>(system, 30)(system, event, 64));
    uint32_t type = 0;
    std::memcpy(&type, event, sizeof type);
    EXPECT_EQ(804u, type);
    EXPECT_FALSE(SlotOf<PollFn>(system, 30)(system, event, 64)) << "announced once";
    EXPECT_TRUE(Logged("system.PollNextEvent frame=18 -> 804"));
}

TEST_F(VrSimTest, ControllerScriptDrivesRolesConnectionAndInput) {
    RunScenario("controller 1 axis 0 trackpad\n"
                "controller 1 axis 1 joystick\n"
                "controller 1 trigger 2.. 0.75\n"
                "controller 1 stick 2..3 0.5 -0.25\n"
                "controller 1 grip 3\n"
                "controller 1 touched 2.. 0x100000000\n"
                "controller 2 connected 3..\n"
                "controller 3 role none\n"
                "controller 3 key 0 0.5 1 -0.5 0 0 0\n");
    ASSERT_EQ(0, Connect());
    auto indexForRole = SlotOf<IndexForRoleFn>(system, 18);
    auto roleForIndex = SlotOf<RoleForIndexFn>(system, 19);
    auto deviceClass = SlotOf<DeviceClassFn>(system, 20);
    auto connected = SlotOf<IsConnectedFn>(system, 21);
    auto property = SlotOf<Int32PropertyFn>(system, 24);
    auto controllerState = SlotOf<GetControllerStateFn>(system, 37);
    DevicePose poses[64] = {};

    ASSERT_EQ(0, WaitGetPoses(poses)); // frame 1: the right hand is not there yet
    EXPECT_EQ(1u, indexForRole(system, 1));
    EXPECT_EQ(kInvalidDevice, indexForRole(system, 2));
    EXPECT_FALSE(connected(system, 2));
    EXPECT_FALSE(poses[2].deviceIsConnected);
    EXPECT_EQ(2, deviceClass(system, 2)); // known, only away
    EXPECT_EQ(0, roleForIndex(system, 2));
    EXPECT_TRUE(connected(system, 3));
    EXPECT_EQ(0, roleForIndex(system, 3));
    EXPECT_EQ(0, deviceClass(system, 4));
    EXPECT_TRUE(poses[3].poseIsValid);
    EXPECT_NEAR(-0.5f, poses[3].deviceToTracking.m[2][3], 1e-6);

    ASSERT_EQ(0, WaitGetPoses(poses));
    ASSERT_EQ(0, WaitGetPoses(poses)); // frame 3
    EXPECT_EQ(2u, indexForRole(system, 2));
    EXPECT_EQ(2, roleForIndex(system, 2));
    EXPECT_TRUE(poses[2].poseIsValid);

    int32_t error = -1;
    EXPECT_EQ(1, property(system, 1, 3002, &error));
    EXPECT_EQ(0, error);
    EXPECT_EQ(2, property(system, 1, 3003, &error));
    EXPECT_EQ(0, property(system, 1, 3004, &error));
    EXPECT_EQ(3, property(system, 2, 3003, &error)); // default right hand: trigger on axis 1
    EXPECT_EQ(0, property(system, 9, 3002, &error));
    EXPECT_EQ(5, error);

    // Controller 1 has no trigger axis: the trigger line lands nowhere; the stick goes to axis 0.
    ControllerState state{};
    ASSERT_TRUE(controllerState(system, 1, &state, sizeof state));
    EXPECT_EQ(3u, state.packetNum);
    EXPECT_EQ(uint64_t{1} << 2, state.pressed);
    EXPECT_EQ(uint64_t{1} << 32, state.touched);
    EXPECT_FLOAT_EQ(0.5f, state.axis[0].x);
    EXPECT_FLOAT_EQ(-0.25f, state.axis[0].y);
    EXPECT_FLOAT_EQ(0.0f, state.axis[1].x);
    EXPECT_FALSE(controllerState(system, 1, &state, 60)); // the Linux-packed size is refused
    EXPECT_FALSE(controllerState(system, 0, &state, sizeof state));
    EXPECT_TRUE(Logged("system.GetControllerState frame=3 device=1 size=64 -> 1 packet=3 pressed=0x4 "
                       "touched=0x100000000 axes=0.500000,-0.250000 0.000000,0.000000 0.000000,0.000000 "
                       "0.000000,0.000000 0.000000,0.000000"));

    ASSERT_EQ(0, WaitGetPoses(poses)); // frame 4: grip released, stick back to rest
    ASSERT_TRUE(controllerState(system, 1, &state, sizeof state));
    EXPECT_EQ(0u, state.pressed);
    EXPECT_FLOAT_EQ(0.0f, state.axis[0].x);
}

TEST_F(VrSimTest, UnusedSlotsAnswerWithFailureAndAreLogged) {
    RunScenario("");
    ASSERT_EQ(0, Connect());
    using AnySlot = uint64_t (*)(void*, void*, void*, void*);
    const int systemUsed[] = {0, 1, 2, 5, 18, 19, 20, 21, 23, 24, 30, 37, 50};
    const int compositorUsed[] = {0, 1, 2, 6, 9};
    auto used = [](const auto& list, int slot) {
        for (int u : list) {
            if (u == slot) {
                return true;
            }
        }
        return false;
    };
    for (int slot = 0; slot < 51; ++slot) {
        if (!used(systemUsed, slot)) {
            SlotOf<AnySlot>(system, slot)(system, nullptr, nullptr, nullptr);
            EXPECT_TRUE(Logged("unexpected slot " + std::to_string(slot) + " in IVRSystem_026 frame=0"));
        }
    }
    for (int slot = 0; slot < 53; ++slot) {
        if (!used(compositorUsed, slot)) {
            SlotOf<AnySlot>(compositor, slot)(compositor, nullptr, nullptr, nullptr);
            EXPECT_TRUE(Logged("unexpected slot " + std::to_string(slot) + " in IVRCompositor_029 frame=0"));
        }
    }

    // Result values by kind: bool false, compositor error RequestFailed, float 0, struct zeroed.
    using BoolSlot = bool (*)(void*);
    using ErrorSlot = int32_t (*)(void*, void*, void*, void*);
    using FloatSlot = float (*)(void*);
    EXPECT_FALSE(SlotOf<BoolSlot>(system, 42)(system));
    EXPECT_EQ(1, SlotOf<ErrorSlot>(compositor, 5)(compositor, nullptr, nullptr, nullptr));
    EXPECT_EQ(0.0f, SlotOf<FloatSlot>(compositor, 12)(compositor));
    Matrix34 seated{};
    seated.m[0][0] = 5.0f;
    EXPECT_EQ(&seated, SlotOf<GetEyeToHeadFn>(system, 13)(system, &seated, 0));
    EXPECT_EQ(0.0f, seated.m[0][0]);
}

TEST_F(VrSimTest, ACallWithTheResultBufferFirstIsRefusedWithoutDamage) {
    RunScenario("");
    ASSERT_EQ(0, Connect());
    Matrix34 buffer{};
    buffer.m[0][3] = 9.0f;
    SlotOf<SwappedGetEyeToHeadFn>(system, 5)(&buffer, system, 0);
    EXPECT_EQ(9.0f, buffer.m[0][3]);
    EXPECT_TRUE(Logged("foreign this in IVRSystem_026 slot 5 frame=0"));

    // The served object is intact: a correct call still works.
    Matrix34 eyeToHead{};
    SlotOf<GetEyeToHeadFn>(system, 5)(system, &eyeToHead, 0);
    EXPECT_FLOAT_EQ(-0.0315f, eyeToHead.m[0][3]);

    // Calls after shutdown are answered but flagged.
    Export<ShutdownInternalFn>("VR_ShutdownInternal")();
    SlotOf<GetEyeToHeadFn>(system, 5)(system, &eyeToHead, 1);
    EXPECT_TRUE(Logged("outside session IVRSystem_026 slot 5 frame=0"));
}

TEST_F(VrSimTest, UnreadableScenarioLinesAreReportedAndSkipped) {
    RunScenario("render_size 100 200\n"
                "render_size 300\n"
                "head key 1 0 1.6\n"
                "warp_drive on\n"
                "controller 0 role left\n"
                "wait_error 1 5..2\n");
    ASSERT_EQ(0, Connect());
    uint32_t width = 0, height = 0;
    SlotOf<GetRenderTargetSizeFn>(system, 0)(system, &width, &height);
    EXPECT_EQ(100u, width);
    EXPECT_EQ(200u, height);
    EXPECT_TRUE(Logged("scenario error line=2: missing height"));
    EXPECT_TRUE(Logged("scenario error line=3: missing position"));
    EXPECT_TRUE(Logged("scenario error line=4: unknown setting 'warp_drive'"));
    EXPECT_TRUE(Logged("scenario error line=5: device 0 is the headset"));
    EXPECT_TRUE(Logged("scenario error line=6: empty range '5..2'"));
}

TEST_F(VrSimTest, ShippedScenariosReadWithoutErrors) {
    for (const wchar_t* name : {L"scenarios\\seated_demo.txt", L"scenarios\\unstable_runtime.txt"}) {
        std::wstring path = BesideThisProgram(name);
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
        logPath = BesideThisProgram(L"vrsim_test.log");
        SetEnvironmentVariableW(L"VRSIM_SCENARIO", path.c_str());
        SetEnvironmentVariableW(L"VRSIM_LOG", logPath.c_str());
        Export<ResetFn>("VRSim_Reset")();
        std::vector<std::string> lines = LogLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(0u, lines[0].rfind("scenario file=", 0)) << lines[0];
        for (const std::string& line : lines) {
            EXPECT_EQ(std::string::npos, line.find("scenario error")) << line;
        }
    }
}

TEST_F(VrSimTest, PacedWaitKeepsToTheRefreshRate) {
    RunScenario("refresh 50\npace on\n");
    ASSERT_EQ(0, Connect());
    DevicePose poses[64] = {};
    auto start = std::chrono::steady_clock::now();
    for (int frame = 0; frame < 6; ++frame) {
        ASSERT_EQ(0, WaitGetPoses(poses));
    }
    // Six frames at 50 Hz span at least five 20 ms intervals.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
}

} // namespace
} // namespace vrsim_test
