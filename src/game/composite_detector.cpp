#include "game/composite_detector.h"

#include "platform/code_patch.h"
#include "game/game_bridge.h"
#include "game/guarded_memory.h"
#include "platform/memory.h"

#include <algorithm>
#include <array>

namespace corvane {
namespace {

constexpr uint8_t kBreakpoint = 0xCC;

constexpr CompositeWriter kWriters[] = {
    {0x842FE, 6, 0, {0x89, 0x0D, 0x68, 0xC3, 0xBD, 0x00}, 6},
    {0x84617, 6, 1, {0x89, 0x35, 0x4F, 0xC0, 0xBD, 0x00}, 6},
    {0x87CC2, 10, 2, {0xC7, 0x05, 0xA0, 0x89, 0xBD, 0x00, 0x01, 0x00, 0x00, 0x00}, 10},
    {0x87EF6, 7, 3, {0x44, 0x89, 0x3D, 0x6F, 0x87, 0xBD, 0x00}, 7},
    {0x88198, 7, 3, {0x44, 0x89, 0x3D, 0xCD, 0x84, 0xBD, 0x00}, 7},
    {0x177CB9, 10, 2, {0xC7, 0x05, 0xA9, 0x89, 0xAE, 0x00, 0x01, 0x00, 0x00, 0x00}, 10},
    {0x19EE4D, 10, 2, {0xC7, 0x05, 0x15, 0x18, 0xAC, 0x00, 0x01, 0x00, 0x00, 0x00}, 10},
    {0x1A8C6A, 10, 2, {0xC7, 0x05, 0xF8, 0x79, 0xAB, 0x00, 0x01, 0x00, 0x00, 0x00}, 10},
    {0x1B4248, 10, 2, {0xC7, 0x05, 0x1A, 0xC4, 0xAA, 0x00, 0x01, 0x00, 0x00, 0x00}, 10},
    {0x1F4DC2, 10, 2, {0xC7, 0x05, 0xA0, 0xB8, 0xA6, 0x00, 0x01, 0x00, 0x00, 0x00}, 10},
    {0x207100, 6, 4, {0x89, 0x15, 0x66, 0x95, 0xA5, 0x00}, 6},
    {0x2077D8, 6, 5, {0x89, 0x05, 0x8E, 0x8E, 0xA5, 0x00}, 6},
    {0x208110, 6, 6, {0x89, 0x2D, 0x56, 0x85, 0xA5, 0x00}, 6},
};
constexpr size_t kWriterCount = std::size(kWriters);

bool RowMatches(const CompositeWriter& row) {
    uintptr_t site = 0;
    return row.length != 0 && row.length == row.lengthCheck && row.length <= sizeof(row.expected) &&
           ResolveGameAddress(row.rva, row.length, site) && CodeBytesEqual(site, row.expected, row.length);
}

uint32_t WriterValue(uint8_t source, const WriterRegisters& registers) {
    switch (source) {
    case 0:
        return static_cast<uint32_t>(registers.rcx);
    case 1:
        return static_cast<uint32_t>(registers.rsi);
    case 2:
        return 1;
    case 3:
        return static_cast<uint32_t>(registers.r15);
    case 4:
        return static_cast<uint32_t>(registers.rdx);
    case 5:
        return static_cast<uint32_t>(registers.rax);
    case 6:
        return static_cast<uint32_t>(registers.rbp);
    default:
        return 0;
    }
}

} // namespace

std::span<const CompositeWriter> CompositeWriterTable() {
    return kWriters;
}

bool InstallCompositeDetector(const CodeSiteCompanion* companion) {
    const bool rowsMatch = std::all_of(std::begin(kWriters), std::end(kWriters), RowMatches);
    GameBridge& bridge = GetGameBridge();
    const GameHostSeam& seam = GetGameHostSeam();
    const bool handled = rowsMatch && seam.addBreakpointHandler != nullptr && seam.addBreakpointHandler();
    bridge.DetectorHandlerRegistered = bridge.DetectorHandlerRegistered || handled;

    // All thirteen and the companion's sites under one stop of the game's threads.
    CodeSite sites[kMaxCodeSites];
    const size_t own = handled ? kWriterCount : 0;
    for (size_t i = 0; i < own; ++i) {
        sites[i] = CodeSite{bridge.GameBase + kWriters[i].rva, &kBreakpoint, 1, {}};
    }
    const std::span<CodeSite> room(sites + own, kMaxCodeSites - own);
    const size_t extra = companion != nullptr && companion->prepare != nullptr
                             ? std::min(companion->prepare(room), room.size())
                             : 0;
    std::array<CodePatchResult, kMaxCodeSites> results{};
    WriteCodeSites(std::span<const CodeSite>(sites, own + extra),
                   std::span<CodePatchResult>(results.data(), own + extra));
    if (companion != nullptr && companion->finish != nullptr) {
        companion->finish(std::span<const CodePatchResult>(results.data() + own, extra));
    }
    if (!handled) {
        return false;
    }
    if (std::all_of(results.begin(), results.begin() + own,
                    [](CodePatchResult result) { return result == CodePatchResult::Written; })) {
        return true;
    }

    // Every site that received a breakpoint gets its first byte back, again under one stop.
    CodeSite rollBack[kWriterCount];
    size_t received = 0;
    for (size_t i = 0; i < kWriterCount; ++i) {
        if (results[i] == CodePatchResult::Written || results[i] == CodePatchResult::RestoreFailed) {
            rollBack[received++] = CodeSite{sites[i].site, &kWriters[i].expected[0], 1, {}};
        }
    }
    std::array<CodePatchResult, kWriterCount> ignored{};
    WriteCodeSites(std::span<const CodeSite>(rollBack, received), ignored);
    uint32_t remaining = 0;
    for (size_t i = 0; i < received; ++i) {
        if (!CodeBytesEqual(rollBack[i].site, rollBack[i].bytes, 1)) {
            ++remaining;
        }
    }
    // The handler stays registered either way. A breakpoint that stays needs it for the next
    // store through its writer; and a thread that trapped on a breakpoint just before it was
    // taken back may not have reached the handler list yet: without the handler that trap
    // would be an unhandled breakpoint in the game. Other breakpoints pass through it.
    if (remaining != 0) {
        CameraLogFormat(
            "Native composite transition detector roll-back was incomplete: %u breakpoint(s) remain; "
            "their handler stays registered.",
            remaining);
    }
    return false;
}

bool HandleCompositeBreakpoint(uintptr_t address, const WriterRegisters& registers,
                               uintptr_t& resume) noexcept {
    GameBridge& bridge = GetGameBridge();
    if (!bridge.ExecutableValidated) {
        return false;
    }
    const CompositeWriter* row = nullptr;
    for (const CompositeWriter& candidate : kWriters) {
        if (bridge.GameBase + candidate.rva == address) {
            row = &candidate;
            break;
        }
    }
    if (row == nullptr) {
        return false;
    }
    const uint32_t value = WriterValue(row->valueSource, registers);
    uintptr_t controlBlock = 0;
    uint32_t old = 0;
    if (ResolveGameAddress(kControlBlockRva, sizeof(uint32_t), controlBlock) &&
        MemoryGuardedExchange32(controlBlock, value, old) && old == 0 && value != 0) {
        uint32_t kind = 0;
        (void)ReadGameValue(kCompositeKindRva, kind);
        bridge.HandoffKind.store(kind);
        bridge.HandoffWriterRva.store(row->rva);
        bridge.HandoffValue.store(value);
        const uint32_t flag = kind == 2 ? kHandoffKind2 : kind == 3 ? kHandoffKind3 : kHandoffOtherKind;
        bridge.PendingHandoffFlags.fetch_or(flag);
    }
    resume = address + row->length;
    return true;
}

} // namespace corvane
