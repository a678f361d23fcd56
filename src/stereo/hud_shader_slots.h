// The HUD vertex shaders remembered, by address, in four slots that are taken and emptied by
// compare-exchange alone. A shader is forgotten from inside Direct3D's release of its private
// data, which runs with Direct3D's own lock held: nothing here may wait on any lock, or a
// thread calling into Direct3D while holding that lock would deadlock against it. Any thread.
#pragma once

#include "stereo/hud_projection.h"

#include <atomic>
#include <cstdint>

namespace corvane {

class HudShaderSlots {
public:
    // Takes a free slot for `shader`; false for null, a shader already remembered or no free
    // slot. Two threads remembering the same shader at the same moment may both take a slot;
    // Forget empties every slot naming it.
    [[nodiscard]] bool Remember(const void* shader) noexcept;

    // Empties every slot naming `shader`; false when none did.
    bool Forget(const void* shader) noexcept;

    [[nodiscard]] bool Contains(const void* shader) const noexcept;

    // No slot free: further shaders are ignored.
    [[nodiscard]] bool Full() const noexcept;

    // No shader remembered, so no draw can be a HUD draw (a single load, for the per-draw path).
    [[nodiscard]] bool Empty() const noexcept;

private:
    std::atomic<const void*> slots_[kHudShaderSlots] = {};
    std::atomic<uint32_t> taken_{0};
};

} // namespace corvane
