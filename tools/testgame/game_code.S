# The stand-in game's own code and state at the addresses the supported build uses them.
# layout.ld places .gtext at RVA 0x1000 and .gstate so that it begins at RVA 0xC00000 and
# ends where the image ends; every routine and word below sits at its RVA through .org.
# Routines are called with the Windows x64 convention by the C++ side of the game.

    .set TEXT_RVA, 0x1000
    .set STATE_RVA, 0xC00000

    .macro at rva
    .org \rva - TEXT_RVA, 0xCC
    .endm
    # Straight-line padding inside a routine, so its next instruction starts at \rva.
    .macro pad_to rva
    .org \rva - TEXT_RVA, 0x90
    .endm
    .macro data_at rva
    .org \rva - STATE_RVA
    .endm

    .section .gtext,"xr"

# Projection setup of the gameplay camera: forwards (angle, aspect, near, far) to the
# projection function from its one call site (return address RVA 0x76E45).
    at 0x76E00
    .globl testgame_gameplay_projection
testgame_gameplay_projection:
    subq $0x28, %rsp
    pad_to 0x76E40
    call final_projection
    addq $0x28, %rsp
    ret

# The gameplay camera update: hands (eye, target, flags) to the final camera function from
# its gameplay call site (return address RVA 0x772B0).
    at 0x77280
    .globl testgame_gameplay_camera
testgame_gameplay_camera:
    subq $0x28, %rsp
    pad_to 0x772AB
    call final_camera
    addq $0x28, %rsp
    ret

# Cutscene cameras reach the same final camera function from another call site.
    at 0x78100
    .globl testgame_cutscene_camera
testgame_cutscene_camera:
    subq $0x28, %rsp
    call final_camera
    addq $0x28, %rsp
    ret

# Another caller of the projection function (an alternative view setup of the game).
    at 0x78200
    .globl testgame_other_projection
testgame_other_projection:
    subq $0x28, %rsp
    call final_projection
    addq $0x28, %rsp
    ret

# The thirteen stores into the control block. Each routine takes the value in ECX, moves it
# into the register its store reads, and stores it with the instruction at the writer RVA.
    .macro writer_entry name, rva
    .org \rva - 0x10 - TEXT_RVA, 0xCC
    .globl \name
\name:
    .endm

    writer_entry testgame_control_writer_1, 0x842FE
    pad_to 0x842FE
    movl %ecx, control_block(%rip)
    ret

    writer_entry testgame_control_writer_2, 0x84617
    pushq %rsi
    movl %ecx, %esi
    pad_to 0x84617
    movl %esi, control_block(%rip)
    popq %rsi
    ret

    writer_entry testgame_control_writer_3, 0x87CC2
    pad_to 0x87CC2
    movl $1, control_block(%rip)
    ret

    writer_entry testgame_control_writer_4, 0x87EF6
    pushq %r15
    movl %ecx, %r15d
    pad_to 0x87EF6
    movl %r15d, control_block(%rip)
    popq %r15
    ret

    writer_entry testgame_control_writer_5, 0x88198
    pushq %r15
    movl %ecx, %r15d
    pad_to 0x88198
    movl %r15d, control_block(%rip)
    popq %r15
    ret

# Pedestrian movement: (pedestrian, step, unused, step counter). Moves the pedestrian along
# its heading by step x its speed factor at +0x1B8, adds the distance to +0x1BC, counts the
# step in the u32 the fourth argument points at (if any) and returns the distance.
    at 0x13FF50
    .globl testgame_pedestrian_step
testgame_pedestrian_step:
    movss 0x1B8(%rcx), %xmm4
    {load} xorl %r8d, %r8d
    {load} movq %rcx, %rdx
    mulss %xmm1, %xmm4
    movss 0x10(%rdx), %xmm0
    mulss %xmm4, %xmm0
    addss 0x00(%rdx), %xmm0
    movss %xmm0, 0x00(%rdx)
    movss 0x18(%rdx), %xmm0
    mulss %xmm4, %xmm0
    addss 0x08(%rdx), %xmm0
    movss %xmm0, 0x08(%rdx)
    movss 0x1BC(%rdx), %xmm0
    addss %xmm4, %xmm0
    movss %xmm0, 0x1BC(%rdx)
    testq %r9, %r9
    jz 1f
    incl (%r9)
1:
    movaps %xmm4, %xmm0
    ret

    writer_entry testgame_control_writer_6, 0x177CB9
    pad_to 0x177CB9
    movl $1, control_block(%rip)
    ret

# Leaves the game's own first-person camera: clears its first-person record and counts.
    at 0x178830
    .globl testgame_state17_cleanup
