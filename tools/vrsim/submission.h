// What happens to one submitted eye: checks, scripted faults, the log line and, when the
// scenario asks, the capture. Called by the Submit slot with the runtime lock held.
#pragma once

#include "runtime.h"
#include "vr_types.h"

namespace vrsim {

// Returns the EVRCompositorError the Submit slot answers with.
[[nodiscard]] int32_t RecordSubmission(RuntimeState& state, int32_t eye, const Texture* texture,
                                       const TextureBounds* bounds, uint32_t flags);

} // namespace vrsim
