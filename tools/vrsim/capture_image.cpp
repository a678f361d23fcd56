// Texel conversion and cropping for captured eye textures.
#include "capture_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vrsim {
namespace {

enum class Layout { Rgba8, Bgra8, Bgrx8, Rgb10A2, RgbaHalf };

bool LayoutOf(uint32_t format, Layout& layout) {
    switch (format) {
    case kFormatR8G8B8A8Typeless:
    case kFormatR8G8B8A8Unorm:
    case kFormatR8G8B8A8UnormSrgb:
        layout = Layout::Rgba8;
        return true;
    case kFormatB8G8R8A8Typeless:
    case kFormatB8G8R8A8Unorm:
    case kFormatB8G8R8A8UnormSrgb:
        layout = Layout::Bgra8;
        return true;
    case kFormatB8G8R8X8Typeless:
    case kFormatB8G8R8X8Unorm:
    case kFormatB8G8R8X8UnormSrgb:
        layout = Layout::Bgrx8;
        return true;
    case kFormatR10G10B10A2Typeless:
    case kFormatR10G10B10A2Unorm:
        layout = Layout::Rgb10A2;
        return true;
    case kFormatR16G16B16A16Typeless:
    case kFormatR16G16B16A16Float:
        layout = Layout::RgbaHalf;
        return true;
    default:
        return false;
    }
}

float HalfToFloat(uint16_t half) {
    const uint32_t sign = (half >> 15) & 1u;
    const uint32_t exponent = (half >> 10) & 0x1Fu;
    const uint32_t mantissa = half & 0x3FFu;
    float magnitude = 0.0f;
    if (exponent == 0) {
        magnitude = std::ldexp(static_cast<float>(mantissa), -24);
    } else if (exponent == 31) {
        magnitude = mantissa == 0 ? INFINITY : NAN;
    } else {
        magnitude = std::ldexp(static_cast<float>(mantissa | 0x400u), static_cast<int>(exponent) - 25);
    }
    return sign ? -magnitude : magnitude;
}

uint8_t UnitToByte(float value) {
    if (!(value > 0.0f)) { // NaN and negatives are black
        return 0;
    }
    if (value >= 1.0f) {
        return 255;
    }
    return static_cast<uint8_t>(std::lround(value * 255.0f));
}

float LinearToSrgb(float value) {
    if (!(value > 0.0f)) {
        return 0.0f;
    }
    if (value <= 0.0031308f) {
        return value * 12.92f;
    }
    return 1.055f * std::pow(std::min(value, 1.0f), 1.0f / 2.4f) - 0.055f;
}

void ConvertRow(Layout layout, bool halfIsLinear, const uint8_t* in, uint32_t width, uint8_t* out) {
    for (uint32_t x = 0; x < width; ++x, out += 4) {
        switch (layout) {
        case Layout::Rgba8:
            std::memcpy(out, in + 4 * x, 4);
            break;
        case Layout::Bgra8:
        case Layout::Bgrx8: {
            const uint8_t* texel = in + 4 * x;
            out[0] = texel[2];
            out[1] = texel[1];
            out[2] = texel[0];
            out[3] = layout == Layout::Bgra8 ? texel[3] : 255;
            break;
        }
        case Layout::Rgb10A2: {
            uint32_t texel = 0;
            std::memcpy(&texel, in + 4 * x, 4);
            for (int c = 0; c < 3; ++c) {
                out[c] = static_cast<uint8_t>((((texel >> (10 * c)) & 0x3FFu) * 255u + 511u) / 1023u);
            }
            out[3] = static_cast<uint8_t>((texel >> 30) * 85u);
            break;
        }
        case Layout::RgbaHalf: {
            uint16_t texel[4];
            std::memcpy(texel, in + 8 * x, 8);
            for (int c = 0; c < 3; ++c) {
                float value = HalfToFloat(texel[c]);
                out[c] = UnitToByte(halfIsLinear ? LinearToSrgb(value) : value);
            }
            out[3] = UnitToByte(HalfToFloat(texel[3]));
            break;
        }
        }
    }
}

} // namespace

