// What the simulated headset, controllers and runtime do: the scenario record and its text
// parser. Platform-free; parsed under the runtime lock on the first call into the DLL and on
// every reset.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace xrsim {

inline constexpr uint32_t kLastFrame = 0xFFFFFFFFu;
inline constexpr float kMaxViewPixelsPerTangent = 2048.0f;
inline constexpr int kLeftHand = 0;
inline constexpr int kRightHand = 1;

// Inclusive frame span; `last` is kLastFrame for "this frame and every later one".
struct FrameRange {
    uint32_t first = 0;
    uint32_t last = kLastFrame;
    [[nodiscard]] bool Contains(uint32_t frame) const { return frame >= first && frame <= last; }
};

struct PoseKey {
    uint32_t frame = 0;
    float position[3] = {0.0f, 0.0f, 0.0f};
    float yawDegrees = 0.0f;
    float pitchDegrees = 0.0f;
    float rollDegrees = 0.0f;
};

struct PoseScript {
    std::vector<PoseKey> keys; // sorted by frame, file order kept among equal frames
    bool keysFromFile = false; // the first key line replaces the default key
    std::vector<FrameRange> lost;
};

struct Recentre {
    uint32_t frame = 0;
    float position[3] = {0.0f, 0.0f, 0.0f};
    float yawDegrees = 0.0f;
};

// One scripted input component value; `y` is used by two-axis components only.
struct ScriptedInput {
    std::string component; // e.g. "/input/thumbstick"
    FrameRange range;
    float x = 0.0f;
    float y = 0.0f;
};

struct ScriptedHand {
    std::string profile = "/interaction_profiles/valve/index_controller";
    bool alwaysConnected = true;
    std::vector<FrameRange> connected; // used when alwaysConnected is false; empty = absent
    PoseScript pose;
    std::vector<ScriptedInput> inputs; // later lines win where ranges overlap
};

// `fail FUNCTION CODE RANGE`: the named call returns CODE on these frames.
struct InjectedFailure {
    std::string function;
    int32_t code = 0;
    FrameRange range;
};

// A `find` line: texels of a captured view within `tolerance` of this colour in every channel; a
// `find_view` line: pixels of the composed player's view, likewise.
struct ColourFinder {
    std::string name;
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    uint8_t tolerance = 40;
};

struct Scenario {
    uint32_t renderWidth = 2016;
    uint32_t renderHeight = 2240;
    // Raw tangents per eye: left, right, down (negative), up.
    float rawProjection[2][4] = {{-1.39f, 1.25f, -1.47f, 1.47f}, {-1.25f, 1.39f, -1.47f, 1.47f}};
    float eyeToHeadX[2] = {-0.0315f, 0.0315f};
    float refreshHz = 90.0f;
    bool paced = false;

    bool runtimeInstalled = true;
    bool negotiationRefused = false;
    bool extensionMissing = false;
    std::vector<uint32_t> sessionLossFrames;
    std::vector<uint32_t> instanceLossFrames;
    std::vector<uint32_t> exitRequestFrames;
    std::vector<InjectedFailure> failures;

    PoseScript head;
    std::vector<Recentre> recentres; // sorted by frame
    ScriptedHand hands[2];

    bool logQueries = true;

    std::vector<FrameRange> captureFrames;
    std::string captureFolder;             // UTF-8; empty: "captures" beside the log
    float viewPixelsPerTangent = 0.0f;     // 0: as tall as the recommended render height
    std::vector<ColourFinder> finders;     // in file order; a repeated name replaces the earlier line
    std::vector<ColourFinder> viewFinders; // `find_view` lines, kept the same way
};

// The scenario used without a file: the defaults above, the head at 1.6 m and both hands present.
[[nodiscard]] Scenario DefaultScenario();

struct ScenarioProblem {
    int line = 0;
    std::string message;
};

struct ParsedScenario {
    Scenario scenario;
    std::vector<ScenarioProblem> problems;
};

// Applies every readable line of `text` on top of DefaultScenario(); unreadable lines are
// skipped and reported.
[[nodiscard]] ParsedScenario ParseScenario(std::string_view text);

[[nodiscard]] bool CaptureRequested(const Scenario& scenario, uint32_t frame);

// The code of the last `fail` line for `function` whose range holds `frame`, or 0.
[[nodiscard]] int32_t InjectedCode(const Scenario& scenario, std::string_view function, uint32_t frame);

// The scripted value of a component at a frame: the last input line covering it, else zero.
[[nodiscard]] const ScriptedInput* InputAt(const ScriptedHand& hand, std::string_view component,
                                           uint32_t frame);

[[nodiscard]] bool HandConnected(const ScriptedHand& hand, uint32_t frame);

} // namespace xrsim
