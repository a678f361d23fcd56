#include "fakes/fake_memory.h"

#include "fakes/fake_platform.h"
#include "platform/os.h"

#include <cstring>
#include <mutex>
#include <stdexcept>

namespace corvane {
namespace fake {

namespace {
FakeMemory g_memory;

uintptr_t PageOf(uintptr_t address) {
    return address & ~(kPageSize - 1);
}

FakePage* FindPage(uintptr_t address) {
    const auto it = g_memory.pages.find(PageOf(address));
    return it == g_memory.pages.end() ? nullptr : &it->second;
}

bool Readable(uint32_t protect) {
    if ((protect & (kPageNoAccess | kPageGuard)) != 0) {
        return false;
    }
    switch (protect & 0xFF) {
    case kPageReadOnly:
    case kPageReadWrite:
    case kPageWriteCopy:
    case kPageExecuteRead:
    case kPageExecuteReadWrite:
    case kPageExecuteWriteCopy:
        return true;
    default:
        return false;
    }
}

bool Writable(uint32_t protect) {
    if ((protect & (kPageNoAccess | kPageGuard)) != 0) {
        return false;
    }
    switch (protect & 0xFF) {
    case kPageReadWrite:
    case kPageWriteCopy:
    case kPageExecuteReadWrite:
    case kPageExecuteWriteCopy:
        return true;
    default:
        return false;
    }
}

// Walks [address, address + size) a byte at a time, as a faulting instruction would.
bool Accessible(uintptr_t address, size_t size, bool write) {
    if (size != 0 && address + size < address) {
        return false;
    }
    for (size_t i = 0; i < size; ++i) {
        const FakePage* page = FindPage(address + i);
        if (page == nullptr || page->state != kMemCommit || page->faultOnAccess ||
            (write && page->faultOnWrite) || !(write ? Writable(page->protect) : Readable(page->protect))) {
            return false;
        }
    }
    return true;
}

uint8_t& ByteAt(uintptr_t address) {
    FakePage* page = FindPage(address);
    if (page == nullptr || !page->bytes) {
        throw std::logic_error("simulated byte outside committed memory");
    }
    return (*page->bytes)[address - PageOf(address)];
}

void ForPages(uintptr_t address, size_t size, const std::function<void(FakePage&)>& action) {
    for (uintptr_t page = PageOf(address); page < address + size; page += kPageSize) {
        action(g_memory.pages[page]);
    }
}

} // namespace

FakeMemory& Memory() {
    return g_memory;
}

void ResetMemory() {
    g_memory = FakeMemory{};
}

void Commit(uintptr_t address, size_t size, uint32_t protect) {
    ForPages(address, size, [&](FakePage& page) {
        page.state = kMemCommit;
        page.protect = protect;
        if (!page.bytes) {
            page.bytes = std::make_unique<std::array<uint8_t, kPageSize>>();
            page.bytes->fill(0);
        }
    });
}

void Reserve(uintptr_t address, size_t size) {
    ForPages(address, size, [](FakePage& page) {
        page.state = 0;
        page.protect = kPageNoAccess;
    });
}

void SetProtection(uintptr_t address, size_t size, uint32_t protect) {
    ForPages(address, size, [&](FakePage& page) { page.protect = protect; });
}

void SetFault(uintptr_t address, bool fault) {
    ForPages(address, 1, [&](FakePage& page) { page.faultOnAccess = fault; });
}

void SetWriteFault(uintptr_t address, bool fault) {
    ForPages(address, 1, [&](FakePage& page) { page.faultOnWrite = fault; });
}

uint32_t ProtectionAt(uintptr_t address) {
    const FakePage* page = FindPage(address);
    return page == nullptr ? 0 : page->protect;
}

void Poke(uintptr_t address, const void* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        ByteAt(address + i) = static_cast<const uint8_t*>(bytes)[i];
    }
}

void Peek(uintptr_t address, void* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        static_cast<uint8_t*>(bytes)[i] = ByteAt(address + i);
    }
}

} // namespace fake

using fake::g_memory;

