// Tangent grid, resampling and colour search for the player's view. A direction (x, y) inside an
// eye's field shows texture coordinate u = uMin + (x - left) / (right - left) * (uMax - uMin),
// v = vMin + (bottom - y) / (bottom - top) * (vMax - vMin); the search runs that backwards.
#include "eye_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace vrsim {
namespace {

constexpr int64_t kNoTexel = -1;

bool FieldUsable(const RawField& field) {
    return std::isfinite(field.left) && std::isfinite(field.right) && std::isfinite(field.top) &&
           std::isfinite(field.bottom) && field.right > field.left && field.bottom > field.top;
}

// The texel a coordinate falls in (u = 1 belongs to the last one), or kNoTexel off the texture.
int64_t TexelAt(double coordinate, uint32_t size) {
    if (!(coordinate >= 0.0 && coordinate <= 1.0)) {
        return kNoTexel;
    }
    return std::min<int64_t>(static_cast<int64_t>(std::floor(coordinate * size)), int64_t{size} - 1);
}

// For every column of the grid, the texture column it shows (kNoTexel: nothing of this eye).
std::vector<int64_t> ColumnTexels(const ViewGrid& grid, const EyeSource& eye, bool usable) {
    const RawField& f = eye.field;
    const TextureBounds& b = eye.bounds;
    std::vector<int64_t> texels(grid.columns, kNoTexel);
    for (uint32_t i = 0; usable && i < grid.columns; ++i) {
        const double x = grid.x0 + (i + 0.5) / grid.pixelsPerTangent;
        if (x >= f.left && x <= f.right) {
            const double u = b.uMin + (x - f.left) / (double{f.right} - f.left) * (double{b.uMax} - b.uMin);
            texels[i] = TexelAt(u, eye.image->width);
        }
    }
    return texels;
}

std::vector<int64_t> RowTexels(const ViewGrid& grid, const EyeSource& eye, bool usable) {
    const RawField& f = eye.field;
    const TextureBounds& b = eye.bounds;
    std::vector<int64_t> texels(grid.rows, kNoTexel);
    for (uint32_t j = 0; usable && j < grid.rows; ++j) {
        const double y = grid.y1 - (j + 0.5) / grid.pixelsPerTangent;
        if (y >= f.top && y <= f.bottom) {
            const double v = b.vMin + (f.bottom - y) / (double{f.bottom} - f.top) * (double{b.vMax} - b.vMin);
            texels[j] = TexelAt(v, eye.image->height);
        }
    }
    return texels;
}

void DrawEye(const ViewGrid& grid, const EyeSource& eye, RgbaImage& view, uint32_t firstColumn) {
    const bool usable = eye.image != nullptr && !eye.image->Empty() && FieldUsable(eye.field);
    // x picks the texture column and y the row independently, so two lookups serve every pixel.
    const std::vector<int64_t> columns = ColumnTexels(grid, eye, usable);
    const std::vector<int64_t> rows = RowTexels(grid, eye, usable);
    for (uint32_t j = 0; j < grid.rows; ++j) {
        uint8_t* out = view.pixels.data() + (size_t{j} * view.width + firstColumn) * 4;
        for (uint32_t i = 0; i < grid.columns; ++i, out += 4) {
            if (columns[i] == kNoTexel || rows[j] == kNoTexel) {
                out[0] = kOutsideFieldRed;
                out[1] = kOutsideFieldGreen;
                out[2] = kOutsideFieldBlue;
                continue;
            }
            const uint8_t* texel =
                eye.image->pixels.data() + (static_cast<size_t>(rows[j]) * eye.image->width + columns[i]) * 4;
            std::memcpy(out, texel, 3);
        }
    }
}

bool Matches(const uint8_t* texel, const ColourTarget& target) {
    auto near = [&target](uint8_t value, uint8_t wanted) {
        return std::abs(value - wanted) <= target.tolerance;
    };
    return near(texel[0], target.red) && near(texel[1], target.green) && near(texel[2], target.blue);
}

double DirectionX(const EyeSource& eye, double u) {
    const RawField& f = eye.field;
    const TextureBounds& b = eye.bounds;
    return f.left + (u - b.uMin) / (double{b.uMax} - b.uMin) * (double{f.right} - f.left);
}

double DirectionY(const EyeSource& eye, double v) {
    const RawField& f = eye.field;
    const TextureBounds& b = eye.bounds;
    return f.bottom - (v - b.vMin) / (double{b.vMax} - b.vMin) * (double{f.bottom} - f.top);
}

} // namespace

uint32_t ViewGrid::RightColumn() const {
    return columns + kViewGapColumns;
}

