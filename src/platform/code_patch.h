// The one routine that changes game code: every patch (the limiter and pedestrian gate, the
// detour sites, the composite breakpoints) goes through it, so that no running thread ever
// executes a half-written sequence. Called on the render thread, inside the validation run
// and on the thread that creates the device; concurrent patches are written one after the other,
// and the sites that change together are written under one stop of the threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane {

enum class CodePatchResult {
    Written,          // bytes written and the old protection restored
    ProtectFailed,    // nothing changed
    WriteFailed,      // nothing written (the access faulted or threads could not be stopped safely);
                      // the old protection was put back
    RestoreFailed,    // bytes written, but the old protection could not be restored
    Busy,             // nothing written: a thread stayed inside the bytes (or could not be looked at)
                      // for as long as the caller could wait, or another patch was being written;
                      // a later attempt may succeed. The old protection was put back.
    ThreadsLeftMoved, // nothing written (the old bytes are back), but a thread that was moved as
                      // the site's `moves` said could not be moved back when another could not be
                      // moved at all: what the moves lead to (a trampoline) must stay in place.
};

// The longest patch the routine writes (a detour site is at most 19 bytes).
inline constexpr size_t kMaxCodePatchSize = 32;
// The most sites written under one stop of the threads.
inline constexpr size_t kMaxCodeSites = 16;

// How long a write may wait for the threads to be clear of the bytes.
enum class CodeWriteWait {
    // Up to 200 rounds of stopping the threads, and behind any other patch: validation and
    // device creation, which run once. Running out of rounds is WriteFailed.
    Patient,
    // Two rounds within 8 milliseconds (more after frames that ran out of time; see
    // code_patch.cpp), and never behind another patch: the render thread inside Present, which
    // fails the frame's write with Busy and tries again on a later frame.
    Frame,
};

// Where a thread stopped at `site + offset` (an instruction start inside the bytes being
// replaced) continues after the write, e.g. the same instruction in a trampoline.
struct ThreadMove {
    size_t offset = 0;
    uintptr_t destination = 0;
};

// One site of a batch: the bytes it receives and where threads inside it go.
struct CodeSite {
    uintptr_t site = 0;
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    std::span<const ThreadMove> moves;
};

// Writes every site of the batch under one stop of the process's other threads (the cost of
// stopping them grows with their number) and gives each site its own result, in order. Each
// site is made writable (read-write-execute) before the stop, written, given its previous
// protection back and flushed from the instruction cache.
//
// A patch inside one aligned 16-byte block is one atomic 16-byte compare-exchange. A thread
// stopped strictly inside a site's bytes is moved as the site's `moves` say; without a move
// for its offset, the threads are let run on and stopped again until none is inside any
// site, within the rounds `wait` allows. When the threads cannot be stopped, only sites
// inside one block with no `moves` (their old bytes are one instruction) are written, each
// in its one atomic store. More than kMaxCodeSites sites are refused (ProtectFailed).
void WriteCodeSites(std::span<const CodeSite> sites, std::span<CodePatchResult> results,
                    CodeWriteWait wait = CodeWriteWait::Patient) noexcept;

// Sites that another component writes under the same stop as a batch it does not own (the
// detours, written together with the validation's breakpoints).
struct CodeSiteCompanion {
    // Fills at most `room.size()` sites and returns how many; they stay valid until `finish`.
    size_t (*prepare)(std::span<CodeSite> room) noexcept = nullptr;
    // Their results, in the same order.
    void (*finish)(std::span<const CodePatchResult> results) noexcept = nullptr;
};

// One site on its own (see WriteCodeSites).
[[nodiscard]] CodePatchResult WriteCodeBytes(uintptr_t site, const uint8_t* bytes, size_t size,
                                             std::span<const ThreadMove> moves = {},
                                             CodeWriteWait wait = CodeWriteWait::Patient) noexcept;

// True when `size` bytes at `address` are readable and equal `expected`.
[[nodiscard]] bool CodeBytesEqual(uintptr_t address, const uint8_t* expected, size_t size) noexcept;

} // namespace corvane
