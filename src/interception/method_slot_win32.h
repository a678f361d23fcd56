// Replaces one entry of a COM method table with our hook while keeping the entry it held, so
// the hook can call the real method. Used on the thread that creates or first meets the object.
#pragma once

#include <atomic>

namespace corvane {

// The rule every table patch follows: a slot already holding the hook counts as hooked when
// the real entry is known; a slot that holds something other than the saved real entry was
// hooked by someone after us and is left alone; otherwise the slot's value becomes the real
// entry (unless one is saved already) and the hook takes its place under a temporary
// protection change. True when the slot now carries the hook and the real entry is known.
[[nodiscard]] bool PatchMethodSlot(void** slot, void* hook, std::atomic<void*>& real) noexcept;

} // namespace corvane
