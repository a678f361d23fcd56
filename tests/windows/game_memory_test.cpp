// Guarded access on real pages: probes against real protections, faults turned into false
// results on any thread, guarded calls of code that raises, and the camera channel.
#include "debug_output_capture.h"
#include "game/guarded_memory.h"
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <stdexcept>
#include <thread>

extern "C" int corvane_guarded_call(uintptr_t routine);

namespace corvane {
namespace {

constexpr size_t kPage = 0x1000;

// Five pages: read-write, guard, reserved, execute-only, read-only.
class RealPages : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = reinterpret_cast<uintptr_t>(VirtualAlloc(nullptr, 5 * kPage, MEM_RESERVE, PAGE_NOACCESS));
        ASSERT_NE(0u, base_);
        Commit(0, PAGE_READWRITE);
        Commit(1, PAGE_READWRITE | PAGE_GUARD);
        Commit(3, PAGE_EXECUTE);
        Commit(4, PAGE_READONLY);
    }
    void TearDown() override { VirtualFree(reinterpret_cast<void*>(base_), 0, MEM_RELEASE); }
    void Commit(size_t page, DWORD protect) {
        ASSERT_NE(nullptr, VirtualAlloc(reinterpret_cast<void*>(Page(page)), kPage, MEM_COMMIT, protect));
    }
    uintptr_t Page(size_t index) const { return base_ + index * kPage; }

    uintptr_t base_ = 0;
};

TEST_F(RealPages, ProbesFollowTheRealProtections) {
    EXPECT_TRUE(IsRangeReadable(Page(0), kPage));
    EXPECT_FALSE(IsRangeReadable(Page(0) + kPage - 4, 8)); // runs into the guard page
    EXPECT_FALSE(IsRangeReadable(Page(1), 4));
    EXPECT_FALSE(IsRangeReadable(Page(2), 4)); // reserved
    EXPECT_FALSE(IsRangeReadable(Page(3), 4)); // PAGE_EXECUTE
    EXPECT_TRUE(IsRangeReadable(Page(4), 4));
    EXPECT_TRUE(IsRangeReadable(0, 0));
    EXPECT_FALSE(IsRangeReadable(0, 4));
    EXPECT_TRUE(IsAddressWritable(Page(0)));
    EXPECT_FALSE(IsAddressWritable(Page(1)));
    EXPECT_FALSE(IsAddressWritable(Page(2)));
    EXPECT_FALSE(IsAddressWritable(Page(3)));
    EXPECT_FALSE(IsAddressWritable(Page(4)));
    // Probing never trips the guard page.
    MEMORY_BASIC_INFORMATION info{};
    VirtualQuery(reinterpret_cast<void*>(Page(1)), &info, sizeof(info));
    EXPECT_EQ(static_cast<DWORD>(PAGE_READWRITE | PAGE_GUARD), info.Protect);
}

TEST_F(RealPages, FaultingCopiesAndExchangesAnswerFalse) {
    uint8_t buffer[16] = {};
    std::memset(reinterpret_cast<void*>(Page(0)), 0xAB, kPage);
    EXPECT_TRUE(GuardedCopy(buffer, Page(0) + kPage - 16, sizeof(buffer)));
    EXPECT_EQ(0xAB, buffer[15]);
    // A guard page raises once and then loses its guard, as on Windows; that is why every
    // game read probes first.
    EXPECT_FALSE(GuardedCopy(buffer, Page(1), 4));
    EXPECT_TRUE(GuardedCopy(buffer, Page(1), 4));
    EXPECT_FALSE(GuardedCopy(buffer, Page(2) - 8, sizeof(buffer))); // faults mid-copy
    EXPECT_FALSE(GuardedCopy(buffer, Page(2), 4));
    EXPECT_FALSE(GuardedCopy(buffer, 0, 4));

    uint32_t previous = 0;
    EXPECT_TRUE(MemoryGuardedExchange32(Page(0), 7, previous));
    EXPECT_EQ(0xABABABABu, previous);
    EXPECT_FALSE(MemoryGuardedExchange32(Page(4), 7, previous)); // read-only
    EXPECT_FALSE(MemoryGuardedOr8(Page(2), 1));
    EXPECT_FALSE(MemoryGuardedWrite(Page(4), buffer, 4));
    EXPECT_EQ(0u, *reinterpret_cast<const uint32_t*>(Page(4)));
}

