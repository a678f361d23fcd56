#include "interception/game_detours.h"

#include "game/game_bridge.h"
#include "platform/code_patch.h"
#include "platform/memory.h"

#include <atomic>
#include <cstring>

namespace corvane {
namespace {

struct DetourPublication {
    std::atomic<uintptr_t> trampoline{0};
    std::atomic<uintptr_t> expectedReturn{0};
};

DetourPublication g_detours[kGameDetourCount];
std::atomic<uintptr_t> g_handlers[kGameDetourCount];

constexpr uint8_t kNop = 0x90;
constexpr uint8_t kJumpThroughNextQword[6] = {0xFF, 0x25, 0x00, 0x00, 0x00, 0x00};

constexpr DetourDescription kDescriptions[kGameDetourCount] = {
    // mov rax,rsp; mov [rax+8],rbx; mov [rax+10h],rsi; push rdi; sub rsp,90h
    {GameDetour::FinalCamera,
     0x24D7D0,
     19,
     {0x48, 0x8B, 0xC4, 0x48, 0x89, 0x58, 0x08, 0x48, 0x89, 0x70, 0x10, 0x57, 0x48, 0x81, 0xEC, 0x90, 0x00,
      0x00, 0x00},
     {3, 7, 11, 12},
     4,
     true,
     0x772AB,
     {0xE8, 0x20, 0x65, 0x1D, 0x00},
     0x772B0,
     0},
    // mov rax,rsp; push rbp; lea rbp,[rax-5Fh]; sub rsp,0F0h
    {GameDetour::Projection,
     0x24F980,
     15,
     {0x48, 0x8B, 0xC4, 0x55, 0x48, 0x8D, 0x68, 0xA1, 0x48, 0x81, 0xEC, 0xF0, 0x00, 0x00, 0x00},
     {3, 4, 8},
     3,
     true,
     0x76E40,
     {0xE8, 0x3B, 0x8B, 0x1D, 0x00},
     0x76E45,
     0},
    // push rbx; push rbp; push rdi; push r12; push r14; push r15; sub rsp,58h
    {GameDetour::AllocatorFallback,
     0x290BA0,
     14,
     {0x40, 0x53, 0x55, 0x57, 0x41, 0x54, 0x41, 0x56, 0x41, 0x57, 0x48, 0x83, 0xEC, 0x58},
     {2, 3, 4, 6, 8, 10},
     6,
     false,
     0,
     {},
     0,
     0},
};

DetourPublication* Find(GameDetour detour) noexcept {
    const auto index = static_cast<uint32_t>(detour);
    return index < kGameDetourCount ? &g_detours[index] : nullptr;
}

} // namespace

uintptr_t DetourTrampoline(GameDetour detour) noexcept {
    const DetourPublication* publication = Find(detour);
    return publication != nullptr ? publication->trampoline.load(std::memory_order_acquire) : 0;
}

uintptr_t DetourExpectedReturn(GameDetour detour) noexcept {
    const DetourPublication* publication = Find(detour);
    return publication != nullptr ? publication->expectedReturn.load(std::memory_order_acquire) : 0;
}

void PublishDetour(GameDetour detour, uintptr_t trampoline, uintptr_t expectedReturn) noexcept {
    DetourPublication* publication = Find(detour);
    if (publication == nullptr) {
        return;
    }
    // The return address first: a handler that sees the trampoline also sees its call site.
    publication->expectedReturn.store(expectedReturn, std::memory_order_release);
    publication->trampoline.store(trampoline, std::memory_order_release);
}

const DetourDescription& DescribeDetour(GameDetour detour) noexcept {
    const auto index = static_cast<uint32_t>(detour);
    return kDescriptions[index < kGameDetourCount ? index : 0];
}

void BuildDetourTrampoline(const DetourDescription& description, uintptr_t site,
                           uint8_t (&block)[kDetourTrampolineSize]) noexcept {
    std::memset(block, 0, sizeof(block));
    const size_t n = description.length;
    std::memcpy(block, description.expected, n);
    std::memcpy(block + n, kJumpThroughNextQword, sizeof(kJumpThroughNextQword));
    const uint64_t resume = site + n;
    std::memcpy(block + n + sizeof(kJumpThroughNextQword), &resume, sizeof(resume));
}

void BuildDetourSitePatch(const DetourDescription& description, uint8_t (&patch)[kMaxDetourLength]) noexcept {
    std::memset(patch, kNop, sizeof(patch));
    std::memcpy(patch, kJumpThroughNextQword, sizeof(kJumpThroughNextQword));
    const uint64_t handler = description.handler;
    std::memcpy(patch + sizeof(kJumpThroughNextQword), &handler, sizeof(handler));
}

namespace {

bool DescriptionIsSound(const DetourDescription& description) {
    return description.handler != 0 && description.length >= kDetourJumpLength &&
           description.length <= kMaxDetourLength &&
           static_cast<uint32_t>(description.detour) < kGameDetourCount &&
           description.instructionStartCount <= sizeof(description.instructionStarts);
}

// The site's bytes and, where the detour serves one call site, the call that reaches it.
bool SiteMatches(const DetourDescription& description, uintptr_t& site, uintptr_t& expectedReturn) {
    if (!ResolveGameAddress(description.siteRva, description.length, site) ||
        !CodeBytesEqual(site, description.expected, description.length)) {
        return false;
    }
    expectedReturn = 0;
    if (!description.checksCaller) {
        return true;
    }
    uintptr_t caller = 0;
    return ResolveGameAddress(description.callerRva, kDetourCallLength, caller) &&
           CodeBytesEqual(caller, description.callerBytes, kDetourCallLength) &&
           ResolveGameAddress(description.returnRva, 1, expectedReturn);
}

// A complete, execute-read trampoline; 0 (nothing left allocated) on failure.
uintptr_t MakeTrampoline(const DetourDescription& description, uintptr_t site) {
    const uintptr_t trampoline = MemoryAllocateExecutable(kDetourTrampolineSize);
    if (trampoline == 0) {
        return 0;
    }
    uint8_t block[kDetourTrampolineSize];
    BuildDetourTrampoline(description, site, block);
    uint32_t old = 0;
    if (!MemoryGuardedWrite(trampoline, block, sizeof(block)) ||
        !MemoryProtect(trampoline, kDetourTrampolineSize, kPageExecuteRead, old)) {
        MemoryFreeExecutable(trampoline);
        return 0;
    }
    MemoryFlushInstructionCache(trampoline, description.length + kDetourJumpLength);
    return trampoline;
}

} // namespace

bool PrepareDetour(const DetourDescription& description, PreparedDetour& prepared) noexcept {
    prepared = PreparedDetour{};
    if (!DescriptionIsSound(description)) {
        return false;
    }
    uintptr_t site = 0;
    uintptr_t expectedReturn = 0;
    if (!SiteMatches(description, site, expectedReturn)) {
        return false;
    }
    const uintptr_t trampoline = MakeTrampoline(description, site);
    if (trampoline == 0) {
        return false;
    }
    // Published before the site changes: a thread that reaches the handler at once finds it.
    PublishDetour(description.detour, trampoline, expectedReturn);

    prepared.detour = description.detour;
    prepared.site = site;
    prepared.trampoline = trampoline;
    prepared.length = description.length;
    std::memcpy(prepared.replaced, description.expected, description.length);
    BuildDetourSitePatch(description, prepared.patch);
    prepared.moveCount = description.instructionStartCount;
    for (size_t i = 0; i < description.instructionStartCount; ++i) {
        const size_t offset = description.instructionStarts[i];
        prepared.moves[i] = ThreadMove{offset, trampoline + offset};
    }
    return true;
}

CodeSite PreparedDetour::Site() const noexcept {
    return CodeSite{site, patch, length, std::span<const ThreadMove>(moves, moveCount)};
}

bool FinishDetour(const PreparedDetour& prepared, CodePatchResult result) noexcept {
    if (result == CodePatchResult::Written || result == CodePatchResult::RestoreFailed) {
        return true; // the site jumps to the handler (with its protection left open in the latter case)
    }
    PublishDetour(prepared.detour, 0, 0);
    // A thread moved into the trampoline that could not be moved back runs it to its end, the
    // jump back into the site's old bytes: it stays. Otherwise the site was never written and no
    // thread can be on its way through it.
    if (result != CodePatchResult::ThreadsLeftMoved) {
        MemoryFreeExecutable(prepared.trampoline);
    }
    return false;
}

bool TakeBackDetour(const PreparedDetour& prepared) noexcept {
    // The jump is one instruction, so no thread can be stopped inside it.
    const CodePatchResult result = WriteCodeBytes(prepared.site, prepared.replaced, prepared.length);
    // Whether or not the old bytes went back, the handler serves no call site from here on: it
    // passes every call through to the game unchanged, so a jump that could not be taken back
    // changes nothing the game does. A thread may still be on its way through the handler, and
    // a jump left in place leads there: the trampoline stays either way.
    PublishDetour(prepared.detour, prepared.trampoline, 0);
    // Written with the protection left open is taken back all the same.
    return result == CodePatchResult::Written || result == CodePatchResult::RestoreFailed;
}

bool InstallDetour(const DetourDescription& description) noexcept {
    uintptr_t site = 0;
    if (DetourTrampoline(description.detour) != 0 && description.length <= kMaxDetourLength &&
        ResolveGameAddress(description.siteRva, description.length, site)) {
        // Already written (with the breakpoints of the validation): the site jumps to the handler,
        // which serves its call site again if a take-back that could not be done had let it go.
        uint8_t patch[kMaxDetourLength];
        BuildDetourSitePatch(description, patch);
        uintptr_t expectedReturn = 0;
        if (CodeBytesEqual(site, patch, description.length) &&
            (!description.checksCaller || ResolveGameAddress(description.returnRva, 1, expectedReturn))) {
            PublishDetour(description.detour, DetourTrampoline(description.detour), expectedReturn);
            return true;
        }
    }
    PreparedDetour prepared;
    if (!PrepareDetour(description, prepared)) {
        return false;
    }
    const CodeSite one = prepared.Site();
    CodePatchResult result = CodePatchResult::WriteFailed;
    WriteCodeSites(std::span<const CodeSite>(&one, 1), std::span<CodePatchResult>(&result, 1));
    return FinishDetour(prepared, result);
}

void SetDetourHandler(GameDetour detour, uintptr_t handler) noexcept {
    const auto index = static_cast<uint32_t>(detour);
    if (index < kGameDetourCount) {
        g_handlers[index].store(handler);
    }
}

uintptr_t DetourHandler(GameDetour detour) noexcept {
    const auto index = static_cast<uint32_t>(detour);
    return index < kGameDetourCount ? g_handlers[index].load() : 0;
}

} // namespace corvane
