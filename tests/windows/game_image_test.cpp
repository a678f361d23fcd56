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
#include "interception/game_detours.h"
#include "interception/game_detours_win32.h"
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
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

constexpr uint64_t kCodeStart = 0x76000;
constexpr uint64_t kCodeEnd = 0x291000;
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

// The three detoured routines, working: each records its arguments and how often it ran, and
// returns their sum. They open with the expected prologues and close with matching epilogues.
struct RoutineRecord {
    uint64_t arguments[4];
    uint64_t runs;
};
RoutineRecord g_cameraRecord{};
RoutineRecord g_projectionRecord{};
RoutineRecord g_allocatorRecord{};

constexpr uint64_t kCameraRva = 0x24D7D0;
constexpr uint64_t kProjectionRva = 0x24F980;
constexpr uint64_t kAllocatorRva = 0x290BA0;
// Each game call site sits in a small caller that keeps the stack aligned as the game does.
constexpr uint64_t kCameraCallerRva = 0x772A7;
constexpr uint64_t kProjectionCallerRva = 0x76E3C;

std::vector<uint8_t> RecordingBody(const RoutineRecord& record, bool fourArguments) {
    std::vector<uint8_t> body = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0}; // mov rax, &record
    const uint64_t address = reinterpret_cast<uintptr_t>(&record);
    std::memcpy(body.data() + 2, &address, sizeof(address));
    const std::vector<uint8_t> two = {0x48, 0x89, 0x08, 0x48, 0x89, 0x50, 0x08}; // [rax]=rcx, [rax+8]=rdx
    body.insert(body.end(), two.begin(), two.end());
    if (fourArguments) {
        const std::vector<uint8_t> more = {0x4C, 0x89, 0x40, 0x10, 0x4C, 0x89, 0x48, 0x18}; // r8, r9
        body.insert(body.end(), more.begin(), more.end());
    }
    const std::vector<uint8_t> count = {0xF0, 0x48, 0xFF, 0x40, 0x20,        // lock inc qword [rax+20h]
                                        0x48, 0x89, 0xC8, 0x48, 0x01, 0xD0}; // rax = rcx + rdx
    body.insert(body.end(), count.begin(), count.end());
    if (fourArguments) {
        const std::vector<uint8_t> sum = {0x4C, 0x01, 0xC0, 0x4C, 0x01, 0xC8}; // + r8 + r9
        body.insert(body.end(), sum.begin(), sum.end());
    }
    return body;
}

void PutRoutine(uint64_t rva, std::vector<uint8_t> prologue, const std::vector<uint8_t>& body,
                const std::vector<uint8_t>& epilogue) {
    prologue.insert(prologue.end(), body.begin(), body.end());
    prologue.insert(prologue.end(), epilogue.begin(), epilogue.end());
    PutBytes(rva, prologue.data(), prologue.size());
}

