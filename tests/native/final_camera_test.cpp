// The final gameplay camera handler called as the detour would call it: a fake game routine
// stands in for the trampoline, and the return address is given explicitly.
#include "stereo/final_camera.h"

#include "camera_test_support.h"
#include "fake_game_image.h"
#include "game/first_person.h"
#include "input/snap_turn.h"
#include "interception/game_detours.h"
#include "stereo/head_look.h"
#include "stereo/stereo_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

// Where the gameplay call of the final camera function returns to: GameBase + 0x772B0.
constexpr uintptr_t kCameraReturn = kImageBase + 0x772B0;
constexpr uint32_t kArg3 = 0xA5C3u;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
// Eye offsets of the fake headset in game units (1.75 units per metre): deliberately unequal,
// so the other eye's offset is not just this eye's offset negated.
constexpr float kLeftEyeToHead = -0.030f;
constexpr float kRightEyeToHead = 0.034f;

struct RoutineCall {
    const float* eyeArgument = nullptr;
    const float* targetArgument = nullptr;
    Vector3 eye;
    Vector3 target;
    uint32_t arg3 = 0;
    bool renderPosePublished = false; // the current eye's render pose, as the routine saw it
};

std::vector<RoutineCall>& RoutineCalls() {
    static std::vector<RoutineCall> calls;
    return calls;
}

void RecordCall(float* eye, float* target, uint32_t arg3) {
    RoutineCall call;
    call.eyeArgument = eye;
    call.targetArgument = target;
    if (eye != nullptr) {
        call.eye = {eye[0], eye[1], eye[2]};
    }
    if (target != nullptr) {
        call.target = {target[0], target[1], target[2]};
    }
    call.arg3 = arg3;
    call.renderPosePublished = PublishedRenderPose(GetStereoState().currentEye).valid;
    RoutineCalls().push_back(call);
}

void GameCameraRoutine(float* eye, float* target, uint32_t arg3) {
    RecordCall(eye, target, arg3);
}

// Thread-safe stand-in for the concurrent calls: counts calls and displaced eyes.
std::atomic<int> g_concurrentCalls{0};
std::atomic<int> g_concurrentDisplaced{0};
void CountingCameraRoutine(float* eye, float*, uint32_t) {
    ++g_concurrentCalls;
    if (eye[0] > 0.05f) {
        ++g_concurrentDisplaced;
    }
}

void ThrowingCameraRoutine(float* eye, float* target, uint32_t arg3) {
    RecordCall(eye, target, arg3);
    throw std::runtime_error("game routine");
}

void ExpectVector(const Vector3& expected, const Vector3& actual, float tolerance = 1e-4f) {
    EXPECT_NEAR(expected.x, actual.x, tolerance);
    EXPECT_NEAR(expected.y, actual.y, tolerance);
    EXPECT_NEAR(expected.z, actual.z, tolerance);
}

Vector3 Minus(const Vector3& a, const Vector3& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

float Length(const Vector3& v) {
    return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
}

class FinalCameraTest : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        RoutineCalls().clear();
        fake::OpenVr().eyeToHeadX[0] = kLeftEyeToHead;
        fake::OpenVr().eyeToHeadX[1] = kRightEyeToHead;
        ConnectPresenter();
        PublishDetour(GameDetour::FinalCamera, reinterpret_cast<uintptr_t>(&GameCameraRoutine),
                      kCameraReturn);
        GetStereoState().cameraBuildSupported = true;
    }

    static void Stereo(bool active, uint32_t eye) {
        GetStereoState().stereoActive = active;
        GetStereoState().currentEye = eye;
    }

    static void FirstPerson(bool active) { GetGameBridge().FirstPersonActive.store(active); }

    // Calls the handler with the game's own eye and target; returns the one routine call.
    RoutineCall Call(const Vector3& eye, const Vector3& target, uintptr_t returnAddress = kCameraReturn) {
        gameEye[0] = eye.x;
        gameEye[1] = eye.y;
        gameEye[2] = eye.z;
        gameTarget[0] = target.x;
        gameTarget[1] = target.y;
        gameTarget[2] = target.z;
        const size_t before = RoutineCalls().size();
        HandleFinalGameplayCamera(returnAddress, gameEye, gameTarget, kArg3);
        EXPECT_EQ(before + 1, RoutineCalls().size()) << "the game routine runs exactly once";
        if (RoutineCalls().size() != before + 1) {
            return RoutineCall{};
        }
        const RoutineCall call = RoutineCalls().back();
        EXPECT_EQ(kArg3, call.arg3);
        // The game's own vectors are never written.
        EXPECT_EQ(0, std::memcmp(&eye, gameEye, sizeof gameEye));
        EXPECT_EQ(0, std::memcmp(&target, gameTarget, sizeof gameTarget));
        return call;
    }

    bool PassedThrough(const RoutineCall& call) const {
        return call.eyeArgument == gameEye && call.targetArgument == gameTarget;
    }

    static float EyeOffsetUnitsOf(float eyeToHead) { return 1.75f * eyeToHead; }

    float gameEye[3] = {};
    float gameTarget[3] = {};
};

