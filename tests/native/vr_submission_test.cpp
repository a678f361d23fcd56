// What RenderFrame hands the compositor, against the fake runtime and fake eye textures: the
// right-eye roll on the submitted pose, the stereo-bounds line on change only, and a failed
// command list that records nothing.
#include "fakes/fake_eye_targets.h"
#include "test_support.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvane {
namespace {

using testing_support::MessageOf;

class VrSubmissionTest : public testing_support::ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        fake::ResetEyeTargets();
        fake::PlaceHeadset({0.0f, 1.6f, 0.0f}, Quaternion{});
    }

    // A pair-valid frame is rendered in its eye's own frustum unless `projection` says otherwise.
    bool Frame(uint32_t eye, bool pairValid, float convergence = -0.095f, float rightRoll = 0.0f,
               std::optional<PictureProjection> projection = std::nullopt) {
        ++fake::EyeTargets().picture;
        int swapChain = 0;
        FrameRequest request;
        request.eye = eye;
        request.pairValid = pairValid;
        request.projection =
            projection.value_or(pairValid ? PictureProjection::Eye : PictureProjection::Game);
        request.requestedConvergence = convergence;
        request.picture.rightRollDegrees = rightRoll;
        return presenter->RenderFrame(reinterpret_cast<IDXGISwapChain*>(&swapChain), request);
    }

    // The render pose the camera code would publish for the current head sample.
    void PublishRenderPose(uint32_t eye) {
        HeadPoseSample sample;
        ASSERT_TRUE(presenter->GetHeadPoseSample(sample));
        EyeRenderPose pose;
        pose.valid = true;
        pose.referenceEpoch = sample.referenceEpoch;
        pose.position[1] = 1.6f;
        presenter->SetEyeRenderPose(eye, pose);
    }

    // One connection lost to a failed WaitGetPoses and the next one made.
    void Reconnect() {
        vr.waitGetPosesResult = 101;
        EXPECT_FALSE(Frame(0, false));
        vr.waitGetPosesResult = VRCompositorError_None;
        fake::Os().steadyNs += kReconnectIntervalNs;
    }

    static size_t MessageCount(const std::string& message) {
        size_t count = 0;
        for (const std::string& line : fake::LogLines()) {
            count += MessageOf(line) == message ? 1 : 0;
        }
        return count;
    }

    static size_t MessagesStartingWith(const std::string& prefix) {
        size_t count = 0;
        for (const std::string& line : fake::LogLines()) {
            count += MessageOf(line).rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return count;
    }

    std::unique_ptr<VrPresenter> presenter = std::make_unique<VrPresenter>();
    fake::FakeOpenVr& vr = fake::OpenVr();
};

TEST_F(VrSubmissionTest, TheRightRollTurnsOnlyTheRightEyesPose) {
    ASSERT_TRUE(Frame(0, false)) << presenter->LastError();
    PublishRenderPose(0);
    ASSERT_TRUE(Frame(0, false, -0.095f, 2.0f));
    ASSERT_EQ(vr.submissions.size(), 4u);
    const fake::FakeSubmission& left = vr.submissions[2];
    const fake::FakeSubmission& right = vr.submissions[3];
    ASSERT_EQ(left.flags, Submit_TextureWithPose);
    ASSERT_EQ(right.flags, Submit_TextureWithPose);

    const float angle = 2.0f * std::numbers::pi_v<float> / 180.0f;
    EXPECT_FLOAT_EQ(left.pose.m[0][0], 1.0f);
    EXPECT_FLOAT_EQ(left.pose.m[0][1], 0.0f);
    EXPECT_NEAR(right.pose.m[0][0], std::cos(angle), 1e-6f);
    EXPECT_NEAR(right.pose.m[0][1], -std::sin(angle), 1e-6f);
    EXPECT_NEAR(right.pose.m[1][0], std::sin(angle), 1e-6f);
    EXPECT_NEAR(right.pose.m[1][1], std::cos(angle), 1e-6f);
    EXPECT_FLOAT_EQ(right.pose.m[2][2], 1.0f) << "the forward axis stays";
    EXPECT_FLOAT_EQ(right.pose.m[1][3], 1.6f) << "the position stays";
    EXPECT_EQ(MessagesStartingWith("Per-eye render-pose submission active"), 1u);
}

