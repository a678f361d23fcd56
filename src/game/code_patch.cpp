#include "game/code_patch.h"

#include "game/guarded_memory.h"
#include "platform/memory.h"

#include <algorithm>

namespace corvane {

CodePatchResult WriteCodeBytes(uintptr_t site, const uint8_t* bytes, size_t size) {
    uint32_t old = 0;
    if (!MemoryProtect(site, size, kPageExecuteReadWrite, old)) {
        return CodePatchResult::ProtectFailed;
    }
    const bool written = MemoryGuardedWrite(site, bytes, size);
    uint32_t ignored = 0;
    const bool restored = MemoryProtect(site, size, old, ignored);
    MemoryFlushInstructionCache(site, size);
    if (!written) {
        return CodePatchResult::WriteFailed;
    }
    return restored ? CodePatchResult::Written : CodePatchResult::RestoreFailed;
}

bool CodeBytesEqual(uintptr_t address, const uint8_t* expected, size_t size) {
    uint8_t actual[32];
    if (size > sizeof(actual) || !IsRangeReadable(address, size) || !GuardedCopy(actual, address, size)) {
        return false;
    }
    return std::equal(actual, actual + size, expected);
}

} // namespace corvane