// The camera 10 units from (0, 1, 0) towards -z, raised by `pitchDegrees`.
Vector3 GameTarget(float pitchDegrees) {
    const float pitch = Radians(pitchDegrees);
    return {0.0f, 1.0f + 10.0f * std::sin(pitch), -10.0f * std::cos(pitch)};
}

constexpr Vector3 kGameEye{0.0f, 1.0f, 0.0f};

TEST_F(FinalCameraTest, RejectedCallsPassTheGameArgumentsThroughAndReportNothing) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        Vector3 eye;
        Vector3 target;
        uintptr_t returnAddress;
    };
    const Vector3 level = GameTarget(0.0f);
    const std::vector<Case> cases = {
        {"another call site", [] {}, kGameEye, level, kImageBase + 0x76E45},
        {"no call site published",
         [] { PublishDetour(GameDetour::FinalCamera, reinterpret_cast<uintptr_t>(&GameCameraRoutine), 0); },
         kGameEye, level, kCameraReturn},
        {"unvalidated build", [] { GetStereoState().cameraBuildSupported = false; }, kGameEye, level,
         kCameraReturn},
        {"straight up", [] {}, kGameEye, {0.0f, 11.0f, 0.0f}, kCameraReturn},
        {"straight down", [] {}, kGameEye, {0.0f, -9.0f, 0.0f}, kCameraReturn},
        {"nearly vertical", [] {}, kGameEye, {0.00005f, 11.0f, 0.0f}, kCameraReturn},
        {"target on the eye", [] {}, kGameEye, kGameEye, kCameraReturn},
        {"eye not finite", [] {}, {kNan, 1.0f, 0.0f}, level, kCameraReturn},
        {"target not finite", [] {}, kGameEye, {0.0f, 1.0f, -kInf}, kCameraReturn},
        {"direction overflows", [] {}, {3e38f, 1.0f, 0.0f}, {-3e38f, 1.0f, 0.0f}, kCameraReturn},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        // Everything that would move the camera is on.
        Stereo(true, 1);
        FirstPerson(true);
        SetHeadSample(HeadTurn(30.0f, 10.0f), {0.1f, 0.0f, 0.0f});
        c.arrange();

        const RoutineCall call = Call(c.eye, c.target, c.returnAddress);
        EXPECT_TRUE(PassedThrough(call));
        EXPECT_FALSE(TakeGameplayCameraSeen());
        EXPECT_FALSE(GetStereoState().eyeCameraApplied.load());
        EXPECT_FALSE(PublishedRenderPose(1).valid);
        EXPECT_TRUE(LogMessages().empty());
    }
}

TEST_F(FinalCameraTest, NullVectorsPassThrough) {
    Stereo(true, 1);
    HandleFinalGameplayCamera(kCameraReturn, nullptr, gameTarget, kArg3);
    HandleFinalGameplayCamera(kCameraReturn, gameEye, nullptr, kArg3);
    ASSERT_EQ(2u, RoutineCalls().size());
    EXPECT_EQ(nullptr, RoutineCalls()[0].eyeArgument);
    EXPECT_EQ(gameTarget, RoutineCalls()[0].targetArgument);
    EXPECT_EQ(gameEye, RoutineCalls()[1].eyeArgument);
    EXPECT_EQ(nullptr, RoutineCalls()[1].targetArgument);
    EXPECT_FALSE(TakeGameplayCameraSeen());
    EXPECT_FALSE(GetStereoState().eyeCameraApplied.load());
}

