// What the simulated headset, controllers and runtime do: the scenario record and its text
// parser. Platform-free; parsed under the runtime lock on the first call into the DLL and on
// every reset.
#pragma once

#include "standin/capture_lines.h"
#include "standin/keyframes.h"
#include "standin/scenario_lines.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace xrsim {

inline constexpr int kLeftHand = 0;
inline constexpr int kRightHand = 1;

// The frame ranges, pose keys, recentres and colour finders read as the other stand-in reads them.
using standin::ColourFinder;
using standin::FrameRange;
using standin::kLastFrame;
using standin::kMaxViewPixelsPerTangent;
using standin::PoseKey;
using standin::PoseScript;
using standin::Recentre;

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
    std::vector<ColourFinder> finders;     // `find` lines: colours searched for in each captured view
    std::vector<ColourFinder> viewFinders; // `find_view` lines: in the composed player's view
};

// The scenario used without a file: the defaults above, the head at 1.6 m and both hands present.
[[nodiscard]] Scenario DefaultScenario();

using ScenarioProblem = standin::LineProblem;

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
