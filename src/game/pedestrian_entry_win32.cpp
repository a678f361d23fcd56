// The entry the patched pedestrian gate jumps to. It keeps every argument register of the
// game's call, lets corvane_prepare_pedestrian_step scale the step (second argument, xmm1),
// and continues in the trampoline with a jump, so the game's stack arguments and return
// address stay as they were. Without a trampoline it returns 0.
//
// The routine it calls lives in another file, so that a test can put a stand-in behind it.
#include "game/game_host_win32.h"

extern "C" uintptr_t corvane_prepare_pedestrian_step(float* step) noexcept;
extern "C" void corvane_pedestrian_step_entry();

// Frame: four pushed argument registers, 0x20 bytes of home space for the call, and
// slots for xmm0, xmm2, xmm3 and the step; the call happens 16-byte aligned. The prologue is
// described in the unwind data, so that an exception raised below the call (one no handler
// claims reaches the game's own crash handler) and any stack walk pass through this frame
// to the game's caller.
asm(R"(
    .text
    .globl corvane_pedestrian_step_entry
    .def corvane_pedestrian_step_entry; .scl 2; .type 32; .endef
    .p2align 4
    .seh_proc corvane_pedestrian_step_entry
corvane_pedestrian_step_entry:
    pushq %rcx
    .seh_pushreg %rcx
    pushq %rdx
    .seh_pushreg %rdx
    pushq %r8
    .seh_pushreg %r8
    pushq %r9
    .seh_pushreg %r9
    subq $0x68, %rsp
    .seh_stackalloc 0x68
    .seh_endprologue
    movdqu %xmm0, 0x20(%rsp)
    movdqu %xmm2, 0x30(%rsp)
    movdqu %xmm3, 0x40(%rsp)
    movss %xmm1, 0x50(%rsp)
    leaq 0x50(%rsp), %rcx
    call corvane_prepare_pedestrian_step
    movss 0x50(%rsp), %xmm1
    movdqu 0x20(%rsp), %xmm0
    movdqu 0x30(%rsp), %xmm2
    movdqu 0x40(%rsp), %xmm3
    addq $0x68, %rsp
    popq %r9
    popq %r8
    popq %rdx
    popq %rcx
    testq %rax, %rax
    jz 1f
    jmpq *%rax
1:
    xorl %eax, %eax
    ret
    .seh_endproc
)");

namespace corvane {

uintptr_t PedestrianStepDetourEntry() {
    return reinterpret_cast<uintptr_t>(&corvane_pedestrian_step_entry);
}

} // namespace corvane
