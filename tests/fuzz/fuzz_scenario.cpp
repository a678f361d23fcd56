// Any text as the stand-in runtime's scenario file: the parser never lets an exception out,
// names each unreadable line once (in order, by its real line number), a rejected line changes
// nothing (the text with those lines blanked parses to the same scenario, without problems),
// and what it keeps is well formed: keys and re-centres sorted by frame, controllers sorted
// and unique by device index 1..63, every range non-empty, axis indices 0..4.
#include "fuzz_check.h"
#include "scenario.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace {

using namespace vrsim;

class Flattened {
public:
    template <typename T> void Raw(const T& value) {
        const auto* bytes = reinterpret_cast<const char*>(&value);
        text_.append(bytes, sizeof value);
    }
    void Range(const FrameRange& range) {
        Raw(range.first);
        Raw(range.last);
    }
    void Ranges(const std::vector<FrameRange>& ranges) {
        Raw(ranges.size());
        for (const FrameRange& range : ranges) {
            Range(range);
        }
    }
    void Codes(const std::vector<RangedCode>& codes) {
        Raw(codes.size());
        for (const RangedCode& code : codes) {
            Range(code.range);
            Raw(code.code);
        }
    }
    void Masks(const std::vector<RangedMask>& masks) {
        Raw(masks.size());
        for (const RangedMask& mask : masks) {
            Range(mask.range);
            Raw(mask.mask);
        }
    }
    void Pose(const PoseScript& pose) {
        Raw(pose.keys.size());
        for (const PoseKey& key : pose.keys) {
            Raw(key.frame);
            Raw(key.position);
            Raw(key.yawDegrees);
            Raw(key.pitchDegrees);
            Raw(key.rollDegrees);
        }
        Raw(pose.keysFromFile);
        Ranges(pose.lost);
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// Every field, floats by their bits, so NaN read from the file compares as itself.
std::string Flatten(const Scenario& s) {
    Flattened f;
    f.Raw(s.renderWidth);
    f.Raw(s.renderHeight);
    f.Raw(s.rawProjection);
    f.Raw(s.eyeToHeadX);
    f.Raw(s.refreshHz);
    f.Raw(s.paced);
    f.Raw(s.runtimeInstalled);
    f.Codes(s.initErrors);
    f.Raw(s.sdkVersionError);
    f.Raw(s.systemMissing);
    f.Raw(s.compositorMissing);
    f.Raw(s.systemNull);
    f.Raw(s.compositorNull);
    f.Raw(s.errorTextNull);
    f.Codes(s.waitErrors);
    f.Codes(s.submitErrors[0]);
    f.Codes(s.submitErrors[1]);
    f.Pose(s.head);
    f.Raw(s.recentres.size());
    for (const Recentre& r : s.recentres) {
        f.Raw(r.frame);
        f.Raw(r.position);
        f.Raw(r.yawDegrees);
    }
    f.Raw(s.controllers.size());
    for (const ScriptedController& c : s.controllers) {
        f.Raw(c.deviceIndex);
        f.Raw(c.role);
        f.Raw(c.alwaysConnected);
        f.Ranges(c.connected);
        f.Raw(c.axisType);
        f.Pose(c.pose);
        f.Masks(c.pressed);
        f.Masks(c.touched);
        f.Ranges(c.grip);
        f.Raw(c.axisValues.size());
        for (const RangedAxisValue& v : c.axisValues) {
            f.Range(v.range);
            f.Raw(v.target);
            f.Raw(v.axis);
            f.Raw(v.x);
            f.Raw(v.y);
        }
    }
    f.Raw(s.logQueries);
    f.Ranges(s.captureFrames);
    f.Raw(s.captureFolder.size());
    return f.text() + s.captureFolder;
}

bool RangesWellFormed(const std::vector<FrameRange>& ranges) {
    return std::all_of(ranges.begin(), ranges.end(), [](const FrameRange& r) { return r.first <= r.last; });
}

template <typename T> bool RangedWellFormed(const std::vector<T>& entries) {
    return std::all_of(entries.begin(), entries.end(),
                       [](const T& e) { return e.range.first <= e.range.last; });
}

bool PoseWellFormed(const PoseScript& pose) {
    return std::is_sorted(pose.keys.begin(), pose.keys.end(),
                          [](const PoseKey& a, const PoseKey& b) { return a.frame < b.frame; }) &&
           RangesWellFormed(pose.lost);
}

void CheckWellFormed(const Scenario& s) {
    FUZZ_CHECK(PoseWellFormed(s.head));
    FUZZ_CHECK(std::is_sorted(s.recentres.begin(), s.recentres.end(),
                              [](const Recentre& a, const Recentre& b) { return a.frame < b.frame; }));
    FUZZ_CHECK(RangedWellFormed(s.initErrors) && RangedWellFormed(s.waitErrors));
    FUZZ_CHECK(RangedWellFormed(s.submitErrors[0]) && RangedWellFormed(s.submitErrors[1]));
    FUZZ_CHECK(RangesWellFormed(s.captureFrames));
    for (size_t i = 0; i < s.controllers.size(); ++i) {
        const ScriptedController& c = s.controllers[i];
        FUZZ_CHECK(c.deviceIndex >= 1 && c.deviceIndex <= 63);
        FUZZ_CHECK(i == 0 || s.controllers[i - 1].deviceIndex < c.deviceIndex);
        FUZZ_CHECK(c.role >= 0 && c.role <= 5);
        for (int32_t type : c.axisType) {
            FUZZ_CHECK(type >= 0 && type <= 3);
        }
        FUZZ_CHECK(PoseWellFormed(c.pose) && RangesWellFormed(c.connected) && RangesWellFormed(c.grip));
        FUZZ_CHECK(RangedWellFormed(c.pressed) && RangedWellFormed(c.touched) &&
                   RangedWellFormed(c.axisValues));
        for (const RangedAxisValue& v : c.axisValues) {
            FUZZ_CHECK(v.axis <= 4);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const ParsedScenario parsed = ParseScenario(text);
    const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
    int previous = 0;
    for (const ScenarioProblem& problem : parsed.problems) {
        FUZZ_CHECK(problem.line > previous && problem.line <= lines);
        FUZZ_CHECK(!problem.message.empty());
        previous = problem.line;
    }
    CheckWellFormed(parsed.scenario);

    if (!parsed.problems.empty()) {
        std::string kept;
        int lineNumber = 1;
        size_t problem = 0;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            const bool rejected =
                problem < parsed.problems.size() && parsed.problems[problem].line == lineNumber;
            if (rejected) {
                ++problem;
            } else {
                kept.append(text, start, end - start);
            }
            if (end < text.size()) {
                kept.push_back('\n');
            }
            start = end + 1;
            ++lineNumber;
        }
        const ParsedScenario without = ParseScenario(kept);
        FUZZ_CHECK(without.problems.empty());
        FUZZ_CHECK(Flatten(without.scenario) == Flatten(parsed.scenario));
    }
    return 0;
}
