// The two served interface objects and the checks every slot makes before answering.
// Slots run on the client's threads with the runtime lock held.
#pragma once

#include "runtime.h"
#include "vr_types.h"

#include <cstdint>
#include <cstring>

namespace vrsim {

enum class Served { System, Compositor };

// One entry of a vtable. The real signatures differ per slot; the tables store them uniformly.
using SlotEntry = void (*)();

template <typename Function> SlotEntry Slot(Function function) {
    return reinterpret_cast<SlotEntry>(function);
}

// What VR_GetGenericInterface hands out: an object whose first word is the vtable.
struct ServedObject {
    const SlotEntry* vtable;
};

[[nodiscard]] ServedObject* SystemObject();
[[nodiscard]] ServedObject* CompositorObject();
[[nodiscard]] const char* ServedVersion(Served served);

// Logs a foreign `this` (and returns false: the slot must not touch its arguments) or a call
// made outside a session (answered normally).
[[nodiscard]] bool AcceptCall(RuntimeState& state, Served served, const void* self, int slot);

void ReportUnexpectedSlot(Served served, const void* self, int slot);

// Fallbacks for the slots the program is not expected to call. Scalar, pointer, bool and void
// results come back in RAX (AL for bool), so one integer-returning function covers them all;
// floats need XMM0, struct results the caller's buffer.
template <Served Interface, int Index, uint64_t Failure = 0> uint64_t UnexpectedScalar(void* self) noexcept {
    ReportUnexpectedSlot(Interface, self, Index);
    return Failure;
}

template <Served Interface, int Index> float UnexpectedFloat(void* self) noexcept {
    ReportUnexpectedSlot(Interface, self, Index);
    return 0.0f;
}

template <Served Interface, int Index, size_t Size> void* UnexpectedStruct(void* self, void* out) noexcept {
    ReportUnexpectedSlot(Interface, self, Index);
    if (out != nullptr && out != SystemObject() && out != CompositorObject()) {
        std::memset(out, 0, Size);
    }
    return out;
}

} // namespace vrsim
