// Scenario parsing: one setting per line, later lines override earlier ones. The optics, head,
// recentre and capture lines read exactly as the stand-in OpenVR runtime reads them.
#include "xr_scenario.h"

#include "input_profiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace xrsim {
namespace {

// Raised for an unreadable line; caught per line so the rest of the file still applies.
struct LineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Words {
public:
    explicit Words(std::string_view line) : line_(line) {
        size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
                ++i;
            }
            size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
                ++i;
            }
            if (i > start) {
                words_.emplace_back(line.substr(start, i - start));
                starts_.push_back(start);
            }
        }
    }
    [[nodiscard]] bool Empty() const { return words_.empty(); }
    [[nodiscard]] bool AtEnd() const { return next_ >= words_.size(); }
    [[nodiscard]] std::string Text(const char* what) {
        if (AtEnd()) {
            throw LineError(std::string("missing ") + what);
        }
        return words_[next_++];
    }
    // Everything from the next word to the end of the line, inner blanks kept (for paths).
    [[nodiscard]] std::string Rest(const char* what) {
        if (AtEnd()) {
            throw LineError(std::string("missing ") + what);
        }
        std::string rest = line_.substr(starts_[next_]);
        rest.erase(rest.find_last_not_of(" \t\r") + 1);
        next_ = words_.size();
        return rest;
    }
    [[nodiscard]] float Float(const char* what) {
        std::string word = Text(what);
        char* end = nullptr;
        float value = std::strtof(word.c_str(), &end);
        if (end == word.c_str() || *end != '\0') {
            throw LineError(std::string("bad ") + what + " '" + word + "'");
        }
        return value;
    }
    [[nodiscard]] uint32_t Unsigned32(const char* what, uint64_t limit = 0xFFFFFFFFull) {
        std::string word = Text(what);
        errno = 0;
        char* end = nullptr;
        unsigned long long value = std::strtoull(word.c_str(), &end, 10);
        if (word.empty() || word[0] == '-' || end == word.c_str() || *end != '\0' || errno == ERANGE) {
            throw LineError(std::string("bad ") + what + " '" + word + "'");
        }
        if (value > limit) {
            throw LineError(std::string(what) + " out of range");
        }
        return static_cast<uint32_t>(value);
    }
    [[nodiscard]] int32_t Signed32(const char* what) {
        std::string word = Text(what);
        errno = 0;
        char* end = nullptr;
        long long value = std::strtoll(word.c_str(), &end, 10);
        if (end == word.c_str() || *end != '\0' || errno == ERANGE || value < INT32_MIN ||
            value > INT32_MAX) {
            throw LineError(std::string("bad ") + what + " '" + word + "'");
        }
        return static_cast<int32_t>(value);
    }
    [[nodiscard]] FrameRange Range() {
        std::string word = Text("range");
        FrameRange range;
        size_t dots = word.find("..");
        try {
            if (dots == std::string::npos) {
                range.first = range.last = ParseFrame(word);
            } else {
                range.first = ParseFrame(word.substr(0, dots));
                std::string rest = word.substr(dots + 2);
                range.last = rest.empty() ? kLastFrame : ParseFrame(rest);
            }
        } catch (const LineError&) {
            throw LineError("bad range '" + word + "'");
        }
        if (range.last < range.first) {
            throw LineError("empty range '" + word + "'");
        }
        return range;
    }
    void Finish() const {
        if (!AtEnd()) {
            throw LineError("unexpected '" + words_[next_] + "'");
        }
    }

private:
    static uint32_t ParseFrame(const std::string& word) {
        if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos || word.size() > 9) {
            throw LineError("bad frame");
        }
        return static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 10));
    }

    std::string line_;
    std::vector<std::string> words_;
    std::vector<size_t> starts_; // where each word begins in line_
    size_t next_ = 0;
};

int SideIndex(const std::string& word) {
    if (word == "left") {
        return 0;
    }
    if (word == "right") {
        return 1;
    }
    throw LineError("expected 'left' or 'right', not '" + word + "'");
}

bool OnOff(const std::string& word, const char* on, const char* off) {
    if (word == on) {
        return true;
    }
    if (word == off) {
        return false;
    }
    throw LineError("expected '" + std::string(on) + "' or '" + off + "', not '" + word + "'");
}

