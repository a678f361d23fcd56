// The pedestrian detour entry in front of a stand-in for the routine it calls: the game's
// arguments reach the continuation with only the step changed, and a stack walk started
// inside the called routine passes through the entry to the game's caller, as a crash
// reporter or a profiler walks it.
#include "game/game_host_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

std::vector<uintptr_t> g_walk; // return addresses, innermost first, from inside the stand-in
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
    g_walk = WalkFromHere(3);
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
