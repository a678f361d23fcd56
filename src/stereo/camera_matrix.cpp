#include "stereo/camera_matrix.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace corvane {

Matrix4 LoadColumnMajor(const unsigned char* bytes) noexcept {
    float stored[16];
    std::memcpy(stored, bytes, sizeof stored);
    Matrix4 matrix;
    for (int column = 0; column < 4; ++column) {
        for (int row = 0; row < 4; ++row) {
            matrix.m[row][column] = stored[column * 4 + row];
        }
    }
    return matrix;
}

void StoreColumnMajor(const Matrix4& matrix, unsigned char* bytes) noexcept {
    float stored[16];
    for (int column = 0; column < 4; ++column) {
        for (int row = 0; row < 4; ++row) {
            stored[column * 4 + row] = matrix.m[row][column];
        }
    }
    std::memcpy(bytes, stored, sizeof stored);
}

Matrix4 Multiply(const Matrix4& a, const Matrix4& b) noexcept {
    Matrix4 product;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            float sum = 0.0f;
            for (int k = 0; k < 4; ++k) {
                sum += a.m[i][k] * b.m[k][j];
            }
            product.m[i][j] = sum;
        }
    }
    return product;
}

float RelativeDifference(const Matrix4& a, const Matrix4& b) noexcept {
    float largestDifference = 0.0f;
    float largestReference = 1.0f;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            if (!std::isfinite(a.m[i][j]) || !std::isfinite(b.m[i][j])) {
                return std::numeric_limits<float>::infinity();
            }
            largestDifference = std::max(largestDifference, std::fabs(a.m[i][j] - b.m[i][j]));
            largestReference = std::max(largestReference, std::fabs(b.m[i][j]));
        }
    }
    return largestDifference / largestReference;
}

} // namespace corvane