TEST_F(VrSubmissionTest, StereoBoundsAreLoggedOnChangeEvenForANonFiniteConvergence) {
    const float nan = std::nanf("");
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Frame(0, false, nan));
    }
    EXPECT_EQ(MessagesStartingWith("Stereo bounds:"), 1u)
        << "a NaN convergence is said once, not every frame";
    ASSERT_TRUE(Frame(0, false, -0.09f));
    ASSERT_TRUE(Frame(0, false, -0.09f));
    EXPECT_EQ(MessagesStartingWith("Stereo bounds:"), 2u);
    ASSERT_TRUE(Frame(0, false, -0.09f, 1.0f));
    EXPECT_EQ(MessagesStartingWith("Stereo bounds:"), 3u) << "the roll is one of the picture parameters";

    // A new connection says its bounds again, whatever they are.
    vr.waitGetPosesResult = 101;
    EXPECT_FALSE(Frame(0, false, nan));
    vr.waitGetPosesResult = VRCompositorError_None;
    fake::Os().steadyNs += kReconnectIntervalNs;
    ASSERT_TRUE(Frame(0, false, -0.09f, 1.0f));
    EXPECT_EQ(MessagesStartingWith("Stereo bounds:"), 4u);
}

void ExpectSameArea(const HandScene& hands, float uMin, float vMin, float uMax, float vMax) {
    EXPECT_FLOAT_EQ(hands.areaUMin, uMin);
    EXPECT_FLOAT_EQ(hands.areaVMin, vMin);
    EXPECT_FLOAT_EQ(hands.areaUMax, uMax);
    EXPECT_FLOAT_EQ(hands.areaVMax, vMax);
}

void ExpectSamePose(const PoseMatrix34& a, const PoseMatrix34& b) {
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            EXPECT_FLOAT_EQ(a.m[row][column], b.m[row][column]) << row << "," << column;
        }
    }
}

TEST_F(VrSubmissionTest, HandsAreDrawnWhereAndFromWhereEachEyeIsShown) {
    GetSettings().SpacewarpCompatibleAER = false; // each eye's picture is submitted as it is copied
    fake::FakeEyeTargets& targets = fake::EyeTargets();

    // Mono pictures go into both eyes: the hands fill the bounds each eye shows its texture in,
    // seen from the headset's pose of the frame, as the compositor takes a texture without a
    // pose. A flat picture is shown scaled by the picture parameters; a picture in the left
    // eye's frustum is laid into the right eye's field, which reaches 0.14 / 2.64 past it, and that
    // texture is shown whole.
    struct Mono {
        const char* label;
        PictureProjection projection;
        float leftScale;
        VRTextureBounds_t expected[2];
        bool laid[2];
    };
    const Mono monos[] = {
        {"flat, scaled",
         PictureProjection::Game,
         1.3f,
         {{0.237410f, 0.25f, 0.712230f, 0.75f}, {0.287770f, 0.25f, 0.762590f, 0.75f}},
         {false, false}},
        {"left eye's frustum",
         PictureProjection::Eye,
         0.65f,
         {{0.0f, 0.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 1.0f, 1.0f}},
         {false, true}},
    };
    for (const Mono& mono : monos) {
        SCOPED_TRACE(mono.label);
        targets.hands.clear();
        vr.submissions.clear();
        int swapChain = 0;
        FrameRequest request;
        request.eye = 0;
        request.projection = mono.projection;
        request.picture.leftScale = request.picture.rightScale = mono.leftScale;
        ASSERT_TRUE(presenter->RenderFrame(reinterpret_cast<IDXGISwapChain*>(&swapChain), request))
            << presenter->LastError();
        ASSERT_EQ(targets.hands.size(), 2u);
        ASSERT_EQ(vr.submissions.size(), 2u);
        for (const fake::RecordedHands& hands : targets.hands) {
            SCOPED_TRACE("mono eye " + std::to_string(hands.eye));
            const VRTextureBounds_t& shown = vr.submissions[hands.eye].bounds;
            const VRTextureBounds_t& expected = mono.expected[hands.eye];
            EXPECT_NEAR(shown.uMin, expected.uMin, 1e-5f);
            EXPECT_NEAR(shown.vMin, expected.vMin, 1e-5f);
            EXPECT_NEAR(shown.uMax, expected.uMax, 1e-5f);
            EXPECT_NEAR(shown.vMax, expected.vMax, 1e-5f);
            ExpectSameArea(hands.scene, shown.uMin, shown.vMin, shown.uMax, shown.vMax);
            EXPECT_FALSE(hands.scene.hasSubmittedHeadPose);
            EXPECT_EQ(hands.fit.laidIntoField, mono.laid[hands.eye]);
            if (hands.fit.laidIntoField) {
                EXPECT_NEAR(hands.fit.field.uMin, 0.053030f, 1e-5f);
                EXPECT_NEAR(hands.fit.field.uMax, 1.053030f, 1e-5f);
            }
        }
        EXPECT_EQ(targets.hands[0].eye, 0u);
        EXPECT_EQ(targets.hands[1].eye, 1u);
    }

    // Each eye's own projection, a convergence and a right roll: each eye's hands fill exactly the bounds
    // that eye is submitted with and are seen from exactly the pose it is submitted with.
    for (uint32_t eye : {1u, 0u}) {
        SCOPED_TRACE("eye " + std::to_string(eye));
        targets.hands.clear();
        vr.submissions.clear();
        PublishRenderPose(eye);
        ASSERT_TRUE(Frame(eye, true, -0.05f, 2.0f)) << presenter->LastError();
        ASSERT_EQ(targets.hands.size(), 1u);
        const fake::RecordedHands& hands = targets.hands[0];
        EXPECT_EQ(hands.eye, eye);
        EXPECT_EQ(hands.target, presenter->eyeTexture[eye]);
        ASSERT_EQ(vr.submissions.size(), 2u);
        const fake::FakeSubmission& shown = vr.submissions[eye];
        ExpectSameArea(hands.scene, shown.bounds.uMin, shown.bounds.vMin, shown.bounds.uMax,
                       shown.bounds.vMax);
        ASSERT_EQ(shown.flags & Submit_TextureWithPose, static_cast<EVRSubmitFlags>(Submit_TextureWithPose));
        ASSERT_TRUE(hands.scene.hasSubmittedHeadPose);
        ExpectSamePose(hands.scene.submittedHeadPose, ToPoseMatrix(shown.pose));
    }
    // The right pose is rolled: the hands did not simply take the unrolled render pose.
    EXPECT_GT(std::fabs(vr.submissions[1].pose.m[0][1]), 0.01f);
}

