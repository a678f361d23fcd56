// The player's view in the stand-in runtime, without the DLL: the tangent grid both eyes share,
// each eye's texture spread over its raw field through its bounds, and the displayed direction of
// a colour. Expected texels and tangents were worked out by hand from the mapping
// u = uMin + (x - l) / (r - l) * (uMax - uMin), v = vMin + (b - y) / (b - t) * (vMax - vMin).
#include "eye_view.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

namespace vrsim {
namespace {

using Rgb = std::array<uint8_t, 3>;

// Raw tangents: left, right, top (down, negative), bottom (up).
constexpr RawField kLeftField{-1.39f, 1.25f, -1.47f, 1.47f};
constexpr RawField kRightField{-1.25f, 1.39f, -1.47f, 1.47f};
constexpr RawField kDefaultFields[2] = {kLeftField, kRightField};
constexpr TextureBounds kInnerBounds{0.1f, 0.05f, 0.9f, 0.95f};
constexpr Rgb kOutside{32, 0, 48};

RgbaImage MakeImage(uint32_t width, uint32_t height, const std::function<Rgb(uint32_t, uint32_t)>& colour) {
    RgbaImage image;
    image.width = width;
    image.height = height;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const Rgb c = colour(x, y);
            image.pixels.insert(image.pixels.end(), {c[0], c[1], c[2], 200});
        }
    }
    return image;
}

// Every texel distinct, so the texel a view pixel shows can be read off its colour.
Rgb Pattern(uint32_t x, uint32_t y, uint8_t mark) {
    return {static_cast<uint8_t>(x * 12), static_cast<uint8_t>(y * 25), mark};
}

Rgb At(const RgbaImage& image, uint32_t x, uint32_t y) {
    const uint8_t* p = image.pixels.data() + (size_t{y} * image.width + x) * 4;
    EXPECT_EQ(255, p[3]) << "the view is opaque, at " << x << "," << y;
    return {p[0], p[1], p[2]};
}

std::string Text(const Rgb& c) {
    char text[16];
    std::snprintf(text, sizeof text, "(%d,%d,%d)", c[0], c[1], c[2]);
    return text;
}

