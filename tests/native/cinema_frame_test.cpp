// The cinema screen in the frame: the frame driver asks for it while first-person stereo is not
// engaged, the presenter draws it over both eyes' pictures from this frame's head pose, submits
// both eyes with that pose, fades it over eight frames, says when it turns on, off and first
// shows, and centres it again on the recentre key or the runtime's seated-zero reset.
#include "allocation_counter.h"
#include "fakes/fake_eye_targets.h"
#include "game/game_bridge.h"
#include "input/hold_commands.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace corvane {
namespace {

using testing_support::MessageOf;

class CinemaFrameTest : public testing_support::ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        fake::ResetEyeTargets();
        // The head 1.6 m up, turned 30 degrees to the left.
        const float half = 30.0f * 3.14159265f / 360.0f;
        fake::PlaceHeadset({0.1f, 1.6f, 0.2f}, Quaternion{0.0f, std::sin(half), 0.0f, std::cos(half)});
    }

    IDXGISwapChain* SwapChain() { return reinterpret_cast<IDXGISwapChain*>(&swapChainStandIn); }

    // One frame through the frame driver; the submissions of this frame.
    void Frame() {
        vr.submissions.clear();
        fake::EyeTargets().hands.clear();
        RunFrame(SwapChain());
    }

    static size_t Said(const std::string& prefix) {
        size_t count = 0;
        for (const std::string& line : fake::LogLines()) {
            count += MessageOf(line).rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return count;
    }

    int swapChainStandIn = 0;
    fake::FakeOpenVr& vr = fake::OpenVr();
};

TEST_F(CinemaFrameTest, AScreenPlacedAHairRightOfStraightAheadIsLoggedAtYawZero) {
    // A runtime's recentred space may leave the head a few thousandths of a degree off.
    const float half = -0.004f * 3.14159265f / 360.0f;
    fake::PlaceHeadset({0.0f, 1.6f, 0.0f}, Quaternion{0.0f, std::sin(half), 0.0f, std::cos(half)});
    Frame();
    EXPECT_EQ(Said("Cinema screen shown: 4.00 m wide, 3.00 m away, facing yaw 0.0 degrees"), 1u);
}

