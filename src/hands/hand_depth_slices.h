// Which part of the depth buffer's range each hand drawing writes into. Clearing the whole
// depth buffer before every drawing costs a full pass over it for a few boxes; instead every
// drawing squeezes its depths into a slice of the range nearer than every slice before it, so
// whatever earlier drawings left in the buffer is farther than anything the current one writes
// and never hides it. The buffer is cleared only when the slices run out, or when a drawing
// cannot be squeezed. Render thread, no Direct3D.
#pragma once

#include <cstdint>

namespace corvane {

inline constexpr uint32_t kHandDepthSliceCount = 256;

// Depth d of the projection (0 at the near plane, 1 at the far one) becomes
// nearest + width * d in the buffer.
struct HandDepthSlice {
    float nearest = 0.0f;
    float width = 1.0f;
};

struct HandDepthPlan {
    HandDepthSlice slice;
    bool clearFirst = true; // clear the buffer to 1 before drawing
};

// Owned with the depth buffer it describes.
class HandDepthSlices {
public:
    // The next drawing's slice. A drawing that has corners beyond its near or far plane
    // (`squeezable` false) gets the whole range over a cleared buffer, so that the planes still
    // cut it, and the drawing after it clears again.
    HandDepthPlan Take(bool squeezable);
    // The buffer's content is unknown (made anew, or a drawing recorded into it was never
    // run): the next drawing clears it.
    void Forget();

private:
    uint32_t taken_ = kHandDepthSliceCount;
};

} // namespace corvane
