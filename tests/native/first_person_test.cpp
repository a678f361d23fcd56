#include "game/first_person.h"

#include "fake_game_image.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

constexpr uintptr_t kOtherPlayer = 0x220000104;
constexpr uintptr_t kOtherActor = 0x230000000;
constexpr uintptr_t kCleanupRoutine = kImageBase + kState17CleanupRva;

const char* const kPreparing =
    "Stable gameplay detected; automatic first person is preparing from native camera state 0.";
const char* const kEntered =
    "First person enabled automatically after 15 consecutive native gameplay-state-0 frames.";

class FirstPersonTest : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        InstallFakeHost();
        LayOutGameImage();
        fake::Commit(kOtherPlayer & ~uintptr_t{0xFFF}, 0x1000, kPageReadWrite);
        fake::Commit(kOtherActor, 0x1000, kPageReadWrite);
        fake::Memory().routines[kCleanupRoutine] = [this] {
            ++cleanupCalls;
            return !cleanupRaises;
        };
        ASSERT_TRUE(IsExecutableValidated());
        RecordCameraMessages();
    }

    static bool Frame(bool cameraSeen = true) { return UpdateFirstPerson(cameraSeen); }

    // Runs qualifying frames until first person starts; returns how many it took.
    static int EnterFirstPerson() {
        for (int frame = 1; frame <= 1000; ++frame) {
            if (Frame()) {
                EXPECT_TRUE(IsFirstPersonActive());
                return frame;
            }
        }
        ADD_FAILURE() << "first person never started";
        return 0;
    }

    static uint32_t ControlWord() { return fake::PeekValue<uint32_t>(kImageBase + kCameraControlWordRva); }
    static float BodyAlpha() { return fake::PeekValue<float>(kActiveActor + 0x58); }
    static uint8_t BodyFlags() { return fake::PeekValue<uint8_t>(kActiveActor + 0x98); }

    int cleanupCalls = 0;
    bool cleanupRaises = false;
};

TEST_F(FirstPersonTest, EntersOnTheConfiguredStableFrameAndLogsTheRun) {
    EXPECT_EQ(15, EnterFirstPerson());
    EXPECT_EQ(17u, CameraState());
    const std::vector<std::string> expected = {
        "First-person default intent enabled; waiting for stable gameplay.", kPreparing, kEntered};
    EXPECT_EQ(expected, CameraMessages());
    EXPECT_TRUE(GetGameBridge().OwnsState17);
    EXPECT_EQ(kPlayerObject, GetGameBridge().EntryPlayerObject);
    EXPECT_EQ(kActiveActor, GetGameBridge().EntryActiveActor);

    // Steady first person and the kept state.
    EXPECT_FALSE(Frame());
    EXPECT_EQ(3u, CameraMessages().size());
}

TEST_F(FirstPersonTest, OneStableFrameIsEnough) {
    GetSettings().FirstPersonStableFrames = 1;
    EXPECT_EQ(1, EnterFirstPerson());
    EXPECT_EQ("First person enabled automatically after 1 consecutive native gameplay-state-0 frames.",
              CameraMessages().back());
}

TEST_F(FirstPersonTest, AFailingFrameOrAnotherPlayerRestartsTheRun) {
    for (int i = 0; i < 14; ++i) {
        ASSERT_FALSE(Frame());
    }
    EXPECT_FALSE(Frame(false));
    EXPECT_EQ("Automatic first person is waiting for the verified gameplay camera.", CameraMessages().back());
    for (int i = 0; i < 5; ++i) {
        ASSERT_FALSE(Frame());
    }
    EXPECT_EQ(5u, GetGameBridge().StableFrameCount);
    fake::PokeValue<uint64_t>(kImageBase + kPlayerObjectRva, kOtherPlayer);
    EXPECT_FALSE(Frame());
    EXPECT_EQ(1u, GetGameBridge().StableFrameCount);
    EXPECT_EQ(kOtherPlayer, GetGameBridge().StableObject);
    EXPECT_EQ(14, EnterFirstPerson());
    EXPECT_EQ(3u, CountCameraMessages(kPreparing));
}