TEST_F(CinemaFrameTest, WhileTheGameHasTheCameraBothEyesShowTheScreenFromThisFramesHeadPose) {
    fake::SetIni(L"VR", L"VisibleHands", L"1");
    for (int frame = 1; frame <= 9; ++frame) {
        SCOPED_TRACE(frame);
        Frame();
        ASSERT_EQ(vr.submissions.size(), 2u) << VrPresenter::Instance().LastError();
        const auto& drawn = fake::EyeTargets().hands;
        ASSERT_EQ(drawn.size(), 2u);
        for (uint32_t eye = 0; eye < 2; ++eye) {
            const fake::RecordedHands& copy = drawn[eye];
            const fake::FakeSubmission& shown = vr.submissions[copy.eye];
            ASSERT_TRUE(copy.cinema);
            EXPECT_FLOAT_EQ(copy.cinemaConstants.up[3], std::min(frame, 8) / 8.0f) << "the fade";
            // Drawn into exactly the bounds it is submitted with, from the pose it is submitted with.
            EXPECT_FLOAT_EQ(copy.scene.areaUMin, shown.bounds.uMin);
            EXPECT_FLOAT_EQ(copy.scene.areaVMax, shown.bounds.vMax);
            ASSERT_EQ(shown.flags & Submit_TextureWithPose,
                      static_cast<EVRSubmitFlags>(Submit_TextureWithPose));
            EXPECT_NEAR(shown.pose.m[0][3], 0.1f, 1e-6f);
            EXPECT_NEAR(shown.pose.m[0][2], 0.5f, 1e-6f) << "turned 30 degrees";
            ASSERT_TRUE(copy.scene.hasSubmittedHeadPose) << "the hands are seen from the same pose";
            EXPECT_NEAR(copy.scene.submittedHeadPose.m[0][2], 0.5f, 1e-6f);
            // The screen's centre lies straight ahead of the head, 3 m away: 0.0315 / 3 = 0.0105
            // right of the left eye's axis and as far left of the right eye's; with raw tangents
            // -1.39/1.25 and -1.25/1.39 that is (0.021 + 0.14) / 2.64 and (-0.021 - 0.14) / 2.64.
            float ndcX = 0.0f;
            float ndcY = 0.0f;
            ASSERT_TRUE(CinemaPointOnEye(copy.cinemaConstants, 0.5f, 0.5f, ndcX, ndcY));
            EXPECT_NEAR(ndcX, copy.eye == 0 ? 0.060985f : -0.060985f, 1e-5f);
            EXPECT_NEAR(ndcY, 0.0f, 1e-5f);
        }
        // 3 m along the heading, at head height.
        EXPECT_NEAR(drawn[0].cinemaConstants.centre[0], 0.1f - 1.5f, 1e-5f);
        EXPECT_NEAR(drawn[0].cinemaConstants.centre[1], 1.6f, 1e-5f);
        EXPECT_NEAR(drawn[0].cinemaConstants.centre[2], 0.2f - 2.598076f, 1e-5f);
    }
    EXPECT_EQ(Said("Cinema screen on: the game has the camera"), 1u);
    EXPECT_EQ(Said("Cinema screen shown: 4.00 m wide, 3.00 m away, facing yaw 30.0 degrees, surround 0.05"),
              1u);

    // Frames of the alternate-eye cycle in third person still fill both eyes from one pose.
    for (int i = 0; i < 2; ++i) {
        StereoState& stereo = GetStereoState();
        stereo.projectionHookSeen = true;
        stereo.projectionHookSeenInPair = true;
        stereo.eyeCameraApplied = true;
        Frame();
        ASSERT_EQ(fake::EyeTargets().hands.size(), 2u) << "both eyes, every frame";
        ASSERT_EQ(vr.submissions.size(), 2u);
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 4; ++column) {
                EXPECT_EQ(vr.submissions[0].pose.m[row][column], vr.submissions[1].pose.m[row][column]);
            }
        }
    }

    // The head turns: the screen stands where it stood.
    fake::PlaceHeadset({0.1f, 1.6f, 0.2f}, Quaternion{});
    Frame();
    ASSERT_EQ(fake::EyeTargets().hands.size(), 2u);
    EXPECT_NEAR(fake::EyeTargets().hands[0].cinemaConstants.centre[0], 0.1f - 1.5f, 1e-5f);
    EXPECT_NEAR(vr.submissions[0].pose.m[0][2], 0.0f, 1e-6f) << "but the pose is the new one";
}

