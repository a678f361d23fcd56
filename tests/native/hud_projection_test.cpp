#include "stereo/hud_projection.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace corvane {
namespace {

using Matrix = std::array<std::array<float, 4>, 4>;

// The HUD library's projection for a 1920 x 1080 screen: pixels to clip space, y flipped,
// translation in row 3 (row vectors).
Matrix HudOrtho(float width = 1920.0f, float height = 1080.0f) {
    Matrix m{};
    m[0][0] = 2.0f / width;
    m[1][1] = -2.0f / height;
    m[2][2] = -1.0f;
    m[3][0] = -1.0f;
    m[3][1] = 1.0f;
    m[3][3] = 1.0f;
    return m;
}

std::array<uint8_t, 128> Constants(const Matrix& m) {
    std::array<uint8_t, 128> bytes{};
    std::memcpy(bytes.data(), m.data(), 64);
    for (size_t i = 64; i < 128; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7);
    }
    return bytes;
}

Matrix MatrixOf(const uint8_t* bytes) {
    Matrix m{};
    std::memcpy(m.data(), bytes, 64);
    return m;
}

std::array<float, 4> Transform(const std::array<float, 4>& v, const Matrix& m) {
    std::array<float, 4> out{};
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) {
            out[c] += v[r] * m[r][c];
        }
    }
    return out;
}

TEST(HudShaderIdentity, IsTheLengthAndTheContainerChecksum) {
    std::array<uint8_t, 1072> bytecode{};
    const uint8_t header[20] = {0x44, 0x58, 0x42, 0x43, 0x15, 0x8C, 0x3A, 0xD2, 0xCD, 0xCA,
                                0x1F, 0xC1, 0xD3, 0xE1, 0xCA, 0xD4, 0x67, 0x80, 0xA2, 0xE0};
    std::memcpy(bytecode.data(), header, sizeof header);
    bytecode[500] = 0x5A;
    EXPECT_TRUE(IsHudShaderBytecode(bytecode.data(), 1072));
    EXPECT_FALSE(IsHudShaderBytecode(bytecode.data(), 1071));
    EXPECT_FALSE(IsHudShaderBytecode(bytecode.data(), 1073));
    EXPECT_FALSE(IsHudShaderBytecode(nullptr, 1072));
    for (size_t i = 0; i < sizeof header; ++i) {
        auto changed = bytecode;
        changed[i] ^= 0x01;
        EXPECT_FALSE(IsHudShaderBytecode(changed.data(), 1072)) << "byte " << i;
    }
}

TEST(HudProjectionAcceptance, TakesOnlyTheOrthographicHudProjection) {
    EXPECT_TRUE(IsOrthographicHudProjection(Constants(HudOrtho()).data()));
    EXPECT_TRUE(IsOrthographicHudProjection(Constants(HudOrtho(640.0f, 480.0f)).data()));
    EXPECT_FALSE(IsOrthographicHudProjection(nullptr));

    struct Case {
        const char* what;
        int row;
        int column;
        float value;
        bool accepted;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {"NaN anywhere", 2, 0, nan, false},
        {"infinite", 3, 2, std::numeric_limits<float>::infinity(), false},
        {"beyond 1e6", 2, 2, 2e6f, false},
        {"x scale too small", 0, 0, 0.5e-5f, false},
        {"x scale too large", 0, 0, 0.2f, false},
        {"x scale at 0.1", 0, 0, 0.1f, true},
        {"y scale too small", 1, 1, -0.5e-5f, false},
        {"y not flipped", 1, 1, 2.0f / 1080.0f, false},
        {"x flipped instead", 0, 0, -2.0f / 1920.0f, false},
        {"perspective term in column 3, row 0", 0, 3, 0.06f, false},
        {"perspective term in column 3, row 1", 1, 3, -0.06f, false},
        {"perspective term in column 3, row 2", 2, 3, 0.06f, false},
        {"small term in column 3 tolerated", 2, 3, 0.04f, true},
        {"w scale off", 3, 3, 1.06f, false},
        {"w scale nearly one", 3, 3, 0.96f, true},
        {"x translation too far left", 3, 0, -2.6f, false},
        {"x translation near zero", 3, 0, -0.2f, false},
        {"x translation positive", 3, 0, 1.0f, false},
        {"y translation too far", 3, 1, 2.6f, false},
        {"y translation near zero", 3, 1, 0.2f, false},
        {"y translation at 2.5", 3, 1, 2.5f, true},
    };
    for (const Case& c : cases) {
        Matrix m = HudOrtho();
        m[c.row][c.column] = c.value;
        EXPECT_EQ(IsOrthographicHudProjection(Constants(m).data()), c.accepted) << c.what;
    }
}

