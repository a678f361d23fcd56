#include "game/native60.h"

#include "fake_game_image.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

constexpr uintptr_t kLimiter = kImageBase + kLimiterStoreRva;
constexpr uintptr_t kGate = kImageBase + kPedestrianGateRva;
constexpr uint8_t kNops[7] = {0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90};

const char* const kEnabledWithNpc =
    "Adaptive native 60 enabled from verified first-person state; NPC correction=enabled.";
const char* const kRestored = "Adaptive native 60 and NPC correction disabled; native 30 restored.";

class Native60Test : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        InstallFakeHost();
        LayOutGameImage();
        fake::PokeValue<uint8_t>(kImageBase + kRequestByteCRva, 5);
        ASSERT_TRUE(IsExecutableValidated());
        GetSettings().FirstPersonStableFrames = 1;
        RecordCameraMessages();
    }

    static void SetDelta(float delta) { fake::PokeValue<float>(kImageBase + kSimulationDeltaRva, delta); }
    // One frame as the frame driver runs it.
    static void Frame(bool cameraSeen = true) {
        (void)UpdateFirstPerson(cameraSeen);
        UpdateNative60();
    }
    static bool BytesAt(uintptr_t address, const uint8_t* expected, size_t size) {
        std::vector<uint8_t> actual(size);
        fake::Peek(address, actual.data(), size);
        return std::memcmp(actual.data(), expected, size) == 0;
    }
    static uint8_t RequestByte(uint64_t rva) { return fake::PeekValue<uint8_t>(kImageBase + rva); }
    // Refuses protection changes at the site: all of them, or only the n-th (from 0).
    static void FailProtectAt(uintptr_t site, int onlyCall = -1) {
        auto count = std::make_shared<int>(0);
        fake::Memory().failProtect = [site, onlyCall, count](const fake::ProtectCall& call, size_t) {
            if (call.address != site) {
                return false;
            }
            const int index = (*count)++;
            return onlyCall < 0 || index == onlyCall;
        };
    }
};

TEST_F(Native60Test, FirstPersonEngagesNative60WithTheLimiterAndTheGateJump) {
    SetDelta(1.0f / 60.0f);
    const size_t stopsBefore = fake::Memory().suspendCount;
    Frame();
    ASSERT_TRUE(IsFirstPersonActive());
    EXPECT_EQ(stopsBefore + 1, fake::Memory().suspendCount); // both writes under one stop
    const std::vector<std::string> tail(CameraMessages().end() - 4, CameraMessages().end());
    EXPECT_EQ(
        (std::vector<std::string>{
            "Adaptive native 60 armed; activation is controlled directly by verified first-person camera "
            "state.",
            "NPC movement correction armed; behavior remains gated to first-person native 60.",
            kEnabledWithNpc, "Native 60 confirmed from simulation delta 0.016667 seconds."}),
        tail);
    EXPECT_TRUE(BytesAt(kLimiter, kNops, 7));
    EXPECT_EQ(kPageExecuteRead, fake::ProtectionAt(kLimiter));
    EXPECT_EQ(1, RequestByte(kRequestByteARva));
    EXPECT_EQ(1, RequestByte(kRequestByteBRva));
    EXPECT_EQ(0, RequestByte(kRequestByteCRva));
    EXPECT_TRUE(GetGameBridge().Native60Active.load());

    uint8_t jump[14] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0, 0x90, 0x90};
    const uint64_t detour = kDetourEntry;
    std::memcpy(jump + 2, &detour, 8);
    EXPECT_TRUE(BytesAt(kGate, jump, sizeof(jump)));
    const uintptr_t trampoline = GetGameBridge().NpcTrampoline.load();
    ASSERT_NE(0u, trampoline);
    uint8_t expected[26];
    std::memcpy(expected, kPedestrianGate, 14);
    expected[14] = 0x48;
    expected[15] = 0xB8;
    const uint64_t resume = kGate + 14;
    std::memcpy(expected + 16, &resume, 8);
    expected[24] = 0xFF;
    expected[25] = 0xE0;
    EXPECT_TRUE(BytesAt(trampoline, expected, sizeof(expected)));

    // Steady frames re-assert the request silently.
    fake::PokeValue<uint8_t>(kImageBase + kRequestByteARva, 0);
    const size_t messages = CameraMessages().size();
    Frame();
    EXPECT_EQ(1, RequestByte(kRequestByteARva));
    EXPECT_EQ(messages, CameraMessages().size());
}

