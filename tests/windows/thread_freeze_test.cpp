// The stop of the process's threads for a code write when the system does not cooperate: a
// thread list that cannot be read to its end, a running thread that cannot be stopped. Either
// way the stop fails and no thread stays stopped; a thread left running would execute the
// bytes while they are written.
#include "platform/memory.h"
#include "platform/os.h"
#include "platform/win32/thread_freeze_win32.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>

namespace corvane {
namespace {

constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022);

std::atomic<int> g_listed{0};
std::atomic<DWORD> g_unstoppable{0};

NtGetNextThreadFunction SystemNext() {
    return reinterpret_cast<NtGetNextThreadFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtGetNextThread")));
}

// The system's list, broken off after its first thread with an error that is not its end.
LONG NTAPI ListBreakingOff(HANDLE process, HANDLE thread, ACCESS_MASK access, ULONG attributes, ULONG flags,
                           HANDLE* next) {
    if (g_listed.fetch_add(1) >= 1) {
        return kStatusAccessDenied;
    }
    return SystemNext()(process, thread, access, attributes, flags, next);
}

DWORD WINAPI RefusingOneThread(HANDLE thread) {
    if (GetThreadId(thread) == g_unstoppable.load()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return static_cast<DWORD>(-1);
    }
    return SuspendThread(thread);
}

// Worker threads that count while they run.
class RunningThreads {
public:
    RunningThreads() {
        for (int i = 0; i < 2; ++i) {
            workers_[i] = std::thread([this, i] {
                ids_[i] = GetCurrentThreadId();
                while (!stop_) {
                    counter_.fetch_add(1);
                }
            });
        }
        while (ids_[0] == 0 || ids_[1] == 0) {
            Sleep(1);
        }
    }
    ~RunningThreads() {
        stop_ = true;
        for (auto& worker : workers_) {
            worker.join();
        }
    }
    DWORD FirstId() const { return ids_[0]; }
    // True when the counter still moves, i.e. none of the workers stays stopped.
    bool AllRunning() {
        for (int i = 0; i < 2; ++i) {
            const long before = counter_.load();
            Sleep(20);
            if (counter_.load() == before) {
                return false;
            }
        }
        return true;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> counter_{0};
    std::atomic<DWORD> ids_[2] = {0, 0};
    std::thread workers_[2];
};

class ThreadFreezeTest : public ::testing::Test {
protected:
    void TearDown() override { SetThreadFreezeCalls(nullptr); }
};

TEST_F(ThreadFreezeTest, TheSystemsCallsStopEveryOtherThread) {
    RunningThreads threads;
    ASSERT_TRUE(MemorySuspendOtherThreads());
    EXPECT_GE(MemorySuspendedThreadCount(), 2u);
    MemoryResumeOtherThreads();
    EXPECT_TRUE(threads.AllRunning());
}

TEST_F(ThreadFreezeTest, AListThatBreaksOffBeforeItsEndFailsTheStop) {
    RunningThreads threads;
    g_listed = 0;
    const ThreadFreezeCalls calls{&ListBreakingOff, nullptr};
    SetThreadFreezeCalls(&calls);
    EXPECT_FALSE(MemorySuspendOtherThreads());
    EXPECT_EQ(0u, MemorySuspendedThreadCount());
    EXPECT_TRUE(threads.AllRunning());
}

TEST_F(ThreadFreezeTest, ARunningThreadThatCannotBeStoppedFailsTheStop) {
    RunningThreads threads;
    g_unstoppable = threads.FirstId();
    const ThreadFreezeCalls calls{nullptr, &RefusingOneThread};
    SetThreadFreezeCalls(&calls);
    EXPECT_FALSE(MemorySuspendOtherThreads());
    EXPECT_EQ(0u, MemorySuspendedThreadCount());
    EXPECT_TRUE(threads.AllRunning());
    g_unstoppable = 0;
}

// A stop that runs out of time lets every thread go; the same stop without a deadline stops them.
TEST_F(ThreadFreezeTest, AStopOutOfTimeFailsAndLeavesNoThreadStopped) {
    RunningThreads threads;
    EXPECT_FALSE(MemorySuspendOtherThreads(OsSteadyClockNs() - 1));
    EXPECT_EQ(0u, MemorySuspendedThreadCount());
    EXPECT_TRUE(threads.AllRunning());
    ASSERT_TRUE(MemorySuspendOtherThreads(OsSteadyClockNs() + 60'000'000'000));
    EXPECT_GE(MemorySuspendedThreadCount(), 2u);
    MemoryResumeOtherThreads();
    EXPECT_TRUE(threads.AllRunning());
}

} // namespace
} // namespace corvane