TEST(HudProjectionTransform, ScalesAndShiftsInClipSpaceAndKeepsEverythingElse) {
    Matrix game = HudOrtho();
    game[2][3] = 0.01f; // a small w term, so the offsets' w factor shows
    const auto in = Constants(game);
    const HudSafeFrame frame{0.6f, 0.1f, 0.75f, -0.2f};
    std::array<uint8_t, 128> out{};
    ReprojectHudConstants(in.data(), frame, out.data());
    EXPECT_EQ(std::memcmp(in.data() + 64, out.data() + 64, 64), 0) << "bytes after the matrix are copied";

    const Matrix eye = MatrixOf(out.data());
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(eye[r][2], game[r][2]);
        EXPECT_EQ(eye[r][3], game[r][3]);
    }
    const std::array<std::array<float, 4>, 4> points = {{
        {0.0f, 0.0f, 0.5f, 1.0f},
        {1920.0f, 1080.0f, 0.5f, 1.0f},
        {960.0f, 540.0f, 3.0f, 1.0f},
        {100.0f, 900.0f, 0.0f, 1.0f},
    }};
    for (const auto& p : points) {
        const auto before = Transform(p, game);
        const auto after = Transform(p, eye);
        EXPECT_NEAR(after[0], frame.scaleX * before[0] + frame.offsetX * before[3], 1e-5f);
        EXPECT_NEAR(after[1], frame.scaleY * before[1] + frame.offsetY * before[3], 1e-5f);
        EXPECT_EQ(after[2], before[2]);
        EXPECT_EQ(after[3], before[3]);
    }
    // The screen's corners land on the safe frame's corners.
    const auto topLeft = Transform({0.0f, 0.0f, 0.0f, 1.0f}, MatrixOf(out.data()));
    EXPECT_NEAR(topLeft[0] / topLeft[3], -0.6f + 0.1f, 1e-3f);
}

TEST(HudSafeFrameChoice, UsesTheHudScaleAcrossAndThreeQuartersDown) {
    const HudSafeFrame frame = SharedHudSafeFrame(0.8f, 0.05f);
    EXPECT_EQ(frame.scaleX, 0.8f);
    EXPECT_EQ(frame.offsetX, 0.0f);
    EXPECT_EQ(frame.scaleY, 0.75f);
    EXPECT_EQ(frame.offsetY, 0.05f);
    EXPECT_EQ(SharedHudSafeFrame(0.0f, 0.0f).scaleX, 0.01f);
    EXPECT_EQ(SharedHudSafeFrame(-1.0f, 0.0f).scaleX, 0.01f);
    EXPECT_EQ(SharedHudSafeFrame(std::numeric_limits<float>::quiet_NaN(), 0.0f).scaleX, 0.01f);
}

// Over pictures in each eye's own field, a HUD point must still be shown in one direction to
// both eyes, as it is over the shared symmetric frustum: the stand-in headset's eyes
// (-1.39/1.25 and -1.25/1.39 across, +-1.47 up and down) with render tangents 1.4595/1.5435.
TEST(HudSafeFrameChoice, EachEyesFrameShowsTheHudInOneDirectionToBothEyes) {
    const float raw[2][4] = {{-1.39f, 1.25f, -1.47f, 1.47f}, {-1.25f, 1.39f, -1.47f, 1.47f}};
    const float tanX = 1.39f * 1.05f;
    const float tanY = 1.47f * 1.05f;
    const HudSafeFrame shared = SharedHudSafeFrame(0.75f, 0.05f);
    for (const float x : {-0.9f, 0.0f, 0.6f}) {
        for (const float y : {-0.8f, 0.3f}) {
            // Where the HUD point lies over the symmetric frustum.
            const float sharedX = shared.scaleX * x + shared.offsetX;
            const float sharedY = shared.scaleY * y + shared.offsetY;
            for (int eye = 0; eye < 2; ++eye) {
                const float width = raw[eye][1] - raw[eye][0];
                const float height = raw[eye][3] - raw[eye][2];
                const HudSafeFrame frame = EyeHudSafeFrame(shared, 2.0f * tanX / width, 2.0f * tanY / height,
                                                           -(raw[eye][1] + raw[eye][0]) / width, 0.0f);
                const float ndcX = frame.scaleX * x + frame.offsetX;
                const float ndcY = frame.scaleY * y + frame.offsetY;
                // The eye's picture spans its field: NDC -1..1 is its left..right, bottom..top.
                EXPECT_NEAR(raw[eye][0] + (ndcX + 1.0f) * 0.5f * width, sharedX * tanX, 1e-5f) << eye;
                EXPECT_NEAR(raw[eye][2] + (ndcY + 1.0f) * 0.5f * height, sharedY * tanY, 1e-5f) << eye;
            }
        }
    }
}

