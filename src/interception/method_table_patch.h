// The one rule by which the program writes an entry of a COM method table (swap chain, device
// and context tables alike): the saved real entry point, the handler, and what counts as hooked.
// Every patch runs under ContextHookMutex, whichever table it writes; handlers read the saved
// entries on any game thread without a lock.
#pragma once

#include <atomic>
#include <mutex>

namespace corvane {

// Serialises every method-table patch: swap chain, device and context tables. Tables of
// different classes can share a page, and a patch lifts the page's protection around its write
// and puts it back; two patches interleaving there would let one restore read-only under the
// other's compare-exchange, which writes the page even when the compare fails.
std::mutex& ContextHookMutex();

// Caller holds ContextHookMutex. Puts `handler` into `slot`, remembering what was there in `savedReal` (when
// nothing is saved yet). Hooked (true) when the slot holds the handler and a real entry point is saved. A
// slot that holds neither the handler nor the saved entry was changed by someone else after us and is left
// alone (false); so is a slot that another party changes while we write it, unless what it now holds is the
// handler itself. A table patched by someone before us keeps their entry as ours to call, so the hooks chain.
[[nodiscard]] bool PatchMethodSlot(void** slot, void* handler, std::atomic<void*>& savedReal) noexcept;

} // namespace corvane