TEST_F(Native60Test, DeltaWindowsConfirmCountAndReset) {
    Frame();
    struct Step {
        float delta;
        uint32_t slowFrames;
        bool confirmed;
    };
    const Step steps[] = {
        {0.023f, 0, false},
        {0.025f, 1, false},
        {0.05f, 2, false},
        {0.051f, 0, false},
        {0.0099f, 0, false},
        {0.04f, 1, false},
        {std::numeric_limits<float>::quiet_NaN(), 0, false},
        {0.03f, 1, false},
        {0.022f, 0, true},
        {0.01f, 0, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.delta);
        SetDelta(step.delta);
        Frame();
        EXPECT_EQ(step.slowFrames, GetGameBridge().SlowDeltaFrames);
        EXPECT_EQ(step.confirmed, GetGameBridge().Native60Confirmed);
    }
    EXPECT_EQ(1u, CountCameraMessages("Native 60 confirmed from simulation delta 0.022000 seconds."));
}

TEST_F(Native60Test, ThirtySlowFramesPulseTheRequestAndTheNextFrameReappliesIt) {
    SetDelta(1.0f / 30.0f);
    for (int i = 0; i < 29; ++i) {
        Frame();
    }
    SetDelta(1.0f / 60.0f);
    Frame();
    EXPECT_EQ(0u, GetGameBridge().SlowDeltaFrames);
    SetDelta(1.0f / 30.0f);
    for (int i = 0; i < 29; ++i) {
        Frame();
    }
    EXPECT_TRUE(GetGameBridge().Native60Active.load());
    Frame();
    EXPECT_EQ("Native-rate fallback detected 0.033333-second (30-Hz) simulation timing; pulsing the "
              "first-person 60 "
              "request.",
              CameraMessages().back());
    EXPECT_FALSE(GetGameBridge().Native60Active.load());
    EXPECT_EQ(0, RequestByte(kRequestByteARva));
    EXPECT_EQ(0, RequestByte(kRequestByteBRva));
    Frame();
    EXPECT_EQ("Native-rate fallback reapplied the first-person 60 sequence (attempt 1).",
              CameraMessages().back());
    EXPECT_TRUE(GetGameBridge().Native60Active.load());
    EXPECT_EQ(1, RequestByte(kRequestByteARva));
    EXPECT_EQ(1u, CountCameraMessages(kEnabledWithNpc));
}

TEST_F(Native60Test, LeavingFirstPersonRestoresNative30) {
    Frame();
    Frame(false); // camera absent: first person ends
    EXPECT_FALSE(IsFirstPersonActive());
    EXPECT_EQ(kRestored, CameraMessages().back());
    EXPECT_TRUE(BytesAt(kLimiter, kLimiterStore, 7));
    EXPECT_EQ(0, RequestByte(kRequestByteARva));
    EXPECT_EQ(0, RequestByte(kRequestByteBRva));
    EXPECT_FALSE(GetGameBridge().Native60Active.load());
    EXPECT_FALSE(GetGameBridge().LimiterPatched);
    Frame(false);
    EXPECT_EQ(1u, CountCameraMessages(kRestored)); // idle: nothing more to restore
    EXPECT_EQ(1.0f, PedestrianStepScaled(1.0f));
}

