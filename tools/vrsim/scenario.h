// What the simulated headset does: the scenario record and its text parser. Platform-free;
// parsed under the runtime lock on whichever thread first calls into the DLL or resets it.
#pragma once

#include "standin/capture_lines.h"
#include "standin/keyframes.h"
#include "standin/scenario_lines.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vrsim {

// The frame ranges, pose keys, recentres and colour finders read as the other stand-in reads them.
using standin::ColourFinder;
using standin::FrameRange;
using standin::kLastFrame;
using standin::kMaxViewPixelsPerTangent;
using standin::PoseKey;
using standin::PoseScript;
using standin::Recentre;

struct RangedCode {
    FrameRange range;
    int32_t code = 0;
};

struct RangedMask {
    FrameRange range;
    uint64_t mask = 0;
};

// Which axis a scripted value goes to: a fixed index, or the first axis of a kind.
enum class AxisTarget { Index, FirstTrigger, FirstStick };

struct RangedAxisValue {
    FrameRange range;
    AxisTarget target = AxisTarget::Index;
    uint32_t axis = 0;
    float x = 0.0f;
    float y = 0.0f;
};

struct ScriptedController {
    uint32_t deviceIndex = 0;
    int32_t role = 0;
    bool alwaysConnected = true;
    std::vector<FrameRange> connected; // used when alwaysConnected is false; empty = absent
    int32_t axisType[5] = {0, 0, 0, 0, 0};
    PoseScript pose;
    std::vector<RangedMask> pressed;
    std::vector<RangedMask> touched;
    std::vector<FrameRange> grip;
    std::vector<RangedAxisValue> axisValues;
};

struct Scenario {
    uint32_t renderWidth = 2016;
    uint32_t renderHeight = 2240;
    float rawProjection[2][4] = {{-1.39f, 1.25f, -1.47f, 1.47f}, {-1.25f, 1.39f, -1.47f, 1.47f}};
    float eyeToHeadX[2] = {-0.0315f, 0.0315f};
    float refreshHz = 90.0f;
    bool paced = false;

    bool runtimeInstalled = true;
    std::vector<RangedCode> initErrors;   // ranges count init attempts, not frames
    std::vector<FrameRange> opticsErrors; // init attempts whose sessions report invalid eye-to-head
    int32_t sdkVersionError = 0;
    bool systemMissing = false;
    bool compositorMissing = false;
    bool systemNull = false;
    bool compositorNull = false;
    bool errorTextNull = false;
    std::vector<RangedCode> waitErrors;
    std::vector<RangedCode> submitErrors[2];

    PoseScript head;
    std::vector<Recentre> recentres; // sorted by frame
    std::vector<ScriptedController> controllers;

    bool logQueries = true;

    std::vector<FrameRange> captureFrames; // frames whose accepted eye submissions are written to PNG
    std::string captureFolder;             // UTF-8; empty: "captures" beside the log
    float viewPixelsPerTangent = 0.0f;     // 0: as tall as the recommended render height
    std::vector<ColourFinder> finders;     // `find` lines: colours searched for in each captured eye
};

// The scenario used when there is no file: the defaults above plus the two standard controllers.
[[nodiscard]] Scenario DefaultScenario();

using ScenarioProblem = standin::LineProblem;

struct ParsedScenario {
    Scenario scenario;
    std::vector<ScenarioProblem> problems;
};

// Applies every readable line of `text` on top of DefaultScenario(); unreadable lines are
// skipped and reported.
[[nodiscard]] ParsedScenario ParseScenario(std::string_view text);

// True when some `capture` line covers `frame`.
[[nodiscard]] bool CaptureRequested(const Scenario& scenario, uint32_t frame);

// True when an `optics_error` line covers init attempt `attempt`.
[[nodiscard]] bool OpticsInvalidFor(const Scenario& scenario, uint32_t attempt);

// The code of the last entry whose range holds `count`, or 0.
[[nodiscard]] int32_t CodeAt(const std::vector<RangedCode>& codes, uint32_t count);

} // namespace vrsim
