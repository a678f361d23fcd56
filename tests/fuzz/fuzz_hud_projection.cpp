// Any 128 bytes as the HUD's constant buffer: the orthographic acceptance takes only a matrix
// that meets every stated bound (so a capture of anything else changes nothing), and the
// per-eye re-projection of an accepted buffer, for any HUD scale and offset the settings and
// live tuning can produce, changes only the first two columns of the matrix, keeps the other
// 64 bytes, writes finite values, and leaves the matrix exactly as it was under the identity
// frame.
//
// Input: the 128 bytes, then the HUD scale and vertical offset as floats (brought into the
// settings' range: scale at least 0.01, both at most 4 in size).
#include "fuzz_check.h"
#include "stereo/hud_projection.h"

namespace {

float Element(const uint8_t* bytes, int row, int column) {
    float value;
    std::memcpy(&value, bytes + 16 * row + 4 * column, sizeof value);
    return value;
}

bool MeetsStatedBounds(const uint8_t* bytes) {
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            const float value = Element(bytes, r, c);
            if (!std::isfinite(value) || std::fabs(value) > 1e6f) {
                return false;
            }
        }
    }
    const float m00 = Element(bytes, 0, 0);
    const float m11 = Element(bytes, 1, 1);
    const auto within = [](float v, float low, float high) { return v >= low && v <= high; };
    return within(std::fabs(m00), 1e-5f, 0.1f) && within(std::fabs(m11), 1e-5f, 0.1f) && m00 * m11 < 0.0f &&
           std::fabs(Element(bytes, 0, 3)) <= 0.05f && std::fabs(Element(bytes, 1, 3)) <= 0.05f &&
           std::fabs(Element(bytes, 2, 3)) <= 0.05f && std::fabs(Element(bytes, 3, 3) - 1.0f) <= 0.05f &&
           within(Element(bytes, 3, 0), -2.5f, -0.25f) && within(Element(bytes, 3, 1), 0.25f, 2.5f);
}

float Bounded(float value, float low, float high, float fallback) {
    return std::isfinite(value) ? std::fmin(std::fmax(value, low), high) : fallback;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace corvane;
    fuzz::InputReader in(data, size);
    uint8_t constants[kHudConstantBytes];
    in.Take(constants, sizeof constants);
    const float hudScale = Bounded(in.Take<float>(), 0.01f, 4.0f, 0.75f);
    const float hudOffset = Bounded(in.Take<float>(), -4.0f, 4.0f, 0.0f);

    uint8_t before[kHudConstantBytes];
    std::memcpy(before, constants, sizeof constants);
    const bool accepted = IsOrthographicHudProjection(constants);
    FUZZ_CHECK(std::memcmp(before, constants, sizeof constants) == 0);
    FUZZ_CHECK(accepted == MeetsStatedBounds(constants));
    if (!accepted) {
        return 0;
    }

    const HudSafeFrame frame = SharedHudSafeFrame(hudScale, hudOffset);
    FUZZ_CHECK(frame.scaleX >= kHudSmallestHorizontalScale && frame.scaleY == kHudVerticalScale);
    uint8_t out[kHudConstantBytes];
    ReprojectHudConstants(constants, frame, out);
    FUZZ_CHECK(std::memcmp(before, constants, sizeof constants) == 0);
    FUZZ_CHECK(std::memcmp(out + 64, constants + 64, 64) == 0);
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            FUZZ_CHECK(std::isfinite(Element(out, r, c)));
            if (c >= 2) {
                FUZZ_CHECK(std::memcmp(out + 16 * r + 4 * c, constants + 16 * r + 4 * c, 4) == 0);
            }
        }
        // x' = sx x + ox w and y' = sy y + oy w, row by row.
        const float w = Element(constants, r, 3);
        FUZZ_CHECK(Element(out, r, 0) == frame.scaleX * Element(constants, r, 0) + frame.offsetX * w);
        FUZZ_CHECK(Element(out, r, 1) == frame.scaleY * Element(constants, r, 1) + frame.offsetY * w);
    }

    uint8_t unchanged[kHudConstantBytes];
    ReprojectHudConstants(constants, HudSafeFrame{1.0f, 0.0f, 1.0f, 0.0f}, unchanged);
    for (int i = 0; i < 16; ++i) {
        float a;
        float b;
        std::memcpy(&a, unchanged + 4 * i, 4);
        std::memcpy(&b, constants + 4 * i, 4);
        FUZZ_CHECK(a == b);
    }
    return 0;
}