TEST_F(VrSubmissionTest, OnceLinesAreSaidOncePerConnection) {
    const char* const lines[] = {
        "Per-eye render-pose submission active for SteamVR reprojection",
        "AER frame-discontinuity submission active; compositor motion extrapolation suppressed",
        "Spacewarp-compatible completed-pair AER submission active; left/right textures now publish "
        "atomically",
        "Dropped an incoherent staged AER pair after a tracking/projection transition",
        "Dropped an over-age staged AER pair (60.0 ms; limit 50 ms); submitting the current frame as mono",
    };
    Settings& settings = GetSettings();
    // Every one of the lines' occasions, twice.
    const auto everyOccasion = [&] {
        ASSERT_TRUE(Frame(0, false)) << presenter->LastError(); // a head sample to publish poses in
        for (int round = 0; round < 2; ++round) {
            settings.SpacewarpCompatibleAER = true;
            PublishRenderPose(0);
            ASSERT_TRUE(Frame(0, true)) << presenter->LastError();
            PublishRenderPose(1);
            ASSERT_TRUE(Frame(1, true)); // a completed pair, both eyes with their poses
            PublishRenderPose(0);
            ASSERT_TRUE(Frame(0, true));
            ASSERT_TRUE(Frame(1, true)); // the right half has no pose: incoherent
            ASSERT_TRUE(Frame(0, true));
            fake::Os().steadyNs += 60'000'000;
            ASSERT_TRUE(Frame(1, true)); // too late
            settings.SpacewarpCompatibleAER = false;
            ASSERT_TRUE(Frame(0, true)); // a discontinuity
        }
    };
    everyOccasion();
    for (const char* line : lines) {
        EXPECT_EQ(MessageCount(line), 1u) << line;
    }
    Reconnect();
    everyOccasion();
    for (const char* line : lines) {
        EXPECT_EQ(MessageCount(line), 2u) << "said again after a reconnect: " << line;
    }
}

// The convergence moves on every frame (F3/F4 held down) while staged pairs form: a texture
// submitted again, or published a frame after it was copied, goes out with the bounds its hands
// were drawn into, not with bounds cut for the newest convergence.
TEST_F(VrSubmissionTest, EveryTextureGoesOutWithTheAreaItsHandsWereDrawnInto) {
    GetSettings().SpacewarpCompatibleAER = true;
    GetSettings().AERMaxPairIntervalMs = 0;
    fake::FakeEyeTargets& targets = fake::EyeTargets();
    targets.hands.clear();
    float convergence = -0.095f;
    uint32_t eye = 1;
    int checked = 0;
    for (int frame = 0; frame < 8; ++frame) {
        vr.submissions.clear();
        if (frame > 0) {
            PublishRenderPose(eye); // the first frame connects
        }
        ASSERT_TRUE(Frame(eye, frame > 0, convergence)) << presenter->LastError();
        ASSERT_EQ(vr.submissions.size(), 2u);
        for (const fake::FakeSubmission& shown : vr.submissions) {
            const fake::RecordedHands* drawn = nullptr;
            for (const fake::RecordedHands& hands : targets.hands) {
                drawn = hands.target == shown.texture ? &hands : drawn;
            }
            ASSERT_NE(drawn, nullptr);
            SCOPED_TRACE("frame " + std::to_string(frame) + " eye " + std::to_string(shown.eye));
            ExpectSameArea(drawn->scene, shown.bounds.uMin, shown.bounds.vMin, shown.bounds.uMax,
                           shown.bounds.vMax);
            ++checked;
        }
        convergence += 0.005f;
        eye = 1 - eye;
    }
    EXPECT_EQ(checked, 16);
}

