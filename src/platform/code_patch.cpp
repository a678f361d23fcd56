#include "platform/code_patch.h"

#include "platform/memory.h"
#include "platform/memory_probe.h"
#include "platform/os.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace corvane {
namespace {

constexpr uintptr_t kBlockSize = 16;
// The game never writes its own code, so a compare-exchange only misses when the block was
// read before another of our writes; a few rounds always suffice.
constexpr int kExchangeRounds = 64;
// Rounds of stopping the threads while one of them sits inside the bytes with nowhere to go.
constexpr int kPatientStopRounds = 200;
constexpr int kFrameStopRounds = 2;
// How long a write may hold the render thread, all its rounds together. Stopping a thread that
// is busy can take a scheduler's time slice; a frame gives up rather than wait for many. Each
// frame that gave up for want of time doubles the next one's budget, up to the longest, so a
// process whose threads cannot be stopped in the shortest one (many of them, where each takes
// long to stop) still gets its write; a write that goes through starts again from the shortest.
constexpr int64_t kFrameWriteBudgetNs = 8'000'000;
constexpr int64_t kLongestFrameWriteBudgetNs = 64'000'000;
std::atomic<int64_t> g_frameBudgetNs{kFrameWriteBudgetNs};
// The most threads moved out of one site (more are refused, as a thread with no move is).
constexpr size_t kMaxStoppedThreadsMoved = 64;

// One patch at a time: the threads stopped for a write are one process-wide set.
std::mutex g_patchMutex;

bool InOneBlock(uintptr_t site, size_t size) {
    return size <= kBlockSize && (site & ~(kBlockSize - 1)) == ((site + size - 1) & ~(kBlockSize - 1));
}

// One locked 16-byte compare-exchange over the aligned block holding the bytes; the bytes of
// the block around them are carried over unchanged.
bool WriteAtomically(uintptr_t site, const uint8_t* bytes, size_t size) {
    const uintptr_t block = site & ~(kBlockSize - 1);
    const size_t offset = site - block;
    uint8_t expected[kBlockSize];
    if (!MemoryGuardedRead(expected, block, kBlockSize)) {
        return false;
    }
    for (int round = 0; round < kExchangeRounds; ++round) {
        uint8_t desired[kBlockSize];
        std::memcpy(desired, expected, kBlockSize);
        std::memcpy(desired + offset, bytes, size);
        bool exchanged = false;
        if (!MemoryGuardedCompareExchange16(block, expected, desired, exchanged)) {
            return false;
        }
        if (exchanged) {
            return true;
        }
    }
    return false;
}

const ThreadMove* MoveFor(std::span<const ThreadMove> moves, size_t offset) {
    const auto it = std::find_if(moves.begin(), moves.end(),
                                 [offset](const ThreadMove& move) { return move.offset == offset; });
    return it == moves.end() ? nullptr : &*it;
}

bool StrictlyInside(uintptr_t ip, const CodeSite& site) {
    return ip > site.site && ip < site.site + site.size;
}

bool WriteBytes(uintptr_t site, const uint8_t* bytes, size_t size) {
    return InOneBlock(site, size) ? WriteAtomically(site, bytes, size)
                                  : MemoryGuardedWrite(site, bytes, size);
}

bool Valid(const CodeSite& site) {
    return site.site != 0 && site.bytes != nullptr && site.size != 0 && site.size <= kMaxCodePatchSize &&
           site.site + site.size > site.site;
}

// What one batch knows about its sites between the protection changes.
struct Batch {
    std::span<const CodeSite> sites;
    std::span<CodePatchResult> results;
    // Sites still to be written: made writable, their old bytes read, not decided yet.
    bool pending[kMaxCodeSites] = {};
    bool opened[kMaxCodeSites] = {};
    uint32_t oldProtect[kMaxCodeSites] = {};
    uint8_t original[kMaxCodeSites][kMaxCodePatchSize] = {};
};

// No stopped thread is inside a pending site without a move for its offset, and every
// stopped thread could be looked at (one we cannot see may be anywhere).
bool StoppedThreadsAreClear(const Batch& batch) {
    for (size_t t = 0; t < MemorySuspendedThreadCount(); ++t) {
        uintptr_t ip = 0;
        if (!MemorySuspendedThreadIp(t, ip)) {
            return false;
        }
        for (size_t i = 0; i < batch.sites.size(); ++i) {
            const CodeSite& site = batch.sites[i];
            if (batch.pending[i] && StrictlyInside(ip, site) &&
                MoveFor(site.moves, ip - site.site) == nullptr) {
                return false;
            }
        }
    }
    return true;
}

enum class MoveOutcome { AllMoved, NoneMoved, SomeLeftMoved };

// Moves the stopped threads inside the site, all or none: when one cannot be moved, those moved
// before it are moved back to where they stopped, so that the site's old bytes can go back
// under all of them.
MoveOutcome MoveStoppedThreads(const CodeSite& site) {
    struct Moved {
        size_t thread;
        uintptr_t from;
    };
    Moved moved[kMaxStoppedThreadsMoved];
    size_t count = 0;
    for (size_t t = 0; t < MemorySuspendedThreadCount(); ++t) {
        uintptr_t ip = 0;
        if (!MemorySuspendedThreadIp(t, ip) || !StrictlyInside(ip, site)) {
            continue;
        }
        const ThreadMove* move = MoveFor(site.moves, ip - site.site);
        if (move != nullptr && count < kMaxStoppedThreadsMoved &&
            MemoryMoveSuspendedThread(t, move->destination)) {
            moved[count++] = Moved{t, ip};
            continue;
        }
        bool allBack = true;
        for (size_t i = 0; i < count; ++i) {
            allBack = MemoryMoveSuspendedThread(moved[i].thread, moved[i].from) && allBack;
        }
        return allBack ? MoveOutcome::NoneMoved : MoveOutcome::SomeLeftMoved;
    }
    return MoveOutcome::AllMoved;
}

bool PastDeadline(int64_t deadlineNs) {
    return deadlineNs != 0 && OsSteadyClockNs() > deadlineNs;
}

// Writes one site with the threads stopped and moves the threads inside it. Any way it fails, the
// site's old bytes go back: a copy across blocks that faulted part-way had written the bytes
// before the fault, and a thread that could not be moved runs the old bytes.
CodePatchResult WriteSite(const Batch& batch, size_t i) {
    const CodeSite& site = batch.sites[i];
    CodePatchResult result = CodePatchResult::WriteFailed;
    if (WriteBytes(site.site, site.bytes, site.size)) {
        switch (MoveStoppedThreads(site)) {
        case MoveOutcome::AllMoved:
            return CodePatchResult::Written;
        case MoveOutcome::NoneMoved:
            break;
        case MoveOutcome::SomeLeftMoved:
            result = CodePatchResult::ThreadsLeftMoved;
            break;
        }
    }
    (void)WriteBytes(site.site, batch.original[i], site.size);
    return result;
}

// Writes the pending sites with the threads stopped and decides each of them; false (with
// nothing decided) when the threads could not be stopped in any round.
bool WriteWithThreadsStopped(Batch& batch, int rounds, int64_t deadlineNs) {
    bool everStopped = false;
    for (int round = 0; round < rounds; ++round) {
        if (PastDeadline(deadlineNs)) {
            return true; // out of time: the sites still pending wait for a later frame
        }
        if (!MemorySuspendOtherThreads(deadlineNs)) {
            // A thread that could not be stopped this time (one starting or ending as the list
            // was walked) may be stopped the next; the rounds are tried again like the ones
            // that found a thread inside.
            std::this_thread::yield();
            continue;
        }
        everStopped = true;
        if (!StoppedThreadsAreClear(batch)) {
            MemoryResumeOtherThreads();
            std::this_thread::yield();
            continue;
        }
        for (size_t i = 0; i < batch.sites.size(); ++i) {
            if (!batch.pending[i]) {
                continue;
            }
            batch.results[i] = WriteSite(batch, i);
            batch.pending[i] = false;
        }
        MemoryResumeOtherThreads();
        return true;
    }
    // The sites still pending ran out of rounds, or of time; never stopped at all, they are left
    // to the writes that need no stop.
    return everStopped || PastDeadline(deadlineNs);
}

} // namespace

