// The swap chain hooks on real DXGI swap chains: what runs around the real Present, which
// swap chain is served, chaining with hooks of other parties and the served one's release.
#include "interception/swap_chain_hooks_win32.h"

#include "interception/method_table_patch.h"
#include "vr_game_swap_chain.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvane {
namespace {

using PresentMethod = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT);

std::vector<std::string> g_events;
PresentMethod g_systemPresent = nullptr;
IDXGISwapChain* g_presentInsideFrame = nullptr;

void** Table(IDXGISwapChain* swapChain) {
    return *reinterpret_cast<void***>(swapChain);
}

void WriteSlot(IDXGISwapChain* swapChain, size_t slot, void* value) {
    DWORD previous = 0;
    ASSERT_TRUE(VirtualProtect(&Table(swapChain)[slot], sizeof(void*), PAGE_EXECUTE_READWRITE, &previous));
    Table(swapChain)[slot] = value;
    VirtualProtect(&Table(swapChain)[slot], sizeof(void*), previous, &previous);
}

// Another overlay that hooked Present before we did: every real Present passes through it.
HRESULT STDMETHODCALLTYPE ForeignPresent(IDXGISwapChain* swapChain, UINT syncInterval, UINT flags) {
    g_events.push_back("present flags=" + std::to_string(flags));
    return g_systemPresent(swapChain, syncInterval, flags);
}

HRESULT STDMETHODCALLTYPE LaterForeignPresent(IDXGISwapChain*, UINT, UINT) {
    return E_FAIL;
}

void RecordingActions() {
    SwapChainHookActions actions;
    actions.runFrame = [](IDXGISwapChain*) noexcept {
        g_events.push_back("frame");
        if (g_presentInsideFrame != nullptr) {
            g_presentInsideFrame->Present(0, 0);
        }
    };
    actions.afterPresent = [] {
        g_events.push_back("after");
        throw 1; // must not reach the game
    };
    actions.clearThreadHudOverride = []() noexcept { g_events.push_back("hud cleared"); };
    actions.resetOnServedRelease = [] { g_events.push_back("reset"); };
    SetSwapChainHookActions(actions);
}

std::vector<std::string> Take() {
    return std::exchange(g_events, {});
}

