// The pedestrian detour entry in front of a stand-in for the routine it calls: the game's
// arguments reach the continuation with only the step changed, and a stack walk started
// inside the called routine, or stopped at any instruction of the entry itself, passes
// through the entry to the game's caller, as a crash reporter or a profiler walks it.
#include "game/game_host_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

std::vector<uintptr_t> g_walk; // return addresses, innermost first, from inside the stand-in
bool g_walkInStandIn = true;
float g_stepSeen = 0.0f;
uintptr_t g_continuation = 0;
uintptr_t g_callerReturn = 0;
volatile uintptr_t g_lastResult = 0;

// Unwinds the frames above the caller the way the system's unwinder does: a routine without
// unwind data counts as a leaf whose return address is at the stack pointer.
__attribute__((noinline)) std::vector<uintptr_t> WalkFromHere(size_t frames) {
    std::vector<uintptr_t> walk;
    CONTEXT context{};
    RtlCaptureContext(&context);
    for (size_t i = 0; i <= frames; ++i) {
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (entry == nullptr) {
            context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
            context.Rsp += 8;
        } else {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, entry, &context, &handlerData,
                             &establisher, nullptr);
        }
        walk.push_back(context.Rip);
    }
    walk.erase(walk.begin()); // inside the stand-in itself
    return walk;
}

using GameRoutine = uintptr_t (*)(uintptr_t pedestrian, float step, uintptr_t third, uintptr_t fourth);

// The game's call of the pedestrian routine; its own return address tells where its caller is.
__attribute__((noinline)) uintptr_t CallLikeTheGame(uintptr_t pedestrian, float step, uintptr_t third,
                                                    uintptr_t fourth) {
    g_callerReturn = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    const auto entry = reinterpret_cast<GameRoutine>(corvane::PedestrianStepDetourEntry());
    g_lastResult = entry(pedestrian, step, third, fourth);
    return g_lastResult;
}

// Where the game's routine would continue: folds what it received into its result.
uintptr_t Continuation(uintptr_t pedestrian, float step, uintptr_t third, uintptr_t fourth) {
    return pedestrian + third * 3 + fourth * 5 + static_cast<uintptr_t>(step * 1000.0f);
}

} // namespace

// The stand-in for the routine behind the entry.
extern "C" uintptr_t corvane_prepare_pedestrian_step(float* step) noexcept {
    if (g_walkInStandIn) {
        g_walk = WalkFromHere(3);
    }
    g_stepSeen = *step;
    *step *= 0.5f;
    return g_continuation;
}

TEST(PedestrianEntry, AStackWalkFromTheCalledRoutineReachesTheGamesCaller) {
    g_continuation = 0;
    g_walk.clear();
    EXPECT_EQ(0u, CallLikeTheGame(0x1000, 2.0f, 7, 11)); // no trampoline: 0 to the game
    const uintptr_t entry = corvane::PedestrianStepDetourEntry();
    ASSERT_EQ(3u, g_walk.size());
    // Into the entry, right after its call; then into the game's caller; then its caller.
    EXPECT_GT(g_walk[0], entry);
    EXPECT_LT(g_walk[0], entry + 0x80);
    EXPECT_EQ(g_callerReturn, g_walk[2]);
}

TEST(PedestrianEntry, TheContinuationReceivesTheGamesArgumentsWithTheScaledStep) {
    g_continuation = reinterpret_cast<uintptr_t>(&Continuation);
    // 0x1000 + 7 * 3 + 11 * 5 + 1.5 * 0.5 * 1000
    EXPECT_EQ(0x1000u + 21u + 55u + 750u, CallLikeTheGame(0x1000, 1.5f, 7, 11));
    EXPECT_EQ(1.5f, g_stepSeen);
    g_continuation = 0;
}

// ---- The entry stopped at each of its instructions ----
//
// The entry is run with the trap flag set, so that the processor stops after every instruction;
// at each stop inside the entry, the system's unwinder is asked for the caller's frame from
// exactly that state. Every answer must be the game's caller: its return address and the stack
// pointer it had before the call.

extern "C" {
uintptr_t g_steppedEntry = 0;
uintptr_t corvane_test_call_entry_stepping(uintptr_t, float, uintptr_t, uintptr_t);
}