namespace {
// The render thread and a breakpoint handler's thread reach the simulated memory at once;
// like the hardware, it serves one access at a time.
std::recursive_mutex& AccessLock() {
    static std::recursive_mutex lock;
    return lock;
}
} // namespace

bool MemoryQuery(uintptr_t address, MemoryRegion& region) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    if (g_memory.queriesBeforeFailure == 0) {
        return false;
    }
    if (g_memory.queriesBeforeFailure > 0) {
        --g_memory.queriesBeforeFailure;
    }
    // One region per page keeps the walk honest about crossing region ends.
    const uintptr_t base = fake::PageOf(address);
    const fake::FakePage* page = fake::FindPage(address);
    region.base = base;
    region.size = fake::kPageSize;
    region.state = page == nullptr ? 0 : page->state;
    region.protect = page == nullptr ? 0 : page->protect;
    if (g_memory.wholeRegions && page != nullptr) {
        const auto same = [&](uintptr_t other) {
            const fake::FakePage* neighbour = fake::FindPage(other);
            return neighbour != nullptr && neighbour->state == page->state &&
                   neighbour->protect == page->protect;
        };
        while (region.base >= fake::kPageSize && same(region.base - fake::kPageSize)) {
            region.base -= fake::kPageSize;
        }
        while (same(base + region.size)) {
            region.size += fake::kPageSize;
        }
        region.size += base - region.base;
    }
    return true;
}

bool MemoryProtect(uintptr_t address, size_t size, uint32_t newProtect, uint32_t& oldProtect) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    const fake::ProtectCall call{address, size, newProtect};
    g_memory.protectCalls.push_back(call);
    if (g_memory.failProtect && g_memory.failProtect(call, g_memory.protectCalls.size() - 1)) {
        return false;
    }
    for (uintptr_t page = fake::PageOf(address); page < address + size; page += fake::kPageSize) {
        const fake::FakePage* found = fake::FindPage(page);
        if (found == nullptr || found->state != kMemCommit) {
            return false;
        }
    }
    oldProtect = fake::ProtectionAt(address);
    fake::SetProtection(address, size, newProtect);
    return true;
}

uint32_t MemoryLastError() {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    return g_memory.protectError;
}

uintptr_t MemoryAllocateExecutable(size_t size) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    if (g_memory.allocationFails) {
        return 0;
    }
    const uintptr_t block = g_memory.nextAllocation;
    g_memory.nextAllocation += 0x10000;
    fake::Commit(block, size, kPageExecuteReadWrite);
    g_memory.liveAllocations.insert(block);
    return block;
}

void MemoryFreeExecutable(uintptr_t block) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    g_memory.freed.push_back(block);
    g_memory.liveAllocations.erase(block);
    fake::Reserve(block, fake::kPageSize);
}

void MemoryFlushInstructionCache(uintptr_t address, size_t size) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    g_memory.flushes.emplace_back(address, size);
}

bool MemoryGuardedRead(void* destination, uintptr_t source, size_t size) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    if (!fake::Accessible(source, size, false)) {
        return false;
    }
    fake::Peek(source, destination, size);
    return true;
}

bool MemoryGuardedWrite(uintptr_t destination, const void* source, size_t size) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    if (!fake::Accessible(destination, size, true)) {
        // As the system's copy does: the bytes before the first that faults are written.
        size_t written = 0;
        while (written < size && fake::Accessible(destination + written, 1, true)) {
            ++written;
        }
        fake::Poke(destination, source, written);
        return false;
    }
    fake::Poke(destination, source, size);
    ++g_memory.writeCount;
    ++(g_memory.threadsStopped ? g_memory.writesWhileStopped : g_memory.writesWhileRunning);
    if (g_memory.afterWrite) {
        const auto hook = g_memory.afterWrite; // the hook may replace itself
        hook(destination, size);
    }
    return true;
}

bool MemoryGuardedCall(uintptr_t code) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    g_memory.calls.push_back(code);
    const auto it = g_memory.routines.find(code);
    if (code == 0 || it == g_memory.routines.end()) {
        return false;
    }
    return it->second();
}