TEST_F(FirstPersonTest, EachWaitReasonIsLoggedOnceWhileItLasts) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool cameraSeen;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"control block unreadable", [] { fake::Reserve(kImageBase + kControlBlockRva, 4); }, true,
         "Automatic first person is waiting for Corvane's native control block to become readable."},
        {"control block closed", [] { SetControlBlock(2); }, true,
         "Automatic first person is waiting for Corvane's native control block to reopen."},
        {"player pointer implausible",
         [] { fake::PokeValue<uint64_t>(kImageBase + kPlayerObjectRva, 0xFFFF); }, true,
         "Automatic first person is waiting for Tesh's gameplay object."},
        {"player object unreadable",
         [] { fake::PokeValue<uint64_t>(kImageBase + kPlayerObjectRva, 0x250000000); }, true,
         "Automatic first person is waiting for Tesh's gameplay object."},
        {"no gameplay camera", [] {}, false,
         "Automatic first person is waiting for the verified gameplay camera."},
        {"camera state unreadable", [] { fake::Reserve(kImageBase + kCameraStateRva, 4); }, true,
         "Automatic first person is waiting for a readable native camera state."},
        {"body shown but actor not verified",
         [] {
             GetSettings().ShowPlayerBody = true;
             fake::PokeValue<uint64_t>(kActiveSlot, kOtherActor);
         },
         true, "Automatic first person is waiting for Tesh's active actor because ShowPlayerBody=1."},
        {"engine-owned state", [] { SetCameraState(5); }, true,
         "Automatic first person rejected engine-owned camera state 5; waiting for sustained native gameplay "
         "state 0."},
        {"another window in front", [] { fake::Os().foregroundOurs = false; }, true,
         "Automatic first person is waiting for Corvane to be the foreground window."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        c.arrange();
        for (int i = 0; i < 20; ++i) {
            ASSERT_FALSE(Frame(c.cameraSeen));
        }
        EXPECT_FALSE(IsFirstPersonActive());
        EXPECT_EQ(1u, CountCameraMessages(c.message));
        EXPECT_EQ(2u, CameraMessages().size());
        EXPECT_EQ(0u, GetGameBridge().StableFrameCount);
    }
}

TEST_F(FirstPersonTest, AnotherEngineStateNumberDoesNotLogAgain) {
    SetCameraState(5);
    (void)Frame();
    SetCameraState(9);
    (void)Frame();
    EXPECT_EQ(2u, CameraMessages().size());
}

TEST_F(FirstPersonTest, EveryWayOutRestoresWhatItShould) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool cameraSeen;
        std::string reason;
        uint32_t stateAfter;
        bool bodyRestored;
    };
    const std::vector<Case> cases = {
        {"player changed", [] { fake::PokeValue<uint64_t>(kImageBase + kPlayerObjectRva, kOtherPlayer); },
         true, "Tesh's player object disappeared or changed", 17, false},
        {"actor changed", [] { fake::PokeValue<uint64_t>(kActiveSlot, kOtherActor); }, true,
         "Tesh is no longer the verified active actor", 0, false},
        {"state unreadable", [] { fake::Reserve(kImageBase + kCameraStateRva, 4); }, true,
         "camera state became unreadable", 0xFFFFFFFF, true},
        {"state unreadable, camera not seen", [] { fake::Reserve(kImageBase + kCameraStateRva, 4); }, false,
         "camera state became unreadable", 0xFFFFFFFF, false},
        {"camera absent", [] {}, false, "final gameplay camera was absent (menu/load)", 0, false},
        {"engine state", [] { SetCameraState(6); }, true, "Corvane selected engine-owned camera state 6", 6,
         true},
        {"maintenance failed",
         [] {
             SetCameraState(0);
             fake::Memory().failProtect = [](const fake::ProtectCall&, size_t) { return true; };
         },
         true, "state-17 maintenance write failed", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        GetSettings().ShowPlayerBody = true;
        GetSettings().FirstPersonRetryFrames = 4;
        ASSERT_EQ(15, EnterFirstPerson());
        ASSERT_TRUE(ApplyPlayerBodyVisibility());
        ASSERT_EQ(1.0f, BodyAlpha());
        c.arrange();
        EXPECT_TRUE(Frame(c.cameraSeen));
        EXPECT_FALSE(IsFirstPersonActive());
        EXPECT_EQ("First person suspended: " + c.reason, CameraMessages().back());
        if (c.stateAfter != 0xFFFFFFFF) {
            EXPECT_EQ(c.stateAfter, CameraState());
        }
        EXPECT_EQ(c.stateAfter == 0 && c.reason != "state-17 maintenance write failed" ? 1u : 0u,
                  ControlWord() & 1);
        EXPECT_EQ(c.bodyRestored ? 0.25f : 1.0f, BodyAlpha());
        EXPECT_EQ(c.bodyRestored ? 0x01 : 0x05, BodyFlags());
        EXPECT_EQ(c.bodyRestored ? 1u : 0u,
                  CountCameraMessages("Tesh body visibility restored while leaving first person."));
        const GameBridge& bridge = GetGameBridge();
        EXPECT_FALSE(bridge.BodyOverridden);
        EXPECT_FALSE(bridge.OwnsState17);
        EXPECT_EQ(0u, bridge.EntryPlayerObject);
        EXPECT_EQ(4u, bridge.RetryGuardFrames);
        EXPECT_TRUE(bridge.FirstPersonIntent);
    }
}

