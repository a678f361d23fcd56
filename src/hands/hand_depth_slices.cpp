#include "hands/hand_depth_slices.h"

namespace corvane {

HandDepthPlan HandDepthSlices::Take(bool squeezable) {
    if (!squeezable) {
        taken_ = kHandDepthSliceCount;
        return HandDepthPlan{HandDepthSlice{0.0f, 1.0f}, true};
    }
    HandDepthPlan plan;
    plan.clearFirst = taken_ >= kHandDepthSliceCount;
    if (plan.clearFirst) {
        taken_ = 0;
    }
    // Slices go from the far end of the range towards the near one; with a power-of-two count
    // their bounds are exact in single precision, so one slice's near bound is the next one's
    // far bound and the depth test's "less or equal" lets the newer drawing through there.
    const float width = 1.0f / static_cast<float>(kHandDepthSliceCount);
    ++taken_;
    plan.slice = HandDepthSlice{1.0f - width * static_cast<float>(taken_), width};
    return plan;
}

void HandDepthSlices::Forget() {
    taken_ = kHandDepthSliceCount;
}

} // namespace corvane