bool IsConvertibleFormat(uint32_t format) {
    Layout layout{};
    return LayoutOf(format, layout);
}

uint32_t TypedFormat(uint32_t format) {
    switch (format) {
    case kFormatR16G16B16A16Typeless:
        return kFormatR16G16B16A16Float;
    case kFormatR10G10B10A2Typeless:
        return kFormatR10G10B10A2Unorm;
    case kFormatR8G8B8A8Typeless:
        return kFormatR8G8B8A8Unorm;
    case kFormatB8G8R8A8Typeless:
        return kFormatB8G8R8A8Unorm;
    case kFormatB8G8R8X8Typeless:
        return kFormatB8G8R8X8Unorm;
    default:
        return format;
    }
}

bool ConvertToRgba8(uint32_t format, int32_t colorSpace, const uint8_t* rows, size_t rowPitch, uint32_t width,
                    uint32_t height, RgbaImage& image) {
    Layout layout{};
    if (!LayoutOf(format, layout)) {
        return false;
    }
    image.width = width;
    image.height = height;
    image.pixels.assign(size_t{width} * height * 4, 0);
    for (uint32_t y = 0; y < height; ++y) {
        ConvertRow(layout, colorSpace != kColorSpaceGamma, rows + rowPitch * y, width,
                   image.pixels.data() + size_t{width} * 4 * y);
    }
    return true;
}

TexelSpan SpanOf(float from, float to, uint32_t size) {
    auto texel = [size](float bound) {
        double clamped = std::clamp(static_cast<double>(bound), 0.0, 1.0);
        return static_cast<uint32_t>(std::lround(clamped * size));
    };
    TexelSpan span;
    span.mirrored = from > to;
    span.begin = texel(std::min(from, to));
    span.end = texel(std::max(from, to));
    return span;
}

RgbaImage CropToBounds(const RgbaImage& image, const TextureBounds* bounds) {
    const TextureBounds whole{0.0f, 0.0f, 1.0f, 1.0f};
    const TextureBounds& b = bounds != nullptr ? *bounds : whole;
    const TexelSpan columns = SpanOf(b.uMin, b.uMax, image.width);
    const TexelSpan rows = SpanOf(b.vMin, b.vMax, image.height);
    RgbaImage crop;
    if (columns.end <= columns.begin || rows.end <= rows.begin) {
        return crop;
    }
    crop.width = columns.end - columns.begin;
    crop.height = rows.end - rows.begin;
    crop.pixels.resize(size_t{crop.width} * crop.height * 4);
    for (uint32_t y = 0; y < crop.height; ++y) {
        uint32_t sourceY = rows.mirrored ? rows.end - 1 - y : rows.begin + y;
        for (uint32_t x = 0; x < crop.width; ++x) {
            uint32_t sourceX = columns.mirrored ? columns.end - 1 - x : columns.begin + x;
            const uint8_t* from = image.pixels.data() + (size_t{sourceY} * image.width + sourceX) * 4;
            uint8_t* to = crop.pixels.data() + (size_t{y} * crop.width + x) * 4;
            std::memcpy(to, from, 3);
            to[3] = 255; // the headset ignores alpha
        }
    }
    return crop;
}

RgbaImage SideBySide(const RgbaImage& left, const RgbaImage& right) {
    RgbaImage view;
    view.width = left.width + right.width;
    view.height = std::max(left.height, right.height);
    view.pixels.resize(size_t{view.width} * view.height * 4);
    for (size_t i = 0; i < view.pixels.size(); i += 4) {
        view.pixels[i + 3] = 255;
    }
    auto place = [&view](const RgbaImage& eye, uint32_t column) {
        for (uint32_t y = 0; y < eye.height; ++y) {
            std::memcpy(view.pixels.data() + (size_t{y} * view.width + column) * 4,
                        eye.pixels.data() + size_t{y} * eye.width * 4, size_t{eye.width} * 4);
        }
    };
    place(left, 0);
    place(right, left.width);
    return view;
}

} // namespace vrsim