void WriteCodeSites(std::span<const CodeSite> sites, std::span<CodePatchResult> results,
                    CodeWriteWait wait) noexcept {
    const size_t count = std::min(sites.size(), results.size());
    if (count > kMaxCodeSites) {
        std::fill(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(count),
                  CodePatchResult::ProtectFailed);
        return;
    }
    Batch batch;
    batch.sites = sites.first(count);
    batch.results = results.first(count);
    std::unique_lock<std::mutex> lock(g_patchMutex, std::defer_lock);
    if (wait == CodeWriteWait::Patient) {
        lock.lock();
    } else if (!lock.try_lock()) {
        std::fill(batch.results.begin(), batch.results.end(), CodePatchResult::Busy);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const CodeSite& site = batch.sites[i];
        batch.results[i] = CodePatchResult::ProtectFailed;
        if (!Valid(site) ||
            !MemoryProtect(site.site, site.size, kPageExecuteReadWrite, batch.oldProtect[i])) {
            continue;
        }
        batch.opened[i] = true;
        batch.pending[i] = MemoryGuardedRead(batch.original[i], site.site, site.size);
        batch.results[i] = CodePatchResult::WriteFailed;
    }
    // Even a single atomic store needs the threads stopped: a thread may have fetched an
    // instruction that reads its operand from the bytes being replaced (the absolute jump
    // reads its target from the bytes after it) and read that operand after the store.
    // Where threads cannot be stopped, a patch that fits one block and no thread can be
    // inside is still written in one atomic store.
    const bool frame = wait == CodeWriteWait::Frame;
    const int64_t budgetNs = g_frameBudgetNs.load();
    const int64_t deadlineNs = frame ? OsSteadyClockNs() + budgetNs : 0;
    if (!WriteWithThreadsStopped(batch, frame ? kFrameStopRounds : kPatientStopRounds, deadlineNs)) {
        for (size_t i = 0; i < count; ++i) {
            const CodeSite& site = batch.sites[i];
            if (batch.pending[i] && InOneBlock(site.site, site.size) && site.moves.empty() &&
                WriteAtomically(site.site, site.bytes, site.size)) {
                batch.results[i] = CodePatchResult::Written;
            }
            batch.pending[i] = false;
        }
    }
    if (frame) {
        const bool outOfTime = PastDeadline(deadlineNs) &&
                               std::any_of(batch.pending, batch.pending + count, [](bool p) { return p; });
        g_frameBudgetNs.store(outOfTime ? std::min(2 * budgetNs, kLongestFrameWriteBudgetNs)
                                        : kFrameWriteBudgetNs);
    }
    // Neighbouring sites may share a page: the protections come back in reverse order, so the
    // page ends with the protection found before the first change.
    for (size_t i = count; i-- > 0;) {
        if (!batch.opened[i]) {
            continue;
        }
        const CodeSite& site = batch.sites[i];
        if (batch.pending[i]) {
            batch.results[i] =
                wait == CodeWriteWait::Frame ? CodePatchResult::Busy : CodePatchResult::WriteFailed;
        }
        uint32_t ignored = 0;
        const bool restored = MemoryProtect(site.site, site.size, batch.oldProtect[i], ignored);
        MemoryFlushInstructionCache(site.site, site.size);
        if (batch.results[i] == CodePatchResult::Written && !restored) {
            batch.results[i] = CodePatchResult::RestoreFailed;
        }
    }
}

CodePatchResult WriteCodeBytes(uintptr_t site, const uint8_t* bytes, size_t size,
                               std::span<const ThreadMove> moves, CodeWriteWait wait) noexcept {
    const CodeSite one[] = {{site, bytes, size, moves}};
    CodePatchResult result[] = {CodePatchResult::ProtectFailed};
    WriteCodeSites(one, result, wait);
    return result[0];
}

bool CodeBytesEqual(uintptr_t address, const uint8_t* expected, size_t size) noexcept {
    uint8_t actual[kMaxCodePatchSize];
    if (size > sizeof(actual) || !MemoryRangeReadable(address, size) ||
        !MemoryGuardedRead(actual, address, size)) {
        return false;
    }
    return std::equal(actual, actual + size, expected);
}

} // namespace corvane