TEST_F(VrSubmissionTest, APictureOfAnEarlierTrackingEpochIsReplacedByTheNextFrame) {
    GetSettings().SpacewarpCompatibleAER = false;
    ASSERT_TRUE(Frame(0, false));
    PublishRenderPose(0);
    ASSERT_TRUE(Frame(0, true));
    ASSERT_EQ(vr.submissions.size(), 4u);
    EXPECT_EQ(vr.submissions[2].flags & Submit_TextureWithPose,
              static_cast<EVRSubmitFlags>(Submit_TextureWithPose));

    // First person changes: the left texture's picture and hands were made for a pose of the old
    // epoch, which means nothing in the new reference. The next frame fills both eyes instead of
    // leaving that picture up without its pose.
    presenter->ResetForTransition();
    ASSERT_TRUE(Frame(1, true));
    ASSERT_EQ(vr.submissions.size(), 6u);
    EXPECT_EQ(vr.submissions[4].texture, presenter->eyeTexture[0]);
    EXPECT_EQ(fake::PictureIn(presenter->eyeTexture[0]), fake::EyeTargets().picture);
    EXPECT_EQ(fake::PictureIn(presenter->eyeTexture[1]), fake::EyeTargets().picture);
    EXPECT_FALSE(presenter->eyeTextures.eyePose[0].valid);
    EXPECT_EQ(vr.submissions[4].flags & Submit_TextureWithPose, 0u);
    EXPECT_EQ(vr.submissions[5].flags & Submit_TextureWithPose, 0u);
}

TEST_F(VrSubmissionTest, AChangeOfTheProjectionModeAloneIsLogged) {
    GetSettings().SpacewarpCompatibleAER = false; // the eye textures take each frame's mode
    ASSERT_TRUE(Frame(0, false));
    ASSERT_TRUE(Frame(0, true));
    ASSERT_TRUE(Frame(1, true));
    ASSERT_TRUE(Frame(1, true, -0.095f, 0.0f, PictureProjection::Common));
    ASSERT_TRUE(Frame(0, false));
    std::vector<std::string> modes;
    for (const std::string& line : fake::LogLines()) {
        const std::string message = MessageOf(line);
        if (message.rfind("Stereo bounds:", 0) == 0) {
            const size_t mode = message.find("projection=");
            modes.push_back(message.substr(mode, message.find(';', mode) - mode));
        }
    }
    // Direct alternate-eye rendering updates one texture a frame, so the eyes can differ.
    EXPECT_EQ(modes, (std::vector<std::string>{"projection=legacy", "projection=OpenVR eye/legacy",
                                               "projection=OpenVR eye", "projection=OpenVR eye/OpenVR common",
                                               "projection=legacy"}));
}

// The served swap chain released on another thread while a frame holds the presenter's lock:
// the releasing thread does not wait, and the frame lets go of the game's device as it ends.
TEST_F(VrSubmissionTest, ASwapChainReleasedDuringAFrameIsLetGoByThatFrame) {
    ASSERT_TRUE(Frame(0, false)) << presenter->LastError();
    ASSERT_NE(presenter->device, nullptr);
    bool releasedDuringTheFrame = true;
    vr.duringWaitGetPoses = [&] {
        std::thread([&] { presenter->OnServedSwapChainReleased(); }).join();
        releasedDuringTheFrame = presenter->device == nullptr;
    };
    EXPECT_TRUE(Frame(1, false)) << presenter->LastError();
    vr.duringWaitGetPoses = nullptr;
    EXPECT_FALSE(releasedDuringTheFrame) << "the frame's own targets stay while it uses them";
    EXPECT_EQ(presenter->device, nullptr) << "the frame released them as it ended";
    EXPECT_FALSE(presenter->eyeTextures.eyeTextureValid[0]);
    EXPECT_EQ(fake::EyeTargets().targetCreations, 1);
    EXPECT_EQ(vr.deviceObjectReleases, 1) << "the runtime lets go of what it made on the device";

    // Nothing is left asked for: the next frame makes its targets once and keeps them.
    ASSERT_TRUE(Frame(0, false));
    ASSERT_TRUE(Frame(1, false));
    presenter->AfterPresent();
    EXPECT_NE(presenter->device, nullptr);
    EXPECT_EQ(fake::EyeTargets().targetCreations, 2);
    EXPECT_EQ(vr.deviceObjectReleases, 1) << "making new targets is no release of the device";
}

