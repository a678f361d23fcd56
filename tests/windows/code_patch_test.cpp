// The code-writing routine against running threads: routines in executable memory are called
// without pause by several threads while a jump over their first instructions is written and
// taken out again, inside one 16-byte block and across two.
#include "platform/code_patch.h"
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace corvane {
namespace {

constexpr int kCallers = 2;
constexpr int kToggles = 60;

// mov eax, 1; add eax, 0; mov rax, rax; then one-byte NOPs up to the patch length; ret. Every
// instruction start inside the patch is one a thread can be stopped at.
[[gnu::noinline]] std::vector<uint8_t> OldRoutine(size_t patchSize) {
    constexpr uint8_t kFirst[] = {0xB8, 0x01, 0x00, 0x00, 0x00, 0x83, 0xC0, 0x00, 0x48, 0x89, 0xC0};
    std::vector<uint8_t> bytes(patchSize + 1, 0x90);
    std::memcpy(bytes.data(), kFirst, sizeof(kFirst));
    bytes[patchSize] = 0xC3;
    return bytes;
}
std::vector<size_t> OldInstructionStarts(size_t patchSize) {
    std::vector<size_t> starts = {5, 8};
    for (size_t offset = 11; offset < patchSize; ++offset) {
        starts.push_back(offset);
    }
    return starts;
}

struct Fixture {
    uintptr_t block = 0;
    uintptr_t site = 0;
    uintptr_t trampoline = 0;
    uintptr_t replacement = 0;
};

// Lays out the routine at `siteOffset` in a fresh block, a replacement returning 2 and a
// trampoline holding the routine's first `patchSize` bytes followed by a jump back.
Fixture Build(size_t siteOffset, size_t patchSize) {
    Fixture f;
    f.block = MemoryAllocateExecutable(0x1000);
    f.site = f.block + siteOffset;
    f.replacement = f.block + 0x200;
    f.trampoline = f.block + 0x300;
    const std::vector<uint8_t> routine = OldRoutine(patchSize);
    std::memcpy(reinterpret_cast<void*>(f.site), routine.data(), routine.size());
    const uint8_t returnTwo[] = {0xB8, 0x02, 0x00, 0x00, 0x00, 0xC3};
    std::memcpy(reinterpret_cast<void*>(f.replacement), returnTwo, sizeof(returnTwo));
    std::memcpy(reinterpret_cast<void*>(f.trampoline), routine.data(), patchSize);
    uint8_t back[14] = {0xFF, 0x25, 0, 0, 0, 0};
    const uint64_t resume = f.site + patchSize;
    std::memcpy(back + 6, &resume, sizeof(resume));
    std::memcpy(reinterpret_cast<void*>(f.trampoline + patchSize), back, sizeof(back));
    uint32_t old = 0;
    EXPECT_TRUE(MemoryProtect(f.block, 0x1000, kPageExecuteRead, old));
    FlushInstructionCache(GetCurrentProcess(), reinterpret_cast<void*>(f.block), 0x1000);
    return f;
}

TEST(CodePatchWin32, CallersSeeTheOldOrTheNewRoutineWhilePatchesComeAndGo) {
    struct Case {
        const char* name;
        size_t siteOffset;
        size_t patchSize;
    };
    const Case cases[] = {{"inside one block", 0x40, 15}, {"across two blocks", 0x80, 19}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Fixture f = Build(c.siteOffset, c.patchSize);
        const std::vector<uint8_t> original = OldRoutine(c.patchSize);
        std::vector<uint8_t> jump(c.patchSize, 0x90);
        jump[0] = 0xFF;
        jump[1] = 0x25;
        std::memset(jump.data() + 2, 0, 4);
        const uint64_t target = f.replacement;
        std::memcpy(jump.data() + 6, &target, sizeof(target));
        std::vector<ThreadMove> moves;
        for (size_t offset : OldInstructionStarts(c.patchSize)) {
            moves.push_back(ThreadMove{offset, f.trampoline + offset});
        }

        std::atomic<bool> stop{false};
        std::atomic<uint64_t> olds{0};
        std::atomic<uint64_t> news{0};
        std::atomic<uint64_t> others{0};
        std::vector<std::thread> callers;
        for (int i = 0; i < kCallers; ++i) {
            callers.emplace_back([&] {
                const auto routine = reinterpret_cast<int (*)()>(f.site);
                while (!stop.load(std::memory_order_relaxed)) {
                    const int result = routine();
                    (result == 1 ? olds : result == 2 ? news : others).fetch_add(1);
                }
            });
        }
        int failures = 0;
        for (int toggle = 0; toggle < kToggles; ++toggle) {
            failures +=
                WriteCodeBytes(f.site, jump.data(), jump.size(), moves) == CodePatchResult::Written ? 0 : 1;
            std::this_thread::yield();
            failures +=
                WriteCodeBytes(f.site, original.data(), c.patchSize) == CodePatchResult::Written ? 0 : 1;
            std::this_thread::yield();
        }
        stop = true;
        for (std::thread& caller : callers) {
            caller.join();
        }
        EXPECT_EQ(0, failures);
        EXPECT_EQ(0u, others.load());
        EXPECT_GT(olds.load(), 0u);
        EXPECT_GT(news.load(), 0u);
        EXPECT_EQ(0, std::memcmp(original.data(), reinterpret_cast<const void*>(f.site), original.size()));
        MEMORY_BASIC_INFORMATION info{};
        VirtualQuery(reinterpret_cast<void*>(f.site), &info, sizeof(info));
        EXPECT_EQ(static_cast<DWORD>(PAGE_EXECUTE_READ), info.Protect);
        MemoryFreeExecutable(f.block);
    }
}

// Threads are stopped for a write across blocks and run again afterwards.
TEST(CodePatchWin32, StoppedThreadsAreListedAndRunAgain) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> ticks{0};
    std::thread worker([&] {
        while (!stop.load()) {
            ticks.fetch_add(1);
        }
    });
    while (ticks.load() == 0) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(MemorySuspendOtherThreads());
    EXPECT_GE(MemorySuspendedThreadCount(), 1u);
    const uint64_t frozen = ticks.load();
    Sleep(20);
    EXPECT_EQ(frozen, ticks.load());
    for (size_t i = 0; i < MemorySuspendedThreadCount(); ++i) {
        uintptr_t ip = 0;
        EXPECT_TRUE(MemorySuspendedThreadIp(i, ip));
        EXPECT_NE(0u, ip);
    }
    MemoryResumeOtherThreads();
    EXPECT_EQ(0u, MemorySuspendedThreadCount());
    while (ticks.load() == frozen) {
        std::this_thread::yield();
    }
    stop = true;
    worker.join();
}

} // namespace
} // namespace corvane