ViewGrid GridCovering(const RawField (&fields)[2], float pixelsPerTangent, uint32_t renderHeight) {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    double x0 = kInfinity, x1 = -kInfinity, y0 = kInfinity, y1 = -kInfinity;
    for (const RawField& f : fields) {
        if (std::isfinite(f.left)) {
            x0 = std::min(x0, double{f.left});
        }
        if (std::isfinite(f.right)) {
            x1 = std::max(x1, double{f.right});
        }
        if (std::isfinite(f.top)) {
            y0 = std::min(y0, double{f.top});
        }
        if (std::isfinite(f.bottom)) {
            y1 = std::max(y1, double{f.bottom});
        }
    }
    ViewGrid grid;
    if (!(x1 > x0 && y1 > y0)) {
        return grid;
    }
    grid.x0 = x0;
    grid.x1 = x1;
    grid.y0 = y0;
    grid.y1 = y1;
    grid.pixelsPerTangent = pixelsPerTangent > 0.0f ? double{pixelsPerTangent}
                                                    : std::max(1.0, std::round(renderHeight / (y1 - y0)));
    // The tolerance keeps a span that is a whole number of pixels from gaining a column to rounding.
    const double columns = std::ceil((x1 - x0) * grid.pixelsPerTangent - 1e-6);
    const double rows = std::ceil((y1 - y0) * grid.pixelsPerTangent - 1e-6);
    if (columns <= kViewMaxSide && rows <= kViewMaxSide) {
        grid.columns = static_cast<uint32_t>(std::max(1.0, columns));
        grid.rows = static_cast<uint32_t>(std::max(1.0, rows));
    }
    return grid;
}

TextureBounds BoundsOrWhole(const TextureBounds* bounds) {
    return bounds != nullptr ? *bounds : TextureBounds{0.0f, 0.0f, 1.0f, 1.0f};
}

RgbaImage ComposeView(const ViewGrid& grid, const EyeSource& left, const EyeSource& right) {
    RgbaImage view;
    if (!grid.Valid()) {
        return view;
    }
    view.width = grid.RightColumn() + grid.columns;
    view.height = grid.rows;
    view.pixels.assign(size_t{view.width} * view.height * 4, 0);
    for (size_t i = 3; i < view.pixels.size(); i += 4) {
        view.pixels[i] = 255;
    }
    DrawEye(grid, left, view, 0);
    DrawEye(grid, right, view, grid.RightColumn());
    return view;
}

ColourFound FindColour(const EyeSource& eye, const ColourTarget& target) {
    ColourFound found;
    const TextureBounds& b = eye.bounds;
    if (eye.image == nullptr || eye.image->Empty() || b.uMin == b.uMax || b.vMin == b.vMax) {
        return found;
    }
    const RgbaImage& image = *eye.image;
    const double uLow = std::min(b.uMin, b.uMax), uHigh = std::max(b.uMin, b.uMax);
    const double vLow = std::min(b.vMin, b.vMax), vHigh = std::max(b.vMin, b.vMax);
    // Sums of whole texel indices stay exact however many texels match.
    uint64_t sumColumns = 0, sumRows = 0;
    uint32_t firstColumn = image.width, lastColumn = 0, firstRow = image.height, lastRow = 0;
    for (uint32_t y = 0; y < image.height; ++y) {
        const double v = (y + 0.5) / image.height;
        if (v < vLow || v > vHigh) {
            continue;
        }
        for (uint32_t x = 0; x < image.width; ++x) {
            const double u = (x + 0.5) / image.width;
            if (u < uLow || u > uHigh ||
                !Matches(image.pixels.data() + (size_t{y} * image.width + x) * 4, target)) {
                continue;
            }
            ++found.texels;
            sumColumns += x;
            sumRows += y;
            firstColumn = std::min(firstColumn, x);
            lastColumn = std::max(lastColumn, x);
            firstRow = std::min(firstRow, y);
            lastRow = std::max(lastRow, y);
        }
    }
    if (found.texels == 0) {
        return found;
    }
    const double meanU = (static_cast<double>(sumColumns) / found.texels + 0.5) / image.width;
    const double meanV = (static_cast<double>(sumRows) / found.texels + 0.5) / image.height;
    found.centre = {DirectionX(eye, meanU), DirectionY(eye, meanV)};
    // Bounds or a field may run backwards, so the edges are ordered after mapping.
    const double xA = DirectionX(eye, static_cast<double>(firstColumn) / image.width);
    const double xB = DirectionX(eye, (lastColumn + 1.0) / image.width);
    const double yA = DirectionY(eye, static_cast<double>(firstRow) / image.height);
    const double yB = DirectionY(eye, (lastRow + 1.0) / image.height);
    found.low = {std::min(xA, xB), std::min(yA, yB)};
    found.high = {std::max(xA, xB), std::max(yA, yB)};
    return found;
}

} // namespace vrsim