TEST_F(RealPages, EveryThreadHasItsOwnRecoveryPoint) {
    const uintptr_t reserved = Page(2);
    int faults = 0;
    std::thread worker([&] {
        uint32_t value = 0;
        for (int i = 0; i < 100; ++i) {
            faults += MemoryGuardedRead(&value, reserved, 4) ? 0 : 1;
        }
    });
    uint32_t value = 0;
    for (int i = 0; i < 100; ++i) {
        EXPECT_FALSE(MemoryGuardedRead(&value, reserved + 4, 4));
    }
    worker.join();
    EXPECT_EQ(100, faults);
}

int g_calls = 0;
void CountCall() {
    ++g_calls;
}
void WriteThroughNull() {
    *static_cast<volatile int*>(nullptr) = 1;
}
void RaiseSoftwareException() {
    RaiseException(0xE0000001, 0, 0, nullptr);
}
// A guarded call whose routine survives a fault of its own and returns normally.
void NestedFault() {
    uint32_t value = 0;
    if (!MemoryGuardedRead(&value, 0x10, 4)) {
        ++g_calls;
    }
}

TEST(GuardedCallWin32, RaisingRoutinesAreContained) {
    g_calls = 0;
    EXPECT_TRUE(GuardedCall(reinterpret_cast<uintptr_t>(&CountCall)));
    EXPECT_FALSE(GuardedCall(reinterpret_cast<uintptr_t>(&WriteThroughNull)));
    EXPECT_FALSE(GuardedCall(reinterpret_cast<uintptr_t>(&RaiseSoftwareException)));
    EXPECT_TRUE(GuardedCall(reinterpret_cast<uintptr_t>(&NestedFault)));
    EXPECT_FALSE(GuardedCall(0));
    EXPECT_EQ(2, g_calls);
    // Debugger output is an informational exception and passes through a guarded call.
    EXPECT_TRUE(
        GuardedCall(reinterpret_cast<uintptr_t>(+[] { OutputDebugStringA("inside a guarded call\n"); })));
}

// A routine that raises an exception and handles it itself, through a structured exception
// handler on its own frame (the way a game routine compiled with __try/__except does): the
// guard around the call must not cut in ahead of that handler.
constexpr DWORD kOwnException = 0xE06D7363; // the code C++ exceptions of the game's compiler carry
int g_ownHandled = 0;
int g_afterOwnRaise = 0;

extern "C" EXCEPTION_DISPOSITION corvane_test_own_handler(EXCEPTION_RECORD* record, void*, CONTEXT*, void*) {
    if ((record->ExceptionFlags & EXCEPTION_UNWIND) == 0 && record->ExceptionCode == kOwnException) {
        ++g_ownHandled;
        return ExceptionContinueExecution;
    }
    return ExceptionContinueSearch;
}

extern "C" void corvane_test_raise_own() {
    RaiseException(kOwnException, 0, 0, nullptr);
    ++g_afterOwnRaise;
}

extern "C" void corvane_test_handles_its_own();
asm(R"(
    .text
    .globl corvane_test_handles_its_own
    .def corvane_test_handles_its_own; .scl 2; .type 32; .endef
corvane_test_handles_its_own:
    .seh_proc corvane_test_handles_its_own
    .seh_handler corvane_test_own_handler, @except
    subq $0x28, %rsp
    .seh_stackalloc 0x28
    .seh_endprologue
    call corvane_test_raise_own
    nop
    addq $0x28, %rsp
    ret
    .seh_endproc
)");

int g_caughtInside = 0;
void ThrowsAndCatchesInside() {
    try {
        throw std::runtime_error("handled inside the routine");
    } catch (const std::runtime_error&) {
        ++g_caughtInside;
    }
}