testgame_state17_cleanup:
    movl $0, first_person_record(%rip)
    movl $0, first_person_record+4(%rip)
    incl state17_cleanups(%rip)
    ret

    writer_entry testgame_control_writer_7, 0x19EE4D
    pad_to 0x19EE4D
    movl $1, control_block(%rip)
    ret

    writer_entry testgame_control_writer_8, 0x1A8C6A
    pad_to 0x1A8C6A
    movl $1, control_block(%rip)
    ret

    writer_entry testgame_control_writer_9, 0x1B4248
    pad_to 0x1B4248
    movl $1, control_block(%rip)
    ret

    writer_entry testgame_control_writer_10, 0x1F4DC2
    pad_to 0x1F4DC2
    movl $1, control_block(%rip)
    ret

    writer_entry testgame_control_writer_11, 0x207100
    movl %ecx, %edx
    pad_to 0x207100
    movl %edx, control_block(%rip)
    ret

    writer_entry testgame_control_writer_12, 0x2077D8
    movl %ecx, %eax
    pad_to 0x2077D8
    movl %eax, control_block(%rip)
    ret

    writer_entry testgame_control_writer_13, 0x208110
    pushq %rbp
    movl %ecx, %ebp
    pad_to 0x208110
    movl %ebp, control_block(%rip)
    popq %rbp
    ret

# The frame limiter: (wanted request) -> interval code. Compares request byte C (as a 32-bit
# word) and request byte A with the wanted value, and stores the wanted value into A, which
# drops any first-person 60 request that the game itself did not make.
    at 0x24C150
    .globl testgame_frame_limiter
testgame_frame_limiter:
    pushq %rdi
    movl %ecx, %edi
    pad_to 0x24C169
    cmpl %edi, request_byte_c(%rip)
    movl $1, %ecx
    cmovnel %edi, %ecx
    cmpb %dil, request_byte_a(%rip)
    je 2f
    leal 2(%rdi), %ecx
    movb %dil, request_byte_a(%rip)
2:
    movl %ecx, %eax
    popq %rdi
    ret

# The final camera function: (eye, target, flags). Builds the frame's view from the two
# points it receives.
    at 0x24D7D0
final_camera:
    {load} movq %rsp, %rax
    movq %rbx, 0x08(%rax)
    movq %rsi, 0x10(%rax)
    pushq %rdi
    subq $0x90, %rsp
    call TestgameBuildView
    addq $0x90, %rsp
    popq %rdi
    movq 0x08(%rsp), %rbx
    movq 0x10(%rsp), %rsi
    ret

# The projection function: (angle in 1/65536 turns, aspect, near, far). Builds the frame's
# projection.
    at 0x24F980
final_projection:
    {load} movq %rsp, %rax
    pushq %rbp
    leaq -0x5F(%rax), %rbp
    subq $0xF0, %rsp
    call TestgameBuildProjection
    addq $0xF0, %rsp
    popq %rbp
    ret

# The allocator: (arena, size, alignment, fill byte) -> block or null. Carves the block from
# the arena's free end and fills it. Arena: base, capacity, used, block count (u64 each).
    at 0x290BA0
    .globl testgame_allocate
testgame_allocate:
    {rex} pushq %rbx
    pushq %rbp
    pushq %rdi
    pushq %r12
    pushq %r14
    pushq %r15
    subq $0x58, %rsp
    xorl %eax, %eax
    testq %rcx, %rcx
    jz 9f
    testq %r8, %r8
    jz 9f
    movq %rcx, %rbx
    leaq -1(%r8), %r12
    testq %r8, %r12
    jnz 9f
    movq 0x00(%rbx), %r14
    movq 0x10(%rbx), %rbp
    addq %r14, %rbp
    addq %r12, %rbp
    notq %r12
    andq %r12, %rbp
    movq %rbp, %r15
    subq %r14, %r15
    addq %rdx, %r15
    jc 9f
    cmpq 0x08(%rbx), %r15
    ja 9f
    movq %r15, 0x10(%rbx)
    incq 0x18(%rbx)
    movq %rbp, %rdi
    movq %rdx, %rcx
    movl %r9d, %eax
    rep stosb
    movq %rbp, %rax
9:
    addq $0x58, %rsp
    popq %r15
    popq %r14
    popq %r12
    popq %rdi
    popq %rbp
    popq %rbx
    ret

    .org 0x292000 - TEXT_RVA, 0xCC

# The game's state words. The section holds no file bytes; everything starts at zero.
    .section .gstate,"bw"

    data_at 0xC6066C
    .globl control_block
control_block:
    .space 4
    data_at 0xC64DC4
    .globl composite_kind
composite_kind:
    .space 4
    data_at 0xD87DA6
    .globl request_byte_b
request_byte_b:
    .space 1
    data_at 0xEB0484
    .globl simulation_delta
simulation_delta:
    .space 4
    data_at 0xEB04C8
    .globl request_byte_a
request_byte_a:
    .space 1
    data_at 0x1478530
    .globl request_byte_c
request_byte_c:
    .space 4
    data_at 0x1478600
    .globl first_person_record
first_person_record:
    .space 16
    .globl state17_cleanups
state17_cleanups:
    .space 4
    data_at 0x5E151F0
    .globl camera_control_word
camera_control_word:
    .space 4
    .globl camera_state
camera_state:
    .space 4
    data_at 0x9F37D60
    .globl actor_registry
actor_registry:
    .space 8
    data_at 0x9F50EB8
    .globl player_object
player_object:
    .space 8
