// The stand-in OpenXR runtime's behaviour without the DLL: the layer checks of xrEndFrame, quads
// drawn over the player's view, the layers composed in submission order, colour searches in the
// composed view, and the scenario lines of its own. Expected values are worked out
// by hand.
#include "image_order.h"
#include "layer_checks.h"
#include "layer_composition.h"
#include "quad_overlay.h"
#include "xr_scenario.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace xrsim {
namespace {

constexpr uint64_t kLocal = 0x11;
constexpr uint64_t kReleased = 0x21; // 20 x 10, released before
constexpr uint64_t kNeverReleased = 0x22;

XrSpace SpaceHandle(uint64_t raw) {
    return reinterpret_cast<XrSpace>(raw);
}
XrSwapchain SwapchainHandle(uint64_t raw) {
    return reinterpret_cast<XrSwapchain>(raw);
}

LayerWorld World() {
    LayerWorld world;
    world.spaceName = [](XrSpace space) -> const char* {
        return reinterpret_cast<uint64_t>(space) == kLocal ? "LOCAL" : nullptr;
    };
    world.swapchain = [](XrSwapchain swapchain, SwapchainFacts& facts) {
        const uint64_t raw = reinterpret_cast<uint64_t>(swapchain);
        if (raw != kReleased && raw != kNeverReleased) {
            return false;
        }
        facts = {20, 10, raw == kReleased};
        return true;
    };
    return world;
}

// A well-formed frame: one projection layer over both halves of one swapchain and one quad.
struct Frame {
    XrCompositionLayerProjectionView views[2]{};
    XrCompositionLayerProjection projection{};
    XrCompositionLayerQuad quad{};

    Frame() {
        for (int eye : {0, 1}) {
            views[eye].type = XR_TYPE_COMPOSITION_LAYER_PROJECTION_VIEW;
            views[eye].pose.orientation.w = 1.0f;
            views[eye].fov = {-0.8f, 0.7f, 0.9f, -0.9f};
            views[eye].subImage.swapchain = SwapchainHandle(kReleased);
            views[eye].subImage.imageRect = {{eye * 10, 0}, {10, 10}};
        }
        projection.type = XR_TYPE_COMPOSITION_LAYER_PROJECTION;
        projection.space = SpaceHandle(kLocal);
        projection.viewCount = 2;
        projection.views = views;
        quad.type = XR_TYPE_COMPOSITION_LAYER_QUAD;
        quad.space = SpaceHandle(kLocal);
        quad.pose.orientation.w = 1.0f;
        quad.subImage.swapchain = SwapchainHandle(kReleased);
        quad.subImage.imageRect = {{0, 0}, {20, 10}};
        quad.size = {1.0f, 0.5f};
    }