TEST(HudScissorRemap, MapsPixelsLikeTheClipSpaceChangeAndRoundsOutwards) {
    struct Case {
        const char* what;
        HudRect rect;
        HudViewport viewport;
        HudSafeFrame frame;
        HudRect expected;
    };
    const HudViewport full{0.0f, 0.0f, 1920.0f, 1080.0f};
    const HudSafeFrame standard{0.75f, 0.0f, 0.75f, 0.0f};
    const Case cases[] = {
        {"whole viewport", {0, 0, 1920, 1080}, full, standard, {240, 135, 1680, 945}},
        {"fractions round outwards", {1, 1, 3, 3}, full, standard, {240, 135, 243, 138}},
        {"hud scale 0.01", {0, 0, 1920, 1080}, full, {0.01f, 0.0f, 0.75f, 0.0f}, {950, 135, 970, 945}},
        {"offset up moves rectangles up",
         {0, 0, 1920, 1080},
         full,
         {0.75f, 0.0f, 0.75f, 0.125f},
         {240, 67, 1680, 878}},
        {"offset right", {0, 0, 1920, 1080}, full, {0.75f, 0.125f, 0.75f, 0.0f}, {360, 135, 1800, 945}},
        {"clamped to the viewport",
         {-500, -500, 5000, 5000},
         full,
         {1.0f, 0.5f, 1.0f, 0.0f},
         {0, 0, 1920, 1080}},
        {"viewport not at the origin",
         {100, 50, 500, 250},
         {100.0f, 50.0f, 400.0f, 200.0f},
         standard,
         {150, 75, 450, 225}},
    };
    for (const Case& c : cases) {
        const HudRect r = RemapHudScissorRect(c.rect, c.viewport, c.frame);
        EXPECT_EQ(r.left, c.expected.left) << c.what;
        EXPECT_EQ(r.top, c.expected.top) << c.what;
        EXPECT_EQ(r.right, c.expected.right) << c.what;
        EXPECT_EQ(r.bottom, c.expected.bottom) << c.what;
    }
    EXPECT_TRUE(IsUsableHudViewport(full));
    EXPECT_FALSE(IsUsableHudViewport({0.0f, 0.0f, 0.0f, 1080.0f}));
    EXPECT_FALSE(IsUsableHudViewport({0.0f, 0.0f, 1920.0f, -1.0f}));
    EXPECT_FALSE(IsUsableHudViewport({std::numeric_limits<float>::quiet_NaN(), 0.0f, 1920.0f, 1080.0f}));
    EXPECT_FALSE(IsUsableHudViewport({0.0f, 0.0f, std::numeric_limits<float>::infinity(), 1080.0f}));
}

TEST(HudCacheChoice, KeepsItsKeyFillsFreeEntriesThenEvictsInTurn) {
    int buffers[12] = {};
    const void* keys[8] = {};
    uint64_t counter = 0;
    for (int i = 0; i < 8; ++i) {
        const HudCacheChoice choice = ChooseHudCacheEntry(keys, &buffers[i], counter);
        EXPECT_EQ(choice.index, static_cast<uint32_t>(i));
        EXPECT_FALSE(choice.evict);
        keys[choice.index] = &buffers[i];
    }
    EXPECT_EQ(counter, 0u) << "no eviction while entries were free";
    const HudCacheChoice again = ChooseHudCacheEntry(keys, &buffers[5], counter);
    EXPECT_EQ(again.index, 5u);
    EXPECT_FALSE(again.evict);
    // New buffers evict 0, 1, 2 ... whatever was used last.
    for (uint32_t i = 0; i < 3; ++i) {
        const HudCacheChoice choice = ChooseHudCacheEntry(keys, &buffers[8 + i], counter);
        EXPECT_EQ(choice.index, i);
        EXPECT_TRUE(choice.evict);
        keys[choice.index] = &buffers[8 + i];
    }
    keys[6] = nullptr;
    const HudCacheChoice free = ChooseHudCacheEntry(keys, &buffers[11], counter);
    EXPECT_EQ(free.index, 6u);
    EXPECT_FALSE(free.evict);
}

TEST(HudFloatComparison, CountsAnyNaNAsAChange) {
    const float a[3] = {1.0f, 2.0f, 3.0f};
    float b[3] = {1.0f, 2.0f, 3.0f};
    EXPECT_TRUE(SameFloats(a, b, 3));
    b[2] = 3.5f;
    EXPECT_FALSE(SameFloats(a, b, 3));
    const float n[1] = {std::numeric_limits<float>::quiet_NaN()};
    EXPECT_FALSE(SameFloats(n, n, 1));
}

} // namespace
} // namespace corvane