TEST_F(FirstPersonTest, AFailedRestoreIsReportedAndTheExitGoesOn) {
    ASSERT_EQ(15, EnterFirstPerson());
    fake::Memory().failProtect = [](const fake::ProtectCall&, size_t) { return true; };
    EXPECT_FALSE(Frame(true));
    EXPECT_TRUE(Frame(false));
    EXPECT_FALSE(IsFirstPersonActive());
    EXPECT_EQ(1u, CountCameraMessages(
                      "Could not restore the saved native camera state while leaving first person."));
    EXPECT_EQ(1u,
              CountCameraMessages("First person suspended: final gameplay camera was absent (menu/load)"));
    EXPECT_EQ(17u, CameraState());
    EXPECT_EQ(0u, ControlWord());
}

// Entry whose protection restore fails: state 17 landed, so first person owns it and puts
// state 0 back on the way out.
TEST_F(FirstPersonTest, AnEntryWriteThatLandedWithoutItsProtectionRestoreIsOwned) {
    const uintptr_t state = kImageBase + kCameraStateRva;
    fake::SetProtection(state, 4, kPageReadOnly); // opened to read-write, restored to read-only
    fake::Memory().failProtect = [state](const fake::ProtectCall& call, size_t) {
        return call.address == state && call.newProtect == kPageReadOnly;
    };
    ASSERT_EQ(15, EnterFirstPerson());
    EXPECT_EQ(17u, CameraState());
    EXPECT_TRUE(GetGameBridge().OwnsState17);
    EXPECT_EQ(1u,
              CountCameraMessages("Camera state changed, but restoring page protection failed (error 5)."));
    EXPECT_EQ(0u, CountCameraMessages("Automatic first-person entry failed to write camera state 17."));
    EXPECT_EQ(1u, CountCameraMessages(kEntered));

    fake::Memory().failProtect = nullptr;
    EXPECT_FALSE(Frame(true));
    EXPECT_TRUE(Frame(false));
    EXPECT_EQ(0u, CameraState());
    EXPECT_EQ(1u, ControlWord());
    EXPECT_EQ(0u,
              CountCameraMessages("Automatic first person rejected engine-owned camera state 17; waiting for "
                                  "sustained native gameplay state 0."));
}

// Entry whose write never reached the game: nothing is owned, and the retry guard holds the
// next attempt back as after a suspension.
TEST_F(FirstPersonTest, AnEntryWriteThatNeverLandedIsReportedAndGuarded) {
    GetSettings().FirstPersonRetryFrames = 7;
    const uintptr_t state = kImageBase + kCameraStateRva;
    fake::Memory().failProtect = [state](const fake::ProtectCall& call, size_t) {
        return call.address == state;
    };
    for (int frame = 1; frame <= 15; ++frame) {
        ASSERT_FALSE(Frame()) << frame;
    }
    EXPECT_FALSE(IsFirstPersonActive());
    EXPECT_EQ(0u, CameraState());
    const GameBridge& bridge = GetGameBridge();
    EXPECT_FALSE(bridge.OwnsState17);
    EXPECT_EQ(7u, bridge.RetryGuardFrames);
    EXPECT_EQ(0u, bridge.StableFrameCount);
    const std::vector<std::string> tail(CameraMessages().end() - 2, CameraMessages().end());
    EXPECT_EQ((std::vector<std::string>{"VirtualProtect failed before camera write (error 5).",
                                        "Automatic first-person entry failed to write camera state 17."}),
              tail);
    EXPECT_EQ(0u, CountCameraMessages(kEntered));

    fake::Memory().failProtect = nullptr;
    EXPECT_FALSE(Frame());
    EXPECT_EQ(1u, CountCameraMessages("Automatic first person is in its post-transition retry guard."));
}

TEST_F(FirstPersonTest, RetryGuardWaitsTheConfiguredFramesThenCountsAgain) {
    GetSettings().FirstPersonRetryFrames = 3;
    ASSERT_EQ(15, EnterFirstPerson());
    SetCameraState(4);
    ASSERT_TRUE(Frame());
    SetCameraState(0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(Frame());
        EXPECT_EQ(0u, GetGameBridge().StableFrameCount);
    }
    EXPECT_EQ(1u, CountCameraMessages("Automatic first person is in its post-transition retry guard."));
    EXPECT_EQ(15, EnterFirstPerson());
}

