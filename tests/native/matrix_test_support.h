// 4 x 4 matrices as the tests of the camera buffer write them: [row][column], products worked
// in double precision, so that a test's expectations do not share the float rounding of the
// code under test.
#pragma once

#include <array>

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

} // namespace corvane::testing_support
