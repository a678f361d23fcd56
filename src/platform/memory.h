// The memory seam of the game integration: page state, protection changes, executable
// blocks and accesses that turn a fault into a false result. Any thread may call it. The
// Windows build implements it in win32/memory_win32.cpp; native tests use a simulated page table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

inline constexpr uint32_t kMemCommit = 0x1000;

inline constexpr uint32_t kPageNoAccess = 0x01;
inline constexpr uint32_t kPageReadOnly = 0x02;
inline constexpr uint32_t kPageReadWrite = 0x04;
inline constexpr uint32_t kPageWriteCopy = 0x08;
inline constexpr uint32_t kPageExecute = 0x10;
inline constexpr uint32_t kPageExecuteRead = 0x20;
inline constexpr uint32_t kPageExecuteReadWrite = 0x40;
inline constexpr uint32_t kPageExecuteWriteCopy = 0x80;
inline constexpr uint32_t kPageGuard = 0x100;

// What one query reports about the region that holds an address.
struct MemoryRegion {
    uintptr_t base = 0;
    uint64_t size = 0;
    uint32_t state = 0;   // kMemCommit when committed
    uint32_t protect = 0; // the full protection value; callers compare its low byte
};

// Describes the region holding `address`; false when the query fails.
[[nodiscard]] bool MemoryQuery(uintptr_t address, MemoryRegion& region);

// Changes the protection of the pages covering [address, address + size) and reports the
// previous protection of the first page. False on failure (see MemoryLastError).
[[nodiscard]] bool MemoryProtect(uintptr_t address, size_t size, uint32_t newProtect, uint32_t& oldProtect);

// The system error code of the calling thread's last failed memory call.
uint32_t MemoryLastError();

// Commits a fresh read-write-execute block; 0 on failure.
[[nodiscard]] uintptr_t MemoryAllocateExecutable(size_t size);
void MemoryFreeExecutable(uintptr_t block);

void MemoryFlushInstructionCache(uintptr_t address, size_t size);

// Copies game memory into the program's own memory; false if the access faults.
[[nodiscard]] bool MemoryGuardedRead(void* destination, uintptr_t source, size_t size);
// Copies the program's bytes into game memory; false if the access faults.
[[nodiscard]] bool MemoryGuardedWrite(uintptr_t destination, const void* source, size_t size);

// Calls a game routine that takes no arguments; false when it raises an exception that the
// routine does not handle itself.
[[nodiscard]] bool MemoryGuardedCall(uintptr_t code);

// One atomic 16-byte compare-exchange on a 16-byte aligned address: when the 16 bytes there
// equal `expected` they become `desired` and `exchanged` is true; otherwise `expected`
// receives what is there. False when the access faults.
[[nodiscard]] bool MemoryGuardedCompareExchange16(uintptr_t address, uint8_t (&expected)[16],
                                                  const uint8_t (&desired)[16], bool& exchanged);

// Stops every other thread of the process for a code write, listing the threads again until
// no new one appears. False when that was not possible, or not done by `deadlineNs` on the
// steady clock (OsSteadyClockNs; 0: no deadline); no thread stays stopped then.
[[nodiscard]] bool MemorySuspendOtherThreads(int64_t deadlineNs = 0);
// The threads stopped by the last MemorySuspendOtherThreads: their count, their instruction
// pointers and a move of one instruction pointer (false when it could not be read or set).
size_t MemorySuspendedThreadCount();
[[nodiscard]] bool MemorySuspendedThreadIp(size_t index, uintptr_t& ip);
[[nodiscard]] bool MemoryMoveSuspendedThread(size_t index, uintptr_t ip);
// Lets the stopped threads run again.
void MemoryResumeOtherThreads();

// Atomic read-modify-writes on game words, each followed by a full barrier; false when
// the access faults. `previous` receives the value that was replaced.
[[nodiscard]] bool MemoryGuardedExchange32(uintptr_t address, uint32_t value, uint32_t& previous);
[[nodiscard]] bool MemoryGuardedExchange8(uintptr_t address, uint8_t value, uint8_t& previous);
[[nodiscard]] bool MemoryGuardedOr32(uintptr_t address, uint32_t bits);
[[nodiscard]] bool MemoryGuardedOr8(uintptr_t address, uint8_t bits);

} // namespace corvane