void PutDetouredRoutines() {
    PutRoutine(kCameraRva,
               {0x48, 0x8B, 0xC4, 0x48, 0x89, 0x58, 0x08, 0x48, 0x89, 0x70, 0x10, 0x57, 0x48, 0x81, 0xEC,
                0x90, 0x00, 0x00, 0x00},
               RecordingBody(g_cameraRecord, false),
               {0x48, 0x81, 0xC4, 0x90, 0x00, 0x00, 0x00, 0x5F, 0x48, 0x8B, 0x5C, 0x24, 0x08, 0x48, 0x8B,
                0x74, 0x24, 0x10, 0xC3});
    PutRoutine(kProjectionRva,
               {0x48, 0x8B, 0xC4, 0x55, 0x48, 0x8D, 0x68, 0xA1, 0x48, 0x81, 0xEC, 0xF0, 0x00, 0x00, 0x00},
               RecordingBody(g_projectionRecord, false),
               {0x48, 0x81, 0xC4, 0xF0, 0x00, 0x00, 0x00, 0x5D, 0xC3});
    PutRoutine(kAllocatorRva,
               {0x40, 0x53, 0x55, 0x57, 0x41, 0x54, 0x41, 0x56, 0x41, 0x57, 0x48, 0x83, 0xEC, 0x58},
               RecordingBody(g_allocatorRecord, true),
               {0x48, 0x83, 0xC4, 0x58, 0x41, 0x5F, 0x41, 0x5E, 0x41, 0x5C, 0x5F, 0x5D, 0x5B, 0xC3});
    // sub rsp,28h; call <routine>; add rsp,28h; ret
    const uint8_t cameraCaller[] = {0x48, 0x83, 0xEC, 0x28, 0xE8, 0x20, 0x65,
                                    0x1D, 0x00, 0x48, 0x83, 0xC4, 0x28, 0xC3};
    PutBytes(kCameraCallerRva, cameraCaller, sizeof(cameraCaller));
    const uint8_t projectionCaller[] = {0x48, 0x83, 0xEC, 0x28, 0xE8, 0x3B, 0x8B,
                                        0x1D, 0x00, 0x48, 0x83, 0xC4, 0x28, 0xC3};
    PutBytes(kProjectionCallerRva, projectionCaller, sizeof(projectionCaller));
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
    PutDetouredRoutines();
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

// Test handlers standing in for the camera and projection handlers: each notes the return
// address it was entered with, and calls the untouched routine through the trampoline, with
// changed arguments only for calls from the one call site the detour serves.
using TwoArguments = uint64_t (*)(uint64_t, uint64_t);
std::atomic<uintptr_t> g_cameraHandlerReturn{0};
std::atomic<uintptr_t> g_projectionHandlerReturn{0};
std::atomic<uint64_t> g_cameraHandlerRuns{0};

[[gnu::noinline]] uint64_t TestCameraHandler(uint64_t eye, uint64_t target) noexcept {
    const uintptr_t from = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    g_cameraHandlerReturn = from;
    g_cameraHandlerRuns.fetch_add(1);
    const auto real = reinterpret_cast<TwoArguments>(DetourTrampoline(GameDetour::FinalCamera));
    if (from != DetourExpectedReturn(GameDetour::FinalCamera)) {
        return real(eye, target);
    }
    return real(eye + 0x100, target + 0x200);
}

[[gnu::noinline]] uint64_t TestProjectionHandler(uint64_t angle, uint64_t aspect) noexcept {
    const uintptr_t from = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    g_projectionHandlerReturn = from;
    const auto real = reinterpret_cast<TwoArguments>(DetourTrampoline(GameDetour::Projection));
    if (from != DetourExpectedReturn(GameDetour::Projection)) {
        return real(angle, aspect);
    }
    return real(16893, 7);
}

// Committed private blocks that can execute: a detour's trampoline is one of them.
size_t ExecutableBlocks() {
    size_t count = 0;
    uintptr_t address = 0x10000;
    MEMORY_BASIC_INFORMATION info{};
    while (address < 0x7FFFFFFF0000 &&
           VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof(info)) != 0) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE && (info.Protect & 0xF0) != 0 &&
            info.AllocationBase == info.BaseAddress) {
            ++count;
        }
        const uintptr_t next = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        if (next <= address) {
            break;
        }
        address = next;
    }
    return count;
}

// Changes one byte of game code for the length of a scope.
class ChangedCodeByte {
public:
    explicit ChangedCodeByte(uint64_t rva) : rva_(rva) {
        DWORD old = 0;
        VirtualProtect(reinterpret_cast<void*>(g_base + rva_), 1, PAGE_EXECUTE_READWRITE, &old);
        Put<uint8_t>(rva_, static_cast<uint8_t>(Get<uint8_t>(rva_) ^ 0x01));
    }
    ~ChangedCodeByte() {
        Put<uint8_t>(rva_, static_cast<uint8_t>(Get<uint8_t>(rva_) ^ 0x01));
        DWORD old = 0;
        VirtualProtect(reinterpret_cast<void*>(g_base + rva_), 1, PAGE_EXECUTE_READ, &old);
    }
    ChangedCodeByte(const ChangedCodeByte&) = delete;
    ChangedCodeByte& operator=(const ChangedCodeByte&) = delete;

private:
    uint64_t rva_;
};

std::vector<uint8_t> CodeAt(uint64_t rva, size_t size) {
    std::vector<uint8_t> bytes(size);
    std::memcpy(bytes.data(), reinterpret_cast<const void*>(g_base + rva), size);
    return bytes;
}

