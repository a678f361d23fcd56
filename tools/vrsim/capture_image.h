// Pixel work for eye captures: texel formats to 8-bit RGBA, the crop a submit's bounds select,
// and the side-by-side headset view. Platform-free; runs inside Submit under the runtime lock.
#pragma once

#include "vr_types.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vrsim {

// DXGI_FORMAT values the capture reads (the numbers are fixed by the Direct3D headers).
inline constexpr uint32_t kFormatR16G16B16A16Typeless = 9;
inline constexpr uint32_t kFormatR16G16B16A16Float = 10;
inline constexpr uint32_t kFormatR10G10B10A2Typeless = 23;
inline constexpr uint32_t kFormatR10G10B10A2Unorm = 24;
inline constexpr uint32_t kFormatR8G8B8A8Typeless = 27;
inline constexpr uint32_t kFormatR8G8B8A8Unorm = 28;
inline constexpr uint32_t kFormatR8G8B8A8UnormSrgb = 29;
inline constexpr uint32_t kFormatB8G8R8A8Unorm = 87;
inline constexpr uint32_t kFormatB8G8R8X8Unorm = 88;
inline constexpr uint32_t kFormatB8G8R8A8Typeless = 90;
inline constexpr uint32_t kFormatB8G8R8A8UnormSrgb = 91;
inline constexpr uint32_t kFormatB8G8R8X8Typeless = 92;
inline constexpr uint32_t kFormatB8G8R8X8UnormSrgb = 93;

inline constexpr int32_t kColorSpaceGamma = 1;

// Tightly packed 8-bit RGBA, rows top to bottom.
struct RgbaImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;

    [[nodiscard]] bool Empty() const { return width == 0 || height == 0; }
};

[[nodiscard]] bool IsConvertibleFormat(uint32_t format);

// The typed member of a typeless family (what a multisample resolve needs); other formats as given.
[[nodiscard]] uint32_t TypedFormat(uint32_t format);

// Converts `height` rows of `width` texels, `rowPitch` bytes apart. Stored 8- and 10-bit values
// are kept as they are; half floats hold linear light and are encoded to sRGB unless the
// submitted colour space says gamma. False for a format IsConvertibleFormat refuses.
[[nodiscard]] bool ConvertToRgba8(uint32_t format, int32_t colorSpace, const uint8_t* rows, size_t rowPitch,
                                  uint32_t width, uint32_t height, RgbaImage& image);

// Texel columns (or rows) [begin, end) that the bound pair `from`..`to` selects out of `size`;
// bounds beyond 0..1 are clamped, `mirrored` when from > to.
struct TexelSpan {
    uint32_t begin = 0;
    uint32_t end = 0;
    bool mirrored = false;
};
[[nodiscard]] TexelSpan SpanOf(float from, float to, uint32_t size);

// What the headset shows of one eye: the part inside the bounds (null = the whole texture),
// flipped where a minimum exceeds its maximum, and opaque. Empty when the bounds hold no texel.
[[nodiscard]] RgbaImage CropToBounds(const RgbaImage& image, const TextureBounds* bounds);

// Left beside right, top-aligned; where one eye is shorter the rest is opaque black.
[[nodiscard]] RgbaImage SideBySide(const RgbaImage& left, const RgbaImage& right);

} // namespace vrsim