TEST(ViewGridTest, CoversBothFieldsAtTheChosenOrDefaultResolution) {
    struct Case {
        const char* name;
        RawField fields[2];
        float pixelsPerTangent;
        uint32_t renderHeight;
        double x0, x1, y0, y1, pixelsPerTangentUsed;
        uint32_t columns, rows;
    };
    const float nan = std::nanf("");
    const Case cases[] = {
        // 2240 / 2.94 = 761.9 rounds to 762; 2.78 * 762 = 2118.4 and 2.94 * 762 = 2240.3 round up.
        {"default optics",
         {kLeftField, kRightField},
         0.0f,
         2240,
         -1.39,
         1.39,
         -1.47,
         1.47,
         762.0,
         2119,
         2241},
        {"ten per tangent", {kLeftField, kRightField}, 10.0f, 2240, -1.39, 1.39, -1.47, 1.47, 10.0, 28, 30},
        // Each bound comes from whichever eye reaches further.
        {"union", {kLeftField, {-1.25f, 1.5f, -1.2f, 1.6f}}, 10.0f, 0, -1.39, 1.5, -1.47, 1.6, 10.0, 29, 31},
        {"non-finite ignored",
         {kLeftField, {nan, 1.39f, -1.47f, nan}},
         10.0f,
         0,
         -1.39,
         1.39,
         -1.47,
         1.47,
         10.0,
         28,
         30},
        // A span of a whole number of pixels gains no column.
        {"whole pixels", {{-1, 1, -1, 1}, {-1, 1, -1, 1}}, 10.0f, 0, -1.0, 1.0, -1.0, 1.0, 10.0, 20, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ViewGrid grid = GridCovering(c.fields, c.pixelsPerTangent, c.renderHeight);
        EXPECT_NEAR(c.x0, grid.x0, 1e-6);
        EXPECT_NEAR(c.x1, grid.x1, 1e-6);
        EXPECT_NEAR(c.y0, grid.y0, 1e-6);
        EXPECT_NEAR(c.y1, grid.y1, 1e-6);
        EXPECT_EQ(c.pixelsPerTangentUsed, grid.pixelsPerTangent);
        EXPECT_EQ(c.columns, grid.columns);
        EXPECT_EQ(c.rows, grid.rows);
        EXPECT_EQ(c.columns + 4, grid.RightColumn());
    }

    const RawField none[2] = {{nan, nan, nan, nan}, {0, 0, 0, 0}};
    EXPECT_FALSE(GridCovering(none, 10.0f, 2240).Valid());
    const RawField wide[2] = {{-3, 3, -1, 1}, {-3, 3, -1, 1}};
    EXPECT_TRUE(GridCovering(wide, 1365.0f, 0).Valid());  // 8190 columns
    EXPECT_FALSE(GridCovering(wide, 1366.0f, 0).Valid()); // 8196 columns
}

TEST(ComposeViewTest, EachEyeShowsItsBoundsSpreadOverItsOwnField) {
    const ViewGrid grid = GridCovering(kDefaultFields, 10.0f, 0); // 28 x 30 per eye
    const RgbaImage leftImage = MakeImage(20, 10, [](uint32_t x, uint32_t y) { return Pattern(x, y, 10); });
    const RgbaImage rightImage = MakeImage(20, 10, [](uint32_t x, uint32_t y) { return Pattern(x, y, 200); });
    const EyeSource left{&leftImage, kInnerBounds, kLeftField};
    // The right half of the texture, upside down.
    const EyeSource right{&rightImage, {0.5f, 1.0f, 1.0f, 0.0f}, kRightField};
    const RgbaImage view = ComposeView(grid, left, right);
    ASSERT_EQ(28u + 4u + 28u, view.width);
    ASSERT_EQ(30u, view.height);

    struct Probe {
        uint32_t column, row; // in the picture
        Rgb expected;
    };
    const Probe probes[] = {
        // Left half: pixel (i, j) looks along x = -1.39 + (i + 0.5) / 10, y = 1.47 - (j + 0.5) / 10.
        {3, 5, Pattern(4, 2, 10)},    // (-1.04, 0.92): u 0.2061, v 0.2184
        {0, 0, Pattern(2, 0, 10)},    // (-1.34, 1.42): u 0.1152, v 0.0653
        {13, 14, Pattern(10, 4, 10)}, // (-0.04, 0.02): u 0.5091, v 0.4939
        {25, 3, Pattern(17, 1, 10)},  // (1.16, 1.12): u 0.8727, v 0.1571
        {20, 28, Pattern(14, 9, 10)}, // (0.66, -1.38)
        {26, 3, kOutside},            // x 1.26 is right of the left eye's field
        {13, 29, kOutside},           // y -1.48 is below it
        {28, 7, {0, 0, 0}},           // the gap
        {31, 7, {0, 0, 0}},
        // Right half from column 32.
        {32 + 0, 10, kOutside},             // x -1.34 is left of the right eye's field
        {32 + 1, 10, Pattern(10, 6, 200)},  // (-1.24, 0.42): u 0.5019, v 0.6429
        {32 + 27, 0, Pattern(19, 9, 200)},  // (1.36, 1.42): u 0.9943, v 0.9830
        {32 + 14, 15, Pattern(14, 4, 200)}, // (0.06, -0.08): u 0.7481, v 0.4728
    };
    for (const Probe& p : probes) {
        EXPECT_EQ(Text(p.expected), Text(At(view, p.column, p.row))) << "at " << p.column << "," << p.row;
    }
}

TEST(ComposeViewTest, CoordinatesOffTheTextureAndUnusableFieldsShowTheOutsideColour) {
    const ViewGrid grid = GridCovering(kDefaultFields, 10.0f, 0);
    const RgbaImage image = MakeImage(20, 10, [](uint32_t x, uint32_t y) { return Pattern(x, y, 77); });
    // Bounds reaching left of the texture: u < 0 until x passes -1.39 + 0.88.
    const EyeSource left{&image, {-0.5f, 0.0f, 1.0f, 1.0f}, kLeftField};
    const EyeSource right{&image, kInnerBounds, {1.25f, -1.39f, -1.47f, 1.47f}}; // left > right
    const RgbaImage view = ComposeView(grid, left, right);
    EXPECT_EQ(Text(kOutside), Text(At(view, 8, 5)));          // u -0.017
    EXPECT_EQ(Text(Pattern(0, 1, 77)), Text(At(view, 9, 5))); // u 0.0398, v 0.1871
    for (uint32_t column = 32; column < view.width; ++column) {
        ASSERT_EQ(Text(kOutside), Text(At(view, column, 15))) << "column " << column;
    }
}

TEST(FindColourTest, TheMeanTexelCentreIsMappedToItsDisplayedDirection) {
    // Grey, a red patch of 7 texels (rows 3-4, columns 12-14, and (15, 3)), red decoys at
    // (0, 0) and (19, 9) outside kInnerBounds, (210, 70, 30) exactly 40 from red and (209, 30, 30)
    // 41 from it.
    const RgbaImage image = MakeImage(20, 10, [](uint32_t x, uint32_t y) -> Rgb {
        const bool patch = (y == 3 || y == 4) && x >= 12 && x <= 14;
        if (patch || (x == 15 && y == 3) || (x == 0 && y == 0) || (x == 19 && y == 9)) {
            return {250, 30, 30};
        }
        if (x == 5 && y == 7) {
            return {210, 70, 30};
        }
        if (x == 6 && y == 7) {
            return {209, 30, 30};
        }
        return {100, 100, 100};
    });
    struct Case {
        const char* name;
        TextureBounds bounds;
        RawField field;
        uint8_t tolerance;
        uint32_t texels;
        double x, y, xMin, yMin, xMax, yMax;
    };
    const Case cases[] = {
        // Mean texel (13.29, 3.43): u 0.6893, v 0.3929 -> x -1.39 + 0.5893 / 0.8 * 2.64.
        {"exact", kInnerBounds, kLeftField, 0, 7, 0.554643, 0.35, 0.26, 0.0, 0.92, 0.653333},
        {"within tolerance", kInnerBounds, kLeftField, 40, 8, 0.38375, 0.204167, -0.895, -0.98, 0.92,
         0.653333},
        // Mirrored bounds over a mirrored field show the patch mirrored in both directions.
        {"mirrored",
         {0.9f, 0.95f, 0.1f, 0.05f},
         kRightField,
         0,
         7,
         -0.554643,
         -0.35,
         -0.92,
         -0.653333,
         -0.26,
         0.0},
        {"whole texture",
         {0.0f, 0.0f, 1.0f, 1.0f},
         kLeftField,
         0,
         9,
         0.318667,
         0.245,
         -1.39,
         -1.47,
         1.25,
         1.47},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ColourFound found = FindColour({&image, c.bounds, c.field}, {250, 30, 30, c.tolerance});
        EXPECT_EQ(c.texels, found.texels);
        EXPECT_NEAR(c.x, found.centre.x, 1e-5);
        EXPECT_NEAR(c.y, found.centre.y, 1e-5);
        EXPECT_NEAR(c.xMin, found.low.x, 1e-5);
        EXPECT_NEAR(c.yMin, found.low.y, 1e-5);
        EXPECT_NEAR(c.xMax, found.high.x, 1e-5);
        EXPECT_NEAR(c.yMax, found.high.y, 1e-5);
    }
    EXPECT_EQ(0u, FindColour({&image, kInnerBounds, kLeftField}, {0, 0, 255, 40}).texels);
    EXPECT_EQ(0u, FindColour({&image, {0.5f, 0.0f, 0.5f, 1.0f}, kLeftField}, {100, 100, 100, 0}).texels);
}

} // namespace
} // namespace vrsim
