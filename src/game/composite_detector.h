// Catches the game closing its native control block: a breakpoint replaces each of the
// game's stores into that word, and the breakpoint handler performs the store itself and
// posts a pending handoff for first person. Installed inside the validation run; the
// handler runs on whichever game thread executes a store.
#pragma once

#include "platform/code_patch.h"

#include <cstdint>
#include <span>

namespace corvane {

inline constexpr uint64_t kControlBlockRva = 0xC6066C;
inline constexpr uint64_t kCompositeKindRva = 0xC64DC4;

inline constexpr uint32_t kHandoffKind2 = 1;
inline constexpr uint32_t kHandoffKind3 = 2;
inline constexpr uint32_t kHandoffOtherKind = 4;

// One game instruction that stores a 32-bit value into the control block.
struct CompositeWriter {
    uint64_t rva;
    uint8_t length;
    uint8_t valueSource; // 0 Rcx, 1 Rsi, 2 the constant 1, 3 R15, 4 Rdx, 5 Rax, 6 Rbp
    uint8_t expected[10];
    uint8_t lengthCheck; // must equal `length`
};

// The registers a writer can take its value from, as the thread context holds them.
struct WriterRegisters {
    uint64_t rcx = 0;
    uint64_t rsi = 0;
    uint64_t r15 = 0;
    uint64_t rdx = 0;
    uint64_t rax = 0;
    uint64_t rbp = 0;
};

std::span<const CompositeWriter> CompositeWriterTable();

// Verifies all writers, then places the breakpoints under one stop of the game's threads,
// together with the companion's sites (written even when the breakpoints cannot be); true
// when all breakpoints are in place. A partial installation is rolled back, and the handler,
// once registered, stays (it passes every other breakpoint through).
[[nodiscard]] bool InstallCompositeDetector(const CodeSiteCompanion* companion = nullptr);

// The body of the breakpoint handler: when `address` is one of the writers, emulates its
// store, posts a handoff on a 0 -> non-zero transition, sets `resume` past the
// instruction and returns true. False for any other breakpoint.
[[nodiscard]] bool HandleCompositeBreakpoint(uintptr_t address, const WriterRegisters& registers,
                                             uintptr_t& resume) noexcept;

} // namespace corvane