// The whole life of the hooks in one process: the table patches and the served swap chain
// are process-wide, so each step builds on the one before.
TEST(SwapChainHooks, ServeOneSwapChainChainWithEarlierHooksAndResetOnItsLastRelease) {
    vr_test::GameSwapChain first;
    ASSERT_TRUE(first.Create(64, 64)) << first.failure;
    RecordingActions();

    g_systemPresent = reinterpret_cast<PresentMethod>(Table(first.SwapChain())[8]);
    void* const systemRelease = Table(first.SwapChain())[2];
    WriteSlot(first.SwapChain(), 8, reinterpret_cast<void*>(&ForeignPresent));

    ASSERT_TRUE(HookSwapChain(first.SwapChain()));
    EXPECT_EQ(Table(first.SwapChain())[8], reinterpret_cast<void*>(&PresentHook));
    EXPECT_EQ(Table(first.SwapChain())[2], reinterpret_cast<void*>(&ReleaseHook));
    EXPECT_EQ(TrackedSwapChain(), first.SwapChain());
    ASSERT_TRUE(HookSwapChain(first.SwapChain())) << "hooking again keeps the hooks";

    // Frame driver, the real Present (through the earlier hook), the presenter, the HUD state.
    EXPECT_EQ(first.SwapChain()->Present(0, 0), S_OK);
    EXPECT_EQ(Take(), (std::vector<std::string>{"frame", "present flags=0", "after", "hud cleared"}));

    // A test present only asks whether presenting would work.
    first.SwapChain()->Present(0, DXGI_PRESENT_TEST);
    EXPECT_EQ(Take(), (std::vector<std::string>{"present flags=1", "hud cleared"}));

    // A present from inside the frame driver goes straight through.
    g_presentInsideFrame = first.SwapChain();
    first.SwapChain()->Present(0, 0);
    g_presentInsideFrame = nullptr;
    EXPECT_EQ(Take(), (std::vector<std::string>{"frame", "present flags=0", "hud cleared", "present flags=0",
                                                "after", "hud cleared"}));

    // A second swap chain of the same class shares the patched table but is not served.
    vr_test::GameSwapChain second;
    ASSERT_TRUE(second.Create(32, 32)) << second.failure;
    ASSERT_TRUE(HookSwapChain(second.SwapChain()));
    EXPECT_EQ(TrackedSwapChain(), first.SwapChain());
    second.SwapChain()->Present(0, 0);
    EXPECT_EQ(Take(), (std::vector<std::string>{"present flags=0", "hud cleared"}));

    // The last release of a swap chain that is not served (an overlay's) resets nothing.
    {
        vr_test::GameSwapChain overlay;
        ASSERT_TRUE(overlay.Create(16, 16)) << overlay.failure;
        ASSERT_TRUE(HookSwapChain(overlay.SwapChain()));
        overlay.context->ClearState();
        overlay.context->Flush();
        overlay.swapChain.Reset();
    }
    EXPECT_EQ(Take(), std::vector<std::string>{});
    EXPECT_EQ(TrackedSwapChain(), first.SwapChain());

    // Releasing a reference that is not the last one changes nothing.
    const ULONG held = first.SwapChain()->AddRef();
    EXPECT_EQ(first.SwapChain()->Release(), held - 1);
    EXPECT_EQ(Take(), std::vector<std::string>{});

    // The served swap chain's last release resets the stereo state; the next one to present is served.
    first.context->ClearState();
    first.context->Flush();
    IDXGISwapChain* const released = first.swapChain.Get();
    first.swapChain.Reset();
    EXPECT_EQ(TrackedSwapChain(), nullptr) << "swap chain " << released << " still served";
    EXPECT_EQ(Take(), std::vector<std::string>{"reset"});
    second.SwapChain()->Present(0, 0);
    EXPECT_EQ(Take(), (std::vector<std::string>{"frame", "present flags=0", "after", "hud cleared"}));
    EXPECT_EQ(TrackedSwapChain(), second.SwapChain());

    // Someone who patches the table after us keeps their entry, and we report it.
    WriteSlot(second.SwapChain(), 8, reinterpret_cast<void*>(&LaterForeignPresent));
    EXPECT_FALSE(HookSwapChain(second.SwapChain()));
    EXPECT_EQ(Table(second.SwapChain())[8], reinterpret_cast<void*>(&LaterForeignPresent));

    // Put the system's entries back before the swap chains go.
    WriteSlot(second.SwapChain(), 8, reinterpret_cast<void*>(g_systemPresent));
    WriteSlot(second.SwapChain(), 2, systemRelease);
}

// Device creations on two threads patch the same tables, and tables of different classes can
// share a page: a swap chain patch must wait while any other table is being patched.
TEST(SwapChainHooks, PatchingWaitsWhileAnotherTableIsBeingPatched) {
    vr_test::GameSwapChain chain;
    ASSERT_TRUE(chain.Create(32, 32)) << chain.failure;
    void* const systemPresent = Table(chain.SwapChain())[8];
    void* const systemRelease = Table(chain.SwapChain())[2];
    ASSERT_NE(systemPresent, reinterpret_cast<void*>(&PresentHook));

    std::atomic<bool> returned{false};
    bool hooked = false;
    std::unique_lock<std::mutex> patching(ContextHookMutex());
    std::thread creator([&] {
        hooked = HookSwapChain(chain.SwapChain());
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(returned.load()) << "the swap chain was patched while another patch held the mutex";
    EXPECT_EQ(Table(chain.SwapChain())[8], systemPresent);
    patching.unlock();
    creator.join();

    EXPECT_TRUE(hooked);
    EXPECT_EQ(Table(chain.SwapChain())[8], reinterpret_cast<void*>(&PresentHook));
    EXPECT_EQ(Table(chain.SwapChain())[2], reinterpret_cast<void*>(&ReleaseHook));
    WriteSlot(chain.SwapChain(), 8, systemPresent);
    WriteSlot(chain.SwapChain(), 2, systemRelease);
}

TEST(SwapChainHooks, RefusesAMissingSwapChain) {
    EXPECT_FALSE(HookSwapChain(nullptr));
}

} // namespace
} // namespace corvane
