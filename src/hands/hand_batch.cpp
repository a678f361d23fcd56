#include "hands/hand_batch.h"

#include <algorithm>
#include <cmath>

namespace corvane {
namespace {

// Clip-space w below which a corner counts as at or behind the eye.
constexpr float kSmallestW = 1e-6f;

// Over the whole viewport at the far depth: x and y doubled so the cube's ±0.5 reach ±1, and
// z = w = 1 for every corner.
constexpr Matrix44 kDepthResetMatrix{{{2, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 0, 1}, {0, 0, 0, 1}}};

HandRectangle WholeViewport(const HandScene& scene, const HandViewport& viewport) {
    const auto clampTo = [](double value, uint32_t size) {
        return static_cast<long>(std::clamp(value, 0.0, static_cast<double>(size)));
    };
    return HandRectangle{clampTo(std::floor(viewport.topLeftX), scene.textureWidth),
                         clampTo(std::floor(viewport.topLeftY), scene.textureHeight),
                         clampTo(std::ceil(viewport.topLeftX + viewport.width), scene.textureWidth),
                         clampTo(std::ceil(viewport.topLeftY + viewport.height), scene.textureHeight)};
}

} // namespace

void PlaceBox(const Matrix44& modelViewProjection, const HandColour& colour,
              std::span<HandVertex, kBoxCorners> corners) {
    for (int corner = 0; corner < kBoxCorners; ++corner) {
        const float p[4] = {kUnitCubeCorners[corner][0], kUnitCubeCorners[corner][1],
                            kUnitCubeCorners[corner][2], 1.0f};
        HandVertex& vertex = corners[corner];
        for (int row = 0; row < 4; ++row) {
            float sum = 0.0f;
            for (int i = 0; i < 4; ++i) {
                sum += modelViewProjection.m[row][i] * p[i];
            }
            vertex.clip[row] = sum;
        }
        vertex.colour[0] = colour.red;
        vertex.colour[1] = colour.green;
        vertex.colour[2] = colour.blue;
        vertex.colour[3] = colour.alpha;
    }
}

HandRectangle CoveredRectangle(const HandScene& scene, const HandViewport& viewport,
                               std::span<const HandVertex> corners) {
    const HandRectangle whole = WholeViewport(scene, viewport);
    double minX = INFINITY;
    double minY = INFINITY;
    double maxX = -INFINITY;
    double maxY = -INFINITY;
    for (const HandVertex& corner : corners) {
        const float* clip = corner.clip;
        if (!(clip[3] > kSmallestW) || !std::isfinite(clip[0]) || !std::isfinite(clip[1]) ||
            !std::isfinite(clip[3])) {
            return whole;
        }
        // Normalised device coordinates to texels: x to the right, y downwards.
        const double x = viewport.topLeftX + (double{clip[0]} / clip[3] + 1.0) * 0.5 * viewport.width;
        const double y = viewport.topLeftY + (1.0 - double{clip[1]} / clip[3]) * 0.5 * viewport.height;
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
    }
    if (!(minX <= maxX) || !(minY <= maxY)) {
        return HandRectangle{whole.left, whole.top, whole.left, whole.top};
    }
    const auto clampTo = [](double value, long low, long high) {
        return static_cast<long>(std::clamp(value, static_cast<double>(low), static_cast<double>(high)));
    };
    return HandRectangle{clampTo(std::floor(minX) - 1.0, whole.left, whole.right),
                         clampTo(std::floor(minY) - 1.0, whole.top, whole.bottom),
                         clampTo(std::ceil(maxX) + 1.0, whole.left, whole.right),
                         clampTo(std::ceil(maxY) + 1.0, whole.top, whole.bottom)};
}

bool BuildHandBatch(const HandScene& scene, int eye, HandBatch& batch) {
    Matrix44 viewProjection;
    if (!EyeViewProjection(scene, eye, viewProjection)) {
        return false;
    }
    const std::span<HandVertex> vertices(batch.vertices);
    for (int hand = 0; hand < 2; ++hand) {
        HandParts parts;
        batch.handDrawn[hand] = PlaceHand(scene, scene.controllers[hand], parts);
        if (!batch.handDrawn[hand]) {
            continue;
        }
        for (int part = 0; part < kHandPartCount; ++part) {
            const size_t box = static_cast<size_t>(hand * kHandPartCount + part);
            PlaceBox(MatrixMultiply(viewProjection, parts[part].model), parts[part].colour,
                     vertices.subspan(box * kBoxCorners).first<kBoxCorners>());
        }
    }
    if (!batch.handDrawn[0] && !batch.handDrawn[1]) {
        return false;
    }
    PlaceBox(kDepthResetMatrix, HandColour{},
             vertices.subspan(kDepthResetBox * kBoxCorners).first<kBoxCorners>());
    // Only the hands that are drawn bound the rectangle: the two hands' boxes are consecutive.
    const size_t first = batch.handDrawn[0] ? 0 : kHandPartCount * kBoxCorners;
    const size_t count =
        (batch.handDrawn[0] && batch.handDrawn[1] ? kHandBoxCount : kHandPartCount) * kBoxCorners;
    batch.rectangle = CoveredRectangle(scene, HandViewportFor(scene), vertices.subspan(first, count));
    return true;
}

} // namespace corvane
