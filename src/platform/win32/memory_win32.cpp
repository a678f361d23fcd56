// Page queries and protection through the Windows memory functions, and accesses to game
// memory that survive a fault.
//
// Copies and exchanges touch only our own code's loads and stores, so a fault there can only
// be theirs: a guarded access records a recovery point in a thread-local slot, and a vectored
// handler that sees a fault on a thread with a recovery point sends that thread back to it.
//
// A guarded call runs game code, which may raise and handle exceptions of its own. Vectored
// handlers run before any frame handler, so the call goes through a small assembly routine
// whose frame carries a structured exception handler: the system consults it only after every
// frame of the game routine has declined the exception, and it then unwinds to its own frame.
#include "platform/guarded_fault.h"
#include "platform/memory.h"

#include <windows.h>

#include <cstring>
#include <mutex>

namespace corvane {
namespace {

// The frame of one guarded access. __builtin_setjmp keeps only the frame and stack
// pointers and the resume label, and never unwinds, which is what a fault needs.
struct GuardFrame {
    void* jump[5] = {};
    GuardFrame* previous = nullptr;
};

// A raw TLS slot: reading it allocates nothing, so the handler may read it on any thread.
DWORD g_guardSlot = TLS_OUT_OF_INDEXES;
std::once_flag g_guardInstalled;

GuardFrame* CurrentGuard() {
    return static_cast<GuardFrame*>(TlsGetValue(g_guardSlot));
}

[[noreturn]] void ResumeAtGuard() {
    GuardFrame* frame = CurrentGuard();
    __builtin_longjmp(frame->jump, 1);
}

LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* info) noexcept {
    if (info == nullptr || info->ExceptionRecord == nullptr || info->ContextRecord == nullptr) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (g_guardSlot == TLS_OUT_OF_INDEXES || !GuardTakesException(info->ExceptionRecord->ExceptionCode)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // TlsGetValue clears the thread's last error; the game's thread must not notice that
    // this handler looked at its exception.
    const DWORD lastError = GetLastError();
    const bool guarded = CurrentGuard() != nullptr;
    SetLastError(lastError);
    if (!guarded) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // Resume on the faulting stack, aligned as after a call, in a routine that jumps back
    // to the recovery point. The faulting frames above are abandoned.
    CONTEXT* context = info->ContextRecord;
    context->Rsp = ((context->Rsp - 0x100) & ~DWORD64{0xF}) - 8;
    context->Rip = reinterpret_cast<DWORD64>(&ResumeAtGuard);
    return EXCEPTION_CONTINUE_EXECUTION;
}

void InstallGuard() {
    std::call_once(g_guardInstalled, [] {
        g_guardSlot = TlsAlloc();
        // Last in the chain: handlers that own their exceptions (breakpoints of the composite
        // detector) see them first.
        AddVectoredExceptionHandler(0, &GuardHandler);
    });
}

// Runs `body` with a recovery point. Not inlined, so the frame that __builtin_setjmp
// records stays alive while the body runs.
template <typename Body> [[gnu::noinline]] bool RunGuarded(Body& body) {
    InstallGuard();
    if (g_guardSlot == TLS_OUT_OF_INDEXES) {
        return false;
    }
    GuardFrame frame;
    frame.previous = CurrentGuard();
    if (__builtin_setjmp(frame.jump) != 0) {
        TlsSetValue(g_guardSlot, frame.previous);
        return false;
    }
    TlsSetValue(g_guardSlot, &frame);
    body();
    TlsSetValue(g_guardSlot, frame.previous);
    return true;
}

thread_local DWORD t_lastError = 0;

} // namespace
} // namespace corvane

// The guarded call: `corvane_guarded_call(routine)` calls the routine and returns 1; when an
// exception leaves the routine unhandled, the frame handler below unwinds to
// `corvane_guarded_call_caught`, which returns 0. The unwind restores the non-volatile
// registers from the routine's frames, so the caller finds them as the calling convention
// promises.
extern "C" int corvane_guarded_call(uintptr_t routine);
extern "C" void corvane_guarded_call_caught();

extern "C" EXCEPTION_DISPOSITION corvane_guarded_call_handler(EXCEPTION_RECORD* record,
                                                              void* establisherFrame, CONTEXT* /*context*/,
                                                              DISPATCHER_CONTEXT* dispatch) noexcept {
    if (record == nullptr || dispatch == nullptr || (record->ExceptionFlags & EXCEPTION_UNWIND) != 0 ||
        !corvane::GuardTakesException(record->ExceptionCode)) {
        return ExceptionContinueSearch;
    }
    RtlUnwindEx(establisherFrame, reinterpret_cast<void*>(&corvane_guarded_call_caught), record, nullptr,
                dispatch->ContextRecord, dispatch->HistoryTable);
    return ExceptionContinueSearch; // not reached: the unwind resumes at the landing label
}