[[gnu::noinline]] std::vector<uint8_t> ExpectedSitePatch(uintptr_t handler, size_t length) {
    std::vector<uint8_t> patch(length, 0x90);
    const uint8_t jump[6] = {0xFF, 0x25, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(patch.data(), jump, sizeof(jump));
    const uint64_t target = handler;
    std::memcpy(patch.data() + sizeof(jump), &target, sizeof(target));
    return patch;
}

// The three detours installed on working routines and run through the game's own call
// sites, while other threads keep calling them.
TEST_F(GameImageTest, DetoursRunForRealThroughTheGamesCallSites) {
    const auto cameraCaller = reinterpret_cast<TwoArguments>(g_base + kCameraCallerRva);
    const auto projectionCaller = reinterpret_cast<TwoArguments>(g_base + kProjectionCallerRva);
    ASSERT_EQ(3u, cameraCaller(1, 2)); // the game's routines before any detour
    ASSERT_EQ(1u, g_cameraRecord.runs);

    SetDetourHandler(GameDetour::FinalCamera, reinterpret_cast<uintptr_t>(&TestCameraHandler));
    SetDetourHandler(GameDetour::Projection, reinterpret_cast<uintptr_t>(&TestProjectionHandler));

    // One changed byte at a site or at a call site: nothing installed, nothing allocated.
    const std::vector<uint8_t> cameraBefore = CodeAt(kCameraRva, 19);
    const size_t blocksBefore = ExecutableBlocks();
    struct Mismatch {
        uint64_t rva;
        bool (*install)() noexcept;
        GameDetour detour;
    };
    const Mismatch mismatches[] = {
        {kCameraRva + 7, &InstallFinalCameraDetour, GameDetour::FinalCamera},
        {0x772AB + 3, &InstallFinalCameraDetour, GameDetour::FinalCamera},
        {kProjectionRva + 14, &InstallProjectionDetour, GameDetour::Projection},
        {0x76E40, &InstallProjectionDetour, GameDetour::Projection},
        {kAllocatorRva + 1, &InstallAllocatorFallback, GameDetour::AllocatorFallback},
    };
    for (const Mismatch& m : mismatches) {
        SCOPED_TRACE(m.rva);
        ChangedCodeByte changed(m.rva);
        EXPECT_FALSE(m.install());
        EXPECT_EQ(0u, DetourTrampoline(m.detour));
        EXPECT_EQ(blocksBefore, ExecutableBlocks());
    }
    EXPECT_EQ(cameraBefore, CodeAt(kCameraRva, 19));
    EXPECT_EQ(0x48, Get<uint8_t>(kProjectionRva));
    EXPECT_EQ(0x40, Get<uint8_t>(kAllocatorRva));

    // Game threads keep calling through the call sites while the detours go in: each call
    // sees the routine either untouched or detoured, never anything else.
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> untouched{0};
    std::atomic<uint64_t> detoured{0};
    std::atomic<uint64_t> wrong{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 2; ++i) {
        callers.emplace_back([&] {
            while (!stop.load()) {
                const uint64_t camera = cameraCaller(1, 2);
                const uint64_t projection = projectionCaller(1, 2);
                (camera == 3 ? untouched : camera == 0x303 ? detoured : wrong).fetch_add(1);
                (projection == 3 ? untouched : projection == 16900 ? detoured : wrong).fetch_add(1);
            }
        });
    }
    while (untouched.load() < 100) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(InstallFinalCameraDetour());
    EXPECT_TRUE(InstallProjectionDetour());
    EXPECT_TRUE(InstallAllocatorFallback());
    const uint64_t detouredAtInstall = detoured.load();
    while (detoured.load() < detouredAtInstall + 100) {
        std::this_thread::yield();
    }
    stop = true;
    for (std::thread& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(0u, wrong.load());
    EXPECT_EQ(blocksBefore + 3, ExecutableBlocks());

    // The patched bytes: the jump through the following address, the handler, the fill.
    EXPECT_EQ(ExpectedSitePatch(reinterpret_cast<uintptr_t>(&TestCameraHandler), 19), CodeAt(kCameraRva, 19));
    EXPECT_EQ(ExpectedSitePatch(reinterpret_cast<uintptr_t>(&TestProjectionHandler), 15),
              CodeAt(kProjectionRva, 15));
    EXPECT_EQ(ExpectedSitePatch(reinterpret_cast<uintptr_t>(&corvane_allocator_fallback), 14),
              CodeAt(kAllocatorRva, 14));
    EXPECT_EQ(static_cast<DWORD>(PAGE_EXECUTE_READ), ProtectionAt(kCameraRva));
    EXPECT_EQ(static_cast<DWORD>(PAGE_EXECUTE_READ), ProtectionAt(kAllocatorRva));
    EXPECT_EQ(g_base + 0x772B0, DetourExpectedReturn(GameDetour::FinalCamera));
    EXPECT_EQ(g_base + 0x76E45, DetourExpectedReturn(GameDetour::Projection));
    EXPECT_EQ(0u, DetourExpectedReturn(GameDetour::AllocatorFallback));
    MEMORY_BASIC_INFORMATION trampoline{};
    VirtualQuery(reinterpret_cast<void*>(DetourTrampoline(GameDetour::FinalCamera)), &trampoline,
                 sizeof(trampoline));
    EXPECT_EQ(static_cast<DWORD>(PAGE_EXECUTE_READ), trampoline.Protect);

    // Through the call site: the handler sees the site's return address and the routine,
    // run once through the trampoline, receives what the handler passed.
    uint64_t runs = g_cameraRecord.runs;
    uint64_t handlerRuns = g_cameraHandlerRuns.load();
    EXPECT_EQ(0x1111u + 0x100 + 0x2222 + 0x200, cameraCaller(0x1111, 0x2222));
    EXPECT_EQ(g_base + 0x772B0, g_cameraHandlerReturn.load());
    EXPECT_EQ(handlerRuns + 1, g_cameraHandlerRuns.load());
    EXPECT_EQ(runs + 1, g_cameraRecord.runs);
    EXPECT_EQ(0x1211u, g_cameraRecord.arguments[0]);
    EXPECT_EQ(0x2422u, g_cameraRecord.arguments[1]);

    // From another site the call passes through with the game's own arguments.
    runs = g_cameraRecord.runs;
    EXPECT_EQ(0x3333u, reinterpret_cast<TwoArguments>(g_base + kCameraRva)(0x1111, 0x2222));
    EXPECT_NE(g_base + 0x772B0, g_cameraHandlerReturn.load());
    EXPECT_EQ(runs + 1, g_cameraRecord.runs);
    EXPECT_EQ(0x1111u, g_cameraRecord.arguments[0]);
    EXPECT_EQ(0x2222u, g_cameraRecord.arguments[1]);

    runs = g_projectionRecord.runs;
    EXPECT_EQ(16893u + 7u, projectionCaller(0x40, 0x50));
    EXPECT_EQ(g_base + 0x76E45, g_projectionHandlerReturn.load());
    EXPECT_EQ(runs + 1, g_projectionRecord.runs);
    EXPECT_EQ(16893u, g_projectionRecord.arguments[0]);
    EXPECT_EQ(7u, g_projectionRecord.arguments[1]);
    EXPECT_EQ(0x90u, reinterpret_cast<TwoArguments>(g_base + kProjectionRva)(0x40, 0x50));
    EXPECT_EQ(0x40u, g_projectionRecord.arguments[0]);

    // The allocator fallback hands all four arguments through unchanged.
    using FourArguments = uint64_t (*)(uint64_t, uint64_t, uint64_t, uint64_t);
    runs = g_allocatorRecord.runs;
    EXPECT_EQ(0x1234u, reinterpret_cast<FourArguments>(g_base + kAllocatorRva)(0x1000, 0x200, 0x30, 0x4));
    EXPECT_EQ(runs + 1, g_allocatorRecord.runs);
    EXPECT_EQ(0x1000u, g_allocatorRecord.arguments[0]);
    EXPECT_EQ(0x200u, g_allocatorRecord.arguments[1]);
    EXPECT_EQ(0x30u, g_allocatorRecord.arguments[2]);
    EXPECT_EQ(0x4u, g_allocatorRecord.arguments[3]);
    // Without a trampoline the handler answers 0 and calls nothing.
    const uintptr_t allocatorTrampoline = DetourTrampoline(GameDetour::AllocatorFallback);
    PublishDetour(GameDetour::AllocatorFallback, 0, 0);
    runs = g_allocatorRecord.runs;
    EXPECT_EQ(0u, corvane_allocator_fallback(1, 2, 3, 4));
    EXPECT_EQ(runs, g_allocatorRecord.runs);
    PublishDetour(GameDetour::AllocatorFallback, allocatorTrampoline, 0);

    // A second installation finds its own jump: installed, and nothing changes.
    const uintptr_t cameraTrampoline = DetourTrampoline(GameDetour::FinalCamera);
    EXPECT_TRUE(InstallFinalCameraDetour());
    EXPECT_EQ(cameraTrampoline, DetourTrampoline(GameDetour::FinalCamera));
    EXPECT_EQ(blocksBefore + 3, ExecutableBlocks());
}

} // namespace
} // namespace corvane
