// 4 x 4 matrices as the tests of the camera buffer write them: [row][column], products worked
// in double precision, so that a test's expectations do not share the float rounding of the
// code under test.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

namespace corvane::testing_support {

using Mat = std::array<std::array<float, 4>, 4>; // [row][column]

inline Mat Product(const Mat& a, const Mat& b) {
    Mat c{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) {
                sum += double{a[i][k]} * double{b[k][j]};
            }
            c[i][j] = static_cast<float>(sum);
        }
    }
    return c;
}

inline Mat Transposed(const Mat& m) {
    Mat t{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            t[i][j] = m[j][i];
        }
    }
    return t;
}

// A camera buffer holds each matrix column-major: the mathematical matrix is the transpose of
// the 16 floats as they lie in memory.
inline void StoreColumnMajor(unsigned char* bytes, size_t offset, const Mat& m) {
    float stored[16];
    for (int k = 0; k < 16; ++k) {
        stored[k] = m[k % 4][k / 4];
    }
    std::memcpy(bytes + offset, stored, sizeof stored);
}

inline Mat LoadColumnMajor(const unsigned char* bytes, size_t offset) {
    float stored[16];
    std::memcpy(stored, bytes + offset, sizeof stored);
    Mat m{};
    for (int k = 0; k < 16; ++k) {
        m[k % 4][k / 4] = stored[k];
    }
    return m;
}

} // namespace corvane::testing_support