TEST_F(CinemaFrameTest, ARuntimeThatComposesLayersGetsTheOpaqueScreenAndTheEyesAHole) {
    vr.offersScreenLayer = true;
    // Fading in (frames 1 to 7 of eight) the screen is blended into the eye textures: no layer.
    for (int frame = 1; frame <= 8; ++frame) {
        vr.screenLayers.clear();
        Frame();
        ASSERT_EQ(vr.screenLayers.size(), 1u) << frame;
        const bool opaque = frame == 8;
        EXPECT_EQ(vr.screenLayers[0].picture != nullptr, opaque) << frame;
        for (const fake::RecordedHands& copy : fake::EyeTargets().hands) {
            EXPECT_TRUE(copy.cinema) << frame;
            EXPECT_EQ(copy.screenAsLayer, opaque) << frame;
            EXPECT_FALSE(copy.screenUnderEyes) << "no hands in front of it: no hole";
        }
    }
    // Opaque: the game's picture on the screen placed 3 m along the head's heading (30 degrees to
    // the left), 4 m wide at the picture's 16:9, level, its right vector turned with the heading.
    const ScreenLayer& layer = vr.screenLayers[0];
    EXPECT_EQ(layer.picture, fake::kCinemaPicture);
    EXPECT_NEAR(layer.centre[0], 0.1f - 1.5f, 1e-5f);
    EXPECT_NEAR(layer.centre[1], 1.6f, 1e-5f);
    EXPECT_NEAR(layer.centre[2], 0.2f - 2.598076f, 1e-5f);
    EXPECT_NEAR(layer.right[0], 0.866025f, 1e-5f);
    EXPECT_NEAR(layer.right[1], 0.0f, 1e-6f);
    EXPECT_NEAR(layer.right[2], -0.5f, 1e-5f);
    EXPECT_FLOAT_EQ(layer.halfWidth, 2.0f);
    EXPECT_FLOAT_EQ(layer.halfHeight, 1.125f);
    EXPECT_FALSE(layer.underEyes);
    // The eye textures hold the surround alone: unchanged for the runtime from frame to frame.
    const uint64_t surround[2] = {vr.eyeContent[0], vr.eyeContent[1]};
    Frame();
    EXPECT_EQ(vr.eyeContent[0], surround[0]);
    EXPECT_EQ(vr.eyeContent[1], surround[1]);

    // With the hands drawn, the screen goes under the eye textures, through a hole in each.
    fake::SetIni(L"VR", L"VisibleHands", L"1");
    LoadSettings();
    vr.screenLayers.clear();
    Frame();
    ASSERT_EQ(vr.screenLayers.size(), 1u);
    EXPECT_TRUE(vr.screenLayers[0].underEyes);
    EXPECT_EQ(vr.eyeContent[0], surround[0] + 1) << "the hands make each eye's picture its own again";
    EXPECT_EQ(vr.eyeContent[1], surround[1] + 1);
    for (const fake::RecordedHands& copy : fake::EyeTargets().hands) {
        EXPECT_TRUE(copy.screenUnderEyes);
    }

    // Fading out as first person engages: blended again, no layer.
    GetStereoState().cameraBuildSupported = true;
    GetGameBridge().FirstPersonActive.store(true);
    for (int i = 0; i < 3; ++i) {
        GetStereoState().projectionHookSeen = i > 0;
        vr.screenLayers.clear();
        Frame();
    }
    ASSERT_EQ(vr.screenLayers.size(), 1u);
    EXPECT_EQ(vr.screenLayers[0].picture, nullptr);
    ASSERT_FALSE(fake::EyeTargets().hands.empty());
    EXPECT_FALSE(fake::EyeTargets().hands[0].screenAsLayer);
}

TEST_F(CinemaFrameTest, FirstPersonStereoFadesTheScreenOutAndAllocatesNothingOnTheWay) {
    Frame(); // start-up and connection; the screen starts fading in
    for (int i = 0; i < 8; ++i) {
        Frame();
    }
    // First person: the frame presented as it turns on was rendered while the game had the
    // camera and is still on the screen; from the next frame on, rendered with the common
    // frustum, the screen fades out over eight frames.
    GetStereoState().cameraBuildSupported = true; // as for the validated build
    GetGameBridge().FirstPersonActive.store(true);
    float opacity[9] = {};
    uint64_t before = 0;
    for (int i = 0; i < 9; ++i) {
        // The second frame says the screen is off (a log line may allocate); the rest only fade.
        if (i == 2) {
            before = testing_support::AllocationCount();
        }
        if (i > 0) {
            EXPECT_TRUE(GetStereoState().stereoRendering) << "the projection routine gets the common frustum";
            GetStereoState().projectionHookSeen = true;
        }
        Frame();
        opacity[i] = fake::EyeTargets().hands.empty() || !fake::EyeTargets().hands[0].cinema
                         ? 0.0f
                         : fake::EyeTargets().hands[0].cinemaConstants.up[3];
    }
    EXPECT_EQ(testing_support::AllocationCount(), before) << "fade frames allocate";
    const float expected[9] = {1.0f,     7 / 8.0f, 6 / 8.0f, 5 / 8.0f, 4 / 8.0f,
                               3 / 8.0f, 2 / 8.0f, 1 / 8.0f, 0.0f};
    for (int i = 0; i < 9; ++i) {
        EXPECT_FLOAT_EQ(opacity[i], expected[i]) << i;
    }
    EXPECT_EQ(Said("Cinema screen off: first-person stereo engaged"), 1u);
    ASSERT_EQ(vr.submissions.size(), 2u);
    EXPECT_EQ(vr.submissions[0].flags & Submit_TextureWithPose, 0) << "a mono picture without a render pose";

    // The setting off: never drawn.
    testing_support::ResetProcessState();
    SetUp();
    fake::SetIni(L"VR", L"CinemaScreen", L"0");
    Frame();
    Frame();
    ASSERT_EQ(fake::EyeTargets().hands.size(), 2u);
    EXPECT_FALSE(fake::EyeTargets().hands[0].cinema);
    EXPECT_EQ(Said("Cinema screen"), 0u);
}