TEST(GuardedCallWin32, ExceptionsTheRoutineHandlesItselfNeverReachTheGuard) {
    g_ownHandled = 0;
    g_afterOwnRaise = 0;
    g_caughtInside = 0;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_TRUE(GuardedCall(reinterpret_cast<uintptr_t>(&corvane_test_handles_its_own)));
        EXPECT_EQ(round + 1, g_ownHandled);
        EXPECT_EQ(round + 1, g_afterOwnRaise); // the routine ran to its end
        EXPECT_TRUE(GuardedCall(reinterpret_cast<uintptr_t>(&ThrowsAndCatchesInside)));
        EXPECT_EQ(round + 1, g_caughtInside);
        // An unhandled fault is caught, and the thread is sound for the next round.
        EXPECT_FALSE(GuardedCall(reinterpret_cast<uintptr_t>(&WriteThroughNull)));
        EXPECT_FALSE(GuardedCall(reinterpret_cast<uintptr_t>(&RaiseSoftwareException)));
    }
    // The thread's own exception handling still works after the caught faults.
    int caught = 0;
    try {
        throw 5;
    } catch (int value) {
        caught = value;
    }
    EXPECT_EQ(5, caught);
}

// Registers that the calling convention keeps across a call survive a caught fault.
extern "C" int corvane_test_fault_keeping_registers(uintptr_t faulting);
asm(R"(
    .text
    .globl corvane_test_fault_keeping_registers
    .def corvane_test_fault_keeping_registers; .scl 2; .type 32; .endef
corvane_test_fault_keeping_registers:
    .seh_proc corvane_test_fault_keeping_registers
    pushq %rbx
    .seh_pushreg %rbx
    pushq %rsi
    .seh_pushreg %rsi
    pushq %rdi
    .seh_pushreg %rdi
    pushq %r12
    .seh_pushreg %r12
    subq $0x20, %rsp
    .seh_stackalloc 0x20
    .seh_endprologue
    movq $0x1111, %rbx
    movq $0x2222, %rsi
    movq $0x3333, %rdi
    movq $0x4444, %r12
    call corvane_guarded_call
    xorl %eax, %eax
    cmpq $0x1111, %rbx
    jne 1f
    cmpq $0x2222, %rsi
    jne 1f
    cmpq $0x3333, %rdi
    jne 1f
    cmpq $0x4444, %r12
    jne 1f
    movl $1, %eax
1:
    addq $0x20, %rsp
    popq %r12
    popq %rdi
    popq %rsi
    popq %rbx
    ret
    .seh_endproc
)");

// Clobbers the registers the convention says it keeps (saving them in its prologue, as
// compiled code does), then faults.
extern "C" void corvane_test_clobber_and_fault();
asm(R"(
    .text
    .globl corvane_test_clobber_and_fault
    .def corvane_test_clobber_and_fault; .scl 2; .type 32; .endef
corvane_test_clobber_and_fault:
    .seh_proc corvane_test_clobber_and_fault
    pushq %rbx
    .seh_pushreg %rbx
    pushq %rsi
    .seh_pushreg %rsi
    pushq %rdi
    .seh_pushreg %rdi
    pushq %r12
    .seh_pushreg %r12
    subq $0x28, %rsp
    .seh_stackalloc 0x28
    .seh_endprologue
    xorl %ebx, %ebx
    xorl %esi, %esi
    xorl %edi, %edi
    xorl %r12d, %r12d
    movl %eax, 0
    nop
    addq $0x28, %rsp
    popq %r12
    popq %rdi
    popq %rsi
    popq %rbx
    ret
    .seh_endproc
)");

TEST(GuardedCallWin32, ACaughtFaultLeavesTheCallersRegistersAsTheyWere) {
    EXPECT_EQ(1, corvane_test_fault_keeping_registers(
                     reinterpret_cast<uintptr_t>(&corvane_test_clobber_and_fault)));
}

// A stack overflow inside a guarded call belongs to the handlers outside it: the guard cannot
// give the thread its guard page back. The routine raises the overflow code; the frame around
// the guarded call continues it, so the routine runs to its end.
int g_outerOverflows = 0;
int g_afterOverflow = 0;

extern "C" EXCEPTION_DISPOSITION corvane_test_outer_overflow_handler(EXCEPTION_RECORD* record, void*,
                                                                     CONTEXT*, void*) {
    if ((record->ExceptionFlags & EXCEPTION_UNWIND) == 0 &&
        record->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
        ++g_outerOverflows;
        return ExceptionContinueExecution;
    }
    return ExceptionContinueSearch;
}

