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
// to the game's caller, from whichever instruction it was stopped at.
//
// Where to go is decided before the frame comes down. Returning 0 is an epilogue every unwinder
// recognises (the allocation released, the pops, `ret`). Going on into the trampoline ends in
// `jmp rax`, which not every unwinder takes for the end of an epilogue; so each instruction of
// that way out is a function of its own whose unwind data says exactly what is still on the
// stack there, and which any unwinder reads the same way whether or not it also recognises
// the epilogue.
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
    testq %rax, %rax
    jnz corvane_pedestrian_step_leave_0
    addq $0x68, %rsp
    popq %r9
    popq %r8
    popq %rdx
    popq %rcx
    ret
    .seh_endproc

    .seh_proc corvane_pedestrian_step_leave_0
corvane_pedestrian_step_leave_0:
    .seh_pushreg %rcx
    .seh_pushreg %rdx
    .seh_pushreg %r8
    .seh_pushreg %r9
    .seh_stackalloc 0x68
    .seh_endprologue
    addq $0x68, %rsp
    .seh_endproc

    .seh_proc corvane_pedestrian_step_leave_1
corvane_pedestrian_step_leave_1:
    .seh_pushreg %rcx
    .seh_pushreg %rdx
    .seh_pushreg %r8
    .seh_pushreg %r9
    .seh_endprologue
    popq %r9
    .seh_endproc

    .seh_proc corvane_pedestrian_step_leave_2
corvane_pedestrian_step_leave_2:
    .seh_pushreg %rcx
    .seh_pushreg %rdx
    .seh_pushreg %r8
    .seh_endprologue
    popq %r8
    .seh_endproc

    .seh_proc corvane_pedestrian_step_leave_3
corvane_pedestrian_step_leave_3:
    .seh_pushreg %rcx
    .seh_pushreg %rdx
    .seh_endprologue
    popq %rdx
    .seh_endproc

    .seh_proc corvane_pedestrian_step_leave_4
corvane_pedestrian_step_leave_4:
    .seh_pushreg %rcx
    .seh_endprologue
    popq %rcx
    .seh_endproc

    .seh_proc corvane_pedestrian_step_leave_5
corvane_pedestrian_step_leave_5:
    .seh_endprologue
    .byte 0x48, 0xFF, 0xE0
    .seh_endproc
)");

namespace corvane {

uintptr_t PedestrianStepDetourEntry() {
    return reinterpret_cast<uintptr_t>(&corvane_pedestrian_step_entry);
}

} // namespace corvane
