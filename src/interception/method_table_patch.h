// The one rule by which the program writes an entry of a COM method table (swap chain, device
// and context tables alike): the saved real entry point, the handler, and what counts as hooked.
// Callers serialise patching of one table themselves; handlers read the saved entries on any
// game thread without a lock.
#pragma once

#include <atomic>

namespace corvane {

// Puts `handler` into `slot`, remembering what was there in `savedReal` (when nothing is saved
// yet). Hooked (true) when the slot holds the handler and a real entry point is saved. A slot
// that holds neither the handler nor the saved entry was changed by someone else after us and
// is left alone (false); so is a slot that another party changes while we write it, unless
// what it now holds is the handler itself. A table patched by
// someone before us keeps their entry as ours to call, so the hooks chain.
[[nodiscard]] bool PatchMethodSlot(void** slot, void* handler, std::atomic<void*>& savedReal) noexcept;

} // namespace corvane