// Sets the trap flag and jumps to the entry: the first stop is at the entry's first instruction,
// and the entry returns (or continues) straight to this routine's caller.
asm(R"(
    .text
    .globl corvane_test_call_entry_stepping
corvane_test_call_entry_stepping:
    pushfq
    orq $0x100, (%rsp)
    popfq
    jmpq *g_steppedEntry(%rip)
)");

namespace {

struct StepRecord {
    uintptr_t entryStart = 0;
    uintptr_t standInStart = 0; // the routine the entry calls, stepped through unchecked
    uintptr_t standInEnd = 0;
    uintptr_t callerReturn = 0;
    uintptr_t callerRsp = 0;
    uintptr_t continuation = 0;
    std::vector<uintptr_t> offsets; // each stop inside the entry
    std::vector<uintptr_t> wrong;   // the offsets from which the unwind did not reach the caller
};

StepRecord g_steps;

LONG CALLBACK StepThroughTheEntry(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_SINGLE_STEP) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    CONTEXT* context = info->ContextRecord;
    const uintptr_t rip = context->Rip;
    if (rip == g_steps.callerReturn || (g_steps.continuation != 0 && rip == g_steps.continuation)) {
        context->EFlags &= ~0x100u; // out of the entry: done
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    // Every stop outside the called routine is an instruction of the entry (its ways out
    // included).
    if (rip < g_steps.standInStart || rip >= g_steps.standInEnd) {
        if (rip == g_steps.entryStart) {
            g_steps.callerReturn = *reinterpret_cast<const uintptr_t*>(context->Rsp);
            g_steps.callerRsp = context->Rsp + 8;
        }
        CONTEXT unwound = *context;
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(rip, &imageBase, nullptr);
        void* handlerData = nullptr;
        DWORD64 establisher = 0;
        bool reached = false;
        if (function != nullptr) {
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, rip, function, &unwound, &handlerData,
                             &establisher, nullptr);
            reached = unwound.Rip == g_steps.callerReturn && unwound.Rsp == g_steps.callerRsp;
        }
        g_steps.offsets.push_back(rip - g_steps.entryStart);
        if (!reached) {
            g_steps.wrong.push_back(rip - g_steps.entryStart);
        }
    }
    context->EFlags |= 0x100u; // on to the next instruction (through the called routine too)
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

TEST(PedestrianEntry, EveryInstructionOfTheEntryUnwindsToTheGamesCaller) {
    const uintptr_t entry = corvane::PedestrianStepDetourEntry();
    DWORD64 imageBase = 0;
    ASSERT_NE(nullptr, RtlLookupFunctionEntry(entry, &imageBase, nullptr)) << "the entry has unwind data";
    DWORD64 standInBase = 0;
    PRUNTIME_FUNCTION standIn = RtlLookupFunctionEntry(
        reinterpret_cast<uintptr_t>(&corvane_prepare_pedestrian_step), &standInBase, nullptr);
    ASSERT_NE(nullptr, standIn);
    g_walkInStandIn = false;
    g_steppedEntry = entry;
    void* handler = AddVectoredExceptionHandler(1, &StepThroughTheEntry);
    ASSERT_NE(nullptr, handler);
    // Both ways out: back to the game with 0, and on into the continuation.
    for (const uintptr_t continuation : {uintptr_t{0}, reinterpret_cast<uintptr_t>(&Continuation)}) {
        SCOPED_TRACE(continuation == 0 ? "returning 0" : "continuing");
        g_steps = StepRecord{};
        g_steps.entryStart = entry;
        g_steps.standInStart = standInBase + standIn->BeginAddress;
        g_steps.standInEnd = standInBase + standIn->EndAddress;
        g_steps.continuation = continuation;
        g_continuation = continuation;
        const uintptr_t result = corvane_test_call_entry_stepping(0x1000, 1.5f, 7, 11);
        EXPECT_EQ(continuation == 0 ? 0u : 0x1000u + 21u + 55u + 750u, result);
        // The prologue's 5, the body's 12 and one way out's 6 instructions, at least.
        EXPECT_GE(g_steps.offsets.size(), 23u);
        EXPECT_TRUE(g_steps.wrong.empty()) << g_steps.wrong.size() << " stops unwound wrongly, the first at +"
                                           << (g_steps.wrong.empty() ? 0 : g_steps.wrong.front());
    }
    RemoveVectoredExceptionHandler(handler);
    g_walkInStandIn = true;
    g_continuation = 0;
}