// Threads stopped between the instructions being replaced continue in equivalent code: in
// the trampoline's copy of the gate, or after the NOPs when the limiter store comes back.
TEST_F(Native60Test, ThreadsInsideTheGateOrTheLimiterNopsAreMovedToEquivalentCode) {
    fake::Memory().threadIps = {kGate + 8, kGate + 11, kGate};
    Frame();
    ASSERT_TRUE(GetGameBridge().NpcArmed);
    const uintptr_t trampoline = GetGameBridge().NpcTrampoline.load();
    EXPECT_EQ((std::vector<uintptr_t>{trampoline + 8, trampoline + 11, kGate}), fake::Memory().threadIps);

    fake::Memory().threadIps = {kLimiter + 1, kLimiter + 6, kLimiter};
    Frame(false);
    ASSERT_TRUE(BytesAt(kLimiter, kLimiterStore, 7));
    EXPECT_EQ((std::vector<uintptr_t>{kLimiter + 7, kLimiter + 7, kLimiter}), fake::Memory().threadIps);
    EXPECT_EQ(fake::Memory().suspendCount, fake::Memory().resumeCount);
}

// On the render thread a game thread that stays inside a site costs two stops of the
// threads, not two hundred: the transition's writes are put off to a later frame, silently,
// and the gate's trampoline waits for them.
TEST_F(Native60Test, AThreadStayingInsideASitePutsTheTransitionOffToALaterFrame) {
    SetDelta(1.0f / 60.0f);
    for (const uintptr_t inside : {kLimiter + 3, kGate + 3}) {
        SCOPED_TRACE(inside == kGate + 3 ? "inside the gate" : "inside the limiter");
        fake::Memory().threadIps = {inside};
        const size_t stopsBefore = fake::Memory().suspendCount;
        Frame();
        ASSERT_TRUE(IsFirstPersonActive());
        EXPECT_EQ(stopsBefore + 2, fake::Memory().suspendCount);
        EXPECT_TRUE(BytesAt(kLimiter, kLimiterStore, 7));
        EXPECT_TRUE(BytesAt(kGate, kPedestrianGate, 14));
        EXPECT_FALSE(GetGameBridge().Native60Engaged);
        EXPECT_FALSE(GetGameBridge().LimiterRejected);
        EXPECT_EQ(0, RequestByte(kRequestByteARva));
    }

    fake::Memory().threadIps = {kGate, kLimiter + 7}; // at the gate's first byte, past the NOPs
    const size_t stopsBefore = fake::Memory().suspendCount;
    Frame();
    EXPECT_EQ(stopsBefore + 1, fake::Memory().suspendCount);
    EXPECT_TRUE(BytesAt(kLimiter, kNops, 7));
    EXPECT_TRUE(GetGameBridge().Native60Active.load());
    EXPECT_TRUE(GetGameBridge().NpcArmed);
    EXPECT_EQ(kDetourEntry, fake::PeekValue<uint64_t>(kGate + 2));
    EXPECT_EQ(1u, fake::Memory().liveAllocations.size()); // the first frame's trampoline
    EXPECT_EQ(1u, CountCameraMessages(kEnabledWithNpc));
    for (const char* refusal :
         {"Adaptive native 60 was not enabled: the limiter patch could not be verified.",
          "NPC correction was not armed: pedestrian detour verification failed."}) {
        EXPECT_EQ(0u, CountCameraMessages(refusal));
    }
}

TEST_F(Native60Test, AFailedLimiterRestoreIsReportedAndTheNextActivationProceeds) {
    GetSettings().FirstPersonRetryFrames = 0;
    Frame();
    FailProtectAt(kLimiter);
    Frame(false);
    EXPECT_EQ(
        "Adaptive native 60 and NPC correction disabled; native 30 restored (limiter-byte restore failed).",
        CameraMessages().back());
    EXPECT_TRUE(GetGameBridge().LimiterPatched);
    EXPECT_TRUE(BytesAt(kLimiter, kNops, 7));
    fake::Memory().failProtect = nullptr;
    Frame();
    EXPECT_TRUE(GetGameBridge().Native60Active.load());
}

