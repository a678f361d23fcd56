// The game integration against a stand-in game image built in this process: a region of
// the supported SizeOfImage, committed where the game's code and data live, holding the
// expected instruction bytes. Breakpoints, the limiter patch and the pedestrian detour are
// installed and executed for real.
#include "core/settings.h"
#include "game/composite_detector.h"
#include "game/executable_validation.h"
#include "game/first_person.h"
#include "game/game_bridge.h"
#include "game/game_host_win32.h"
#include "game/guarded_memory.h"
#include "game/native60.h"
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

// Calls a writer site with every register a writer can store set to `value`; the
// callee-saved ones are preserved around the call.
extern "C" void corvane_test_call_writer(uintptr_t site, uint64_t value);
asm(R"(
    .text
    .globl corvane_test_call_writer
corvane_test_call_writer:
    pushq %rbp
    pushq %rsi
    pushq %r15
    subq $0x20, %rsp
    movq %rcx, %r11
    movq %rdx, %rcx
    movq %rdx, %rsi
    movq %rdx, %r15
    movq %rdx, %rax
    movq %rdx, %rbp
    call *%r11
    addq $0x20, %rsp
    popq %r15
    popq %rsi
    popq %rbp
    ret
)");

namespace corvane {
namespace {

constexpr uint64_t kCodeStart = 0x84000;
constexpr uint64_t kCodeEnd = 0x24D000;
constexpr uint64_t kForeignBreakpointRva = 0x90000;
constexpr uint64_t kFaultingRoutineRva = 0x91000;
constexpr uint8_t kRet = 0xC3;

// After the gate: movaps xmm0, xmm1; addss xmm0, xmm3; ret. Returns step + the fourth
// argument, so a lost xmm3 shows as well as a scaled step.
constexpr uint8_t kPedestrianBody[] = {0x0F, 0x28, 0xC1, 0xF3, 0x0F, 0x58, 0xC3, 0xC3};

std::vector<std::string>& Messages() {
    static std::vector<std::string> messages;
    return messages;
}

uintptr_t g_base = 0;
volatile uint32_t g_cleanupRuns = 0;
uintptr_t g_objects = 0; // player object, actor and registry
int g_foreignBreakpoints = 0;

LONG CALLBACK CountForeignBreakpoint(EXCEPTION_POINTERS* info) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->ExceptionRecord->ExceptionAddress);
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_BREAKPOINT &&
        address == g_base + kForeignBreakpointRva) {
        ++g_foreignBreakpoints;
        info->ContextRecord->Rip = address + 1;
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void CommitPages(uint64_t rva, size_t size, DWORD protect) {
    ASSERT_NE(nullptr, VirtualAlloc(reinterpret_cast<void*>(g_base + rva), size, MEM_COMMIT, protect));
}

template <typename T> void Put(uint64_t rva, const T& value) {
    std::memcpy(reinterpret_cast<void*>(g_base + rva), &value, sizeof(T));
}
void PutBytes(uint64_t rva, const uint8_t* bytes, size_t size) {
    std::memcpy(reinterpret_cast<void*>(g_base + rva), bytes, size);
}
template <typename T> T Get(uint64_t rva) {
    T value{};
    std::memcpy(&value, reinterpret_cast<const void*>(g_base + rva), sizeof(T));
    return value;
}

DWORD ProtectionAt(uint64_t rva) {
    MEMORY_BASIC_INFORMATION info{};
    VirtualQuery(reinterpret_cast<void*>(g_base + rva), &info, sizeof(info));
    return info.Protect;
}

void BuildImage() {
    g_base =
        reinterpret_cast<uintptr_t>(VirtualAlloc(nullptr, kSupportedSizeOfImage, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(0u, g_base);

    CommitPages(0, 0x1000, PAGE_READWRITE);
    Put<uint16_t>(0, 0x5A4D);
    Put<int32_t>(0x3C, 0x80);
    Put<uint32_t>(0x80, 0x4550);
    Put<uint16_t>(0x84, 0x8664);
    Put<uint32_t>(0x88, kSupportedTimeDateStamp);
    Put<uint16_t>(0x98, 0x20B);
    Put<uint32_t>(0x80 + 24 + 56, kSupportedSizeOfImage);
    DWORD old = 0;
    VirtualProtect(reinterpret_cast<void*>(g_base), 0x1000, PAGE_READONLY, &old);

    CommitPages(kCodeStart, kCodeEnd - kCodeStart, PAGE_READWRITE);
    for (const CompositeWriter& row : CompositeWriterTable()) {
        PutBytes(row.rva, row.expected, row.length);
        Put<uint8_t>(row.rva + row.length, kRet);
    }
    PutBytes(kLimiterSignatureRva, kLimiterSignature, sizeof(kLimiterSignature));
    PutBytes(kLimiterStoreRva, kLimiterStore, sizeof(kLimiterStore));
    Put<uint8_t>(kLimiterStoreRva + sizeof(kLimiterStore), kRet);
    PutBytes(kPedestrianGateRva, kPedestrianGate, sizeof(kPedestrianGate));
    PutBytes(kPedestrianGateRva + sizeof(kPedestrianGate), kPedestrianBody, sizeof(kPedestrianBody));
    // mov rax, &g_cleanupRuns; inc dword ptr [rax]; ret
    uint8_t cleanup[13] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0x00, kRet};
    const uint64_t counter = reinterpret_cast<uintptr_t>(&g_cleanupRuns);
    std::memcpy(cleanup + 2, &counter, sizeof(counter));
    PutBytes(kState17CleanupRva, cleanup, sizeof(cleanup));
    const uint8_t foreign[] = {0xCC, kRet};
    PutBytes(kForeignBreakpointRva, foreign, sizeof(foreign));
    // mov dword ptr [0], eax; ret
    const uint8_t faulting[] = {0x89, 0x04, 0x25, 0x00, 0x00, 0x00, 0x00, kRet};
    PutBytes(kFaultingRoutineRva, faulting, sizeof(faulting));
    VirtualProtect(reinterpret_cast<void*>(g_base + kCodeStart), kCodeEnd - kCodeStart, PAGE_EXECUTE_READ,
                   &old);
    FlushInstructionCache(GetCurrentProcess(), reinterpret_cast<void*>(g_base + kCodeStart),
                          kCodeEnd - kCodeStart);

    for (uint64_t rva : {kControlBlockRva, kCompositeKindRva, kRequestByteARva, kRequestByteBRva,
                         kRequestByteCRva, kCameraControlWordRva, kPlayerObjectRva, kActorRegistryRva}) {
        CommitPages(rva, 8, PAGE_READWRITE);
    }
    Put<float>(kSimulationDeltaRva, 1.0f / 30.0f);

    g_objects = reinterpret_cast<uintptr_t>(VirtualAlloc(nullptr, 0x1000, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(0u, g_objects);
    const uintptr_t actor = g_objects + 0x100;
    const uintptr_t player = actor + 4;
    const uintptr_t registry = g_objects + 0x400;
    const uintptr_t slot = g_objects + 0x600;
    Put<uint64_t>(kPlayerObjectRva, player);
    Put<uint64_t>(kActorRegistryRva, registry);
    *reinterpret_cast<uint64_t*>(registry + 0x70) = slot;
    *reinterpret_cast<uint64_t*>(slot) = actor;
}

class GameImageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        BuildImage();
        InstallGameHostWin32();
        GameHostSeam seam = GetGameHostSeam();
        seam.mainModuleBase = [] { return g_base; };
        // The file digest stands in for the supported build's; hashing itself is tested on files.
        seam.hashMainExecutable = [](uint8_t(&digest)[kSha256Size]) {
            std::copy_n(AcceptedExecutableDigests()[0].sha256, kSha256Size, digest);
            return true;
        };
        SetGameHostSeam(seam);
        SetCameraLogSink([](const char* message) { Messages().emplace_back(message); });
        AddVectoredExceptionHandler(0, &CountForeignBreakpoint);
    }
    void SetUp() override {
        ASSERT_TRUE(IsExecutableValidated());
        Messages().clear();
        GetGameBridge().PendingHandoffFlags = 0;
    }
};

TEST_F(GameImageTest, ValidationArmsTheDetectorWithABreakpointAtEveryWriter) {
    EXPECT_TRUE(GetGameBridge().DetectorInstalled);
    for (const CompositeWriter& row : CompositeWriterTable()) {
        EXPECT_EQ(0xCC, Get<uint8_t>(row.rva)) << std::hex << row.rva;
        EXPECT_EQ(row.expected[1], Get<uint8_t>(row.rva + 1));
        EXPECT_EQ(static_cast<DWORD>(PAGE_EXECUTE_READ), ProtectionAt(row.rva));
    }
}

TEST_F(GameImageTest, ExecutedWritersAreEmulatedAndPostOnlyOpeningToClosing) {
    GameBridge& bridge = GetGameBridge();
    for (const CompositeWriter& row : CompositeWriterTable()) {
        SCOPED_TRACE(row.rva);
        const uint32_t stored = row.valueSource == 2 ? 1 : 7;
        Put<uint32_t>(kCompositeKindRva, 3);
        Put<uint32_t>(kControlBlockRva, 0);
        corvane_test_call_writer(g_base + row.rva, 0xABCD000000000007);
        EXPECT_EQ(stored, Get<uint32_t>(kControlBlockRva));
        EXPECT_EQ(kHandoffKind3, bridge.PendingHandoffFlags.exchange(0));
        EXPECT_EQ(row.rva, bridge.HandoffWriterRva.load());
        EXPECT_EQ(stored, bridge.HandoffValue.load());
        EXPECT_EQ(3u, bridge.HandoffKind.load());

        corvane_test_call_writer(g_base + row.rva, 9); // non-zero over non-zero
        EXPECT_EQ(row.valueSource == 2 ? 1u : 9u, Get<uint32_t>(kControlBlockRva));
        corvane_test_call_writer(g_base + row.rva, 0);
        EXPECT_EQ(row.valueSource == 2 ? 1u : 0u, Get<uint32_t>(kControlBlockRva));
        EXPECT_EQ(0u, bridge.PendingHandoffFlags.load());
    }
}

TEST_F(GameImageTest, ForeignBreakpointsPassThroughToTheirOwner) {
    g_foreignBreakpoints = 0;
    reinterpret_cast<void (*)()>(g_base + kForeignBreakpointRva)();
    EXPECT_EQ(1, g_foreignBreakpoints);
    EXPECT_EQ(0u, GetGameBridge().PendingHandoffFlags.load());
}

TEST_F(GameImageTest, CleanupRoutineRunsGuarded) {
    const uint32_t before = g_cleanupRuns;
    EXPECT_TRUE(RunNativeState17Cleanup());
    EXPECT_EQ(before + 1, g_cleanupRuns);
    EXPECT_FALSE(GuardedCall(g_base + kFaultingRoutineRva));
}

TEST_F(GameImageTest, CameraStateOnAnExecuteOnlyPageIsWrittenAndTheProtectionRestored) {
    CommitPages(kCameraStateRva, 4, PAGE_EXECUTE);
    EXPECT_TRUE(WriteCameraState(17));
    EXPECT_EQ(static_cast<DWORD>(PAGE_EXECUTE), ProtectionAt(kCameraStateRva));
    DWORD old = 0;
    VirtualProtect(reinterpret_cast<void*>(g_base + kCameraStateRva), 4, PAGE_READWRITE, &old);
    EXPECT_EQ(17u, Get<uint32_t>(kCameraStateRva));

    VirtualProtect(reinterpret_cast<void*>(g_base + kCameraStateRva), 4, PAGE_READWRITE | PAGE_GUARD, &old);
    EXPECT_FALSE(WriteCameraState(0));
    VirtualProtect(reinterpret_cast<void*>(g_base + kCameraStateRva), 4, PAGE_READWRITE, &old);
    EXPECT_EQ(17u, Get<uint32_t>(kCameraStateRva));
    Put<uint32_t>(kCameraStateRva, 0);
}

float CallPedestrianRoutine(float step, float extra) {
    using Routine = float (*)(void* pedestrian, float step, uint64_t third, float fourth);
    alignas(16) static uint8_t pedestrian[0x200] = {};
    return reinterpret_cast<Routine>(g_base + kPedestrianGateRva)(pedestrian, step, 0, extra);
}

// Native 60 engaged and restored for real, with the pedestrian routine called through the
// patched gate in between.
TEST_F(GameImageTest, Native60PatchesTheLimiterAndCorrectsPedestrianSteps) {
    EXPECT_FLOAT_EQ(2.25f, CallPedestrianRoutine(2.0f, 0.25f)); // the game's own routine

    GetSettings().Enabled = false; // activation then needs only verified first person
    GameBridge& bridge = GetGameBridge();
    bridge.FirstPersonActive = true;
    bridge.GameplayVerified = true;
    Put<float>(kSimulationDeltaRva, 1.0f / 60.0f);
    UpdateNative60();
    ASSERT_TRUE(bridge.Native60Active.load());
    ASSERT_TRUE(bridge.NpcArmed);
    const uint8_t nops[7] = {0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90};
    EXPECT_EQ(0, std::memcmp(nops, reinterpret_cast<const void*>(g_base + kLimiterStoreRva), 7));
    EXPECT_EQ(static_cast<DWORD>(PAGE_EXECUTE_READ), ProtectionAt(kLimiterStoreRva));
    EXPECT_EQ(1, Get<uint8_t>(kRequestByteARva));
    EXPECT_EQ(1, Get<uint8_t>(kRequestByteBRva));
    EXPECT_EQ(0x48, Get<uint8_t>(kPedestrianGateRva));

    // delta 1/60 s gives a factor of one half; xmm3 survives the detour.
    EXPECT_FLOAT_EQ(1.25f, CallPedestrianRoutine(2.0f, 0.25f));
    Put<float>(kSimulationDeltaRva, 0.05f); // a factor of 1.5 is not applied
    EXPECT_FLOAT_EQ(2.25f, CallPedestrianRoutine(2.0f, 0.25f));
    Put<float>(kSimulationDeltaRva, 1.0f / 60.0f);

    bridge.FirstPersonActive = false;
    UpdateNative60();
    EXPECT_FALSE(bridge.Native60Active.load());
    EXPECT_EQ(0, std::memcmp(kLimiterStore, reinterpret_cast<const void*>(g_base + kLimiterStoreRva), 7));
    EXPECT_EQ(static_cast<DWORD>(PAGE_EXECUTE_READ), ProtectionAt(kLimiterStoreRva));
    EXPECT_EQ(0, Get<uint8_t>(kRequestByteARva));
    EXPECT_EQ("Adaptive native 60 and NPC correction disabled; native 30 restored.", Messages().back());
    // The detour stays in place but no longer scales.
    EXPECT_FLOAT_EQ(2.25f, CallPedestrianRoutine(2.0f, 0.25f));
    GetSettings().Enabled = true;
}

// A visible window of this process in the foreground, as the game's own window would be.
class ForegroundWindow {
public:
    ForegroundWindow() {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"CorvaneGameImageTest";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, windowClass.lpszClassName, L"game", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                                  0, 320, 240, nullptr, nullptr, windowClass.hInstance, nullptr);
        SetForegroundWindow(window_);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
    ~ForegroundWindow() { DestroyWindow(window_); }
    ForegroundWindow(const ForegroundWindow&) = delete;
    ForegroundWindow& operator=(const ForegroundWindow&) = delete;

private:
    HWND window_ = nullptr;
};

// First person entered on real memory, the body shown, then a real writer closes the
// control block and the next frame hands the camera back through the game's cleanup.
TEST_F(GameImageTest, CompositeTransitionHandsFirstPersonBack) {
    ForegroundWindow window;
    ASSERT_TRUE(IsGameForeground());
    Settings& settings = GetSettings();
    settings.Enabled = true;
    settings.ShowPlayerBody = true;
    settings.FirstPersonStableFrames = 3;
    DWORD old = 0;
    VirtualProtect(reinterpret_cast<void*>(g_base + kCameraStateRva), 4, PAGE_READWRITE, &old);
    Put<uint32_t>(kCameraStateRva, 0);
    Put<uint32_t>(kCameraControlWordRva, 0);
    Put<uint32_t>(kControlBlockRva, 0);
    const uintptr_t actor = g_objects + 0x100;
    *reinterpret_cast<float*>(actor + 0x58) = 0.25f;
    *reinterpret_cast<uint8_t*>(actor + 0x98) = 0x01;

    EXPECT_FALSE(UpdateFirstPerson(true));
    EXPECT_FALSE(UpdateFirstPerson(true));
    ASSERT_TRUE(UpdateFirstPerson(true));
    EXPECT_EQ(17u, Get<uint32_t>(kCameraStateRva));
    ASSERT_TRUE(ApplyPlayerBodyVisibility());
    EXPECT_EQ(1.0f, *reinterpret_cast<float*>(actor + 0x58));
    EXPECT_EQ(0x05, *reinterpret_cast<uint8_t*>(actor + 0x98));

    const uint32_t cleanupBefore = g_cleanupRuns;
    Put<uint32_t>(kCompositeKindRva, 2);
    corvane_test_call_writer(g_base + 0x1A8C6A, 0);
    EXPECT_TRUE(UpdateFirstPerson(true));
    EXPECT_FALSE(IsFirstPersonActive());
    EXPECT_EQ(
        "NATIVE COMPOSITE HANDOFF: C6066C 0->1 + C64DC4=2 writer=+0x001A8C6A; state-17 cleanup=yes camera "
        "restore=yes.",
        Messages().back());
    EXPECT_EQ(cleanupBefore + 1, g_cleanupRuns);
    EXPECT_EQ(0u, Get<uint32_t>(kCameraStateRva));
    EXPECT_EQ(1u, Get<uint32_t>(kCameraControlWordRva));
    EXPECT_EQ(0.25f, *reinterpret_cast<float*>(actor + 0x58));
    EXPECT_EQ(0x01, *reinterpret_cast<uint8_t*>(actor + 0x98));
    settings = Settings{};
}

} // namespace
} // namespace corvane