// In first person a frame that lost its common frustum once, or whose camera uploads were
// rewritten only in part, is not shown: both eyes get their last textures again, and the screen
// stays off. Frames that keep missing it are the game's own pictures and go on the screen.
TEST_F(CinemaFrameTest, AnOddFirstPersonFrameIsHeldAndOnlyAStretchOfThemPutsTheScreenUp) {
    Frame();
    GetStereoState().cameraBuildSupported = true; // as for the validated build
    GetGameBridge().FirstPersonActive.store(true);
    StereoState& stereo = GetStereoState();
    for (int i = 0; i < 10; ++i) {
        if (i > 0) {
            stereo.projectionHookSeen = true;
        }
        Frame();
    }
    ASSERT_EQ(Said("Cinema screen off"), 1u);
    ASSERT_EQ(vr.submissions.size(), 2u);
    const void* shown[2] = {vr.submissions[0].texture, vr.submissions[1].texture};

    struct Odd {
        const char* label;
        bool projection;
        bool rewritten;
        bool declined;
    };
    const Odd odds[] = {{"no projection call", false, false, false}, {"mixed uploads", true, true, true}};
    for (const Odd& odd : odds) {
        SCOPED_TRACE(odd.label);
        stereo.projectionHookSeen = odd.projection;
        stereo.opticalProjectionApplied = odd.rewritten;
        stereo.opticalProjectionDeclined = odd.declined;
        Frame();
        EXPECT_TRUE(fake::EyeTargets().hands.empty()) << "nothing copied";
        ASSERT_EQ(vr.submissions.size(), 2u) << "the last textures go out again";
        EXPECT_EQ(vr.submissions[0].texture, shown[0]);
        EXPECT_EQ(vr.submissions[1].texture, shown[1]);
        EXPECT_EQ(Said("Cinema screen on"), 1u) << "only the first, before first person";
        stereo.projectionHookSeen = true;
        Frame();
        ASSERT_EQ(fake::EyeTargets().hands.size(), 2u);
        EXPECT_FALSE(fake::EyeTargets().hands[0].cinema);
        shown[0] = vr.submissions[0].texture;
        shown[1] = vr.submissions[1].texture;
    }

    // A failed submit: the connection is made again ten seconds later, and its first frame, not
    // yet from an eye, is first person in both eyes, not the screen.
    vr.submitResult[1] = 101;
    stereo.projectionHookSeen = true;
    Frame();
    vr.submitResult[1] = VRCompositorError_None;
    fake::Os().steadyNs += kReconnectIntervalNs;
    stereo.projectionHookSeen = true;
    Frame();
    ASSERT_EQ(fake::EyeTargets().hands.size(), 2u) << VrPresenter::Instance().LastError();
    EXPECT_FALSE(fake::EyeTargets().hands[0].cinema);
    EXPECT_EQ(Said("Cinema screen on"), 1u);
    stereo.projectionHookSeen = true;
    Frame();

    // The projection call stays away: after the one held frame, the screen.
    Frame();
    EXPECT_TRUE(fake::EyeTargets().hands.empty());
    Frame();
    EXPECT_EQ(Said("Cinema screen on"), 2u);
    ASSERT_EQ(fake::EyeTargets().hands.size(), 2u);
    EXPECT_TRUE(fake::EyeTargets().hands[0].cinema);
}

