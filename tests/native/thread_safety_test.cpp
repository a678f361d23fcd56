// The render thread runs frames while other threads do what the game's threads do at the
// same time: the camera and projection detours read the stereo state, the settings, the
// eye offsets, the projection and the head pose and publish render poses; the XInput
// exports read the published controller input; the breakpoint handler emulates the game's
// control-block stores. Built with ThreadSanitizer by the test script, where any data race
// on shared state (a field read without its atomic, a lock taken on the wrong side or the
// wrong mutex) fails the run; without it, the checks below still catch torn or mixed values.
#include "program/frame_driver.h"
#include "fake_game_image.h"
#include "game/composite_detector.h"
#include "game/first_person.h"
#include "input/gamepad_mapping.h"
#include "input/snap_turn.h"
#include "stereo/stereo_state.h"
#include "test_support.h"
#include "vr/optics.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

constexpr int kFrames = 240;
constexpr int kFailedFrame = 80;
constexpr int kVirtualKeyF4 = 0x73;
constexpr int kNumpadPlus = 0x6B;
constexpr int kNumpad6 = 0x66;

// What the threads found wrong; each counter must stay 0.
struct Findings {
    std::atomic<int> eyeOutOfRange{0};
    std::atomic<int> mixedOptics{0};
    std::atomic<int> badOffset{0};
    std::atomic<int> badSample{0};
    std::atomic<int> badInput{0};
    std::atomic<int> handlerRefused{0};
    std::atomic<int> nonFinite{0};
    std::atomic<long> detourCalls{0};
    std::atomic<long> inputReads{0};
    std::atomic<long> breakpoints{0};
};

// What the final-camera and projection detours do on a game thread, minus the game's memory.
void SimulatedDetours(const std::atomic<bool>& stop, Findings& found) {
    StereoState& stereo = GetStereoState();
    const Settings& settings = GetSettings();
    VrPresenter& presenter = VrPresenter::Instance();
    float sink = 0.0f;
    while (!stop.load()) {
        NoteGameplayCameraSeen();
        const uint32_t eye = std::min<uint32_t>(stereo.currentEye, 1u);
        if (stereo.currentEye > 1) {
            ++found.eyeOutOfRange;
        }
        sink += stereo.convergenceOffset + stereo.fovScale + stereo.hudScale + stereo.hudVerticalOffset +
                stereo.frameScale + stereo.rightFrameScale + stereo.rightFrameHorizontalOffset;
        sink += settings.HeadYawScale + settings.HeadPitchScale + settings.FirstPersonForwardOffset +
                settings.FovScale + settings.WorldScale;
        const bool headLook = settings.Enabled && settings.MapHeadLook && !settings.ShowPlayerBody;

        ProjectionInfo info;
        if (presenter.GetProjectionInfo(info)) {
            // Values of one connection only: the fake runtime's, never a half-cleared mix.
            if (info.commonTanX != 1.39f || info.commonTanY != 1.47f || info.leftEyeRaw[0] != -1.39f ||
                info.rightEyeRaw[1] != 1.39f) {
                ++found.mixedOptics;
            }
            stereo.projectionHookSeen.store(true);
        }

        const uint32_t offsetEye = stereo.swapEyes ? 1u - eye : eye;
        float units = 0.0f;
        if (EyeOffsetUnits(offsetEye, units) && std::fabs(units) > 0.0315f * 2.0f + 1e-6f) {
            ++found.badOffset;
        }

        HeadPoseSample sample;
        if (presenter.GetHeadPoseSample(sample)) {
            if (sample.referenceEpoch == 0 || !std::isfinite(sample.relativePosition[1])) {
                ++found.badSample;
            }
            if (settings.LockHeadPoseAcrossAERPair && stereo.stereoActive) {
                PairPoseLock& pair = GetPairPoseLock();
                std::lock_guard<std::mutex> lock(pair.mutex);
                if (!pair.sample.valid || pair.sample.referenceEpoch != sample.referenceEpoch) {
                    pair.sample = sample;
                } else {
                    sample = pair.sample;
                }
            }
            EyeRenderPose pose;
            pose.valid = true;
            pose.referenceEpoch = sample.referenceEpoch;
            std::copy_n(sample.absolutePosition, 3, pose.position);
            std::copy_n(sample.relativeOrientation, 4, pose.orientation);
            presenter.SetEyeRenderPose(eye, pose);
        }

        if (stereo.stereoActive && stereo.cameraBuildSupported && units != 0.0f && headLook) {
            stereo.eyeCameraApplied.store(true);
            stereo.finalCameraLogMask.fetch_or(1u << eye);
        }
        // The per-eye optical projection of the camera buffer, on a context handler's thread.
        if (stereo.stereoActive || stereo.projectionHookSeenInPair) {
            stereo.opticalProjectionApplied.store(true);
            stereo.opticalLogMask.fetch_or(1u << eye);
        }
        // The gameplay camera measuring and holding a snap turn.
        const SnapHold hold = GetSnapTurn().OnCameraHeading(std::remainder(sink, 6.0f), eye == 1);
        if (!std::isfinite(hold.yawCorrection)) {
            ++found.nonFinite;
        }
        ++found.detourCalls;
        std::this_thread::yield();
    }
    if (!std::isfinite(sink)) {
        ++found.nonFinite;
    }
}

