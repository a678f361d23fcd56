// The three inline detours on game code (final camera, common-frustum projection, allocator
// fallback): what an installed detour publishes for its handler. Installation runs on the
// thread that creates the device; the handlers read the publication on game threads.
//
// Installation checks the site's bytes (and for the first two the call site that reaches it),
// writes a trampoline holding the replaced instructions and a jump back, makes it
// execute-read, publishes it, and only then writes the jump at the site through the one
// code-writing routine. The three detours differ only in their description.
#pragma once

#include "platform/code_patch.h"

#include <cstddef>
#include <cstdint>

namespace corvane {

enum class GameDetour : uint32_t {
    FinalCamera = 0,
    Projection = 1,
    AllocatorFallback = 2,
};

inline constexpr uint32_t kGameDetourCount = 3;

inline constexpr size_t kDetourTrampolineSize = 64;
inline constexpr size_t kMaxDetourLength = 19;
inline constexpr size_t kDetourJumpLength = 14; // FF 25 00 00 00 00, then the 8-byte target
inline constexpr size_t kDetourCallLength = 5;  // E8 and a 32-bit displacement

// One detour: where it goes, what it replaces, the call site it serves and its handler.
struct DetourDescription {
    GameDetour detour = GameDetour::FinalCamera;
    uint64_t siteRva = 0;
    uint8_t length = 0; // replaced bytes: 14 to 19
    uint8_t expected[kMaxDetourLength] = {};
    // Offsets of the replaced instructions after the first: a thread stopped at one of them
    // while the site is written continues with the same instruction in the trampoline.
    uint8_t instructionStarts[8] = {};
    uint8_t instructionStartCount = 0;
    bool checksCaller = false;
    uint64_t callerRva = 0;
    uint8_t callerBytes[kDetourCallLength] = {};
    uint64_t returnRva = 0;
    uintptr_t handler = 0; // supplied by whoever installs the detour
};

// The description of one of the three detours, with no handler.
[[nodiscard]] const DetourDescription& DescribeDetour(GameDetour detour) noexcept;

// The trampoline for a site: the replaced bytes, then a jump to the first byte after them.
void BuildDetourTrampoline(const DetourDescription& description, uintptr_t site,
                           uint8_t (&block)[kDetourTrampolineSize]) noexcept;
// The site patch: a jump to the handler, then 0x90 up to the replaced length.
void BuildDetourSitePatch(const DetourDescription& description, uint8_t (&patch)[kMaxDetourLength]) noexcept;

// Installs one detour in the validated game image; true when the site now jumps to the
// description's handler (also when it did so already). Any failure leaves the game's code as
// it was, withdraws the publication and frees the trampoline.
[[nodiscard]] bool InstallDetour(const DetourDescription& description) noexcept;

// A detour whose trampoline is built and published, its site not yet written: lets the site go
// into a batch written under one stop of the game's threads with other sites.
struct PreparedDetour {
    GameDetour detour = GameDetour::FinalCamera;
    uintptr_t site = 0;
    uintptr_t trampoline = 0;
    uint8_t length = 0;
    uint8_t patch[kMaxDetourLength] = {};
    uint8_t replaced[kMaxDetourLength] = {};
    ThreadMove moves[8] = {};
    uint8_t moveCount = 0;

    // The site as the batch writes it; valid while this object lives.
    [[nodiscard]] CodeSite Site() const noexcept;
};

// The part of InstallDetour before the write; false (with nothing left behind) when the detour
// cannot be installed.
[[nodiscard]] bool PrepareDetour(const DetourDescription& description, PreparedDetour& prepared) noexcept;
// Takes the write's result: true when the site jumps to the handler; otherwise withdraws the
// publication and frees the trampoline.
[[nodiscard]] bool FinishDetour(const PreparedDetour& prepared, CodePatchResult result) noexcept;
// Puts the replaced bytes back in a written site. The trampoline stays published for threads
// on their way through, with no call site to serve; false when the site could not be written.
[[nodiscard]] bool TakeBackDetour(const PreparedDetour& prepared) noexcept;

// The handlers of the final camera and the projection, provided by the stereo code before
// the detours are installed; 0 while none is set.
void SetDetourHandler(GameDetour detour, uintptr_t handler) noexcept;
[[nodiscard]] uintptr_t DetourHandler(GameDetour detour) noexcept;

// The three installations (Windows glue): each at most once per process, after validation.
// The first two use the handler set above and fail without one; the allocator fallback uses
// its own pass-through handler.
[[nodiscard]] bool InstallFinalCameraDetour() noexcept;
[[nodiscard]] bool InstallProjectionDetour() noexcept;
[[nodiscard]] bool InstallAllocatorFallback() noexcept;

// The trampoline of an installed detour (calling it runs the game's routine unchanged);
// 0 while the detour is not installed. A detour taken back keeps its trampoline.
[[nodiscard]] uintptr_t DetourTrampoline(GameDetour detour) noexcept;

// The absolute return address of the one call site the handler serves; 0 while not
// installed and always 0 for the allocator fallback.
[[nodiscard]] uintptr_t DetourExpectedReturn(GameDetour detour) noexcept;

// Publishes (or, with zeros, withdraws) what a handler needs. Installation calls it before
// the site is written; tests call it to stand in for an installed detour.
void PublishDetour(GameDetour detour, uintptr_t trampoline, uintptr_t expectedReturn) noexcept;

} // namespace corvane
