// The frame driver and the game-thread handlers reach the headset only through the installed
// presenter: another one installed in place of OpenVR's gets the frames, the recentre and
// every pose and optics question, and OpenVR's is asked nothing.
#include "headset/headset_presenter.h"
#include "program/frame_driver.h"
#include "stereo/final_camera.h"
#include "stereo/stereo_state.h"

#include "fake_game_image.h"
#include "game/first_person.h"
#include "interception/game_detours.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane {
namespace {

// A headset side that records what it is asked and answers with fixed values.
class RecordingHeadset final : public HeadsetPresenter {
public:
    bool RenderFrame(IDXGISwapChain*, const FrameRequest& request) override {
        calls.push_back("RenderFrame");
        lastRequest = request;
        return true;
    }
    void AfterPresent() override { calls.push_back("AfterPresent"); }
    bool CopyLastErrorIfChanged(std::string&) override { return false; }
    bool TakeInputSnapshot(InputSnapshot& out) override {
        calls.push_back("TakeInputSnapshot");
        out = InputSnapshot{};
        return false;
    }
    void ResetForTransition() override { calls.push_back("ResetForTransition"); }
    const char* RuntimeName() const override { return "the recording headset"; }
    void OnServedSwapChainReleased() noexcept override {}
    void RequestRecentre(const char* by) noexcept override { recentredBy = by; }
    bool GetProjectionInfo(ProjectionInfo& out) noexcept override {
        out = ProjectionInfo{};
        return false;
    }
    bool GetEyeOffset(uint32_t, float& out) noexcept override {
        out = 0.0f;
        return false;
    }
    bool GetHeadPoseSample(HeadPoseSample& out) override {
        calls.push_back("GetHeadPoseSample");
        out = HeadPoseSample{};
        out.valid = true;
        out.referenceEpoch = 7;
        // The head turned 90 degrees to the right.
        out.relativeOrientation[1] = -0.70710678f;
        out.relativeOrientation[3] = 0.70710678f;
        return true;
    }
    void SetEyeRenderPose(uint32_t eye, const EyeRenderPose& pose) override {
        calls.push_back("SetEyeRenderPose " + std::to_string(eye));
        lastPose = pose;
    }

    std::vector<std::string> calls;
    FrameRequest lastRequest;
    EyeRenderPose lastPose;
    const char* recentredBy = nullptr;
};

// The gameplay camera's call site in the game image.
constexpr uintptr_t kCameraReturn = testing_support::kImageBase + 0x772B0;

void GameCamera(float*, float*, uint32_t) {}

class HeadsetSeamTest : public testing_support::ProcessStateTest {};

TEST_F(HeadsetSeamTest, AnInstalledPresenterGetsTheFramesAndTheCameraQuestions) {
    RecordingHeadset headset;
    InstallActiveHeadset(&headset);
    EXPECT_EQ(&headset, &ActiveHeadset());

    fake::Os().keysDown.insert(0x78); // F9
    RunFrame(nullptr);
    EXPECT_EQ(std::vector<std::string>({"RenderFrame", "TakeInputSnapshot"}), headset.calls);
    EXPECT_STREQ("the recentre key", headset.recentredBy);
    EXPECT_EQ(fake::OpenVr().initCalls, 0) << "OpenVR's presenter was not asked";
    // The log names the runtime the installed presenter serves.
    bool named = false;
    for (const std::string& line : fake::LogLines()) {
        named = named || testing_support::MessageOf(line) == "the recording headset eye submission is active";
    }
    EXPECT_TRUE(named);

    // The gameplay camera in first person turns with the installed presenter's head pose and
    // hands it the pose it rendered with.
    headset.calls.clear();
    PublishDetour(GameDetour::FinalCamera, reinterpret_cast<uintptr_t>(&GameCamera), kCameraReturn);
    GetStereoState().cameraBuildSupported = true;
    GetGameBridge().FirstPersonActive.store(true);
    float eye[3] = {0.0f, 1.0f, 0.0f};
    float target[3] = {0.0f, 1.0f, -10.0f};
    HandleFinalGameplayCamera(kCameraReturn, eye, target, 0);
    EXPECT_EQ(std::vector<std::string>({"GetHeadPoseSample", "SetEyeRenderPose 1"}), headset.calls);
    EXPECT_EQ(7u, headset.lastPose.referenceEpoch);

    // Back to OpenVR's presenter.
    InstallActiveHeadset(nullptr);
    EXPECT_EQ(static_cast<HeadsetPresenter*>(&VrPresenter::Instance()), &ActiveHeadset());
}

} // namespace
} // namespace corvane