void InsertKey(PoseScript& script, const PoseKey& key) {
    if (!script.keysFromFile) {
        script.keys.clear();
        script.keysFromFile = true;
    }
    auto at = std::upper_bound(script.keys.begin(), script.keys.end(), key.frame,
                               [](uint32_t frame, const PoseKey& k) { return frame < k.frame; });
    script.keys.insert(at, key);
}

PoseKey ReadKey(Words& words) {
    PoseKey key;
    key.frame = words.Unsigned32("frame");
    for (float& p : key.position) {
        p = words.Float("position");
    }
    key.yawDegrees = words.Float("yaw");
    key.pitchDegrees = words.Float("pitch");
    key.rollDegrees = words.Float("roll");
    return key;
}

void ApplyControllerLine(ScriptedHand& hand, Words& words) {
    std::string what = words.Text("controller setting");
    if (what == "profile") {
        std::string profile = words.Text("interaction profile");
        if (!IsKnownProfile(profile)) {
            throw LineError("unknown interaction profile '" + profile + "'");
        }
        hand.profile = profile;
    } else if (what == "connected") {
        FrameRange range = words.Range();
        if (hand.alwaysConnected) {
            hand.alwaysConnected = false;
            hand.connected.clear();
        }
        hand.connected.push_back(range);
    } else if (what == "absent") {
        hand.alwaysConnected = false;
        hand.connected.clear();
    } else if (what == "key") {
        InsertKey(hand.pose, ReadKey(words));
    } else if (what == "lost") {
        hand.pose.lost.push_back(words.Range());
    } else if (what == "input") {
        ScriptedInput input;
        input.component = words.Text("component");
        if (!IsScriptableComponent(input.component)) {
            throw LineError("unknown input component '" + input.component + "'");
        }
        input.range = words.Range();
        input.x = words.Float("value");
        if (!words.AtEnd()) {
            input.y = words.Float("second value");
        }
        hand.inputs.push_back(input);
    } else {
        throw LineError("unknown controller setting '" + what + "'");
    }
}

ColourFinder ReadFinder(Words& words) {
    ColourFinder finder;
    finder.name = words.Text("name");
    finder.red = static_cast<uint8_t>(words.Unsigned32("red", 255));
    finder.green = static_cast<uint8_t>(words.Unsigned32("green", 255));
    finder.blue = static_cast<uint8_t>(words.Unsigned32("blue", 255));
    if (!words.AtEnd()) {
        finder.tolerance = static_cast<uint8_t>(words.Unsigned32("tolerance", 255));
    }
    return finder;
}

void AddFinder(std::vector<ColourFinder>& finders, const ColourFinder& finder) {
    for (ColourFinder& existing : finders) {
        if (existing.name == finder.name) {
            existing = finder;
            return;
        }
    }
    finders.push_back(finder);
}