asm(R"(
    .text
    .globl corvane_guarded_call
    .globl corvane_guarded_call_caught
    .def corvane_guarded_call; .scl 2; .type 32; .endef
    .p2align 4
corvane_guarded_call:
    .seh_proc corvane_guarded_call
    .seh_handler corvane_guarded_call_handler, @except
    subq $0x28, %rsp
    .seh_stackalloc 0x28
    .seh_endprologue
    call *%rcx
    movl $1, %eax
    jmp 1f
corvane_guarded_call_caught:
    xorl %eax, %eax
1:
    addq $0x28, %rsp
    ret
    .seh_endproc
)");

namespace corvane {

bool MemoryQuery(uintptr_t address, MemoryRegion& region) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof(info)) == 0) {
        t_lastError = GetLastError();
        return false;
    }
    region.base = reinterpret_cast<uintptr_t>(info.BaseAddress);
    region.size = info.RegionSize;
    region.state = info.State;
    region.protect = info.Protect;
    return true;
}

bool MemoryProtect(uintptr_t address, size_t size, uint32_t newProtect, uint32_t& oldProtect) {
    DWORD old = 0;
    if (!VirtualProtect(reinterpret_cast<void*>(address), size, newProtect, &old)) {
        t_lastError = GetLastError();
        return false;
    }
    oldProtect = old;
    return true;
}

uint32_t MemoryLastError() {
    return t_lastError;
}

uintptr_t MemoryAllocateExecutable(size_t size) {
    void* block = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
    if (block == nullptr) {
        t_lastError = GetLastError();
    }
    return reinterpret_cast<uintptr_t>(block);
}

void MemoryFreeExecutable(uintptr_t block) {
    if (block != 0) {
        VirtualFree(reinterpret_cast<void*>(block), 0, MEM_RELEASE);
    }
}

void MemoryFlushInstructionCache(uintptr_t address, size_t size) {
    FlushInstructionCache(GetCurrentProcess(), reinterpret_cast<const void*>(address), size);
}

bool MemoryGuardedRead(void* destination, uintptr_t source, size_t size) {
    auto body = [&] {
        const volatile uint8_t* from = reinterpret_cast<const volatile uint8_t*>(source);
        uint8_t* to = static_cast<uint8_t*>(destination);
        for (size_t i = 0; i < size; ++i) {
            to[i] = from[i];
        }
    };
    return RunGuarded(body);
}

bool MemoryGuardedWrite(uintptr_t destination, const void* source, size_t size) {
    auto body = [&] {
        volatile uint8_t* to = reinterpret_cast<volatile uint8_t*>(destination);
        const uint8_t* from = static_cast<const uint8_t*>(source);
        for (size_t i = 0; i < size; ++i) {
            to[i] = from[i];
        }
    };
    return RunGuarded(body);
}

bool MemoryGuardedCall(uintptr_t code) {
    if (code == 0) {
        return false;
    }
    return corvane_guarded_call(code) != 0;
}

bool MemoryGuardedCompareExchange16(uintptr_t address, uint8_t (&expected)[16], const uint8_t (&desired)[16],
                                    bool& exchanged) {
    if (address % 16 != 0) {
        return false;
    }
    uint64_t compare[2];
    uint64_t replace[2];
    std::memcpy(compare, expected, sizeof(compare));
    std::memcpy(replace, desired, sizeof(replace));
    bool equal = false;
    auto body = [&] {
        uint64_t low = compare[0];
        uint64_t high = compare[1];
        asm volatile("lock cmpxchg16b %[block]"
                     : "=@ccz"(equal), [block] "+m"(*reinterpret_cast<volatile unsigned __int128*>(address)),
                       "+a"(low), "+d"(high)
                     : "b"(replace[0]), "c"(replace[1])
                     : "memory");
        compare[0] = low;
        compare[1] = high;
    };
    if (!RunGuarded(body)) {
        return false;
    }
    exchanged = equal;
    if (!equal) {
        std::memcpy(expected, compare, sizeof(compare));
    }
    return true;
}

bool MemoryGuardedExchange32(uintptr_t address, uint32_t value, uint32_t& previous) {
    uint32_t old = 0;
    auto body = [&] {
        old = __atomic_exchange_n(reinterpret_cast<uint32_t*>(address), value, __ATOMIC_SEQ_CST);
    };
    if (!RunGuarded(body)) {
        return false;
    }
    previous = old;
    return true;
}

bool MemoryGuardedExchange8(uintptr_t address, uint8_t value, uint8_t& previous) {
    uint8_t old = 0;
    auto body = [&] {
        old = __atomic_exchange_n(reinterpret_cast<uint8_t*>(address), value, __ATOMIC_SEQ_CST);
    };
    if (!RunGuarded(body)) {
        return false;
    }
    previous = old;
    return true;
}

bool MemoryGuardedOr32(uintptr_t address, uint32_t bits) {
    auto body = [&] { __atomic_fetch_or(reinterpret_cast<uint32_t*>(address), bits, __ATOMIC_SEQ_CST); };
    return RunGuarded(body);
}

bool MemoryGuardedOr8(uintptr_t address, uint8_t bits) {
    auto body = [&] { __atomic_fetch_or(reinterpret_cast<uint8_t*>(address), bits, __ATOMIC_SEQ_CST); };
    return RunGuarded(body);
}

} // namespace corvane
