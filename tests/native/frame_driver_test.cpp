#include "program/frame_driver.h"

#include "fake_game_image.h"
#include "fakes/fake_platform.h"
#include "game/first_person.h"
#include "input/gamepad_mapping.h"
#include "stereo/stereo_state.h"
#include "vr/vr_presenter.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace corvane {
namespace {

using testing_support::MessageOf;

constexpr int kF3 = 0x72;
constexpr int kF4 = 0x73;

class FrameDriverTest : public testing_support::ProcessStateTest {
protected:
    static void Frame(std::set<int> keys = {}) {
        fake::Os().keysDown = std::move(keys);
        RunFrame(nullptr);
    }
    static std::vector<std::string> Messages() {
        std::vector<std::string> messages;
        for (const std::string& line : fake::LogLines()) {
            messages.push_back(MessageOf(line));
        }
        return messages;
    }
    static size_t CountStartingWith(const std::string& prefix) {
        size_t count = 0;
        for (const std::string& message : Messages()) {
            count += message.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return count;
    }
};

TEST_F(FrameDriverTest, FirstFrameLoadsSettingsSeedsStereoAndLogsTheBannerOnce) {
    Frame();
    Frame();

    // Without a supported executable the camera channel reports why, through the log.
    const auto messages = Messages();
    ASSERT_EQ(4u, messages.size());
    EXPECT_EQ(0u, messages[0].rfind("Configuration loaded (", 0));
    EXPECT_EQ("Camera: Could not read the main executable's DOS header.", messages[1]);
    EXPECT_EQ("Camera: First-person default intent enabled; waiting for stable gameplay.", messages[3]);
    EXPECT_EQ(
        "CorvaneVR v0.9.5 automatic cutscene-resume prototype initialized; camera build guard=unsupported, "
        "render guard scale=1.00000000, separation=1.750 units/metre, convergence=-0.0950, frame "
        "scale=0.650, left horizontal/vertical offset=+0.000/+0.000, right scale/offsets/roll="
        "0.650/+0.000/+0.000/+0.00, eye order=normal, capture order=right-first, pair pose lock=on",
        messages[2]);
}

TEST_F(FrameDriverTest, StartupCopiesTheIniIntoTheLiveStereoValues) {
    fake::SetIni(L"VR", L"FrameScale", L"0.8");
    fake::SetIni(L"VR", L"RightFrameRollDegrees", L"0.5");
    fake::SetIni(L"VR", L"HudScale", L"0.6");
    fake::SetIni(L"VR", L"FovScale", L"1.25");
    fake::SetIni(L"VR", L"SwapEyes", L"1");
    fake::SetIni(L"VR", L"AERFirstEye", L"0");
    fake::SetIni(L"VR", L"LockHeadPoseAcrossAERPair", L"0");
    fake::SetIni(L"VR", L"StereoUnitsPerMeter", L"1.5");
    fake::SetIni(L"VR", L"ConvergenceOffset", L"-0.05");
    Frame();

    const StereoState& stereo = GetStereoState();
    EXPECT_FLOAT_EQ(0.8f, stereo.frameScale);
    EXPECT_FLOAT_EQ(0.8f, stereo.rightFrameScale);
    EXPECT_FLOAT_EQ(0.5f, stereo.rightFrameRollDegrees);
    EXPECT_FLOAT_EQ(0.6f, stereo.hudScale);
    EXPECT_FLOAT_EQ(1.25f, stereo.fovScale);
    EXPECT_TRUE(stereo.swapEyes);
    EXPECT_FLOAT_EQ(1.5f, stereo.stereoUnitsPerMeter);
    EXPECT_FLOAT_EQ(-0.05f, stereo.convergenceOffset);
    EXPECT_EQ(0u, stereo.currentEye);
    const std::string banner = Messages().at(2);
    EXPECT_NE(std::string::npos,
              banner.find("eye order=swapped, capture order=left-first, pair pose lock=off"))
        << banner;
}

TEST_F(FrameDriverTest, ConvergenceKeysStepOncePerPressAndSave) {
    Frame({kF3});
    EXPECT_FLOAT_EQ(-0.1f, GetStereoState().convergenceOffset);
    EXPECT_EQ("F3: left/right images moved closer; convergence -0.1000 (saved)", Messages().back());
    EXPECT_EQ(L"-0.100000", fake::GetIni(L"VR", L"ConvergenceOffset"));

    Frame({});
    for (int i = 0; i < 5; ++i) {
        Frame({kF4}); // held: one step only
    }
    EXPECT_FLOAT_EQ(-0.095f, GetStereoState().convergenceOffset);
    EXPECT_EQ(1u,
              CountStartingWith("F4: left/right images moved farther apart; convergence -0.0950 (saved)"));
}

TEST_F(FrameDriverTest, BothConvergenceKeysTogetherDoNothingUntilPressedAgain) {
    Frame({kF3, kF4});
    Frame({kF3});
    EXPECT_FLOAT_EQ(-0.095f, GetStereoState().convergenceOffset);
    Frame({});
    Frame({kF3});
    EXPECT_FLOAT_EQ(-0.1f, GetStereoState().convergenceOffset);
}

TEST_F(FrameDriverTest, ConvergenceKeysForAnotherWindowAreConsumed) {
    fake::Os().foregroundOurs = false;
    Frame({kF4});
    fake::Os().foregroundOurs = true;
    Frame({kF4});
    EXPECT_FLOAT_EQ(-0.095f, GetStereoState().convergenceOffset);
    EXPECT_EQ(0u, CountStartingWith("F4"));
}

TEST_F(FrameDriverTest, FailedConvergenceSaveKeepsTheLiveValue) {
    fake::Ini().writesFail = true;
    Frame({kF4});
    EXPECT_FLOAT_EQ(-0.09f, GetStereoState().convergenceOffset);
    EXPECT_EQ("F4: left/right images moved farther apart; convergence -0.0900 (live only; INI save failed)",
              Messages().back());
}

TEST_F(FrameDriverTest, DisabledSkipsHotkeysKeepsTheFirstEyeAndPublishesNeutralInput) {
    fake::SetIni(L"VR", L"Enabled", L"0");
    InputState live;
    live.valid = 1;
    live.right.active = 1;
    live.right.buttons = kHandButtonA;
    PublishInput(live);

    StereoState& stereo = GetStereoState();
    stereo.currentEye = 0;
    stereo.projectionHookSeen = true;
    stereo.settleFrames = 3;
    Frame({kF3, 0x68});

    EXPECT_FLOAT_EQ(-0.095f, stereo.convergenceOffset);
    EXPECT_FLOAT_EQ(0.0f, stereo.rightFrameVerticalOffset);
    EXPECT_EQ(1u, stereo.currentEye);
    EXPECT_FALSE(stereo.projectionHookSeen.load());
    EXPECT_EQ(0u, stereo.settleFrames.load());
    EXPECT_EQ(0u, ReadInput().state.valid);
}

TEST_F(FrameDriverTest, EnabledFrameWithoutSubmissionReturnsToTheFirstEye) {
    Frame();
    StereoState& stereo = GetStereoState();
    stereo.currentEye = 0;
    stereo.stereoActive = true;
    stereo.projectionHookSeen = true;
    stereo.eyeCameraApplied = true;
    Frame();
    EXPECT_EQ(1u, stereo.currentEye);
    EXPECT_FALSE(stereo.stereoActive);
    EXPECT_FALSE(stereo.projectionHookSeen.load());
    EXPECT_FALSE(stereo.eyeCameraApplied.load());
}

TEST_F(FrameDriverTest, ExceptionIsReportedOnceAndStartupIsRetried) {
    fake::Ini().readsThrow = true;
    InputState live;
    live.valid = 1;
    PublishInput(live);
    GetStereoState().currentEye = 0;

    Frame();
    Frame();
    EXPECT_EQ(std::vector<std::string>{"Unexpected exception in VR Present path; VR input disabled"},
              Messages());
    EXPECT_EQ(0u, ReadInput().state.valid);
    EXPECT_EQ(1u, GetStereoState().currentEye);

    fake::Ini().readsThrow = false;
    Frame();
    EXPECT_EQ(1u, CountStartingWith("Configuration loaded"));
    EXPECT_EQ(1u, CountStartingWith("CorvaneVR v0.9.5"));
}

TEST_F(FrameDriverTest, SubmissionStatusIsLoggedOnChangeOnly) {
    VrPresenter presenter;
    const auto report = [&presenter](bool submitted, const char* error) {
        presenter.lastErrorText = error;
        ReportSubmissionStatus(submitted, presenter);
    };
    report(false, "");
    report(false, "OpenVR init failed");
    report(false, "OpenVR init failed");
    report(false, "Submit failed");
    report(true, "");
    report(true, "");
    report(false, "Submit failed");
    report(true, "");

    const std::vector<std::string> expected = {
        "VR renderer unavailable: OpenVR init failed",
        "VR renderer unavailable: Submit failed",
        "OpenVR eye submission is active",
        "VR renderer unavailable: Submit failed",
        "OpenVR eye submission is active",
    };
    EXPECT_EQ(expected, Messages());
}

TEST_F(FrameDriverTest, ControllerInputIsPublishedOnlyWhenSubmittedAndMapped) {
    InputSnapshot snapshot;
    snapshot.right.connected = 1;
    snapshot.right.poseValid = 1;
    snapshot.right.buttonsPressed = 1ull << 7;
    snapshot.right.stickX = 0.59f;

    PublishFrameInput(true, &snapshot);
    InputReadCopy copy = ReadInput();
    EXPECT_EQ(1u, copy.state.valid);
    EXPECT_EQ(kHandButtonA, copy.state.right.buttons);
    EXPECT_NEAR(0.5f, copy.state.right.stickX, 1e-6f);
    EXPECT_EQ(0u, copy.state.left.active);

    PublishFrameInput(false, &snapshot);
    EXPECT_EQ(0u, ReadInput().state.valid);

    PublishFrameInput(true, &snapshot);
    GetSettings().MapMotionControllers = false;
    PublishFrameInput(true, &snapshot);
    EXPECT_EQ(0u, ReadInput().state.valid);
}

// Frames in which the game computed its gameplay camera, over a supported image.
class FrameDriverGameTest : public FrameDriverTest {
protected:
    void SetUp() override {
        FrameDriverTest::SetUp();
        testing_support::InstallFakeHost();
        testing_support::LayOutGameImage();
    }
    static void GameplayFrame() {
        NoteGameplayCameraSeen();
        Frame();
    }
};

TEST_F(FrameDriverGameTest, DisabledStillRunsFirstPersonAndNative60) {
    fake::SetIni(L"VR", L"Enabled", L"0");
    const uint64_t epoch = VrPresenter::Instance().trackingEpoch.load();
    for (int i = 0; i < 15; ++i) {
        GameplayFrame();
    }
    EXPECT_TRUE(IsFirstPersonActive());
    EXPECT_EQ(epoch, VrPresenter::Instance().trackingEpoch.load()); // the headset side is left alone
    EXPECT_EQ(0u, testing_support::CameraState());                  // flat mode never writes the camera state
    EXPECT_EQ(1u, fake::PeekValue<uint8_t>(testing_support::kImageBase + kRequestByteARva));
    EXPECT_EQ(0u, GetStereoState().settleFrames.load());
    EXPECT_EQ(1u, CountStartingWith("Camera: Adaptive native 60 enabled from verified first-person state"));
    EXPECT_NE(0u, CountStartingWith(
                      "CorvaneVR v0.9.5 automatic cutscene-resume prototype initialized; camera build "
                      "guard=supported"));
}

TEST_F(FrameDriverGameTest, EnteringFirstPersonWhileEnabledResetsTheStereoCycle) {
    for (int i = 0; i < 14; ++i) {
        GameplayFrame();
    }
    EXPECT_EQ(0u, GetStereoState().settleFrames.load());
    GetStereoState().stereoActive = true;
    const uint64_t epoch = VrPresenter::Instance().trackingEpoch.load();
    GameplayFrame();
    EXPECT_TRUE(IsFirstPersonActive());
    EXPECT_LT(epoch, VrPresenter::Instance().trackingEpoch.load()); // head tracking starts a new epoch
    EXPECT_EQ(17u, testing_support::CameraState());
    EXPECT_EQ(kSettleFramesAfterFirstPersonChange, GetStereoState().settleFrames.load());
    EXPECT_FALSE(GetStereoState().stereoActive);
    EXPECT_EQ(1u, CountStartingWith("Camera: First person enabled automatically"));

    GetStereoState().settleFrames = 0;
    Frame(); // camera absent: first person ends, and the cycle settles again
    EXPECT_FALSE(IsFirstPersonActive());
    EXPECT_EQ(kSettleFramesAfterFirstPersonChange, GetStereoState().settleFrames.load());
}

TEST_F(FrameDriverGameTest, TheCameraNoteIsConsumedOnceAndDroppedAfterAnException) {
    NoteGameplayCameraSeen();
    Frame();
    EXPECT_FALSE(TakeGameplayCameraSeen());

    fake::Ini().readsThrow = true;
    ResetFrameDriver();
    NoteGameplayCameraSeen();
    Frame();
    EXPECT_FALSE(TakeGameplayCameraSeen());
}

} // namespace
} // namespace corvane
