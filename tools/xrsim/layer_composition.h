// The player's view of a captured frame built from its layers in the order they were submitted,
// each later layer over what the earlier ones left, and where a colour appears in that view.
// Platform-free; runs inside xrEndFrame under the runtime lock on captured frames only.
#pragma once

#include "motion.h"
#include "quad_overlay.h"

#include <capture_image.h>
#include <eye_view.h>
#include <openxr/openxr.h>

#include <cstdint>
#include <variant>
#include <vector>

namespace xrsim {

// The blend a layer's flags ask for: opaque without the source alpha bit.
[[nodiscard]] LayerBlend BlendOf(XrCompositionLayerFlags flags);

// A projection layer as the view shows it: each eye's image on its own field of the grid.
struct ProjectionSource {
    vrsim::EyeSource eyes[2];
    LayerBlend blend = LayerBlend::Opaque;
};

using LayerSource = std::variant<ProjectionSource, QuadSource>;

// Both eyes' halves laid out as vrsim::ComposeView lays them, starting from the colour outside
// every field; then each layer in turn: a projection wherever an eye's field and image cover the
// direction, a quad where the eye's ray meets it (eye e seeing from eyePoses[e]); directions a
// layer does not cover keep what is below. Empty when the grid is not Valid.
[[nodiscard]] vrsim::RgbaImage ComposeLayers(const vrsim::ViewGrid& grid, const Pose (&eyePoses)[2],
                                             const std::vector<LayerSource>& layers);

// The pixels of one eye's half of a composed view within the target's tolerance, as directions of
// the grid in that eye's axes: `centre` the mean of their centres, `low`..`high` their outer
// edges. Directions are meaningless when `pixels` is 0.
struct ViewFound {
    uint32_t pixels = 0;
    vrsim::Tangents centre;
    vrsim::Tangents low;
    vrsim::Tangents high;
};

[[nodiscard]] ViewFound FindInView(const vrsim::ViewGrid& grid, const vrsim::RgbaImage& view, int eye,
                                   const vrsim::ColourTarget& target);

} // namespace xrsim