extern "C" void corvane_test_raise_overflow() {
    RaiseException(EXCEPTION_STACK_OVERFLOW, 0, 0, nullptr);
    ++g_afterOverflow;
}

// corvane_test_guarded_call_in_frame(routine): corvane_guarded_call(routine) from a frame whose
// handler takes stack overflows.
extern "C" int corvane_test_guarded_call_in_frame(uintptr_t routine);
asm(R"(
    .text
    .globl corvane_test_guarded_call_in_frame
    .def corvane_test_guarded_call_in_frame; .scl 2; .type 32; .endef
corvane_test_guarded_call_in_frame:
    .seh_proc corvane_test_guarded_call_in_frame
    .seh_handler corvane_test_outer_overflow_handler, @except
    subq $0x28, %rsp
    .seh_stackalloc 0x28
    .seh_endprologue
    call corvane_guarded_call
    nop
    addq $0x28, %rsp
    ret
    .seh_endproc
)");

TEST(GuardedCallWin32, AStackOverflowIsLeftToTheHandlersOutside) {
    g_outerOverflows = 0;
    g_afterOverflow = 0;
    EXPECT_EQ(1,
              corvane_test_guarded_call_in_frame(reinterpret_cast<uintptr_t>(&corvane_test_raise_overflow)));
    EXPECT_EQ(1, g_outerOverflows);
    EXPECT_EQ(1, g_afterOverflow);
    // Other faults are still the guard's.
    EXPECT_EQ(0, corvane_test_guarded_call_in_frame(reinterpret_cast<uintptr_t>(&WriteThroughNull)));
    EXPECT_EQ(1, g_outerOverflows);
}

constexpr DWORD kTestException = 0xE0000002;

LONG CALLBACK ContinueTestException(EXCEPTION_POINTERS* info) {
    return info->ExceptionRecord->ExceptionCode == kTestException ? EXCEPTION_CONTINUE_EXECUTION
                                                                  : EXCEPTION_CONTINUE_SEARCH;
}

TEST(GuardedCallWin32, ExceptionsOutsideAGuardLeaveTheLastErrorAlone) {
    uint32_t value = 0;
    EXPECT_FALSE(MemoryGuardedRead(&value, 0x10, 4)); // the guard handler is in place
    PVOID handler = AddVectoredExceptionHandler(0, &ContinueTestException);
    SetLastError(1234);
    RaiseException(kTestException, 0, 0, nullptr);
    EXPECT_EQ(1234u, GetLastError());
    RemoveVectoredExceptionHandler(handler);
}

TEST(MemoryPortWin32, ExecutableBlocksRunWhatIsWrittenIntoThem) {
    const uintptr_t block = MemoryAllocateExecutable(16);
    ASSERT_NE(0u, block);
    const uint8_t returnSeven[] = {0xB8, 0x07, 0x00, 0x00, 0x00, 0xC3}; // mov eax, 7; ret
    ASSERT_TRUE(MemoryGuardedWrite(block, returnSeven, sizeof(returnSeven)));
    MemoryFlushInstructionCache(block, sizeof(returnSeven));
    EXPECT_EQ(7, reinterpret_cast<int (*)()>(block)());
    MemoryRegion region;
    ASSERT_TRUE(MemoryQuery(block, region));
    EXPECT_EQ(kMemCommit, region.state);
    EXPECT_EQ(kPageExecuteReadWrite, region.protect & 0xFF);
    uint32_t old = 0;
    EXPECT_TRUE(MemoryProtect(block, 1, kPageExecuteRead, old));
    EXPECT_EQ(kPageExecuteReadWrite, old);
    MemoryFreeExecutable(block);
    ASSERT_TRUE(MemoryQuery(block, region));
    EXPECT_NE(kMemCommit, region.state);
    EXPECT_FALSE(MemoryProtect(block, 1, kPageReadWrite, old));
    EXPECT_NE(0u, MemoryLastError());
}

TEST(CameraChannelWin32, MessagesReachTheDebuggerOutput) {
    testing_support::DebugOutputCapture capture;
    SetCameraLogSink(nullptr);
    CameraLogFormat("state %d", 17);
    EXPECT_NE(std::string::npos, capture.Text().find("[CorvaneVR/Camera] state 17\n"));
}

} // namespace
} // namespace corvane