TEST_F(CinemaFrameTest, TheKeyAndTheRuntimesResetCentreTheViewAgain) {
    Frame();
    Frame();
    const uint64_t epoch = VrPresenter::Instance().trackingEpoch.load();
    // The head turns to 10 degrees right; F9 while the game's window has the focus.
    const float half = -10.0f * 3.14159265f / 360.0f;
    fake::PlaceHeadset({0.0f, 1.6f, 0.0f}, Quaternion{0.0f, std::sin(half), 0.0f, std::cos(half)});
    fake::Os().keysDown.insert(0x78);
    Frame();
    EXPECT_EQ(Said("Recentred by the recentre key: head-look reference taken again; cinema screen facing yaw "
                   "-10.0 degrees"),
              1u);
    EXPECT_GT(VrPresenter::Instance().trackingEpoch.load(), epoch) << "a new tracking epoch";
    ASSERT_EQ(fake::EyeTargets().hands.size(), 2u);
    EXPECT_NEAR(fake::EyeTargets().hands[0].cinemaConstants.centre[0],
                3.0f * std::sin(10.0f * 3.14159265f / 180.0f), 1e-4f);
    Frame(); // held down: one press
    EXPECT_EQ(Said("Recentred by"), 1u);

    // Released and pressed again while another window has the focus: nothing.
    fake::Os().keysDown.clear();
    Frame();
    fake::Os().foregroundOurs = false;
    fake::Os().keysDown.insert(0x78);
    Frame();
    EXPECT_EQ(Said("Recentred by"), 1u);

    // The runtime's seated-zero reset, among other events.
    vr.events = {100, 804, 101};
    Frame();
    EXPECT_EQ(Said("Recentred by the runtime's seated-zero reset"), 1u);
    EXPECT_TRUE(vr.events.empty());
}

TEST_F(CinemaFrameTest, AScreenThatCannotBeMadeLeavesTheGamesPictureAndSaysSoOnce) {
    fake::EyeTargets().cinemaFails = true;
    for (int i = 0; i < 3; ++i) {
        Frame();
        ASSERT_EQ(vr.submissions.size(), 2u) << VrPresenter::Instance().LastError();
        ASSERT_EQ(fake::EyeTargets().hands.size(), 2u);
        EXPECT_FALSE(fake::EyeTargets().hands[0].cinema);
    }
    EXPECT_EQ(Said("Cinema screen unavailable: Cinema screen shader compilation failed"), 1u);
    EXPECT_TRUE(VrPresenter::Instance().LastError().empty()) << "no VR failure for the screen's";
}

// A recentre whose frame fails after the poses were fetched is applied by the next frame that
// gets through: its line is said and the screen is placed where the head looks then.
TEST_F(CinemaFrameTest, ARecentreOutlivesAFrameThatFails) {
    Frame();
    Frame();
    const float half = -10.0f * 3.14159265f / 360.0f;
    fake::PlaceHeadset({0.0f, 1.6f, 0.0f}, Quaternion{0.0f, std::sin(half), 0.0f, std::cos(half)});
    fake::Os().keysDown.insert(0x78);
    fake::EyeTargets().acquireFails = true;
    Frame();
    EXPECT_TRUE(vr.submissions.empty());
    fake::Os().keysDown.clear();
    fake::EyeTargets().acquireFails = false;
    Frame();
    EXPECT_EQ(Said("Recentred by the recentre key: head-look reference taken again; cinema screen facing yaw "
                   "-10.0 degrees"),
              1u);
    ASSERT_EQ(fake::EyeTargets().hands.size(), 2u);
    EXPECT_NEAR(fake::EyeTargets().hands[0].cinemaConstants.centre[0],
                3.0f * std::sin(10.0f * 3.14159265f / 180.0f), 1e-4f);
    Frame();
    EXPECT_EQ(Said("Recentred by"), 1u);
}