void ApplyLine(Scenario& scenario, Words& words) {
    std::string keyword = words.Text("setting");
    if (keyword == "render_size") {
        scenario.renderWidth = words.Unsigned32("width");
        scenario.renderHeight = words.Unsigned32("height");
    } else if (keyword == "projection") {
        int eye = SideIndex(words.Text("eye"));
        float values[4];
        for (float& v : values) {
            v = words.Float("tangent");
        }
        std::copy(values, values + 4, scenario.rawProjection[eye]);
    } else if (keyword == "eye_to_head") {
        int eye = SideIndex(words.Text("eye"));
        scenario.eyeToHeadX[eye] = words.Float("x");
    } else if (keyword == "refresh") {
        scenario.refreshHz = words.Float("refresh rate");
    } else if (keyword == "pace") {
        scenario.paced = OnOff(words.Text("on/off"), "on", "off");
    } else if (keyword == "runtime_installed") {
        scenario.runtimeInstalled = OnOff(words.Text("yes/no"), "yes", "no");
    } else if (keyword == "negotiation") {
        if (words.Text("'refuse'") != "refuse") {
            throw LineError("negotiation takes only 'refuse'");
        }
        scenario.negotiationRefused = true;
    } else if (keyword == "extension_missing") {
        scenario.extensionMissing = true;
    } else if (keyword == "session_loss") {
        scenario.sessionLossFrames.push_back(words.Unsigned32("frame"));
    } else if (keyword == "instance_loss") {
        scenario.instanceLossFrames.push_back(words.Unsigned32("frame"));
    } else if (keyword == "exit_request") {
        scenario.exitRequestFrames.push_back(words.Unsigned32("frame"));
    } else if (keyword == "fail") {
        InjectedFailure failure;
        failure.function = words.Text("function");
        if (!failure.function.starts_with("xr")) {
            throw LineError("bad function '" + failure.function + "'");
        }
        failure.code = words.Signed32("result code");
        failure.range = words.Range();
        scenario.failures.push_back(failure);
    } else if (keyword == "head") {
        std::string what = words.Text("head setting");
        if (what == "key") {
            InsertKey(scenario.head, ReadKey(words));
        } else if (what == "lost") {
            scenario.head.lost.push_back(words.Range());
        } else {
            throw LineError("unknown head setting '" + what + "'");
        }
    } else if (keyword == "recentre") {
        Recentre recentre;
        recentre.frame = words.Unsigned32("frame");
        for (float& p : recentre.position) {
            p = words.Float("position");
        }
        recentre.yawDegrees = words.Float("yaw");
        auto at = std::upper_bound(scenario.recentres.begin(), scenario.recentres.end(), recentre.frame,
                                   [](uint32_t frame, const Recentre& r) { return frame < r.frame; });
        scenario.recentres.insert(at, recentre);
    } else if (keyword == "controller") {
        ApplyControllerLine(scenario.hands[SideIndex(words.Text("hand"))], words);
    } else if (keyword == "log") {
        if (words.Text("log setting") != "queries") {
            throw LineError("log takes only 'queries on|off'");
        }
        scenario.logQueries = OnOff(words.Text("on/off"), "on", "off");
    } else if (keyword == "capture") {
        scenario.captureFrames.push_back(words.Range());
    } else if (keyword == "capture_folder") {
        scenario.captureFolder = words.Rest("folder");
    } else if (keyword == "view_grid") {
        float value = words.Float("pixels per tangent");
        // Beyond this a default field makes a picture of gigabytes.
        if (!(value > 0.0f && value <= kMaxViewPixelsPerTangent)) {
            throw LineError("pixels per tangent out of range");
        }
        scenario.viewPixelsPerTangent = value;
    } else if (keyword == "find") {
        AddFinder(scenario.finders, ReadFinder(words));
    } else if (keyword == "find_view") {
        AddFinder(scenario.viewFinders, ReadFinder(words));
    } else {
        throw LineError("unknown setting '" + keyword + "'");
    }
    words.Finish();
}

bool InAny(const std::vector<FrameRange>& ranges, uint32_t frame) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [frame](const FrameRange& r) { return r.Contains(frame); });
}

} // namespace

Scenario DefaultScenario() {
    Scenario scenario;
    PoseKey head;
    head.position[1] = 1.6f;
    scenario.head.keys.push_back(head);
    const float handX[2] = {-0.2f, 0.2f};
    for (int hand : {kLeftHand, kRightHand}) {
        PoseKey key;
        key.position[0] = handX[hand];
        key.position[1] = 1.2f;
        key.position[2] = -0.35f;
        scenario.hands[hand].pose.keys.push_back(key);
    }
    return scenario;
}

ParsedScenario ParseScenario(std::string_view text) {
    ParsedScenario parsed{DefaultScenario(), {}};
    int lineNumber = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        ++lineNumber;
        std::string_view line = text.substr(start, end - start);
        line = line.substr(0, line.find('#'));
        Words words(line);
        if (!words.Empty()) {
            // Apply to a copy so a line that fails half-way leaves nothing behind.
            Scenario candidate = parsed.scenario;
            try {
                ApplyLine(candidate, words);
                parsed.scenario = std::move(candidate);
            } catch (const LineError& error) {
                parsed.problems.push_back({lineNumber, error.what()});
            }
        }
        start = end + 1;
    }
    return parsed;
}

bool CaptureRequested(const Scenario& scenario, uint32_t frame) {
    return InAny(scenario.captureFrames, frame);
}

int32_t InjectedCode(const Scenario& scenario, std::string_view function, uint32_t frame) {
    int32_t code = 0;
    for (const InjectedFailure& failure : scenario.failures) {
        if (failure.function == function && failure.range.Contains(frame)) {
            code = failure.code;
        }
    }
    return code;
}

const ScriptedInput* InputAt(const ScriptedHand& hand, std::string_view component, uint32_t frame) {
    const ScriptedInput* found = nullptr;
    for (const ScriptedInput& input : hand.inputs) {
        if (input.component == component && input.range.Contains(frame)) {
            found = &input;
        }
    }
    return found;
}

bool HandConnected(const ScriptedHand& hand, uint32_t frame) {
    return hand.alwaysConnected || InAny(hand.connected, frame);
}

} // namespace xrsim