// What XInputGetState does with the published controller input.
void SimulatedXInputReader(const std::atomic<bool>& stop, Findings& found) {
    while (!stop.load()) {
        const InputReadCopy copy = ReadInput();
        if (copy.changeCounter == 0 || (copy.state.valid == 0 && copy.state.right.active != 0)) {
            ++found.badInput;
        }
        GamepadState gamepad;
        MergeIntoGamepad(copy, true, gamepad);
        // Flicked to and fro: the turning stick the game then reads.
        gamepad.sThumbRX =
            GetSnapTurn().OnTurnStick(found.inputReads.load() % 64 < 8 ? int16_t{32767} : int16_t{0});
        ++found.inputReads;
        std::this_thread::yield();
    }
}

// The breakpoint handler on the game thread that runs a control-block writer: it opens and
// closes the block, posting handoffs the render thread takes.
void SimulatedBreakpoints(const std::atomic<bool>& stop, const std::atomic<bool>& quiet, Findings& found) {
    const CompositeWriter& writer = CompositeWriterTable()[1]; // stores ESI
    const uintptr_t site = kImageBase + writer.rva;
    uint64_t value = 0;
    while (!stop.load()) {
        if (quiet.load()) {
            std::this_thread::yield();
            continue;
        }
        WriterRegisters registers;
        registers.rsi = value;
        uintptr_t resume = 0;
        if (!HandleCompositeBreakpoint(site, registers, resume) || resume != site + writer.length) {
            ++found.handlerRefused;
        }
        value = value == 0 ? 7 : 0;
        ++found.breakpoints;
        std::this_thread::yield();
    }
}

// The frames in which no control-block writer runs.
constexpr int kQuietFrom = 20;
constexpr int kQuietUntil = 70;

// What the automatic entry leaves behind, without its stable frames.
void EnterFirstPerson() {
    GameBridge& bridge = GetGameBridge();
    bridge.IntentInitialised = true;
    bridge.EntryPlayerObject = kPlayerObject;
    bridge.EntryActiveActor = kActiveActor;
    bridge.OwnsState17 = true;
    SetCameraState(17);
    bridge.FirstPersonActive.store(true);
}

class ThreadSafetyTest : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        InstallFakeHost();
        LayOutGameImage();
        // Validation and the detector are in place before any game thread runs a writer.
        ASSERT_TRUE(IsExecutableValidated());
        ASSERT_TRUE(GetGameBridge().DetectorInstalled);
        fake::SetIni(L"VR", L"SpacewarpCompatibleAER", L"0");
        fake::SetIni(L"Input", L"SnapTurnDegrees", L"30");
        fake::PlaceHeadset({0.0f, 1.6f, 0.0f}, Quaternion{});
        fake::PlaceController(1, TrackedControllerRole_LeftHand, true);
        fake::PlaceController(2, TrackedControllerRole_RightHand, true);
        fake::OpenVr().devices[2].axisTypes[0] = k_eControllerAxis_Joystick;
    }
};

