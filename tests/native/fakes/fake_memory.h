// A simulated page table behind the memory seam: sparse 4 KiB pages with their own
// state, protection and bytes at addresses that the host never maps, plus injectable
// failures. Every access checks the page state the way the hardware would.
#pragma once

#include "platform/memory.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace corvane::fake {

inline constexpr uintptr_t kPageSize = 0x1000;

struct FakePage {
    uint32_t state = 0; // kMemCommit or 0 (reserved/free)
    uint32_t protect = kPageNoAccess;
    bool faultOnAccess = false;
    bool faultOnWrite = false;
    std::unique_ptr<std::array<uint8_t, kPageSize>> bytes;
};

struct ProtectCall {
    uintptr_t address = 0;
    size_t size = 0;
    uint32_t newProtect = 0;
};

struct FakeMemory {
    std::map<uintptr_t, FakePage> pages; // keyed by page base
    // Every protection change, in order; `failProtect` may refuse one (index into the list).
    std::vector<ProtectCall> protectCalls;
    std::function<bool(const ProtectCall&, size_t index)> failProtect;
    uint32_t protectError = 5;
    int queriesBeforeFailure = -1; // the query after this many more answers fails; -1 never
    // Queries answer with the whole run of neighbouring pages of the same state and
    // protection, as the system does, instead of one page per region.
    bool wholeRegions = false;
    bool allocationFails = false;
    uintptr_t nextAllocation = 0x7FF000000000;
    std::set<uintptr_t> liveAllocations;
    std::vector<uintptr_t> freed;
    std::vector<std::pair<uintptr_t, size_t>> flushes;
    // Routines GuardedCall can reach: address -> body; a body returning false "raises".
    std::map<uintptr_t, std::function<bool()>> routines;
    std::vector<uintptr_t> calls;
    size_t writeCount = 0; // successful writes of any kind into simulated memory
    // Runs after each guarded write (address, size): lets a test change what was written.
    std::function<void(uintptr_t, size_t)> afterWrite;

    // 16-byte compare-exchanges that replaced a block (aligned addresses), in order.
    std::vector<uintptr_t> exchanges16;
    // Guarded writes and exchanges made while the other threads were stopped / running.
    size_t writesWhileStopped = 0;
    size_t writesWhileRunning = 0;

    // The process's other threads, by instruction pointer, and the stopping of them.
    std::vector<uintptr_t> threadIps;
    bool threadsStopped = false;
    bool suspendFails = false;
    int suspendFailuresLeft = 0;           // this many stops fail before they succeed again
    int64_t suspendCostNs = 0;             // how far each stop moves the fake steady clock
    std::vector<int64_t> suspendDeadlines; // the deadline each stop was given (0: none)
    bool moveFails = false;
    // Consulted before each move: true refuses it (a thread whose context cannot be set).
    std::function<bool(size_t thread, uintptr_t ip)> refuseMove;
    size_t suspendCount = 0;
    size_t resumeCount = 0;
    std::vector<std::pair<size_t, uintptr_t>> threadMoves; // (thread, new instruction pointer)
    // Runs while the threads are let go between two stops (the threads move on).
    std::function<void()> whileRunning;
};

FakeMemory& Memory();
void ResetMemory();

// Commits [address, address + size) with the given protection (whole pages, zero-filled).
void Commit(uintptr_t address, size_t size, uint32_t protect);
// Leaves the pages reserved but not committed.
void Reserve(uintptr_t address, size_t size);
void SetProtection(uintptr_t address, size_t size, uint32_t protect);
void SetFault(uintptr_t address, bool fault);
// Writes to the page fault; reads still work.
void SetWriteFault(uintptr_t address, bool fault);
uint32_t ProtectionAt(uintptr_t address);

// Direct test access, bypassing protection (pages must be committed).
void Poke(uintptr_t address, const void* bytes, size_t size);
void Peek(uintptr_t address, void* bytes, size_t size);
template <typename T> void PokeValue(uintptr_t address, T value) {
    Poke(address, &value, sizeof(value));
}
template <typename T> T PeekValue(uintptr_t address) {
    T value{};
    Peek(address, &value, sizeof(value));
    return value;
}

} // namespace corvane::fake
