// Ray and plane: a direction d from the eye at o meets the plane through the quad's centre c with
// normal n at t = (c - o) . n / (d . n); the hit in the quad's axes picks the texel.
#include "quad_overlay.h"

#include <algorithm>
#include <cmath>

namespace xrsim {
namespace {

double Dot(const Vec3& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

Vec3 Minus(const Vec3& a, const Vec3& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

// The texel a coordinate falls in, the last one for 1.
uint32_t TexelAt(double coordinate, uint32_t size) {
    const double clamped = std::clamp(coordinate, 0.0, 1.0);
    return std::min<uint32_t>(static_cast<uint32_t>(std::floor(clamped * size)), size - 1);
}

void DrawEye(const vrsim::ViewGrid& grid, const Pose& eye, const QuadSource& quad, uint32_t firstColumn,
             vrsim::RgbaImage& view) {
    const Quat inverse{-quad.pose.orientation.x, -quad.pose.orientation.y, -quad.pose.orientation.z,
                       quad.pose.orientation.w};
    const Vec3 normal = Rotate(quad.pose.orientation, {0.0, 0.0, 1.0});
    const Vec3 toCentre = Minus(quad.pose.position, eye.position);
    const double reach = Dot(toCentre, normal);
    const vrsim::RgbaImage& image = *quad.image;
    for (uint32_t j = 0; j < grid.rows; ++j) {
        const double y = grid.y1 - (j + 0.5) / grid.pixelsPerTangent;
        for (uint32_t i = 0; i < grid.columns; ++i) {
            const double x = grid.x0 + (i + 0.5) / grid.pixelsPerTangent;
            const Vec3 direction = Rotate(eye.orientation, {x, y, -1.0});
            const double facing = Dot(direction, normal);
            if (std::fabs(facing) < 1e-12) {
                continue;
            }
            const double t = reach / facing;
            if (!(t > 0.0)) {
                continue;
            }
            const Vec3 hit{direction.x * t - toCentre.x, direction.y * t - toCentre.y,
                           direction.z * t - toCentre.z};
            const Vec3 local = Rotate(inverse, hit);
            const double s = local.x / quad.width + 0.5;
            const double r = 0.5 - local.y / quad.height;
            if (s < 0.0 || s > 1.0 || r < 0.0 || r > 1.0) {
                continue;
            }
            const uint32_t column = TexelAt(quad.uMin + s * (quad.uMax - quad.uMin), image.width);
            const uint32_t row = TexelAt(quad.vMin + r * (quad.vMax - quad.vMin), image.height);
            BlendTexel(image.pixels.data() + (size_t{row} * image.width + column) * 4, quad.blend,
                       view.pixels.data() + (size_t{j} * view.width + firstColumn + i) * 4);
        }
    }
}

} // namespace

void BlendTexel(const uint8_t* source, LayerBlend blend, uint8_t* target) {
    if (blend == LayerBlend::Opaque) {
        std::copy(source, source + 3, target);
        return;
    }
    const double alpha = source[3] / 255.0;
    for (int c = 0; c < 3; ++c) {
        const double own = blend == LayerBlend::Straight ? source[c] * alpha : source[c];
        target[c] =
            static_cast<uint8_t>(std::lround(std::clamp(own + target[c] * (1.0 - alpha), 0.0, 255.0)));
    }
}

void DrawQuads(const vrsim::ViewGrid& grid, const Pose (&eyePoses)[2], const std::vector<QuadSource>& quads,
               vrsim::RgbaImage& view) {
    for (const QuadSource& quad : quads) {
        if (quad.image == nullptr || quad.image->Empty() || !(quad.width > 0.0) || !(quad.height > 0.0)) {
            continue;
        }
        DrawEye(grid, eyePoses[0], quad, 0, view);
        DrawEye(grid, eyePoses[1], quad, grid.RightColumn(), view);
    }
}

} // namespace xrsim