TEST_F(Native60Test, LimiterProblemsKeepNative60OffAndAreReportedOnce) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string message;
    };
    const uint8_t changed[7] = {0x40, 0x88, 0x3D, 0x3E, 0x43, 0xC6, 0x01};
    const std::vector<Case> cases = {
        {"signature changed after arming",
         [&] {
             fake::SetProtection(kLimiter, 7, kPageReadWrite);
             fake::Poke(kLimiter, changed, 7);
         },
         "Adaptive native 60 was not enabled: the limiter signature changed."},
        {"not writable", [] { FailProtectAt(kLimiter); },
         "Adaptive native 60 was not enabled: the limiter patch was not writable."},
        {"protection not restored", [] { FailProtectAt(kLimiter, 1); },
         "Adaptive native 60 was not enabled: the limiter patch could not be verified."},
        {"write faults", [] { fake::SetWriteFault(kLimiter, true); },
         "Adaptive native 60 was not enabled: the limiter patch could not be verified."},
        {"read-back differs",
         [] {
             // Only the first write lands wrong; the roll-back that follows lands as written.
             fake::Memory().afterWrite = [](uintptr_t address, size_t size) {
                 if (address <= kLimiter && kLimiter < address + size) {
                     fake::PokeValue<uint8_t>(kLimiter + 3, 0xCC);
                     fake::Memory().afterWrite = nullptr;
                 }
             };
         },
         "Adaptive native 60 was not enabled: the limiter patch could not be verified."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        ASSERT_TRUE(ArmNative60());
        c.arrange();
        for (int i = 0; i < 5; ++i) {
            Frame();
        }
        EXPECT_TRUE(IsFirstPersonActive());
        EXPECT_FALSE(GetGameBridge().Native60Active.load());
        EXPECT_FALSE(GetGameBridge().Native60Engaged);
        EXPECT_EQ(1u, CountCameraMessages(c.message));
        EXPECT_EQ(5, RequestByte(kRequestByteCRva)); // no request byte was touched
        EXPECT_FALSE(BytesAt(kLimiter, kNops, 7));   // no NOPs left behind
        const size_t messages = CameraMessages().size();
        Frame(false);
        EXPECT_EQ(messages + 1, CameraMessages().size()); // only the first-person suspension
        EXPECT_EQ(0u, CountCameraMessages(kRestored));
    }
}

TEST_F(Native60Test, ArmingRefusesADifferentLimiter) {
    fake::SetProtection(kImageBase + kLimiterSignatureRva, 26, kPageReadWrite);
    fake::PokeValue<uint8_t>(kImageBase + kLimiterSignatureRva + 25, 0x03);
    Frame();
    Frame();
    EXPECT_EQ(1u,
              CountCameraMessages("Adaptive native 60 was not armed: native limiter signature mismatch."));
    EXPECT_TRUE(BytesAt(kLimiter, kLimiterStore, 7));
    EXPECT_FALSE(GetGameBridge().Native60Active.load());
}

// An image that covers the limiter but not the last request byte (RVA 0x1478530): nothing is
// resolved or armed, and the refusal is said once.
TEST_F(Native60Test, ArmingRefusesAnImageWithoutTheTimingState) {
    GetGameBridge().GameSizeOfImage = 0x1000000;
    SetDelta(1.0f / 60.0f);
    for (int i = 0; i < 3; ++i) {
        UpdateNative60();
    }
    EXPECT_EQ(std::vector<std::string>{"Adaptive native 60 was not armed: timing state was unavailable."},
              CameraMessages());
    EXPECT_FALSE(GetGameBridge().Native60Armed);
    EXPECT_EQ(0u, GetGameBridge().RequestByteA);
    EXPECT_TRUE(BytesAt(kLimiter, kLimiterStore, 7));
    EXPECT_EQ(5, RequestByte(kRequestByteCRva));
    EXPECT_FALSE(GetGameBridge().Native60Active.load());
}