TEST_F(FirstPersonTest, WithoutAutoResumeTheFirstExitIsFinal) {
    GetSettings().AutoResumeFirstPerson = false;
    GetSettings().FirstPersonRetryFrames = 2;
    ASSERT_EQ(15, EnterFirstPerson());
    SetCameraState(4);
    ASSERT_TRUE(Frame());
    SetCameraState(0);
    for (int i = 0; i < 100; ++i) {
        ASSERT_FALSE(Frame());
    }
    EXPECT_FALSE(IsFirstPersonActive());
    EXPECT_TRUE(GetGameBridge().ResumeBlocked);
    EXPECT_EQ(0u, CameraState());
}

TEST_F(FirstPersonTest, DefaultIntentOffNeverStarts) {
    GetSettings().FirstPersonDefault = false;
    for (int i = 0; i < 50; ++i) {
        ASSERT_FALSE(Frame());
    }
    EXPECT_EQ(std::vector<std::string>{"First-person default intent disabled."}, CameraMessages());
}

TEST_F(FirstPersonTest, MaintenanceRewritesStateZeroAndSaysSoOncePerEntry) {
    ASSERT_EQ(15, EnterFirstPerson());
    for (int i = 0; i < 3; ++i) {
        SetCameraState(0);
        EXPECT_FALSE(Frame());
        EXPECT_EQ(17u, CameraState());
    }
    EXPECT_EQ(1u, CountCameraMessages("v0.8 state-17 maintenance active for native gameplay state 0."));
}

TEST_F(FirstPersonTest, CompositeHandoffRestoresRunsCleanupAndSkipsTheRetryGuard) {
    GetSettings().FirstPersonRetryFrames = 50;
    ASSERT_EQ(15, EnterFirstPerson());
    fake::PokeValue<uint32_t>(kImageBase + kCompositeKindRva, 2);
    uintptr_t resume = 0;
    ASSERT_TRUE(HandleCompositeBreakpoint(kImageBase + 0x87CC2, WriterRegisters{}, resume));
    SetControlBlock(0); // reopened before the frame: the handoff still happens
    EXPECT_TRUE(Frame());
    EXPECT_EQ(
        "NATIVE COMPOSITE HANDOFF: C6066C 0->1 + C64DC4=2 writer=+0x00087CC2; state-17 cleanup=yes camera "
        "restore=yes.",
        CameraMessages().back());
    EXPECT_EQ(1, cleanupCalls);
    EXPECT_EQ(0u, CameraState());
    EXPECT_EQ(1u, ControlWord() & 1);
    EXPECT_EQ(0u, GetGameBridge().RetryGuardFrames);
    EXPECT_EQ(0u, GetGameBridge().PendingHandoffFlags.load());
    EXPECT_EQ(15, EnterFirstPerson());
}

TEST_F(FirstPersonTest, ARaisingCleanupRoutineStillRestoresTheCamera) {
    cleanupRaises = true;
    ASSERT_EQ(15, EnterFirstPerson());
    uintptr_t resume = 0;
    ASSERT_TRUE(HandleCompositeBreakpoint(kImageBase + 0x84617, WriterRegisters{0, 3, 0, 0, 0, 0}, resume));
    EXPECT_TRUE(Frame());
    const std::vector<std::string> tail(CameraMessages().end() - 2, CameraMessages().end());
    EXPECT_EQ(
        (std::vector<std::string>{"Native state-17 cleanup raised an exception; guarded restore used.",
                                  "NATIVE COMPOSITE HANDOFF: C6066C 0->3 + C64DC4=0 writer=+0x00084617; "
                                  "state-17 cleanup=no camera restore=yes."}),
        tail);
    EXPECT_EQ(0u, CameraState());
}

TEST_F(FirstPersonTest, PendingHandoffsWhileInactiveAreDropped) {
    uintptr_t resume = 0;
    ASSERT_TRUE(HandleCompositeBreakpoint(kImageBase + 0x87CC2, WriterRegisters{}, resume));
    SetControlBlock(0);
    EXPECT_FALSE(Frame());
    EXPECT_EQ(0u, GetGameBridge().PendingHandoffFlags.load());
    EXPECT_EQ(15, EnterFirstPerson() + 1); // the frame above already counted
}

