// The one routine that changes game code: every patch (the limiter and pedestrian gate, the
// detour sites, the composite breakpoints) goes through it, so that no running thread ever
// executes a half-written sequence. Called on the render thread, inside the validation run
// and on the thread that creates the device; concurrent patches are written one after the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane {

enum class CodePatchResult {
    Written,       // bytes written and the old protection restored
    ProtectFailed, // nothing changed
    WriteFailed,   // nothing written (the access faulted or threads could not be stopped safely);
                   // the old protection was put back
    RestoreFailed, // bytes written, but the old protection could not be restored
};

// The longest patch the routine writes (a detour site is at most 19 bytes).
inline constexpr size_t kMaxCodePatchSize = 32;

// Where a thread stopped at `site + offset` (an instruction start inside the bytes being
// replaced) continues after the write, e.g. the same instruction in a trampoline.
struct ThreadMove {
    size_t offset = 0;
    uintptr_t destination = 0;
};

// Makes the site writable (read-write-execute), writes the bytes, restores the previous
// protection and flushes the instruction cache over the site.
//
// The bytes are written with the process's other threads stopped, and a patch inside one
// aligned 16-byte block is one atomic 16-byte compare-exchange. A thread stopped strictly
// inside the patched bytes is moved as `moves` says, or, without a move for its offset, let
// run on and the write retried until no thread is inside. When the threads cannot be stopped,
// only a patch inside one block with no `moves` (its old bytes are one instruction) is
// written, in its one atomic store.
[[nodiscard]] CodePatchResult WriteCodeBytes(uintptr_t site, const uint8_t* bytes, size_t size,
                                             std::span<const ThreadMove> moves = {}) noexcept;

// True when `size` bytes at `address` are readable and equal `expected`.
[[nodiscard]] bool CodeBytesEqual(uintptr_t address, const uint8_t* expected, size_t size) noexcept;

} // namespace corvane
