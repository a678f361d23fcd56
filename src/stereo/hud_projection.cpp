#include "stereo/hud_projection.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace corvane {
namespace {

constexpr uint8_t kHudShaderHeader[20] = {'D',  'X',  'B',  'C',  0x15, 0x8C, 0x3A, 0xD2, 0xCD, 0xCA,
                                          0x1F, 0xC1, 0xD3, 0xE1, 0xCA, 0xD4, 0x67, 0x80, 0xA2, 0xE0};

float MatrixAt(const uint8_t* data, int row, int column) noexcept {
    float value = 0.0f;
    std::memcpy(&value, data + 16 * row + 4 * column, sizeof value);
    return value;
}

// Rounded pixel values stay inside the viewport; a viewport beyond the 32-bit range is held to it.
int32_t ToPixel(float value) noexcept {
    return static_cast<int32_t>(std::clamp(value, -2147483648.0f, 2147483520.0f));
}

bool InRange(float value, float low, float high) noexcept {
    return value >= low && value <= high;
}

} // namespace

bool IsHudShaderBytecode(const void* bytecode, size_t length) noexcept {
    return bytecode != nullptr && length == kHudShaderBytecodeBytes &&
           std::memcmp(bytecode, kHudShaderHeader, sizeof kHudShaderHeader) == 0;
}

bool IsOrthographicHudProjection(const uint8_t* data) noexcept {
    if (data == nullptr) {
        return false;
    }
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            const float value = MatrixAt(data, r, c);
            if (!std::isfinite(value) || std::fabs(value) > 1e6f) {
                return false;
            }
        }
    }
    const float m00 = MatrixAt(data, 0, 0);
    const float m11 = MatrixAt(data, 1, 1);
    if (!InRange(std::fabs(m00), 1e-5f, 0.1f) || !InRange(std::fabs(m11), 1e-5f, 0.1f) ||
        !(m00 * m11 < 0.0f)) {
        return false;
    }
    if (std::fabs(MatrixAt(data, 0, 3)) > 0.05f || std::fabs(MatrixAt(data, 1, 3)) > 0.05f ||
        std::fabs(MatrixAt(data, 2, 3)) > 0.05f || std::fabs(MatrixAt(data, 3, 3) - 1.0f) > 0.05f) {
        return false;
    }
    return InRange(MatrixAt(data, 3, 0), -2.5f, -0.25f) && InRange(MatrixAt(data, 3, 1), 0.25f, 2.5f);
}

bool SameFloats(const float* a, const float* b, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) {
        // NaN != NaN, so a NaN on either side counts as a change.
        if (!(a[i] == b[i])) {
            return false;
        }
    }
    return true;
}

HudSafeFrame SharedHudSafeFrame(float hudScale, float hudVerticalOffset) noexcept {
    // std::max keeps the first argument when the scale is NaN, so a NaN scale becomes 0.01 too.
    const float scaleX = std::max(kHudSmallestHorizontalScale, hudScale);
    return HudSafeFrame{scaleX, 0.0f, kHudVerticalScale, hudVerticalOffset};
}

HudSafeFrame EyeHudSafeFrame(const HudSafeFrame& shared, float remapScaleX, float remapScaleY,
                             float remapCentreX, float remapCentreY) noexcept {
    return HudSafeFrame{shared.scaleX * remapScaleX, shared.offsetX * remapScaleX + remapCentreX,
                        shared.scaleY * remapScaleY, shared.offsetY * remapScaleY + remapCentreY};
}

void ReprojectHudConstants(const uint8_t* in, const HudSafeFrame& frame, uint8_t* out) noexcept {
    float m[4][4];
    std::memcpy(out, in, kHudConstantBytes);
    std::memcpy(m, in, sizeof m);
    for (auto& row : m) {
        row[0] = frame.scaleX * row[0] + frame.offsetX * row[3];
        row[1] = frame.scaleY * row[1] + frame.offsetY * row[3];
    }
    std::memcpy(out, m, sizeof m);
}

bool IsUsableHudViewport(const HudViewport& viewport) noexcept {
    return std::isfinite(viewport.x) && std::isfinite(viewport.y) && std::isfinite(viewport.width) &&
           std::isfinite(viewport.height) && viewport.width > 0.0f && viewport.height > 0.0f;
}

HudRect RemapHudScissorRect(const HudRect& rect, const HudViewport& viewport,
                            const HudSafeFrame& frame) noexcept {
    const float x0 = viewport.x;
    const float y0 = viewport.y;
    const float w = viewport.width;
    const float h = viewport.height;
    const float ax = x0 + w * (frame.offsetX + 1.0f - frame.scaleX) / 2.0f;
    const float ay = y0 + h * (1.0f - frame.scaleY - frame.offsetY) / 2.0f;
    const auto mapX = [&](int32_t v) {
        return std::clamp((static_cast<float>(v) - x0) * frame.scaleX + ax, x0, x0 + w);
    };
    const auto mapY = [&](int32_t v) {
        return std::clamp((static_cast<float>(v) - y0) * frame.scaleY + ay, y0, y0 + h);
    };
    return HudRect{ToPixel(std::floor(mapX(rect.left))), ToPixel(std::floor(mapY(rect.top))),
                   ToPixel(std::ceil(mapX(rect.right))), ToPixel(std::ceil(mapY(rect.bottom)))};
}

HudCacheChoice ChooseHudCacheEntry(const void* const* keys, const void* key,
                                   uint64_t& evictCounter) noexcept {
    for (uint32_t i = 0; i < kHudCacheEntries; ++i) {
        if (key != nullptr && keys[i] == key) {
            return HudCacheChoice{i, false};
        }
    }
    for (uint32_t i = 0; i < kHudCacheEntries; ++i) {
        if (keys[i] == nullptr) {
            return HudCacheChoice{i, false};
        }
    }
    const auto victim = static_cast<uint32_t>(evictCounter++ % kHudCacheEntries);
    return HudCacheChoice{victim, true};
}

} // namespace corvane