TEST_F(FinalCameraTest, WithoutATrampolineNothingIsCalled) {
    PublishDetour(GameDetour::FinalCamera, 0, 0);
    Stereo(true, 1);
    const Vector3 target = GameTarget(0.0f);
    float eye[3] = {kGameEye.x, kGameEye.y, kGameEye.z};
    float targetCopy[3] = {target.x, target.y, target.z};
    HandleFinalGameplayCamera(kCameraReturn, eye, targetCopy, kArg3);
    EXPECT_TRUE(RoutineCalls().empty());
    EXPECT_FALSE(TakeGameplayCameraSeen());
}

TEST_F(FinalCameraTest, AGameplayCallIsReportedEvenWithNothingToChange) {
    const RoutineCall call = Call(kGameEye, GameTarget(20.0f));
    EXPECT_TRUE(PassedThrough(call));
    EXPECT_TRUE(TakeGameplayCameraSeen());
    EXPECT_FALSE(GetStereoState().eyeCameraApplied.load());
}

TEST_F(FinalCameraTest, TheEyeOffsetMovesAlongTheCameraSideVectorForTheOffsetEye) {
    struct Case {
        uint32_t currentEye;
        bool swapEyes;
        float eyeToHead; // the offset eye's
        const char* line;
    };
    const Case cases[] = {
        {0, false, kLeftEyeToHead,
         "Final gameplay camera AER active for left eye (offset -0.05250 units, source 1.000/2.000/3.000, "
         "eye "
         "order normal)"},
        {1, false, kRightEyeToHead,
         "Final gameplay camera AER active for right eye (offset 0.05950 units, source 1.000/2.000/3.000, "
         "eye "
         "order normal)"},
        {0, true, kRightEyeToHead,
         "Final gameplay camera AER active for left eye (offset 0.05950 units, source 1.000/2.000/3.000, eye "
         "order swapped)"},
        {1, true, kLeftEyeToHead,
         "Final gameplay camera AER active for right eye (offset -0.05250 units, source 1.000/2.000/3.000, "
         "eye "
         "order swapped)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ResetProcessState();
        SetUp();
        Stereo(true, c.currentEye);
        GetStereoState().swapEyes = c.swapEyes;
        // d = (3, 0, 4): the camera's right R = (-4, 0, 3) / 5.
        const Vector3 eye{1.0f, 2.0f, 3.0f};
        const Vector3 target{4.0f, 2.0f, 7.0f};
        const float offset = EyeOffsetUnitsOf(c.eyeToHead);
        const Vector3 shift{-0.8f * offset, 0.0f, 0.6f * offset};

        const RoutineCall call = Call(eye, target);
        EXPECT_FALSE(PassedThrough(call));
        ExpectVector({eye.x + shift.x, eye.y, eye.z + shift.z}, call.eye, 1e-6f);
        ExpectVector({target.x + shift.x, target.y, target.z + shift.z}, call.target, 1e-6f);
        EXPECT_EQ(c.currentEye, GetStereoState().currentEye);
        EXPECT_TRUE(GetStereoState().eyeCameraApplied.load());
        EXPECT_EQ(std::vector<std::string>{c.line}, LogMessages());

        // Once per eye: the same eye again logs nothing, the other eye its own line.
        (void)Call(eye, target);
        EXPECT_EQ(1u, LogMessages().size());
        GetStereoState().currentEye = 1 - c.currentEye;
        (void)Call(eye, target);
        EXPECT_EQ(2u, LogMessages().size());
    }
}

TEST_F(FinalCameraTest, NoEyeOffsetWithoutStereoOrWithoutAUsableOffset) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
    };
    const std::vector<Case> cases = {
        {"stereo not active", [] { Stereo(false, 1); }},
        {"presenter not connected",
         [] {
             VrPresenter& presenter = VrPresenter::Instance();
             std::lock_guard<std::mutex> lock(presenter.presenterMutex);
             presenter.Disconnect(0);
         }},
        {"offset not finite", [] { GetStereoState().stereoUnitsPerMeter = kInf; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        Stereo(true, 1);
        c.arrange();
        const RoutineCall call = Call(kGameEye, GameTarget(0.0f));
        EXPECT_TRUE(PassedThrough(call));
        EXPECT_FALSE(GetStereoState().eyeCameraApplied.load());
        EXPECT_TRUE(TakeGameplayCameraSeen());
        EXPECT_TRUE(LogMessages().empty());
    }
}

TEST_F(FinalCameraTest, DirectHeadLookTurnsTheCameraWithinThePitchHeadroom) {
    struct Case {
        const char* name;
        float gamePitch;
        float headYaw;
        float headPitch;
        float yawScale;
        float pitchScale;
        float expectedYaw;       // towards the camera's right
        float expectedElevation; // of the new view direction
    };
    const Case cases[] = {
        {"zero head pose keeps the camera", 30.0f, 0.0f, 0.0f, 1.0f, 1.0f, 0.0f, 30.0f},
        {"80 up, head 20 up: 5 of headroom", 80.0f, 0.0f, 20.0f, 1.0f, 1.0f, 0.0f, 85.0f},
        {"80 up, head 20 down: limited alike", 80.0f, 0.0f, -20.0f, 1.0f, 1.0f, 0.0f, 75.0f},
        {"80 down, head 20 down", -80.0f, 0.0f, -20.0f, 1.0f, 1.0f, 0.0f, -85.0f},
        {"80 down, head 20 up", -80.0f, 0.0f, 20.0f, 1.0f, 1.0f, 0.0f, -75.0f},
        {"head yaw 30 right", 0.0f, 30.0f, 0.0f, 1.0f, 1.0f, 30.0f, 0.0f},
        {"head yaw 40 left, scaled by 0.5", 0.0f, -40.0f, 0.0f, 0.5f, 1.0f, -20.0f, 0.0f},
        {"HeadYawScale 0 keeps the yaw", 10.0f, 30.0f, 0.0f, 0.0f, 1.0f, 0.0f, 10.0f},
        {"pitch scaled by 0.5", 0.0f, 0.0f, 40.0f, 1.0f, 0.5f, 0.0f, 20.0f},
        {"scaled pitch 160 stops at 89, then at the 85 headroom", 0.0f, 0.0f, 80.0f, 1.0f, 2.0f, 0.0f, 85.0f},
        {"yaw and pitch together", 0.0f, 90.0f, 30.0f, 1.0f, 1.0f, 90.0f, 30.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        FirstPerson(true);
        Stereo(false, 1);
        GetSettings().HeadYawScale = c.yawScale;
        GetSettings().HeadPitchScale = c.pitchScale;
        SetHeadSample(HeadTurn(c.headYaw, c.headPitch), {}, 7, Quaternion{}, {0.2f, 1.6f, -0.1f});

        const RoutineCall call = Call(kGameEye, GameTarget(c.gamePitch));
        ExpectVector(kGameEye, call.eye, 1e-5f);
        const Vector3 direction = Minus(call.target, call.eye);
        EXPECT_NEAR(10.0f, Length(direction), 1e-4f);
        EXPECT_NEAR(c.expectedElevation, Degrees(std::asin(direction.y / Length(direction))), 2e-3f);
        EXPECT_NEAR(c.expectedYaw, Degrees(std::atan2(direction.x, -direction.z)), 2e-3f);

        // The render pose is what the camera rendered: scaled yaw, applied pitch, no roll.
        EXPECT_FALSE(call.renderPosePublished) << "published only after the game routine returned";
        const EyeRenderPose pose = PublishedRenderPose(1);
        ASSERT_TRUE(pose.valid);
        EXPECT_EQ(7u, pose.referenceEpoch);
        EXPECT_FLOAT_EQ(0.2f, pose.position[0]);
        EXPECT_FLOAT_EQ(1.6f, pose.position[1]);
        EXPECT_FLOAT_EQ(-0.1f, pose.position[2]);
        ExpectSameRotation(HeadTurn(c.expectedYaw, c.expectedElevation - c.gamePitch), pose.orientation);
        EXPECT_FALSE(GetStereoState().eyeCameraApplied.load());
    }
}

TEST_F(FinalCameraTest, HeadPositionMovesTheCameraInItsOwnFrame) {
    FirstPerson(true);
    // Looking along +x: Fh = (1, 0, 0), R = (0, 0, 1). Head 0.1 m right, 0.2 m up, 0.3 m forward.
    SetHeadSample(Quaternion{}, {0.1f, 0.2f, -0.3f});
    const RoutineCall call = Call(kGameEye, {10.0f, 1.0f, 0.0f});
    const Vector3 moved{1.75f * 0.3f, 1.0f + 1.75f * 0.2f, 1.75f * 0.1f};
    ExpectVector(moved, call.eye, 1e-5f);
    ExpectVector({moved.x + 10.0f, moved.y, moved.z}, call.target, 1e-4f);
    EXPECT_EQ(
        std::vector<std::string>{"Direct first-person HMD yaw/pitch/position active (scale 1.000/1.000; "
                                 "per-eye render poses submitted)"},
        LogMessages());
    (void)Call(kGameEye, {10.0f, 1.0f, 0.0f});
    EXPECT_EQ(1u, LogMessages().size());
}

TEST_F(FinalCameraTest, HeadLookNeedsFirstPersonAndTheSetting) {
    SetHeadSample(HeadTurn(30.0f, 0.0f));
    EXPECT_TRUE(PassedThrough(Call(kGameEye, GameTarget(0.0f))));
    FirstPerson(true);
    GetSettings().MapHeadLook = false;
    EXPECT_TRUE(PassedThrough(Call(kGameEye, GameTarget(0.0f))));
    EXPECT_FALSE(PublishedRenderPose(1).valid);
}

TEST_F(FinalCameraTest, TheEyeOffsetFollowsTheTurnedDirection) {
    FirstPerson(true);
    Stereo(true, 1);
    SetHeadSample(HeadTurn(90.0f, 0.0f));
    // The game looks along -z; the head turns the camera to +x, whose right is +z.
    const RoutineCall call = Call(kGameEye, GameTarget(0.0f));
    const float offset = EyeOffsetUnitsOf(kRightEyeToHead);
    ExpectVector({0.0f, 1.0f, offset}, call.eye, 1e-5f);
    ExpectVector({10.0f, 1.0f, offset}, call.target, 1e-4f);
    EXPECT_TRUE(GetStereoState().eyeCameraApplied.load());
}

TEST_F(FinalCameraTest, ASnapTurnHoldsTheOldHeadingUnderTheHeadLook) {
    FirstPerson(true);
    GetSnapTurn().Engage(30.0f);
    (void)GetSnapTurn().OnTurnStick(32767);
    // The step starts from the game's heading along -z.
    (void)Call(kGameEye, GameTarget(0.0f));
    // The game has turned 10 degrees right (towards +x) and looks 20 degrees up; the view keeps
    // the old heading and the game's pitch.
    const float yaw = Radians(10.0f);
    const float pitch = Radians(20.0f);
    const Vector3 turned{10.0f * std::cos(pitch) * std::sin(yaw), 1.0f + 10.0f * std::sin(pitch),
                         -10.0f * std::cos(pitch) * std::cos(yaw)};
    ExpectVector(GameTarget(20.0f), Call(kGameEye, turned).target);
    // The head turns the held view: 90 degrees right of -z is +x.
    SetHeadSample(HeadTurn(90.0f, 0.0f));
    ExpectVector({10.0f, 1.0f, 0.0f},
                 Call(kGameEye, {10.0f * std::sin(yaw), 1.0f, -10.0f * std::cos(yaw)}).target);
    // Outside first person the game's camera passes as it is.
    FirstPerson(false);
    EXPECT_TRUE(PassedThrough(Call(kGameEye, turned)));
}

TEST_F(FinalCameraTest, AFailedHeadPoseStillAllowsTheEyeOffset) {
    FirstPerson(true);
    Stereo(true, 0);
    ClearHeadSample();
    const RoutineCall call = Call(kGameEye, GameTarget(0.0f));
    ExpectVector({EyeOffsetUnitsOf(kLeftEyeToHead), 1.0f, 0.0f}, call.eye, 1e-6f);
    EXPECT_TRUE(GetStereoState().eyeCameraApplied.load());
    EXPECT_FALSE(PublishedRenderPose(0).valid);
}

TEST_F(FinalCameraTest, BothEyesOfAPairRenderWithTheFirstEyesHeadPose) {
    // SwapEyes moves each eye's camera by the other eye's offset, but the frame still belongs to
    // currentEye: its pair role and its render pose slot stay currentEye's.
    for (const bool swapEyes : {false, true}) {
        SCOPED_TRACE(swapEyes ? "eyes swapped" : "eyes in order");
        ResetProcessState();
        SetUp();
        GetStereoState().swapEyes = swapEyes;
        FirstPerson(true);
        Stereo(true, 1); // the right eye is the first of a pair
        SetHeadSample(HeadTurn(10.0f, 0.0f), {}, 5);
        (void)Call(kGameEye, GameTarget(0.0f));
        ExpectSameRotation(HeadTurn(10.0f, 0.0f), PublishedRenderPose(1).orientation);
        EXPECT_FALSE(PublishedRenderPose(0).valid) << "the right eye's pose went to the left eye's slot";

        GetStereoState().currentEye = 0;
        SetHeadSample(HeadTurn(30.0f, 0.0f), {}, 5);
        RoutineCall call = Call(kGameEye, GameTarget(0.0f));
        Vector3 direction = Minus(call.target, call.eye);
        EXPECT_NEAR(10.0f, Degrees(std::atan2(direction.x, -direction.z)), 2e-3f);
        ASSERT_TRUE(PublishedRenderPose(0).valid);
        ExpectSameRotation(HeadTurn(10.0f, 0.0f), PublishedRenderPose(0).orientation);
        ExpectSameRotation(HeadTurn(10.0f, 0.0f), PublishedRenderPose(1).orientation);

        // Stereo not engaged: no lock, each call its own pose.
        Stereo(false, 0);
        call = Call(kGameEye, GameTarget(0.0f));
        direction = Minus(call.target, call.eye);
        EXPECT_NEAR(30.0f, Degrees(std::atan2(direction.x, -direction.z)), 2e-3f);
    }
}

TEST_F(FinalCameraTest, ThePairSharesAHeadPoseOnlyWithPairedAERAndThePoseLockBothOn) {
    struct Case {
        const char* name;
        bool spacewarpCompatible;
        bool lockHeadPose;
        float secondEyeYaw;
    };
    const Case cases[] = {
        {"both on", true, true, 10.0f},
        {"SpacewarpCompatibleAER=0", false, true, 30.0f},
        {"LockHeadPoseAcrossAERPair=0", true, false, 30.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        GetSettings().SpacewarpCompatibleAER = c.spacewarpCompatible;
        GetSettings().LockHeadPoseAcrossAERPair = c.lockHeadPose;
        FirstPerson(true);
        Stereo(true, 1);
        SetHeadSample(HeadTurn(10.0f, 0.0f), {}, 5);
        (void)Call(kGameEye, GameTarget(0.0f));

        GetStereoState().currentEye = 0;
        SetHeadSample(HeadTurn(30.0f, 0.0f), {}, 5);
        const RoutineCall call = Call(kGameEye, GameTarget(0.0f));
        const Vector3 direction = Minus(call.target, call.eye);
        EXPECT_NEAR(c.secondEyeYaw, Degrees(std::atan2(direction.x, -direction.z)), 2e-3f);
        ExpectSameRotation(HeadTurn(c.secondEyeYaw, 0.0f), PublishedRenderPose(0).orientation);
    }
}

TEST_F(FinalCameraTest, AnEyeOffsetThatOverflowsTheCameraLeavesTheGameItsOwnCamera) {
    Stereo(true, 1);
    // A finite offset (0.034 m x 1e38 = 3.4e36 units) that carries the eye past the largest
    // float; the view direction itself is an ordinary one.
    GetStereoState().stereoUnitsPerMeter = 1e38f;
    const RoutineCall call = Call({3.4e38f, 1.0f, 0.0f}, {3.4e38f, 1.0f, -10.0f});
    EXPECT_TRUE(PassedThrough(call));
    EXPECT_FALSE(GetStereoState().eyeCameraApplied.load());
    EXPECT_TRUE(LogMessages().empty());
    EXPECT_TRUE(TakeGameplayCameraSeen());
}

TEST_F(FinalCameraTest, ConcurrentCallsEachRunTheRoutineOnceAndLogTheEyeOnce) {
    Stereo(true, 1);
    PublishDetour(GameDetour::FinalCamera, reinterpret_cast<uintptr_t>(&CountingCameraRoutine),
                  kCameraReturn);
    g_concurrentCalls = 0;
    g_concurrentDisplaced = 0;
    constexpr int kThreads = 4;
    constexpr int kCallsPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kCallsPerThread; ++i) {
                float eye[3] = {0.0f, 1.0f, 0.0f};
                float target[3] = {0.0f, 1.0f, -10.0f};
                HandleFinalGameplayCamera(kCameraReturn, eye, target, kArg3);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(kThreads * kCallsPerThread, g_concurrentCalls.load());
    EXPECT_EQ(kThreads * kCallsPerThread, g_concurrentDisplaced.load());
    EXPECT_EQ(1u, LogMessages().size());
}

class FinalCameraBodyTest : public FinalCameraTest {
protected:
    void SetUp() override {
        FinalCameraTest::SetUp();
        InstallFakeHost();
        LayOutGameImage();
        ASSERT_TRUE(IsExecutableValidated());
        GameBridge& bridge = GetGameBridge();
        bridge.EntryPlayerObject = kPlayerObject;
        bridge.EntryActiveActor = kActiveActor;
        SetCameraState(17);
        GetSettings().MapHeadLook = false;
    }
    static float BodyAlpha() { return fake::PeekValue<float>(kActiveActor + 0x58); }
};

TEST_F(FinalCameraBodyTest, TheForwardOffsetNeedsFirstPersonWithTheBodyShown) {
    struct Case {
        const char* name;
        bool showBody;
        bool firstPerson;
        float offset;
        bool moved;
        bool bodyShown;
        float rise = 0.0f; // of the target above the eye
    };
    const Case cases[] = {
        {"body shown", true, true, 0.2f, true, true},
        {"offset 0 still shows the body", true, true, 0.0f, false, true},
        {"body hidden", false, true, 0.2f, false, false},
        {"not in first person", true, false, 0.2f, false, false},
        // d = (3, 5, 4): the step stays level, along Fh, not along the raised F.
        {"camera looking up", true, true, 0.2f, true, true, 5.0f},
        {"camera looking down", true, true, 0.2f, true, true, -5.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        GetSettings().ShowPlayerBody = c.showBody;
        GetSettings().FirstPersonForwardOffset = c.offset;
        FirstPerson(c.firstPerson);
        // Horizontally d = (3, 4): Fh = (0.6, 0, 0.8).
        const RoutineCall call = Call(kGameEye, {3.0f, 1.0f + c.rise, 4.0f});
        EXPECT_EQ(!c.moved, PassedThrough(call));
        const Vector3 shift = c.moved ? Vector3{0.6f * c.offset, 0.0f, 0.8f * c.offset} : Vector3{};
        ExpectVector({shift.x, 1.0f, shift.z}, call.eye, 1e-6f);
        ExpectVector({3.0f + shift.x, 1.0f + c.rise, 4.0f + shift.z}, call.target, 1e-6f);
        EXPECT_EQ(c.bodyShown ? 1.0f : 0.25f, BodyAlpha());
    }
}

TEST_F(FinalCameraBodyTest, NothingThrowsIntoTheGame) {
    GetSettings().ShowPlayerBody = true;
    FirstPerson(true);
    Stereo(true, 1);
    // The body code's log line reaches a sink that throws: the game gets its own call, once.
    SetCameraLogSink([](const char*) { throw std::runtime_error("camera sink"); });
    RoutineCall call = Call(kGameEye, GameTarget(0.0f));
    EXPECT_TRUE(PassedThrough(call));
    EXPECT_FALSE(GetStereoState().eyeCameraApplied.load());

    // A routine that throws is not called a second time, and what follows it is skipped.
    SetCameraLogSink(nullptr);
    PublishDetour(GameDetour::FinalCamera, reinterpret_cast<uintptr_t>(&ThrowingCameraRoutine),
                  kCameraReturn);
    call = Call(kGameEye, GameTarget(0.0f));
    EXPECT_FALSE(PassedThrough(call));
    EXPECT_FALSE(GetStereoState().eyeCameraApplied.load());
}

} // namespace
} // namespace corvane