TEST_F(Native60Test, NpcCorrectionFailuresLeaveTheGateIntactAndNative60Running) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string message;
        bool trampolineKept;
    };
    const std::vector<Case> cases = {
        {"gate differs",
         [] {
             fake::SetProtection(kGate, 14, kPageReadWrite);
             fake::PokeValue<uint8_t>(kGate + 13, 0xD2);
         },
         "NPC correction was not armed: pedestrian gate signature mismatch.", false},
        {"no executable memory", [] { fake::Memory().allocationFails = true; },
         "NPC correction was not armed: trampoline allocation failed.", false},
        {"gate not writable", [] { FailProtectAt(kGate); },
         "NPC correction was not armed: pedestrian gate was not writable.", false},
        {"gate protection not restored", [] { FailProtectAt(kGate, 1); },
         "NPC correction was not armed: pedestrian detour verification failed.", true},
        {"gate read-back differs",
         [] {
             fake::Memory().afterWrite = [](uintptr_t address, size_t size) {
                 if (address <= kGate && kGate < address + size) {
                     fake::PokeValue<uint8_t>(kGate + 11, 0x00);
                     fake::Memory().afterWrite = nullptr;
                 }
             };
         },
         "NPC correction was not armed: pedestrian detour verification failed.", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        c.arrange();
        const bool gateDiffers = !BytesAt(kGate, kPedestrianGate, 14);
        Frame();
        EXPECT_EQ(1u, CountCameraMessages(c.message));
        EXPECT_EQ("Adaptive native 60 enabled from verified first-person state; NPC correction=unavailable.",
                  CameraMessages().back());
        EXPECT_TRUE(GetGameBridge().Native60Active.load());
        EXPECT_EQ(!gateDiffers, BytesAt(kGate, kPedestrianGate, 14));
        EXPECT_EQ(c.trampolineKept, GetGameBridge().NpcTrampoline.load() != 0);
        EXPECT_EQ(c.trampolineKept ? 1u : 0u, fake::Memory().liveAllocations.size());
        Frame();
        EXPECT_EQ(1u, CountCameraMessages(c.message)); // armed once per process
    }
}

TEST_F(Native60Test, PedestrianStepsAreScaledOnlyByAPlausibleFactorWhileActive) {
    EXPECT_EQ(0u, PreparePedestrianStep(nullptr));
    float step = 2.0f;
    EXPECT_EQ(0u, PreparePedestrianStep(&step)); // no trampoline yet
    SetDelta(1.0f / 60.0f);
    Frame();
    ASSERT_TRUE(GetGameBridge().Native60Active.load());
    struct Case {
        float delta;
        float expected;
    };
    const Case cases[] = {
        {1.0f / 60.0f, 1.0f},
        {0.02f, 1.2f},
        {1.0f / 30.0f, 2.0f},
        {0.05f, 2.0f}, // factor 1.5
        {0.0f, 2.0f},
        {-0.01f, 2.0f},
        {std::numeric_limits<float>::quiet_NaN(), 2.0f},
        {std::numeric_limits<float>::infinity(), 2.0f},
    };
    for (const Case& c : cases) {
        SetDelta(c.delta);
        EXPECT_FLOAT_EQ(c.expected, PedestrianStepScaled(2.0f)) << c.delta;
    }
    SetDelta(1.0f / 60.0f);
    step = 2.0f;
    EXPECT_EQ(GetGameBridge().NpcTrampoline.load(), PreparePedestrianStep(&step));
    EXPECT_FLOAT_EQ(1.0f, step);
    GetGameBridge().Native60Active = false;
    EXPECT_FLOAT_EQ(2.0f, PedestrianStepScaled(2.0f));
}

} // namespace
} // namespace corvane
