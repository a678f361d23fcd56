#include "platform/code_patch.h"

#include "fakes/fake_memory.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

constexpr uintptr_t kCode = 0x140010000;
constexpr uintptr_t kTrampoline = 0x7FF000000000;

class CodePatchTest : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        fake::Commit(kCode, 0x1000, kPageReadWrite);
        for (uintptr_t i = 0; i < 0x100; ++i) {
            fake::PokeValue<uint8_t>(kCode + i, static_cast<uint8_t>(0xA0 + (i & 0x0F)));
        }
        fake::SetProtection(kCode, 0x1000, kPageExecuteRead);
    }
    static std::vector<uint8_t> BytesAt(uintptr_t address, size_t size) {
        std::vector<uint8_t> bytes(size);
        fake::Peek(address, bytes.data(), size);
        return bytes;
    }
    static std::vector<uint8_t> Pattern(size_t size, uint8_t first) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<uint8_t>(first + i);
        }
        return bytes;
    }
};

TEST_F(CodePatchTest, APatchInsideOneBlockIsOneAtomicExchangeThatKeepsItsNeighbours) {
    const uintptr_t site = kCode + 0x23; // 7 bytes inside the block at +0x20
    for (const bool threadsStop : {true, false}) {
        SCOPED_TRACE(threadsStop ? "threads stopped" : "threads cannot be stopped");
        fake::Memory().exchanges16.clear();
        fake::Memory().flushes.clear();
        fake::Memory().writesWhileStopped = 0;
        fake::Memory().suspendFails = !threadsStop;
        const std::vector<uint8_t> patch = Pattern(7, threadsStop ? 0x10 : 0x30);
        const std::vector<uint8_t> before = BytesAt(kCode + 0x20, 16);
        ASSERT_EQ(CodePatchResult::Written, WriteCodeBytes(site, patch.data(), patch.size()));
        EXPECT_EQ(std::vector<uintptr_t>{kCode + 0x20}, fake::Memory().exchanges16);
        EXPECT_EQ(threadsStop ? 1u : 0u, fake::Memory().writesWhileStopped);
        std::vector<uint8_t> expected = before;
        std::copy(patch.begin(), patch.end(), expected.begin() + 3);
        EXPECT_EQ(expected, BytesAt(kCode + 0x20, 16));
        EXPECT_EQ(kPageExecuteRead, fake::ProtectionAt(site));
        ASSERT_EQ(1u, fake::Memory().flushes.size());
        EXPECT_EQ(site, fake::Memory().flushes[0].first);
        EXPECT_EQ(7u, fake::Memory().flushes[0].second);
    }
}

