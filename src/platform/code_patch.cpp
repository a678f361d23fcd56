#include "platform/code_patch.h"

#include "platform/memory.h"
#include "platform/memory_probe.h"

#include <algorithm>
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
constexpr int kStopRounds = 200;

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

enum class StoppedCheck { Clear, Movable, Stuck };

// Where the stopped threads are relative to (site, site + size).
StoppedCheck CheckStoppedThreads(uintptr_t site, size_t size, std::span<const ThreadMove> moves) {
    StoppedCheck result = StoppedCheck::Clear;
    for (size_t i = 0; i < MemorySuspendedThreadCount(); ++i) {
        uintptr_t ip = 0;
        if (!MemorySuspendedThreadIp(i, ip)) {
            return StoppedCheck::Stuck; // a thread we cannot see may be anywhere
        }
        if (ip <= site || ip >= site + size) {
            continue;
        }
        if (MoveFor(moves, ip - site) == nullptr) {
            return StoppedCheck::Stuck;
        }
        result = StoppedCheck::Movable;
    }
    return result;
}

// Moves every stopped thread found inside the bytes; false when one could not be moved.
bool MoveStoppedThreads(uintptr_t site, size_t size, std::span<const ThreadMove> moves) {
    for (size_t i = 0; i < MemorySuspendedThreadCount(); ++i) {
        uintptr_t ip = 0;
        if (!MemorySuspendedThreadIp(i, ip) || ip <= site || ip >= site + size) {
            continue;
        }
        const ThreadMove* move = MoveFor(moves, ip - site);
        if (move == nullptr || !MemoryMoveSuspendedThread(i, move->destination)) {
            return false;
        }
    }
    return true;
}

bool WriteBytes(uintptr_t site, const uint8_t* bytes, size_t size) {
    return InOneBlock(site, size) ? WriteAtomically(site, bytes, size)
                                  : MemoryGuardedWrite(site, bytes, size);
}

enum class StoppedWrite { Written, NotWritten, ThreadsNotStopped };

StoppedWrite WriteWithThreadsStopped(uintptr_t site, const uint8_t* bytes, size_t size,
                                     std::span<const ThreadMove> moves) {
    uint8_t original[kMaxCodePatchSize];
    if (!MemoryGuardedRead(original, site, size)) {
        return StoppedWrite::NotWritten;
    }
    for (int round = 0; round < kStopRounds; ++round) {
        if (!MemorySuspendOtherThreads()) {
            return StoppedWrite::ThreadsNotStopped;
        }
        if (CheckStoppedThreads(site, size, moves) == StoppedCheck::Stuck) {
            MemoryResumeOtherThreads();
            std::this_thread::yield();
            continue;
        }
        bool written = WriteBytes(site, bytes, size);
        if (written && !MoveStoppedThreads(site, size, moves)) {
            // A thread that stays inside must find the old bytes it was running.
            (void)WriteBytes(site, original, size);
            written = false;
        }
        MemoryResumeOtherThreads();
        return written ? StoppedWrite::Written : StoppedWrite::NotWritten;
    }
    return StoppedWrite::NotWritten;
}

} // namespace

CodePatchResult WriteCodeBytes(uintptr_t site, const uint8_t* bytes, size_t size,
                               std::span<const ThreadMove> moves) noexcept {
    if (site == 0 || bytes == nullptr || size == 0 || size > kMaxCodePatchSize || site + size < site) {
        return CodePatchResult::ProtectFailed;
    }
    const std::lock_guard<std::mutex> lock(g_patchMutex);
    uint32_t old = 0;
    if (!MemoryProtect(site, size, kPageExecuteReadWrite, old)) {
        return CodePatchResult::ProtectFailed;
    }
    // Even a single atomic store needs the threads stopped: a thread may have fetched an
    // instruction that reads its operand from the bytes being replaced (the absolute jump
    // reads its target from the bytes after it) and read that operand after the store.
    // Where threads cannot be stopped, a patch that fits one block and no thread can be
    // inside is still written in one atomic store.
    StoppedWrite result = WriteWithThreadsStopped(site, bytes, size, moves);
    if (result == StoppedWrite::ThreadsNotStopped && InOneBlock(site, size) && moves.empty()) {
        result = WriteAtomically(site, bytes, size) ? StoppedWrite::Written : StoppedWrite::NotWritten;
    }
    const bool written = result == StoppedWrite::Written;
    uint32_t ignored = 0;
    const bool restored = MemoryProtect(site, size, old, ignored);
    MemoryFlushInstructionCache(site, size);
    if (!written) {
        return CodePatchResult::WriteFailed;
    }
    return restored ? CodePatchResult::Written : CodePatchResult::RestoreFailed;
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