// While the screen is up, Page Up / Page Down and Home / End move it and size it in 0.25 m steps,
// each saved, and stop silently at the ends of the INI ranges (1 to 20 m away, 0.5 to 30 m wide).
TEST_F(CinemaFrameTest, KeysPlaceTheScreenWhileItIsUpAndSaveIt) {
    Frame();
    Frame();
    const auto press = [&](int key) {
        fake::Os().keysDown.insert(key);
        Frame();
        fake::Os().keysDown.clear();
        Frame();
    };
    // The head at (0.1, 1.6, 0.2) turned 30 degrees left: the screen's heading is (-0.5, -0.866).
    press(0x21); // Page Up
    EXPECT_EQ(Said("Page Up: cinema screen farther; distance 3.25 m (saved)"), 1u);
    EXPECT_EQ(fake::GetIni(L"VR", L"CinemaDistance"), L"3.250000");
    ASSERT_EQ(fake::EyeTargets().hands.size(), 2u);
    EXPECT_NEAR(fake::EyeTargets().hands[0].cinemaConstants.centre[0], 0.1f - 0.5f * 3.25f, 1e-4f);
    EXPECT_NEAR(fake::EyeTargets().hands[0].cinemaConstants.centre[2], 0.2f - 0.8660254f * 3.25f, 1e-4f);
    press(0x22); // Page Down
    press(0x22);
    EXPECT_EQ(Said("Page Down: cinema screen nearer; distance 2.75 m (saved)"), 1u);
    press(0x23); // End
    EXPECT_EQ(Said("End: cinema screen smaller; width 3.75 m (saved)"), 1u);
    EXPECT_EQ(fake::GetIni(L"VR", L"CinemaWidth"), L"3.750000");
    EXPECT_FLOAT_EQ(fake::EyeTargets().hands[0].cinemaConstants.centre[3], 1.875f) << "half the width";
    press(0x24); // Home
    EXPECT_EQ(Said("Home: cinema screen larger; width 4.00 m (saved)"), 1u);

    // At the near end: the last step stops at 1 m, further presses say nothing.
    for (int i = 0; i < 10; ++i) {
        press(0x22);
    }
    EXPECT_EQ(fake::GetIni(L"VR", L"CinemaDistance"), L"1.000000");
    EXPECT_EQ(Said("Page Down: cinema screen nearer; distance 1.00 m (saved)"), 1u);
    EXPECT_EQ(Said("Page Down"), 9u) << "two, then seven to 1 m";

    // Another window has the focus: nothing. First person: nothing.
    fake::Os().foregroundOurs = false;
    press(0x21);
    fake::Os().foregroundOurs = true;
    GetStereoState().cameraBuildSupported = true;
    GetGameBridge().FirstPersonActive.store(true);
    for (int i = 0; i < 3; ++i) {
        GetStereoState().projectionHookSeen = true;
        Frame();
    }
    GetStereoState().projectionHookSeen = true;
    fake::Os().keysDown.insert(0x21);
    Frame();
    EXPECT_EQ(Said("Page Up"), 1u);
    EXPECT_EQ(fake::GetIni(L"VR", L"CinemaDistance"), L"1.000000");
}

// Held controller and gamepad buttons do what F9 and the screen keys do: a second's hold centres
// the view, a push of the stick during the hold places the screen.
TEST_F(CinemaFrameTest, AHeldButtonCentresTheViewOrPlacesTheScreen) {
    fake::PlaceController(3, TrackedControllerRole_RightHand, true);
    vr.devices[3].axisTypes[0] = k_eControllerAxis_Joystick;
    VRControllerState_t& right = vr.devices[3].state;
    const auto frames = [&](int count) {
        for (int i = 0; i < count; ++i) {
            fake::Os().tickMs += 100;
            Frame();
        }
    };
    frames(2);
    const uint64_t epoch = VrPresenter::Instance().trackingEpoch.load();
    // A short press of the joystick click: nothing.
    right.ulButtonPressed = uint64_t{1} << 35;
    frames(9);
    right.ulButtonPressed = 0;
    frames(3);
    EXPECT_EQ(Said("Recentred by"), 0u);
    // A long one: the view is centred again, once.
    right.ulButtonPressed = uint64_t{1} << 35;
    frames(25);
    EXPECT_EQ(
        Said("Recentred by a long press of the right controller's joystick click (button 35): head-look "
             "reference taken again; cinema screen facing yaw 30.0 degrees"),
        1u);
    EXPECT_EQ(Said("Recentred by"), 1u);
    EXPECT_GT(VrPresenter::Instance().trackingEpoch.load(), epoch);
    right.ulButtonPressed = 0;
    frames(2);

    // Held with the stick pushed up, then right: farther and larger, saved, and no recentre.
    right.ulButtonPressed = uint64_t{1} << 35;
    frames(1);
    right.rAxis[0] = {0.0f, 1.0f};
    frames(1);
    right.rAxis[0] = {0.0f, 0.0f};
    frames(1);
    right.rAxis[0] = {0.9f, 0.1f};
    frames(20);
    EXPECT_EQ(Said("Right controller's joystick click: cinema screen farther; distance 3.25 m (saved)"), 1u);
    EXPECT_EQ(Said("Right controller's joystick click: cinema screen larger; width 4.25 m (saved)"), 1u);
    EXPECT_EQ(fake::GetIni(L"VR", L"CinemaDistance"), L"3.250000");
    EXPECT_EQ(fake::GetIni(L"VR", L"CinemaWidth"), L"4.250000");
    EXPECT_FLOAT_EQ(fake::EyeTargets().hands[0].cinemaConstants.centre[3], 2.125f) << "half the new width";
    EXPECT_EQ(Said("Recentred by"), 1u);
    right.ulButtonPressed = 0;
    right.rAxis[0] = {0.0f, 0.0f};
    frames(2);

    // The gamepad's two stick clicks, as the game polls the pad.
    // Held for a second, then centred at the next frame.
    for (int i = 0; i < 12; ++i) {
        NoteRealGamepad(0x00C0, 0, 0, fake::Os().tickMs + 100);
        frames(1);
    }
    EXPECT_EQ(Said("Recentred by a long press of the gamepad's stick clicks (L3 + R3)"), 1u);
}