TEST_F(FirstPersonTest, FlatModeFollowsTheGameSilentlyWithoutWrites) {
    GetSettings().Enabled = false;
    GetSettings().FirstPersonRetryFrames = 2;
    const size_t writesBefore = fake::Memory().writeCount;
    const size_t protectsBefore = fake::Memory().protectCalls.size();
    EXPECT_EQ(15, EnterFirstPerson());
    EXPECT_EQ(0u, CameraState());
    EXPECT_TRUE(Frame(false)); // seen at entry, then one frame without it ends it
    EXPECT_FALSE(IsFirstPersonActive());
    EXPECT_EQ(2u, GetGameBridge().RetryGuardFrames);
    EXPECT_EQ(std::vector<std::string>{"First-person default intent enabled; waiting for stable gameplay."},
              CameraMessages());
    EXPECT_EQ(writesBefore, fake::Memory().writeCount);
    EXPECT_EQ(protectsBefore, fake::Memory().protectCalls.size());
}

TEST_F(FirstPersonTest, FlatModeReportsEnteringAndLeaving) {
    GetSettings().Enabled = false;
    ASSERT_EQ(15, EnterFirstPerson());
    SetControlBlock(1);
    EXPECT_TRUE(Frame());
    EXPECT_FALSE(IsFirstPersonActive());
}

TEST_F(FirstPersonTest, BodyValuesAreSavedOnceAndOddFactorsAreLeftAlone) {
    GetSettings().ShowPlayerBody = true;
    ASSERT_EQ(15, EnterFirstPerson());
    EXPECT_TRUE(ApplyPlayerBodyVisibility());
    fake::PokeValue<float>(kActiveActor + 0x58, 0.5f); // the game fades it again
    EXPECT_TRUE(ApplyPlayerBodyVisibility());
    EXPECT_EQ(1u, CountCameraMessages("Native Tesh body visibility restored for first person."));
    EXPECT_EQ(0x3E800000u, GetGameBridge().SavedBodyAlpha); // 0.25, from before the first overwrite
    EXPECT_EQ(0x01u, GetGameBridge().SavedBodyFlags);

    for (float odd : {1.5f, std::numeric_limits<float>::quiet_NaN(), -0.25f}) {
        fake::PokeValue<float>(kActiveActor + 0x58, odd);
        fake::PokeValue<uint8_t>(kActiveActor + 0x98, 0x01);
        EXPECT_FALSE(ApplyPlayerBodyVisibility()) << odd;
        const float now = BodyAlpha();
        EXPECT_TRUE(std::isnan(odd) ? std::isnan(now) : now == odd);
        EXPECT_EQ(0x01, BodyFlags());
    }
}

TEST_F(FirstPersonTest, BodyIsLeftAloneOutsideFirstPersonOrOnUnwritableActors) {
    EXPECT_FALSE(ApplyPlayerBodyVisibility());
    ASSERT_EQ(15, EnterFirstPerson());
    fake::SetProtection(kActiveActor, 0x100, kPageReadOnly);
    EXPECT_FALSE(ApplyPlayerBodyVisibility());
    EXPECT_EQ(0.25f, BodyAlpha());
    EXPECT_FALSE(GetGameBridge().BodyOverridden);
}

TEST_F(FirstPersonTest, AMisalignedActorIsNeverWritten) {
    const uintptr_t actor = kActiveActor + 2;
    fake::PokeValue<uint64_t>(kActiveSlot, actor);
    fake::PokeValue<uint64_t>(kImageBase + kPlayerObjectRva, actor + 4);
    fake::PokeValue<float>(actor + 0x58, 0.25f);
    GetSettings().ShowPlayerBody = true;
    ASSERT_EQ(15, EnterFirstPerson());
    EXPECT_EQ(actor, GetGameBridge().EntryActiveActor);
    const size_t writesBefore = fake::Memory().writeCount;
    EXPECT_FALSE(ApplyPlayerBodyVisibility());
    EXPECT_EQ(writesBefore, fake::Memory().writeCount);
    EXPECT_EQ(0.25f, fake::PeekValue<float>(actor + 0x58));
}

TEST_F(FirstPersonTest, NothingHappensForAnUnsupportedExecutable) {
    ResetGameBridge();
    Host().digest[0] ^= 0xFF;
    RecordCameraMessages();
    for (int i = 0; i < 30; ++i) {
        EXPECT_FALSE(Frame());
    }
    EXPECT_EQ(0u, CameraState());
    EXPECT_FALSE(IsFirstPersonActive());
}

TEST_F(FirstPersonTest, ANestedUpdateIsANoOp) {
    GetGameBridge().UpdateBusy = 1;
    GetSettings().FirstPersonStableFrames = 1;
    EXPECT_FALSE(Frame());
    EXPECT_TRUE(CameraMessages().empty());
    GetGameBridge().UpdateBusy = 0;
    EXPECT_TRUE(Frame());
}

} // namespace
} // namespace corvane
