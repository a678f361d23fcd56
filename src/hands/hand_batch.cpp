#include "hands/hand_batch.h"

#include <cmath>

namespace corvane {
namespace {

// Clip-space w below which a corner counts as at or behind the eye.
constexpr float kSmallestW = 1e-6f;

// Each corner's partner across the plane x = 0: placing corner k at its partner's position
// mirrors the cube, and every face keeps its place but turns its winding round.
constexpr int kMirroredCorner[kBoxCorners] = {3, 2, 1, 0, 7, 6, 5, 4};

// Only the sign is needed; double precision keeps it for the small boxes of a far projection.
double Determinant(const Matrix44& matrix) {
    double m[4][4];
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            m[row][column] = matrix.m[row][column];
        }
    }
    // Laplace expansion by the 2 x 2 minors of the first two rows and of the last two.
    const double s0 = m[0][0] * m[1][1] - m[1][0] * m[0][1];
    const double s1 = m[0][0] * m[1][2] - m[1][0] * m[0][2];
    const double s2 = m[0][0] * m[1][3] - m[1][0] * m[0][3];
    const double s3 = m[0][1] * m[1][2] - m[1][1] * m[0][2];
    const double s4 = m[0][1] * m[1][3] - m[1][1] * m[0][3];
    const double s5 = m[0][2] * m[1][3] - m[1][2] * m[0][3];
    const double c5 = m[2][2] * m[3][3] - m[3][2] * m[2][3];
    const double c4 = m[2][1] * m[3][3] - m[3][1] * m[2][3];
    const double c3 = m[2][1] * m[3][2] - m[3][1] * m[2][2];
    const double c2 = m[2][0] * m[3][3] - m[3][0] * m[2][3];
    const double c1 = m[2][0] * m[3][2] - m[3][0] * m[2][2];
    const double c0 = m[2][0] * m[3][1] - m[3][0] * m[2][1];
    return s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0;
}

bool BetweenNearAndFar(const HandVertex& corner) {
    const float* clip = corner.clip;
    return std::isfinite(clip[0]) && std::isfinite(clip[1]) && std::isfinite(clip[2]) &&
           std::isfinite(clip[3]) && clip[3] > kSmallestW && clip[2] >= 0.0f && clip[2] <= clip[3];
}

} // namespace

void PlaceBox(const Matrix44& modelViewProjection, const HandColour& colour,
              std::span<HandVertex, kBoxCorners> corners) {
    const bool mirrored = Determinant(modelViewProjection) < 0.0;
    for (int corner = 0; corner < kBoxCorners; ++corner) {
        const float* unit = kUnitCubeCorners[mirrored ? kMirroredCorner[corner] : corner];
        const float p[4] = {unit[0], unit[1], unit[2], 1.0f};
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

bool BuildHandBatch(const HandScene& scene, int eye, HandBatch& batch) {
    Matrix44 viewProjection;
    if (!EyeViewProjection(scene, eye, viewProjection)) {
        return false;
    }
    const std::span<HandVertex> vertices(batch.vertices);
    batch.betweenNearAndFar = true;
    for (int hand = 0; hand < 2; ++hand) {
        HandParts parts;
        batch.handDrawn[hand] = PlaceHand(scene, scene.controllers[hand], parts);
        if (!batch.handDrawn[hand]) {
            continue;
        }
        for (int part = 0; part < kHandPartCount; ++part) {
            const size_t box = static_cast<size_t>(hand * kHandPartCount + part);
            const std::span<HandVertex, kBoxCorners> corners =
                vertices.subspan(box * kBoxCorners).first<kBoxCorners>();
            PlaceBox(MatrixMultiply(viewProjection, parts[part].model), parts[part].colour, corners);
            for (const HandVertex& corner : corners) {
                batch.betweenNearAndFar = batch.betweenNearAndFar && BetweenNearAndFar(corner);
            }
        }
    }
    return batch.handDrawn[0] || batch.handDrawn[1];
}

void SqueezeIntoDepthSlice(HandBatch& batch, const HandDepthSlice& slice) {
    for (HandVertex& vertex : batch.vertices) {
        vertex.clip[2] = slice.nearest * vertex.clip[3] + slice.width * vertex.clip[2];
    }
}

} // namespace corvane