// The game takes the camera while the headset has no usable pose: nothing to place the screen by,
// so it stays hidden and the log says why; a recentre then says it places the screen later.
TEST_F(CinemaFrameTest, ATakeOverWithoutAHeadPoseKeepsTheScreenHiddenAndSaysSo) {
    vr.devices[k_unTrackedDeviceIndex_Hmd].pose.bPoseIsValid = false;
    Frame();
    Frame();
    ASSERT_EQ(fake::EyeTargets().hands.size(), 2u);
    EXPECT_FALSE(fake::EyeTargets().hands[0].cinema);
    EXPECT_EQ(Said("Cinema screen hidden until a usable head pose can place it"), 1u);
    EXPECT_EQ(Said("Cinema screen shown"), 0u);

    fake::Os().keysDown.insert(0x78); // F9
    Frame();
    fake::Os().keysDown.clear();
    Frame();
    EXPECT_EQ(
        Said("Recentred by the recentre key: head-look reference taken again; cinema screen placed once "
             "the head pose is usable"),
        1u);

    vr.devices[k_unTrackedDeviceIndex_Hmd].pose.bPoseIsValid = true;
    Frame();
    ASSERT_EQ(fake::EyeTargets().hands.size(), 2u);
    EXPECT_TRUE(fake::EyeTargets().hands[0].cinema);
    EXPECT_EQ(Said("Cinema screen shown"), 1u);
    EXPECT_EQ(Said("Cinema screen hidden"), 1u);
}

// One eye's picture for both eyes, when the objects that lay it into the other eye's field cannot
// be made: said once; that eye is dark for the frame rather than shown the picture stretched.
TEST_F(CinemaFrameTest, APictureThatCannotBeLaidIntoAFieldIsSaidOnce) {
    fake::EyeTargets().cinemaFails = true;
    fake::SetIni(L"VR", L"CinemaScreen", L"0");
    VrPresenter& presenter = VrPresenter::Instance();
    for (int i = 0; i < 3; ++i) {
        int swapChain = 0;
        FrameRequest request;
        request.eye = 1;
        request.projection = PictureProjection::Eye;
        ASSERT_TRUE(presenter.RenderFrame(reinterpret_cast<IDXGISwapChain*>(&swapChain), request))
            << presenter.LastError();
        if (i == 0) {
            Frame(); // startup reads the INI: the screen stays off from here
        }
    }
    EXPECT_EQ(Said("Mono picture cannot be laid into the other eye's field: Cinema screen shader compilation "
                   "failed"),
              1u);
    EXPECT_TRUE(presenter.LastError().empty());
}

} // namespace
} // namespace corvane
