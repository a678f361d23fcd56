// 4 x 4 float matrices of the game's camera constant buffer, as mathematics reads them
// (element [i][j] = row i, column j), and the column-major way the buffer stores them.
// Pure functions, any thread.
#pragma once

#include <cstddef>

namespace corvane {

struct Matrix4 {
    float m[4][4] = {};
};

// The matrix whose transpose lies at `bytes` (16 floats, column-major).
[[nodiscard]] Matrix4 LoadColumnMajor(const unsigned char* bytes) noexcept;
// Stores the matrix column-major at `bytes`.
void StoreColumnMajor(const Matrix4& matrix, unsigned char* bytes) noexcept;

// a x b.
[[nodiscard]] Matrix4 Multiply(const Matrix4& a, const Matrix4& b) noexcept;

// The largest element difference relative to the largest element of `b` (at least 1);
// +infinity when any element of either is not finite.
[[nodiscard]] float RelativeDifference(const Matrix4& a, const Matrix4& b) noexcept;

} // namespace corvane
