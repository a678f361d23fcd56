// The vectored handler in front of every exception of the process: anything that is not
// a breakpoint at one of the game's control-block writers passes on untouched.
#include "game/composite_detector.h"
#include "game/game_host_win32.h"

namespace corvane {

LONG CALLBACK CompositeBreakpointHandler(EXCEPTION_POINTERS* info) noexcept {
    if (info == nullptr || info->ExceptionRecord == nullptr || info->ContextRecord == nullptr ||
        info->ExceptionRecord->ExceptionCode != EXCEPTION_BREAKPOINT) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    CONTEXT* context = info->ContextRecord;
    WriterRegisters registers;
    registers.rcx = context->Rcx;
    registers.rsi = context->Rsi;
    registers.r15 = context->R15;
    registers.rdx = context->Rdx;
    registers.rax = context->Rax;
    registers.rbp = context->Rbp;
    uintptr_t resume = 0;
    // The emulated store must leave the game thread's last error as the real store would.
    const DWORD lastError = GetLastError();
    const bool handled = HandleCompositeBreakpoint(
        reinterpret_cast<uintptr_t>(info->ExceptionRecord->ExceptionAddress), registers, resume);
    SetLastError(lastError);
    if (!handled) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    context->Rip = resume;
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace corvane