// Where one block ends: a patch whose last byte is the block's last byte is still inside it,
// one byte further it crosses into the next block.
TEST_F(CodePatchTest, ABlocksLastByteEndsThePatchesThatFitInIt) {
    struct Case {
        const char* name;
        uintptr_t site;
        size_t size;
        bool oneBlock;
    };
    const Case cases[] = {
        {"ends on the block's last byte", kCode + 0x29, 7, true},
        {"one whole block", kCode + 0x40, 16, true},
        {"one byte into the next block", kCode + 0x2A, 7, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Memory().exchanges16.clear();
        fake::Memory().suspendFails = true; // only a one-block patch may be written without a stop
        const std::vector<uint8_t> before = BytesAt(c.site, c.size);
        const std::vector<uint8_t> patch = Pattern(c.size, 0x20);
        EXPECT_EQ(c.oneBlock ? CodePatchResult::Written : CodePatchResult::WriteFailed,
                  WriteCodeBytes(c.site, patch.data(), patch.size()));
        EXPECT_EQ(c.oneBlock ? patch : before, BytesAt(c.site, c.size));
        EXPECT_EQ(c.oneBlock ? std::vector<uintptr_t>{c.site & ~uintptr_t{0xF}} : std::vector<uintptr_t>{},
                  fake::Memory().exchanges16);
    }
}

TEST_F(CodePatchTest, APatchAcrossBlocksIsWrittenWhileTheOtherThreadsAreStopped) {
    const uintptr_t site = kCode + 0x30;
    const std::vector<uint8_t> patch = Pattern(19, 0x40);
    // One thread before the site, one at its first byte, one after it: none needs moving.
    fake::Memory().threadIps = {site - 1, site, site + 19};
    ASSERT_EQ(CodePatchResult::Written, WriteCodeBytes(site, patch.data(), patch.size()));
    EXPECT_EQ(patch, BytesAt(site, 19));
    EXPECT_EQ(1u, fake::Memory().suspendCount);
    EXPECT_EQ(1u, fake::Memory().resumeCount);
    EXPECT_EQ(0u, fake::Memory().writesWhileRunning);
    EXPECT_EQ(1u, fake::Memory().writesWhileStopped);
    EXPECT_TRUE(fake::Memory().threadMoves.empty());
    EXPECT_EQ(kPageExecuteRead, fake::ProtectionAt(site));
}

TEST_F(CodePatchTest, ThreadsInsideTheReplacedInstructionsAreMovedWhereTheMovesSay) {
    struct Case {
        const char* name;
        uintptr_t site;
        size_t size;
    };
    const Case cases[] = {{"across blocks", kCode + 0x50, 19}, {"inside one block", kCode + 0x80, 15}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Memory().threadMoves.clear();
        fake::Memory().threadIps = {c.site + 3, c.site + 7, c.site, c.site + 12};
        const ThreadMove moves[] = {
            {3, kTrampoline + 3}, {7, kTrampoline + 7}, {11, kTrampoline + 11}, {12, kTrampoline + 12}};
        const std::vector<uint8_t> patch = Pattern(c.size, 0x60);
        ASSERT_EQ(CodePatchResult::Written, WriteCodeBytes(c.site, patch.data(), patch.size(), moves));
        EXPECT_EQ(patch, BytesAt(c.site, c.size));
        const std::vector<uintptr_t> expected = {kTrampoline + 3, kTrampoline + 7, c.site, kTrampoline + 12};
        EXPECT_EQ(expected, fake::Memory().threadIps);
        EXPECT_EQ(3u, fake::Memory().threadMoves.size());
        EXPECT_EQ(0u, fake::Memory().writesWhileRunning);
        EXPECT_EQ(fake::Memory().suspendCount, fake::Memory().resumeCount);
    }
    // The patch inside one block is still one atomic exchange.
    EXPECT_EQ(std::vector<uintptr_t>{kCode + 0x80}, fake::Memory().exchanges16);
}

TEST_F(CodePatchTest, AThreadInsideWithNowhereToGoIsLetRunUntilItHasLeft) {
    const uintptr_t site = kCode + 0x30;
    const std::vector<uint8_t> patch = Pattern(19, 0x70);
    fake::Memory().threadIps = {site + 5};
    int releases = 0;
    fake::Memory().whileRunning = [&] {
        if (++releases == 2) {
            fake::Memory().threadIps[0] = site + 19; // the thread finished the old instructions
        }
    };
    ASSERT_EQ(CodePatchResult::Written, WriteCodeBytes(site, patch.data(), patch.size()));
    EXPECT_EQ(patch, BytesAt(site, 19));
    EXPECT_EQ(3u, fake::Memory().suspendCount);
    EXPECT_EQ(3u, fake::Memory().resumeCount);
    EXPECT_EQ(1u, fake::Memory().writesWhileStopped);
    EXPECT_EQ(0u, fake::Memory().writesWhileRunning);
}

TEST_F(CodePatchTest, WhenThreadsCannotBeStoppedOrMovedNothingIsWritten) {
    struct Case {
        const char* name;
        std::vector<uintptr_t> threads;
        bool suspendFails;
        bool moveFails;
        size_t size;
    };
    const uintptr_t site = kCode + 0x30;
    const std::vector<Case> cases = {
        {"threads cannot be stopped for a patch across blocks", {}, true, false, 19},
        // Moves say a thread may be between its instructions: no store is safe unstopped.
        {"threads cannot be stopped for a one-block patch with moves", {}, true, false, 8},
        {"a thread never leaves", {site + 5}, false, false, 19},
        {"a thread cannot be moved", {site + 3}, false, true, 19},
    };
    const ThreadMove moves[] = {{3, kTrampoline + 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> before = BytesAt(site, c.size);
        fake::Memory().threadIps = c.threads;
        fake::Memory().suspendFails = c.suspendFails;
        fake::Memory().moveFails = c.moveFails;
        const std::vector<uint8_t> patch = Pattern(c.size, 0x80);
        EXPECT_EQ(CodePatchResult::WriteFailed, WriteCodeBytes(site, patch.data(), patch.size(), moves));
        EXPECT_EQ(before, BytesAt(site, c.size));
        EXPECT_EQ(kPageExecuteRead, fake::ProtectionAt(site));
        EXPECT_EQ(fake::Memory().suspendCount, fake::Memory().resumeCount);
        EXPECT_FALSE(fake::Memory().threadsStopped);
    }
}

// Stops that fail now and then (a thread starting or ending as the list is walked) are tried
// again: a patch with thread moves still goes in with the threads stopped, patiently at start-up
// and within a frame's two rounds on the render thread.
TEST_F(CodePatchTest, AFailedStopIsTriedAgain) {
    const uintptr_t site = kCode + 0x30;
    const ThreadMove moves[] = {{3, kTrampoline + 3}};
    const std::vector<uint8_t> patch = Pattern(19, 0x40);
    fake::Memory().threadIps = {site + 3};
    fake::Memory().suspendFailuresLeft = 5;
    EXPECT_EQ(CodePatchResult::Written, WriteCodeBytes(site, patch.data(), patch.size(), moves));
    EXPECT_EQ(patch, BytesAt(site, 19));
    EXPECT_EQ(kTrampoline + 3, fake::Memory().threadIps[0]);

    const std::vector<uint8_t> frame = Pattern(19, 0x60);
    fake::Memory().threadIps = {site + 3};
    fake::Memory().suspendFailuresLeft = 1;
    EXPECT_EQ(CodePatchResult::Written,
              WriteCodeBytes(site, frame.data(), frame.size(), moves, CodeWriteWait::Frame));
    EXPECT_EQ(frame, BytesAt(site, 19));
    EXPECT_EQ(fake::Memory().suspendCount, fake::Memory().resumeCount);
}

// A patch across a page boundary whose second page faults on the write: the bytes before the
// fault had been written; they are put back, so the site holds its old bytes, never a mix.
TEST_F(CodePatchTest, AWriteThatFaultsPartWayPutsTheWrittenBytesBack) {
    const uintptr_t site = kCode + 0xFF8; // 8 bytes on this page, 11 on the next
    fake::Commit(kCode + 0x1000, 0x1000, kPageReadWrite);
    for (uintptr_t i = 0; i < 0x20; ++i) {
        fake::PokeValue<uint8_t>(kCode + 0x1000 + i, static_cast<uint8_t>(0x30 + i));
    }
    fake::SetProtection(kCode + 0x1000, 0x1000, kPageExecuteRead);
    fake::SetWriteFault(kCode + 0x1000, true);
    const std::vector<uint8_t> before = BytesAt(site, 8);
    const std::vector<uint8_t> patch = Pattern(19, 0x70);
    EXPECT_EQ(CodePatchResult::WriteFailed, WriteCodeBytes(site, patch.data(), patch.size()));
    EXPECT_EQ(before, BytesAt(site, 8));
    EXPECT_EQ(kPageExecuteRead, fake::ProtectionAt(site));
    EXPECT_FALSE(fake::Memory().threadsStopped);
}

// Sites that change together: one stop of the threads for all of them, each thread inside
// moved by its own site's moves, and a result per site.
TEST_F(CodePatchTest, ABatchIsWrittenUnderOneStopWithAResultPerSite) {
    const std::vector<uint8_t> jump = Pattern(19, 0x40);
    const std::vector<uint8_t> nops = Pattern(7, 0x90);
    const std::vector<uint8_t> breakpoint = {0xCC};
    const std::vector<uint8_t> refused = Pattern(4, 0x50);
    const ThreadMove jumpMoves[] = {{3, kTrampoline + 3}};
    const ThreadMove nopMoves[] = {{2, kCode + 0x87}};
    const CodeSite sites[] = {
        {kCode + 0x30, jump.data(), jump.size(), jumpMoves},      // across two blocks
        {kCode + 0x80, nops.data(), nops.size(), nopMoves},       // inside one block
        {kCode + 0xA5, breakpoint.data(), breakpoint.size(), {}}, // one byte
        {kCode + 0xC0, refused.data(), refused.size(), {}},       // not writable
    };
    fake::Memory().failProtect = [](const fake::ProtectCall& call, size_t) {
        return call.address == kCode + 0xC0;
    };
    fake::Memory().threadIps = {kCode + 0x33, kCode + 0x82, kCode + 0xA5};
    const std::vector<uint8_t> refusedBefore = BytesAt(kCode + 0xC0, 4);
    CodePatchResult results[4] = {};
    WriteCodeSites(sites, results);
    EXPECT_EQ(CodePatchResult::Written, results[0]);
    EXPECT_EQ(CodePatchResult::Written, results[1]);
    EXPECT_EQ(CodePatchResult::Written, results[2]);
    EXPECT_EQ(CodePatchResult::ProtectFailed, results[3]);
    EXPECT_EQ(jump, BytesAt(kCode + 0x30, 19));
    EXPECT_EQ(nops, BytesAt(kCode + 0x80, 7));
    EXPECT_EQ(breakpoint, BytesAt(kCode + 0xA5, 1));
    EXPECT_EQ(refusedBefore, BytesAt(kCode + 0xC0, 4));
    EXPECT_EQ((std::vector<uintptr_t>{kTrampoline + 3, kCode + 0x87, kCode + 0xA5}),
              fake::Memory().threadIps);
    EXPECT_EQ(1u, fake::Memory().suspendCount);
    EXPECT_EQ(1u, fake::Memory().resumeCount);
    EXPECT_EQ(3u, fake::Memory().writesWhileStopped);
    EXPECT_EQ(0u, fake::Memory().writesWhileRunning);
    // All four sites share one page: it ends with the protection it had before the batch.
    EXPECT_EQ(kPageExecuteRead, fake::ProtectionAt(kCode));
    EXPECT_EQ(3u, fake::Memory().flushes.size());
}

// A thread inside one site with nowhere to go holds back the whole batch; on the render
// thread the batch gives up after two stops and nothing is written.
TEST_F(CodePatchTest, AFrameWriteGivesUpAfterTwoStopsAndLeavesEverySiteAsItWas) {
    const std::vector<uint8_t> first = Pattern(7, 0x10);
    const std::vector<uint8_t> second = Pattern(14, 0x20);
    const CodeSite sites[] = {{kCode + 0x23, first.data(), first.size(), {}},
                              {kCode + 0x50, second.data(), second.size(), {}}};
    fake::Memory().threadIps = {kCode + 0x55};
    const std::vector<uint8_t> firstBefore = BytesAt(kCode + 0x23, 7);
    const std::vector<uint8_t> secondBefore = BytesAt(kCode + 0x50, 14);
    CodePatchResult results[2] = {};
    WriteCodeSites(sites, results, CodeWriteWait::Frame);
    EXPECT_EQ(CodePatchResult::Busy, results[0]);
    EXPECT_EQ(CodePatchResult::Busy, results[1]);
    EXPECT_EQ(firstBefore, BytesAt(kCode + 0x23, 7));
    EXPECT_EQ(secondBefore, BytesAt(kCode + 0x50, 14));
    EXPECT_EQ(2u, fake::Memory().suspendCount);
    EXPECT_EQ(2u, fake::Memory().resumeCount);
    EXPECT_EQ(0u, fake::Memory().writesWhileStopped + fake::Memory().writesWhileRunning);
    EXPECT_EQ(kPageExecuteRead, fake::ProtectionAt(kCode + 0x23));

    // Once the thread has left, a later frame writes both.
    fake::Memory().threadIps = {kCode + 0x5E};
    WriteCodeSites(sites, results, CodeWriteWait::Frame);
    EXPECT_EQ(CodePatchResult::Written, results[0]);
    EXPECT_EQ(CodePatchResult::Written, results[1]);
    EXPECT_EQ(second, BytesAt(kCode + 0x50, 14));
}

// The render thread's write is bounded in time, not only in rounds: every stop gets a deadline
// 8 ms after the write began, and a stop that takes longer (each stop here moves the clock 5 ms)
// leaves the write Busy with nothing written; a patient write gives its stops no deadline.
TEST_F(CodePatchTest, AFrameWriteGivesUpWhenItsTimeIsSpent) {
    const std::vector<uint8_t> patch = Pattern(14, 0x20);
    const std::vector<uint8_t> before = BytesAt(kCode + 0x50, 14);
    fake::Memory().threadIps = {kCode + 0x55}; // the first stop finds a thread inside
    fake::Memory().suspendCostNs = 5'000'000;
    const int64_t start = fake::Os().steadyNs;
    EXPECT_EQ(CodePatchResult::Busy,
              WriteCodeBytes(kCode + 0x50, patch.data(), patch.size(), {}, CodeWriteWait::Frame));
    EXPECT_EQ(before, BytesAt(kCode + 0x50, 14));
    EXPECT_EQ(fake::Memory().suspendCount, fake::Memory().resumeCount);
    EXPECT_FALSE(fake::Memory().threadsStopped);
    ASSERT_EQ(2u, fake::Memory().suspendDeadlines.size()) << "the second stop was begun in time";
    EXPECT_EQ(start + 8'000'000, fake::Memory().suspendDeadlines[0]);
    EXPECT_EQ(start + 8'000'000, fake::Memory().suspendDeadlines[1]);

    fake::Memory().suspendDeadlines.clear();
    fake::Memory().threadIps = {kCode + 0x5E};
    EXPECT_EQ(CodePatchResult::Written, WriteCodeBytes(kCode + 0x50, patch.data(), patch.size()));
    EXPECT_EQ((std::vector<int64_t>{0}), fake::Memory().suspendDeadlines);

    // A frame that gave up for want of time gives the next one twice as long (up to 64 ms); one
    // that writes starts again from 8 ms.
    const std::vector<uint8_t> again = Pattern(14, 0x60);
    fake::Memory().suspendDeadlines.clear();
    int64_t begun = fake::Os().steadyNs;
    EXPECT_EQ(CodePatchResult::Written,
              WriteCodeBytes(kCode + 0x50, again.data(), again.size(), {}, CodeWriteWait::Frame));
    EXPECT_EQ((std::vector<int64_t>{begun + 16'000'000}), fake::Memory().suspendDeadlines);
    for (const int64_t budget : {8'000'000, 16'000'000, 32'000'000, 64'000'000, 64'000'000}) {
        fake::Memory().suspendDeadlines.clear();
        fake::Memory().suspendCostNs = 100'000'000; // longer than any budget
        begun = fake::Os().steadyNs;
        EXPECT_EQ(CodePatchResult::Busy,
                  WriteCodeBytes(kCode + 0x50, patch.data(), patch.size(), {}, CodeWriteWait::Frame));
        EXPECT_EQ((std::vector<int64_t>{begun + budget}), fake::Memory().suspendDeadlines);
    }
    fake::Memory().suspendCostNs = 0;
    EXPECT_EQ(CodePatchResult::Written,
              WriteCodeBytes(kCode + 0x50, patch.data(), patch.size(), {}, CodeWriteWait::Frame));
    fake::Memory().suspendDeadlines.clear();
    begun = fake::Os().steadyNs;
    EXPECT_EQ(CodePatchResult::Written,
              WriteCodeBytes(kCode + 0x50, again.data(), again.size(), {}, CodeWriteWait::Frame));
    EXPECT_EQ((std::vector<int64_t>{begun + 8'000'000}), fake::Memory().suspendDeadlines);
}

// The render thread never waits for a patch written on another thread.
TEST_F(CodePatchTest, AFrameWriteDoesNotWaitBehindAnotherPatch) {
    const std::vector<uint8_t> slow = Pattern(19, 0x30);
    const std::vector<uint8_t> frame = Pattern(7, 0x60);
    fake::Memory().threadIps = {kCode + 0x35}; // keeps the first patch retrying
    CodePatchResult frameResult = CodePatchResult::Written;
    fake::Memory().whileRunning = [&] {
        fake::Memory().whileRunning = nullptr;
        std::thread render([&] {
            frameResult = WriteCodeBytes(kCode + 0x80, frame.data(), frame.size(), {}, CodeWriteWait::Frame);
        });
        render.join();
        fake::Memory().threadIps = {kCode + 0x13};
    };
    const std::vector<uint8_t> before = BytesAt(kCode + 0x80, 7);
    EXPECT_EQ(CodePatchResult::Written, WriteCodeBytes(kCode + 0x30, slow.data(), slow.size()));
    EXPECT_EQ(CodePatchResult::Busy, frameResult);
    EXPECT_EQ(before, BytesAt(kCode + 0x80, 7));
}

TEST_F(CodePatchTest, WithoutAStopOnlyTheBatchsOneBlockSitesWithoutMovesAreWritten) {
    const std::vector<uint8_t> small = Pattern(6, 0x10);
    const std::vector<uint8_t> wide = Pattern(19, 0x20);
    const std::vector<uint8_t> moved = Pattern(7, 0x30);
    const ThreadMove moves[] = {{3, kTrampoline}};
    const CodeSite sites[] = {{kCode + 0x22, small.data(), small.size(), {}},
                              {kCode + 0x30, wide.data(), wide.size(), {}},
                              {kCode + 0x60, moved.data(), moved.size(), moves}};
    fake::Memory().suspendFails = true;
    const std::vector<uint8_t> wideBefore = BytesAt(kCode + 0x30, 19);
    const std::vector<uint8_t> movedBefore = BytesAt(kCode + 0x60, 7);
    CodePatchResult results[3] = {};
    WriteCodeSites(sites, results);
    EXPECT_EQ(CodePatchResult::Written, results[0]);
    EXPECT_EQ(CodePatchResult::WriteFailed, results[1]);
    EXPECT_EQ(CodePatchResult::WriteFailed, results[2]);
    EXPECT_EQ(small, BytesAt(kCode + 0x22, 6));
    EXPECT_EQ(wideBefore, BytesAt(kCode + 0x30, 19));
    EXPECT_EQ(movedBefore, BytesAt(kCode + 0x60, 7));
    EXPECT_EQ(kPageExecuteRead, fake::ProtectionAt(kCode));
}

TEST_F(CodePatchTest, ProtectionFailuresAreReportedApart) {
    const std::vector<uint8_t> patch = Pattern(4, 0x90);
    fake::Memory().failProtect = [](const fake::ProtectCall&, size_t index) { return index == 0; };
    const std::vector<uint8_t> before = BytesAt(kCode + 0x10, 4);
    EXPECT_EQ(CodePatchResult::ProtectFailed, WriteCodeBytes(kCode + 0x10, patch.data(), patch.size()));
    EXPECT_EQ(before, BytesAt(kCode + 0x10, 4));
    fake::Memory().protectCalls.clear();
    fake::Memory().failProtect = [](const fake::ProtectCall&, size_t index) { return index == 1; };
    EXPECT_EQ(CodePatchResult::RestoreFailed, WriteCodeBytes(kCode + 0x10, patch.data(), patch.size()));
    EXPECT_EQ(patch, BytesAt(kCode + 0x10, 4));
    EXPECT_EQ(kPageExecuteReadWrite, fake::ProtectionAt(kCode + 0x10));
}

} // namespace
} // namespace corvane