namespace {
template <typename T> bool Exchange(uintptr_t address, T value, T& previous) {
    if (!fake::Accessible(address, sizeof(T), true)) {
        return false;
    }
    previous = fake::PeekValue<T>(address);
    fake::PokeValue<T>(address, value);
    ++g_memory.writeCount;
    return true;
}
} // namespace

bool MemoryGuardedExchange32(uintptr_t address, uint32_t value, uint32_t& previous) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    return Exchange<uint32_t>(address, value, previous);
}

bool MemoryGuardedExchange8(uintptr_t address, uint8_t value, uint8_t& previous) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    return Exchange<uint8_t>(address, value, previous);
}

bool MemoryGuardedOr32(uintptr_t address, uint32_t bits) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    uint32_t previous = 0;
    if (!fake::Accessible(address, 4, true)) {
        return false;
    }
    previous = fake::PeekValue<uint32_t>(address);
    return Exchange<uint32_t>(address, previous | bits, previous);
}

bool MemoryGuardedOr8(uintptr_t address, uint8_t bits) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    uint8_t previous = 0;
    if (!fake::Accessible(address, 1, true)) {
        return false;
    }
    previous = fake::PeekValue<uint8_t>(address);
    return Exchange<uint8_t>(address, static_cast<uint8_t>(previous | bits), previous);
}

bool MemoryGuardedCompareExchange16(uintptr_t address, uint8_t (&expected)[16], const uint8_t (&desired)[16],
                                    bool& exchanged) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    if (address % 16 != 0 || !fake::Accessible(address, 16, true)) {
        return false;
    }
    uint8_t current[16];
    fake::Peek(address, current, sizeof(current));
    exchanged = std::memcmp(current, expected, sizeof(current)) == 0;
    if (!exchanged) {
        std::memcpy(expected, current, sizeof(current));
        return true;
    }
    fake::Poke(address, desired, sizeof(desired));
    ++g_memory.writeCount;
    ++(g_memory.threadsStopped ? g_memory.writesWhileStopped : g_memory.writesWhileRunning);
    g_memory.exchanges16.push_back(address);
    if (g_memory.afterWrite) {
        const auto hook = g_memory.afterWrite;
        hook(address, sizeof(desired));
    }
    return true;
}

bool MemorySuspendOtherThreads(int64_t deadlineNs) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    g_memory.suspendDeadlines.push_back(deadlineNs);
    if (g_memory.suspendCostNs != 0) {
        fake::Os().steadyNs += g_memory.suspendCostNs;
    }
    if (g_memory.suspendFailuresLeft > 0) {
        --g_memory.suspendFailuresLeft;
        return false;
    }
    if (g_memory.suspendFails || g_memory.threadsStopped ||
        (deadlineNs != 0 && OsSteadyClockNs() > deadlineNs)) {
        return false;
    }
    ++g_memory.suspendCount;
    g_memory.threadsStopped = true;
    return true;
}

size_t MemorySuspendedThreadCount() {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    return g_memory.threadsStopped ? g_memory.threadIps.size() : 0;
}

bool MemorySuspendedThreadIp(size_t index, uintptr_t& ip) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    if (!g_memory.threadsStopped || index >= g_memory.threadIps.size()) {
        return false;
    }
    ip = g_memory.threadIps[index];
    return true;
}

bool MemoryMoveSuspendedThread(size_t index, uintptr_t ip) {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    if (!g_memory.threadsStopped || index >= g_memory.threadIps.size() || g_memory.moveFails ||
        (g_memory.refuseMove && g_memory.refuseMove(index, ip))) {
        return false;
    }
    g_memory.threadIps[index] = ip;
    g_memory.threadMoves.emplace_back(index, ip);
    return true;
}

void MemoryResumeOtherThreads() {
    const std::lock_guard<std::recursive_mutex> hold(AccessLock());
    if (!g_memory.threadsStopped) {
        return;
    }
    ++g_memory.resumeCount;
    g_memory.threadsStopped = false;
    if (g_memory.whileRunning) {
        const auto step = g_memory.whileRunning;
        step();
    }
}

} // namespace corvane
