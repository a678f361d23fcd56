// The player's view of a captured frame: each eye's texture, inside its bounds, spread over that
// eye's raw field on a tangent grid both eyes share, and where a colour of the texture appears in
// that view. Platform-free; runs inside Submit under the runtime lock, on captured frames only.
#pragma once

#include "capture_image.h"
#include "vr_types.h"

#include <cstdint>

namespace vrsim {

// One eye's field as GetProjectionRaw reports it. `top` is the downward (negative) tangent,
// shown at v = vMax; `bottom` the upward one, shown at v = vMin.
struct RawField {
    float left = 0.0f;
    float right = 0.0f;
    float top = 0.0f;
    float bottom = 0.0f;
};

// A direction as tangents: x to the right, y up, in the axes of the eye's pose.
struct Tangents {
    double x = 0.0;
    double y = 0.0;
};

// The directions every view of a run is drawn on. Pixel (i, j) of an eye's half shows
// (x0 + (i + 0.5) / pixelsPerTangent, y1 - (j + 0.5) / pixelsPerTangent).
struct ViewGrid {
    double x0 = 0.0;
    double x1 = 0.0;
    double y0 = 0.0;
    double y1 = 0.0;
    double pixelsPerTangent = 0.0;
    uint32_t columns = 0; // of one eye's half
    uint32_t rows = 0;

    [[nodiscard]] bool Valid() const { return columns > 0 && rows > 0; }
    // Where the right eye's half begins in the composed picture.
    [[nodiscard]] uint32_t RightColumn() const;
};

// Black columns between the two halves, so a reader sees where one eye ends.
inline constexpr uint32_t kViewGapColumns = 4;
// A side longer than this is refused rather than allocated.
inline constexpr uint32_t kViewMaxSide = 8192;
// Directions outside an eye's field, or whose texture coordinate leaves the texture.
inline constexpr uint8_t kOutsideFieldRed = 32;
inline constexpr uint8_t kOutsideFieldGreen = 0;
inline constexpr uint8_t kOutsideFieldBlue = 48;

// The union of both eyes' fields (non-finite tangents ignored). `pixelsPerTangent` 0 picks
// renderHeight over the union's vertical span, rounded and at least 1, so the view is about as
// tall as the recommended eye texture. Not Valid when no field is left or a side would exceed
// kViewMaxSide.
[[nodiscard]] ViewGrid GridCovering(const RawField (&fields)[2], float pixelsPerTangent,
                                    uint32_t renderHeight);

// What one eye shows: its texture, the bounds of its submit (null = the whole texture) and its field.
struct EyeSource {
    const RgbaImage* image = nullptr;
    TextureBounds bounds{0.0f, 0.0f, 1.0f, 1.0f};
    RawField field;
};

[[nodiscard]] TextureBounds BoundsOrWhole(const TextureBounds* bounds);

// The left eye's half, kViewGapColumns black columns, the right eye's half; opaque, nearest texel.
[[nodiscard]] RgbaImage ComposeView(const ViewGrid& grid, const EyeSource& left, const EyeSource& right);

struct ColourTarget {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    uint8_t tolerance = 0; // per channel, inclusive
};

// The texels inside the bounds (centre within them) that match, and where they are shown:
// `centre` is the mean of their centres, `low`..`high` the extent of their outer edges, both
// mapped through the bounds and the field. Alpha is ignored. Directions are meaningless when
// `texels` is 0.
struct ColourFound {
    uint32_t texels = 0;
    Tangents centre;
    Tangents low;
    Tangents high;
};

[[nodiscard]] ColourFound FindColour(const EyeSource& eye, const ColourTarget& target);

} // namespace vrsim
