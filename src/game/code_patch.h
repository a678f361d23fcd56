// Changes a few bytes of game code under a temporary protection change. Called on the
// render thread and inside the validation run; no other thread patches code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

enum class CodePatchResult {
    Written,       // bytes written and the old protection restored
    ProtectFailed, // nothing changed
    WriteFailed,   // the write faulted; the old protection was put back
    RestoreFailed, // bytes written, but the old protection could not be restored
};

// Makes the site writable (read-write-execute), writes the bytes, restores the previous
// protection and flushes the instruction cache over the site.
[[nodiscard]] CodePatchResult WriteCodeBytes(uintptr_t site, const uint8_t* bytes, size_t size);

// True when `size` bytes at `address` are readable and equal `expected`.
[[nodiscard]] bool CodeBytesEqual(uintptr_t address, const uint8_t* expected, size_t size);

} // namespace corvane
