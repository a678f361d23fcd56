// Identity checks shared by the slots of both interfaces.
#include "served_interface.h"

namespace vrsim {

extern const SlotEntry kSystemSlots[];
extern const SlotEntry kCompositorSlots[];

ServedObject* SystemObject() {
    static ServedObject object{kSystemSlots};
    return &object;
}

ServedObject* CompositorObject() {
    static ServedObject object{kCompositorSlots};
    return &object;
}

const char* ServedVersion(Served served) {
    return served == Served::System ? kSystemVersion : kCompositorVersion;
}

bool AcceptCall(RuntimeState& state, Served served, const void* self, int slot) {
    const void* expected = served == Served::System ? SystemObject() : CompositorObject();
    if (self != expected) {
        state.log.Line("foreign this in %s slot %d frame=%u", ServedVersion(served), slot, state.frame);
        return false;
    }
    if (!state.SessionOpen()) {
        state.log.Line("outside session %s slot %d frame=%u", ServedVersion(served), slot, state.frame);
    }
    return true;
}

void ReportUnexpectedSlot(Served served, const void* self, int slot) {
    RuntimeAccess access = AccessRuntime();
    RuntimeState& state = access.State();
    state.log.Line("unexpected slot %d in %s frame=%u", slot, ServedVersion(served), state.frame);
    (void)AcceptCall(state, served, self, slot);
}

} // namespace vrsim