TEST_F(ThreadSafetyTest, FramesRunAgainstDetoursXInputReadersAndTheBreakpointHandler) {
    Findings found;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back(SimulatedDetours, std::cref(stop), std::ref(found));
    threads.emplace_back(SimulatedDetours, std::cref(stop), std::ref(found));
    threads.emplace_back(SimulatedXInputReader, std::cref(stop), std::ref(found));
    threads.emplace_back(SimulatedXInputReader, std::cref(stop), std::ref(found));
    // A handoff takes the game out of first person, where alone the eyes alternate: for a stretch
    // of frames the writers are quiet and the game is put into first person.
    std::atomic<bool> quiet{false};
    threads.emplace_back(SimulatedBreakpoints, std::cref(stop), std::cref(quiet), std::ref(found));

    // The render thread: the headset and a stick move every frame, the tuning keys are
    // pressed now and then, and every frame is presented.
    int swapChainStandIn = 0;
    IDXGISwapChain* const swapChain = reinterpret_cast<IDXGISwapChain*>(&swapChainStandIn);
    fake::FakeOpenVr& vr = fake::OpenVr();
    int submitted = 0;
    int stereoFrames = 0;
    for (int frame = 0; frame < kFrames; ++frame) {
        const float t = static_cast<float>(frame) * 0.01f;
        fake::PlaceHeadset({0.1f * std::sin(t), 1.6f, -0.05f * t},
                           Quaternion{0.0f, std::sin(t / 2), 0.0f, std::cos(t / 2)});
        vr.devices[2].state.rAxis[0] = {std::sin(t * 3.0f), 0.0f};
        vr.devices[2].state.ulButtonPressed = (frame / 16) % 2 == 0 ? 0 : (1ull << 7);
        switch (frame % 50) {
        case 10:
            fake::Os().keysDown = {kVirtualKeyF4};
            break;
        case 20:
            fake::Os().keysDown = {kNumpadPlus};
            break;
        case 30:
            fake::Os().keysDown = {kNumpad6};
            break;
        default:
            fake::Os().keysDown.clear();
            break;
        }
        if (frame == kFrames / 2) {
            VrPresenter::Instance().ResetForTransition();
        }
        if (frame == kQuietFrom) {
            quiet.store(true);
        } else if (frame == kQuietFrom + 2) {
            EnterFirstPerson();
        } else if (frame == kQuietUntil) {
            quiet.store(false);
        }
        // One failed wait, after this frame's Present, drops the connection (its optics are
        // cleared under the readers' feet); ten seconds later the next frame connects and
        // publishes them again, so no frame goes without a submission.
        if (frame == kFailedFrame) {
            vr.waitGetPosesResult = 101;
        } else if (frame == kFailedFrame + 1) {
            vr.waitGetPosesResult = VRCompositorError_None;
            fake::Os().steadyNs += kReconnectIntervalNs;
        }
        const size_t before = vr.submissions.size();
        RunFrame(swapChain);
        VrPresenter::Instance().AfterPresent();
        submitted += vr.submissions.size() > before ? 1 : 0;
        stereoFrames += GetStereoState().stereoActive ? 1 : 0;
        std::this_thread::yield();
    }
    stop.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(kFrames, submitted) << VrPresenter::Instance().LastError();
    EXPECT_EQ(2, vr.initCalls);
    EXPECT_GT(stereoFrames, 0) << "the detours engaged stereo";
    EXPECT_EQ(0, found.eyeOutOfRange.load());
    EXPECT_EQ(0, found.mixedOptics.load());
    EXPECT_EQ(0, found.badOffset.load());
    EXPECT_EQ(0, found.badSample.load());
    EXPECT_EQ(0, found.badInput.load());
    EXPECT_EQ(0, found.handlerRefused.load());
    EXPECT_EQ(0, found.nonFinite.load());
    EXPECT_GT(found.detourCalls.load(), 0);
    EXPECT_GT(found.inputReads.load(), 0);
    EXPECT_GT(found.breakpoints.load(), 0);
}

// Two connections' optics published in turn while game threads read them: every read is wholly
// one set or the other, never a mix of a publication half written.
TEST(PublishedOpticsThreads, EveryReadIsOneWholePublication) {
    OpticsValues first;
    OpticsValues second;
    first.eyeToHeadX[0] = -0.0315f;
    first.eyeToHeadX[1] = 0.0315f;
    second.eyeToHeadX[0] = -0.032f;
    second.eyeToHeadX[1] = 0.033f;
    for (int i = 0; i < 4; ++i) {
        first.rawProjection[0][i] = 1.0f + 0.1f * static_cast<float>(i);
        first.rawProjection[1][i] = 2.0f + 0.1f * static_cast<float>(i);
        second.rawProjection[0][i] = -1.0f - 0.1f * static_cast<float>(i);
        second.rawProjection[1][i] = -2.0f - 0.1f * static_cast<float>(i);
    }
    first.commonTan[0] = 1.39f;
    first.commonTan[1] = 1.47f;
    second.commonTan[0] = 1.2f;
    second.commonTan[1] = 1.3f;
    auto same = [](const OpticsValues& a, const OpticsValues& b) {
        return std::memcmp(&a, &b, sizeof a) == 0;
    };

    PublishedOptics optics;
    optics.Publish(first);
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::atomic<long> mixed{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
        readers.emplace_back([&] {
            OpticsValues seen;
            while (!stop.load()) {
                if (!optics.Read(seen) || (!same(seen, first) && !same(seen, second))) {
                    ++mixed;
                }
                ++reads;
            }
        });
    }
    constexpr int kPublications = 200000;
    for (int i = 0; i < kPublications; ++i) {
        optics.Publish(i % 2 == 0 ? second : first);
        if (i % 64 == 0) {
            std::this_thread::yield();
        }
    }
    stop = true;
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(0, mixed.load()) << "of " << reads.load() << " reads";
    EXPECT_GT(reads.load(), 0);
}

} // namespace
} // namespace corvane