    LayerVerdict Check() const {
        const XrCompositionLayerBaseHeader* layers[] = {
            reinterpret_cast<const XrCompositionLayerBaseHeader*>(&projection),
            reinterpret_cast<const XrCompositionLayerBaseHeader*>(&quad)};
        return CheckLayers(2, layers, World());
    }
};

struct LayerCase {
    const char* name;
    std::function<void(Frame&)> change;
    XrResult result;
    const char* broken; // the one broken rule, or null
};

TEST(XrSimLayerChecks, EachBrokenRuleIsNamedWithItsError) {
    const LayerCase cases[] = {
        {"well formed", [](Frame&) {}, XR_SUCCESS, nullptr},
        {"rect past the right edge", [](Frame& f) { f.views[1].subImage.imageRect.offset.x = 11; },
         XR_ERROR_SWAPCHAIN_RECT_INVALID,
         "layer 0 view 1 sub-image rect 11,0 10x10 is not inside the 20x10 swapchain"},
        {"rect of no width", [](Frame& f) { f.quad.subImage.imageRect.extent.width = 0; },
         XR_ERROR_SWAPCHAIN_RECT_INVALID,
         "layer 1 sub-image rect 0,0 0x10 is not inside the 20x10 swapchain"},
        {"array index", [](Frame& f) { f.views[0].subImage.imageArrayIndex = 1; },
         XR_ERROR_VALIDATION_FAILURE, "layer 0 view 0 sub-image array index 1 is not 0"},
        {"never released", [](Frame& f) { f.views[1].subImage.swapchain = SwapchainHandle(kNeverReleased); },
         XR_ERROR_LAYER_INVALID, "layer 0 view 1 sub-image swapchain was never released"},
        {"unknown swapchain", [](Frame& f) { f.quad.subImage.swapchain = SwapchainHandle(0x99); },
         XR_ERROR_HANDLE_INVALID, "layer 1 sub-image swapchain is not a live swapchain of this session"},
        {"unknown space", [](Frame& f) { f.projection.space = SpaceHandle(0x98); }, XR_ERROR_HANDLE_INVALID,
         "layer 0 space is not a live space of this session"},
        {"one view", [](Frame& f) { f.projection.viewCount = 1; }, XR_ERROR_VALIDATION_FAILURE,
         "layer 0 has 1 views, not 2"},
        {"view type", [](Frame& f) { f.views[1].type = XR_TYPE_VIEW; }, XR_ERROR_VALIDATION_FAILURE,
         "layer 0 view 1 has type 7"},
        {"fov left of right", [](Frame& f) { f.views[0].fov.angleRight = -0.8f; },
         XR_ERROR_VALIDATION_FAILURE,
         "layer 0 view 0 fov -0.800000 -0.800000 0.900000 -0.900000 is not a field"},
        {"fov upside down", [](Frame& f) { std::swap(f.views[1].fov.angleUp, f.views[1].fov.angleDown); },
         XR_ERROR_VALIDATION_FAILURE,
         "layer 0 view 1 fov -0.800000 0.700000 -0.900000 0.900000 is not a field"},
        {"fov not a number", [](Frame& f) { f.views[0].fov.angleLeft = std::nanf(""); },
         XR_ERROR_VALIDATION_FAILURE, "layer 0 view 0 fov nan 0.700000 0.900000 -0.900000 is not a field"},
        {"orientation just within", [](Frame& f) { f.views[0].pose.orientation.w = 1.0009f; }, XR_SUCCESS,
         nullptr},
        {"orientation too long", [](Frame& f) { f.views[0].pose.orientation.w = 1.0011f; },
         XR_ERROR_POSE_INVALID, "layer 0 view 0 pose is not a rigid transform (orientation length 1.001100)"},
        {"quad orientation zero", [](Frame& f) { f.quad.pose.orientation.w = 0.0f; }, XR_ERROR_POSE_INVALID,
         "layer 1 pose is not a rigid transform (orientation length 0.000000)"},
        {"quad of no height", [](Frame& f) { f.quad.size.height = 0.0f; }, XR_ERROR_VALIDATION_FAILURE,
         "layer 1 quad size 1.000000 0.000000 is not positive"},
        {"cube layer", [](Frame& f) { f.quad.type = XR_TYPE_COMPOSITION_LAYER_CUBE_KHR; },
         XR_ERROR_LAYER_INVALID, "layer 1 has type 1000006000, neither projection nor quad"},
    };
    for (const LayerCase& c : cases) {
        Frame frame;
        c.change(frame);
        const LayerVerdict verdict = frame.Check();
        EXPECT_EQ(c.result, verdict.result) << c.name;
        EXPECT_EQ(c.broken == nullptr ? std::vector<std::string>{} : std::vector<std::string>{c.broken},
                  verdict.broken)
            << c.name;
    }
    EXPECT_EQ("projection(space=LOCAL views=2),quad(space=LOCAL size=1.000000 0.500000)",
              Frame().Check().summary);
}

TEST(XrSimLayerChecks, LayerCountIsLimitedAndNoLayersIsAFrame) {
    Frame frame;
    std::vector<const XrCompositionLayerBaseHeader*> layers(
        17, reinterpret_cast<const XrCompositionLayerBaseHeader*>(&frame.quad));
    EXPECT_EQ(XR_ERROR_LAYER_LIMIT_EXCEEDED, CheckLayers(17, layers.data(), World()).result);
    EXPECT_EQ(XR_SUCCESS, CheckLayers(16, layers.data(), World()).result);
    const LayerVerdict none = CheckLayers(0, nullptr, World());
    EXPECT_EQ(XR_SUCCESS, none.result);
    EXPECT_EQ("none", none.summary);
}

TEST(XrSimImageOrder, WaitTakesTheOldestAcquiredAndReleaseNeedsItWaited) {
    ImageOrder order(3);
    std::string broken;
    uint32_t index = 9;
    ASSERT_TRUE(order.Acquire(index, broken));
    ASSERT_TRUE(order.Acquire(index, broken));
    EXPECT_EQ(1u, index);
    EXPECT_FALSE(order.EverReleased());
    ASSERT_TRUE(order.Wait(index, broken));
    EXPECT_EQ(0u, index);
    ASSERT_TRUE(order.Release(index, broken));
    EXPECT_EQ(0u, index);
    EXPECT_EQ(0u, order.LastReleased());
    EXPECT_FALSE(order.Release(index, broken));
    EXPECT_EQ("the oldest acquired image was not waited", broken);
    ASSERT_TRUE(order.Wait(index, broken));
    EXPECT_EQ(1u, index);
    EXPECT_FALSE(order.Wait(index, broken));
    EXPECT_EQ("every acquired image is already waited", broken);
    ASSERT_TRUE(order.Release(index, broken));
    EXPECT_EQ(1u, order.LastReleased());
}

using Rgb = std::array<uint8_t, 3>;
constexpr Rgb kBackground{0, 0, 255};

// A grid of tangents -1..1 at 10 per tangent: pixel (i, j) of a half shows
// x = -1 + (i + 0.5) / 10, y = 1 - (j + 0.5) / 10; the right half starts at column 24.
vrsim::ViewGrid Grid() {
    vrsim::ViewGrid grid;
    grid.x0 = grid.y0 = -1.0;
    grid.x1 = grid.y1 = 1.0;
    grid.pixelsPerTangent = 10.0;
    grid.columns = grid.rows = 20;
    return grid;
}

vrsim::RgbaImage Filled(uint32_t width, uint32_t height, Rgb colour, uint8_t alpha = 255) {
    vrsim::RgbaImage image;
    image.width = width;
    image.height = height;
    image.pixels.resize(size_t{width} * height * 4);
    for (size_t i = 0; i < image.pixels.size(); i += 4) {
        image.pixels[i] = colour[0];
        image.pixels[i + 1] = colour[1];
        image.pixels[i + 2] = colour[2];
        image.pixels[i + 3] = alpha;
    }
    return image;
}

Rgb At(const vrsim::RgbaImage& image, uint32_t x, uint32_t y) {
    const uint8_t* p = image.pixels.data() + (size_t{y} * image.width + x) * 4;
    return {p[0], p[1], p[2]};
}

// Texels: top left red, top right green, bottom left white, bottom right black.
vrsim::RgbaImage Corners() {
    vrsim::RgbaImage image;
    image.width = image.height = 2;
    image.pixels = {255, 0, 0, 255, 0, 255, 0, 255, 255, 255, 255, 255, 0, 0, 0, 255};
    return image;
}

// A 1 m square quad 2 m ahead of both eyes covers tangents -0.25..0.25.
QuadSource QuadAhead(const vrsim::RgbaImage& image, Quat orientation = {}) {
    QuadSource quad;
    quad.image = &image;
    quad.pose = {orientation, {0.0, 0.0, -2.0}};
    quad.width = quad.height = 1.0;
    return quad;
}

TEST(XrSimQuadOverlay, AQuadShowsItsImageWhereTheEyesRaysMeetIt) {
    const vrsim::RgbaImage image = Corners();
    vrsim::RgbaImage view = Filled(44, 20, kBackground);
    // The right eye is 1 m to the right: its rays straight ahead pass the quad.
    const Pose eyes[2] = {{}, {{}, {1.0, 0.0, 0.0}}};
    DrawQuads(Grid(), eyes, {QuadAhead(image)}, view);
    // x -0.15, y 0.15 meets the quad at (-0.3, 0.3): its top left quarter.
    EXPECT_EQ((Rgb{255, 0, 0}), At(view, 8, 8));
    EXPECT_EQ((Rgb{0, 255, 0}), At(view, 11, 8));
    EXPECT_EQ((Rgb{255, 255, 255}), At(view, 8, 11));
    EXPECT_EQ((Rgb{0, 0, 0}), At(view, 11, 11));
    EXPECT_EQ(kBackground, At(view, 6, 8));
    EXPECT_EQ(kBackground, At(view, 24 + 8, 8));
    // The right eye sees the quad 1 m to its left: x -0.45 meets the plane at -0.9 + 1 = 0.1.
    EXPECT_EQ((Rgb{0, 255, 0}), At(view, 24 + 5, 8));
}

TEST(XrSimQuadOverlay, AQuadTurnedAboutItsVerticalShowsItsImageMirrored) {
    const vrsim::RgbaImage image = Corners();
    vrsim::RgbaImage view = Filled(44, 20, kBackground);
    const Pose eyes[2] = {{}, {}};
    // Turned half a turn about y, the quad's +x points to the eye's left.
    DrawQuads(Grid(), eyes, {QuadAhead(image, {0.0, 1.0, 0.0, 0.0})}, view);
    EXPECT_EQ((Rgb{0, 255, 0}), At(view, 8, 8));
    EXPECT_EQ((Rgb{255, 0, 0}), At(view, 11, 8));
}

TEST(XrSimQuadOverlay, SourceAlphaBlendsPremultipliedOrStraight) {
    const vrsim::RgbaImage image = Filled(1, 1, {100, 0, 0}, 128);
    const Pose eyes[2] = {{}, {}};
    struct Case {
        LayerBlend blend;
        Rgb expected;
    };
    // Over blue 255 with alpha 128: the background keeps 127/255 of itself.
    const Case cases[] = {
        {LayerBlend::Opaque, {100, 0, 0}},
        {LayerBlend::Premultiplied, {100, 0, 127}},
        {LayerBlend::Straight, {50, 0, 127}},
    };
    for (const Case& c : cases) {
        vrsim::RgbaImage view = Filled(44, 20, kBackground);
        QuadSource quad = QuadAhead(image);
        quad.blend = c.blend;
        DrawQuads(Grid(), eyes, {quad}, view);
        EXPECT_EQ(c.expected, At(view, 10, 10)) << static_cast<int>(c.blend);
    }
}

constexpr XrCompositionLayerFlags kSourceAlpha = XR_COMPOSITION_LAYER_BLEND_TEXTURE_SOURCE_ALPHA_BIT;
constexpr XrCompositionLayerFlags kStraightAlpha =
    kSourceAlpha | XR_COMPOSITION_LAYER_UNPREMULTIPLIED_ALPHA_BIT;

TEST(XrSimLayerComposition, LayersStackInSubmissionOrderAndAProjectionBlendsByItsFlags) {
    // The quad (200, 100, 0) covers tangents -0.25..0.25; the projection's one texel covers x -1..0.1
    // of both eyes. Probes: x 0.05 y -0.05 (both layers), x 0.15 (the quad alone), x -0.75 y 0.75
    // (the projection alone, over the outside colour 32 0 48).
    const vrsim::RgbaImage screen = Filled(1, 1, {200, 100, 0});
    struct Case {
        const char* name;
        bool projectionFirst;
        XrCompositionLayerFlags flags;
        Rgb texel;
        uint8_t alpha;
        Rgb both;
        Rgb projectionAlone;
    };
    // Alpha 128 keeps 127/255 of what is below: premultiplied 40 + 200 * 127 / 255 = 139.6 -> 140,
    // over the outside 40 + 32 * 127 / 255 = 55.9 -> 56; straight 40 * 128 / 255 + 99.6 = 119.7 -> 120.
    const Case cases[] = {
        {"a hole shows the quad", false, kSourceAlpha, {0, 0, 0}, 0, {200, 100, 0}, {32, 0, 48}},
        {"opaque texels cover the quad", false, kSourceAlpha, {40, 60, 80}, 255, {40, 60, 80}, {40, 60, 80}},
        {"half premultiplied", false, kSourceAlpha, {40, 60, 80}, 128, {140, 110, 80}, {56, 60, 104}},
        {"half straight", false, kStraightAlpha, {40, 60, 80}, 128, {120, 80, 40}, {36, 30, 64}},
        {"no blend flag replaces", false, 0, {40, 60, 80}, 0, {40, 60, 80}, {40, 60, 80}},
        {"only the unpremultiplied flag replaces",
         false,
         XR_COMPOSITION_LAYER_UNPREMULTIPLIED_ALPHA_BIT,
         {40, 60, 80},
         0,
         {40, 60, 80},
         {40, 60, 80}},
        {"a quad after the projection covers it",
         true,
         kSourceAlpha,
         {40, 60, 80},
         255,
         {200, 100, 0},
         {40, 60, 80}},
    };
    const Pose eyes[2] = {{}, {}};
    for (const Case& c : cases) {
        const vrsim::RgbaImage texel = Filled(1, 1, c.texel, c.alpha);
        const vrsim::EyeSource eye{&texel, {0.0f, 0.0f, 1.0f, 1.0f}, {-1.0f, 0.1f, -1.0f, 1.0f}};
        const ProjectionSource projection{{eye, eye}, BlendOf(c.flags)};
        std::vector<LayerSource> layers = {QuadAhead(screen), projection};
        if (c.projectionFirst) {
            std::swap(layers[0], layers[1]);
        }
        const vrsim::RgbaImage view = ComposeLayers(Grid(), eyes, layers);
        ASSERT_EQ(44u, view.width) << c.name;
        ASSERT_EQ(20u, view.height) << c.name;
        EXPECT_EQ(c.both, At(view, 10, 10)) << c.name;
        EXPECT_EQ(c.both, At(view, 24 + 10, 10)) << c.name;
        EXPECT_EQ((Rgb{200, 100, 0}), At(view, 11, 10)) << c.name;
        EXPECT_EQ(c.projectionAlone, At(view, 2, 2)) << c.name;
        EXPECT_EQ((Rgb{32, 0, 48}), At(view, 16, 2)) << c.name; // x 0.65: outside both layers
        EXPECT_EQ((Rgb{0, 0, 0}), At(view, 21, 10)) << c.name;  // the gap between the halves
    }
}

TEST(XrSimLayerComposition, FindInViewReportsEachEyesMatchingPixelsAsGridDirections) {
    // Tangents x -1..1, y -0.75..0.75 at 2 per tangent: 4 x 3 pixels a half, the right one from
    // column 8; pixel (i, j) spans x -1 + i / 2 .. -1 + (i + 1) / 2, y 0.75 - (j + 1) / 2 .. 0.75 - j / 2.
    vrsim::ViewGrid grid;
    grid.x0 = -1.0;
    grid.x1 = 1.0;
    grid.y0 = -0.75;
    grid.y1 = 0.75;
    grid.pixelsPerTangent = 2.0;
    grid.columns = 4;
    grid.rows = 3;
    vrsim::RgbaImage view = Filled(12, 3, {32, 0, 48});
    auto paint = [&view](uint32_t x, uint32_t y, Rgb colour) {
        std::copy(colour.begin(), colour.end(), view.pixels.begin() + (size_t{y} * 12 + x) * 4);
    };
    paint(1, 0, {255, 0, 0});
    paint(2, 0, {255, 0, 0});
    paint(2, 1, {215, 40, 0}); // at the tolerance: a match
    paint(0, 2, {255, 41, 0}); // one past it
    paint(5, 1, {255, 0, 0});  // the gap belongs to no eye
    paint(8 + 3, 2, {255, 0, 0});
    const vrsim::ColourTarget red{255, 0, 0, 40};
    struct Case {
        int eye;
        uint32_t pixels;
        double centre[2];
        double box[4];
    };
    // Left: columns 1, 2, 2 and rows 0, 0, 1: mean centre x -1 + (5/3 + 0.5) / 2 = 1/12,
    // y 0.75 - (1/3 + 0.5) / 2 = 1/3. Right: pixel (3, 2) alone.
    const Case cases[] = {
        {0, 3, {0.0833333333, 0.3333333333}, {-0.5, -0.25, 0.5, 0.75}},
        {1, 1, {0.75, -0.5}, {0.5, -0.75, 1.0, -0.25}},
    };
    for (const Case& c : cases) {
        const ViewFound found = FindInView(grid, view, c.eye, red);
        ASSERT_EQ(c.pixels, found.pixels) << c.eye;
        EXPECT_NEAR(c.centre[0], found.centre.x, 1e-9) << c.eye;
        EXPECT_NEAR(c.centre[1], found.centre.y, 1e-9) << c.eye;
        EXPECT_NEAR(c.box[0], found.low.x, 1e-9) << c.eye;
        EXPECT_NEAR(c.box[1], found.low.y, 1e-9) << c.eye;
        EXPECT_NEAR(c.box[2], found.high.x, 1e-9) << c.eye;
        EXPECT_NEAR(c.box[3], found.high.y, 1e-9) << c.eye;
    }
    EXPECT_EQ(0u, FindInView(grid, view, 1, {0, 0, 255, 40}).pixels);
}

TEST(XrSimScenario, FindViewLinesReadAsFindLinesDo) {
    const ParsedScenario parsed = ParseScenario("find_view screen 10 20 30\n"
                                                "find_view hands 1 2 3 4\n"
                                                "find_view screen 40 50 60 7\n"
                                                "find_view red 255 0\n"
                                                "find_view red 256 0 0\n"
                                                "find_view red 1 2 3 4 5\n"
                                                "find marker 9 9 9\n");
    const Scenario& s = parsed.scenario;
    ASSERT_EQ(2u, s.viewFinders.size());
    EXPECT_EQ("screen", s.viewFinders[0].name);
    EXPECT_EQ((std::array<int, 4>{40, 50, 60, 7}),
              (std::array<int, 4>{s.viewFinders[0].red, s.viewFinders[0].green, s.viewFinders[0].blue,
                                  s.viewFinders[0].tolerance}));
    EXPECT_EQ("hands", s.viewFinders[1].name);
    EXPECT_EQ(4, s.viewFinders[1].tolerance);
    ASSERT_EQ(1u, s.finders.size());
    EXPECT_EQ("marker", s.finders[0].name);
    EXPECT_EQ(40, s.finders[0].tolerance);
    std::vector<std::string> problems;
    for (const ScenarioProblem& problem : parsed.problems) {
        problems.push_back(std::to_string(problem.line) + ": " + problem.message);
    }
    EXPECT_EQ((std::vector<std::string>{"4: missing blue", "5: red out of range", "6: unexpected '5'"}),
              problems);
    const Scenario defaults = ParseScenario("find_view dark 0 0 0\n").scenario;
    ASSERT_EQ(1u, defaults.viewFinders.size());
    EXPECT_EQ(40, defaults.viewFinders[0].tolerance);
}

TEST(XrSimScenario, ControllerAndFaultLinesAndTheirErrors) {
    const ParsedScenario parsed =
        ParseScenario("controller right profile /interaction_profiles/htc/vive_controller\n"
                      "controller left input /input/trackpad 5..9 0.25 -0.5\n"
                      "controller left connected 3..\n"
                      "fail xrEndFrame -1 30..32\n"
                      "session_loss 40\n"
                      "controller left input /input/bogus 1 1\n"
                      "controller middle absent\n"
                      "controller right profile /interaction_profiles/acme/wand\n"
                      "fail EndFrame -1 3\n"
                      "head key 1 0 1.6 0 0 0\n");
    const Scenario& s = parsed.scenario;
    EXPECT_EQ("/interaction_profiles/htc/vive_controller", s.hands[kRightHand].profile);
    EXPECT_EQ("/interaction_profiles/valve/index_controller", s.hands[kLeftHand].profile);
    const ScriptedInput* pad = InputAt(s.hands[kLeftHand], "/input/trackpad", 9);
    ASSERT_NE(nullptr, pad);
    EXPECT_EQ(0.25f, pad->x);
    EXPECT_EQ(-0.5f, pad->y);
    EXPECT_EQ(nullptr, InputAt(s.hands[kLeftHand], "/input/trackpad", 10));
    EXPECT_FALSE(HandConnected(s.hands[kLeftHand], 2));
    EXPECT_TRUE(HandConnected(s.hands[kLeftHand], 3));
    EXPECT_EQ(-1, InjectedCode(s, "xrEndFrame", 32));
    EXPECT_EQ(0, InjectedCode(s, "xrEndFrame", 33));
    EXPECT_EQ(0, InjectedCode(s, "xrBeginFrame", 31));
    EXPECT_EQ(std::vector<uint32_t>{40}, s.sessionLossFrames);
    std::vector<std::string> problems;
    for (const ScenarioProblem& problem : parsed.problems) {
        problems.push_back(std::to_string(problem.line) + ": " + problem.message);
    }
    EXPECT_EQ((std::vector<std::string>{
                  "6: unknown input component '/input/bogus'",
                  "7: expected 'left' or 'right', not 'middle'",
                  "8: unknown interaction profile '/interaction_profiles/acme/wand'",
                  "9: bad function 'EndFrame'",
                  "10: missing roll",
              }),
              problems);
}

} // namespace
} // namespace xrsim
