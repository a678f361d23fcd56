// Layer order and the projection's blend. A projection layer is resampled with vrsim's own
// mapping (vrsim::ComposeView) so that a frame of one opaque projection looks exactly as the
// stand-in OpenVR runtime would show it; that mapping copies colour only, so a second pass over
// images whose texels carry (alpha, 255, 0) tells which directions the layer covers (green 255,
// where the outside colour has green 0) and with what alpha.
#include "layer_composition.h"

#include <algorithm>
#include <cstdlib>

namespace xrsim {
namespace {

// A copy of the image whose texels read (alpha, 255, 0).
vrsim::RgbaImage CoverageOf(const vrsim::RgbaImage& image) {
    vrsim::RgbaImage marks = image;
    for (size_t i = 0; i < marks.pixels.size(); i += 4) {
        marks.pixels[i] = image.pixels[i + 3];
        marks.pixels[i + 1] = 255;
        marks.pixels[i + 2] = 0;
        marks.pixels[i + 3] = 255;
    }
    return marks;
}

void DrawProjection(const vrsim::ViewGrid& grid, const ProjectionSource& projection, vrsim::RgbaImage& view) {
    const vrsim::RgbaImage colours = vrsim::ComposeView(grid, projection.eyes[0], projection.eyes[1]);
    vrsim::RgbaImage markImages[2];
    vrsim::EyeSource marked[2] = {projection.eyes[0], projection.eyes[1]};
    for (int eye : {0, 1}) {
        if (marked[eye].image != nullptr) {
            markImages[eye] = CoverageOf(*marked[eye].image);
            marked[eye].image = &markImages[eye];
        }
    }
    const vrsim::RgbaImage marks = vrsim::ComposeView(grid, marked[0], marked[1]);
    for (uint32_t firstColumn : {0u, grid.RightColumn()}) {
        for (uint32_t j = 0; j < grid.rows; ++j) {
            for (uint32_t i = 0; i < grid.columns; ++i) {
                const size_t at = (size_t{j} * view.width + firstColumn + i) * 4;
                if (marks.pixels[at + 1] != 255) {
                    continue;
                }
                const uint8_t texel[4] = {colours.pixels[at], colours.pixels[at + 1], colours.pixels[at + 2],
                                          marks.pixels[at]};
                BlendTexel(texel, projection.blend, view.pixels.data() + at);
            }
        }
    }
}

bool Matches(const uint8_t* pixel, const vrsim::ColourTarget& target) {
    auto near = [&target](uint8_t value, uint8_t wanted) {
        return std::abs(value - wanted) <= target.tolerance;
    };
    return near(pixel[0], target.red) && near(pixel[1], target.green) && near(pixel[2], target.blue);
}

} // namespace

LayerBlend BlendOf(XrCompositionLayerFlags flags) {
    if ((flags & XR_COMPOSITION_LAYER_BLEND_TEXTURE_SOURCE_ALPHA_BIT) == 0) {
        return LayerBlend::Opaque;
    }
    return (flags & XR_COMPOSITION_LAYER_UNPREMULTIPLIED_ALPHA_BIT) != 0 ? LayerBlend::Straight
                                                                         : LayerBlend::Premultiplied;
}

vrsim::RgbaImage ComposeLayers(const vrsim::ViewGrid& grid, const Pose (&eyePoses)[2],
                               const std::vector<LayerSource>& layers) {
    // No image on either eye: every direction shows the outside colour.
    vrsim::RgbaImage view = vrsim::ComposeView(grid, vrsim::EyeSource{}, vrsim::EyeSource{});
    if (view.Empty()) {
        return view;
    }
    for (const LayerSource& layer : layers) {
        if (const auto* projection = std::get_if<ProjectionSource>(&layer)) {
            DrawProjection(grid, *projection, view);
        } else {
            DrawQuads(grid, eyePoses, {std::get<QuadSource>(layer)}, view);
        }
    }
    return view;
}

ViewFound FindInView(const vrsim::ViewGrid& grid, const vrsim::RgbaImage& view, int eye,
                     const vrsim::ColourTarget& target) {
    ViewFound found;
    const uint32_t firstColumn = eye == 0 ? 0u : grid.RightColumn();
    if (!grid.Valid() || view.width < firstColumn + grid.columns || view.height < grid.rows) {
        return found;
    }
    // Sums of whole pixel indices stay exact however many pixels match.
    uint64_t sumColumns = 0, sumRows = 0;
    uint32_t lowColumn = grid.columns, highColumn = 0, lowRow = grid.rows, highRow = 0;
    for (uint32_t j = 0; j < grid.rows; ++j) {
        for (uint32_t i = 0; i < grid.columns; ++i) {
            if (!Matches(view.pixels.data() + (size_t{j} * view.width + firstColumn + i) * 4, target)) {
                continue;
            }
            ++found.pixels;
            sumColumns += i;
            sumRows += j;
            lowColumn = std::min(lowColumn, i);
            highColumn = std::max(highColumn, i);
            lowRow = std::min(lowRow, j);
            highRow = std::max(highRow, j);
        }
    }
    if (found.pixels == 0) {
        return found;
    }
    const double ppt = grid.pixelsPerTangent;
    const double meanColumn = static_cast<double>(sumColumns) / found.pixels;
    const double meanRow = static_cast<double>(sumRows) / found.pixels;
    found.centre = {grid.x0 + (meanColumn + 0.5) / ppt, grid.y1 - (meanRow + 0.5) / ppt};
    // Rows run downwards, so the lowest direction is the last row's bottom edge.
    found.low = {grid.x0 + lowColumn / ppt, grid.y1 - (highRow + 1.0) / ppt};
    found.high = {grid.x0 + (highColumn + 1.0) / ppt, grid.y1 - lowRow / ppt};
    return found;
}

} // namespace xrsim