// A frame's pictures go out before the runtime's wait for the next frame: the poses the game
// renders the next picture with are fetched after the Present, and no frame waits inside
// WaitGetPoses before submitting what it has. Only a connection's first frame fetches its own.
TEST_F(VrSubmissionTest, PicturesAreSubmittedBeforeTheWaitForTheNextFramesPoses) {
    std::vector<size_t> submissionsAtWait;
    vr.duringWaitGetPoses = [&] { submissionsAtWait.push_back(vr.submissions.size()); };
    ASSERT_TRUE(Frame(0, false)) << presenter->LastError();
    presenter->AfterPresent();
    ASSERT_TRUE(Frame(0, false)) << presenter->LastError();
    presenter->AfterPresent();
    EXPECT_EQ((std::vector<size_t>{0, 2, 4}), submissionsAtWait);
    EXPECT_EQ(2, vr.postPresentHandoffCalls);

    // A wait that fails after the Present leaves the next frame without a connection.
    vr.waitGetPosesResult = 108;
    ASSERT_TRUE(Frame(0, false)) << presenter->LastError();
    presenter->AfterPresent();
    EXPECT_FALSE(Frame(0, false));
    EXPECT_EQ("OpenVR WaitGetPoses failed (108)", presenter->LastError());
    EXPECT_EQ(6u, vr.submissions.size());
    presenter->AfterPresent();
    EXPECT_EQ(4u, submissionsAtWait.size()); // nothing fetched while disconnected
}

// The runtime is told which eye's picture changed, so that one that keeps its own copies copies
// only those: a mono frame writes both eye textures, a staged pair changes both as it is
// published and neither while its first half waits, and a held frame changes nothing.
TEST_F(VrSubmissionTest, TheRuntimeIsToldWhichEyesPictureChanged) {
    ASSERT_TRUE(Frame(0, false)) << presenter->LastError();
    const uint64_t mono[2] = {vr.eyeContent[0], vr.eyeContent[1]};
    EXPECT_GT(mono[0], 0u);
    EXPECT_GT(mono[1], 0u);

    ASSERT_TRUE(Frame(1, true)); // the first half of a pair goes to staging
    EXPECT_EQ(vr.eyeContent[0], mono[0]);
    EXPECT_EQ(vr.eyeContent[1], mono[1]);
    ASSERT_TRUE(Frame(0, true)); // the second half publishes the pair
    EXPECT_EQ(vr.eyeContent[0], mono[0] + 1);
    EXPECT_EQ(vr.eyeContent[1], mono[1] + 1);

    int swapChain = 0;
    FrameRequest held;
    held.hold = true;
    ASSERT_TRUE(presenter->RenderFrame(reinterpret_cast<IDXGISwapChain*>(&swapChain), held));
    EXPECT_EQ(vr.eyeContent[0], mono[0] + 1);
    EXPECT_EQ(vr.eyeContent[1], mono[1] + 1);
}

TEST_F(VrSubmissionTest, AFailedCommandListRecordsNoPictureAndSubmitsNothing) {
    fake::EyeTargets().executeFails = true;
    EXPECT_FALSE(Frame(0, true));
    EXPECT_EQ(presenter->LastError(), "ID3D11DeviceContext::FinishCommandList failed (HRESULT 0x8007000e)");
    EXPECT_TRUE(vr.submissions.empty());
    EXPECT_FALSE(presenter->eyeTextures.eyeTextureValid[0]);
    EXPECT_FALSE(presenter->eyeTextures.staged[0]);

    fake::EyeTargets().executeFails = false;
    ASSERT_TRUE(Frame(1, true));
    const uint32_t picture = fake::EyeTargets().picture;
    EXPECT_EQ(fake::PictureIn(presenter->eyeTexture[0]), picture) << "the next frame still fills both eyes";
    EXPECT_EQ(fake::PictureIn(presenter->eyeTexture[1]), picture);
    EXPECT_EQ(fake::PictureIn(presenter->stagingTexture[1]), picture);
}

} // namespace
} // namespace corvane
