// Scenario parsing: one setting per line, later lines override earlier ones.
#include "scenario.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace vrsim {
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
    [[nodiscard]] uint64_t Unsigned(const char* what) {
        std::string word = Text(what);
        if (word.empty() || word[0] == '-') {
            throw LineError(std::string("bad ") + what + " '" + word + "'");
        }
        errno = 0;
        char* end = nullptr;
        // Decimal, or hex with 0x; a leading zero does not mean octal here.
        bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
        unsigned long long value = std::strtoull(word.c_str(), &end, hex ? 16 : 10);
        if (end == word.c_str() || *end != '\0' || errno == ERANGE) {
            throw LineError(std::string("bad ") + what + " '" + word + "'");
        }
        return value;
    }
    [[nodiscard]] uint32_t Unsigned32(const char* what, uint64_t limit = 0xFFFFFFFFull) {
        uint64_t value = Unsigned(what);
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

int EyeIndex(const std::string& word) {
    if (word == "left") {
        return 0;
    }
    if (word == "right") {
        return 1;
    }
    throw LineError("bad eye '" + word + "'");
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

int32_t RoleFromWord(const std::string& word) {
    static constexpr std::pair<const char*, int32_t> kRoles[] = {
        {"none", 0}, {"left", 1}, {"right", 2}, {"optout", 3}, {"treadmill", 4}, {"stylus", 5}};
    for (const auto& [name, role] : kRoles) {
        if (word == name) {
            return role;
        }
    }
    throw LineError("bad role '" + word + "'");
}

int32_t AxisTypeFromWord(const std::string& word) {
    static constexpr std::pair<const char*, int32_t> kTypes[] = {
        {"none", 0}, {"trackpad", 1}, {"joystick", 2}, {"trigger", 3}};
    for (const auto& [name, type] : kTypes) {
        if (word == name) {
            return type;
        }
    }
    throw LineError("bad axis type '" + word + "'");
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

ScriptedController MakeController(uint32_t deviceIndex, int32_t role, float x, float y, float z) {
    ScriptedController controller;
    controller.deviceIndex = deviceIndex;
    controller.role = role;
    PoseKey key;
    key.position[0] = x;
    key.position[1] = y;
    key.position[2] = z;
    controller.pose.keys.push_back(key);
    return controller;
}

ScriptedController& ControllerFor(Scenario& scenario, uint32_t deviceIndex) {
    auto at =
        std::lower_bound(scenario.controllers.begin(), scenario.controllers.end(), deviceIndex,
                         [](const ScriptedController& c, uint32_t index) { return c.deviceIndex < index; });
    if (at != scenario.controllers.end() && at->deviceIndex == deviceIndex) {
        return *at;
    }
    return *scenario.controllers.insert(at, MakeController(deviceIndex, 0, 0.0f, 1.0f, -0.3f));
}

void ApplyControllerLine(Scenario& scenario, Words& words) {
    uint32_t index = words.Unsigned32("device index", 63);
    if (index == 0) {
        throw LineError("device 0 is the headset");
    }
    ScriptedController& controller = ControllerFor(scenario, index);
    std::string what = words.Text("controller setting");
    if (what == "role") {
        controller.role = RoleFromWord(words.Text("role"));
    } else if (what == "connected") {
        FrameRange range = words.Range();
        if (controller.alwaysConnected) {
            controller.alwaysConnected = false;
            controller.connected.clear();
        }
        controller.connected.push_back(range);
    } else if (what == "absent") {
        controller.alwaysConnected = false;
        controller.connected.clear();
    } else if (what == "axis") {
        uint32_t axis = words.Unsigned32("axis", 4);
        controller.axisType[axis] = AxisTypeFromWord(words.Text("axis type"));
    } else if (what == "key") {
        InsertKey(controller.pose, ReadKey(words));
    } else if (what == "lost") {
        controller.pose.lost.push_back(words.Range());
    } else if (what == "pressed" || what == "touched") {
        RangedMask mask;
        mask.range = words.Range();
        mask.mask = words.Unsigned("mask");
        (what == "pressed" ? controller.pressed : controller.touched).push_back(mask);
    } else if (what == "grip") {
        controller.grip.push_back(words.Range());
    } else if (what == "value" || what == "trigger" || what == "stick") {
        RangedAxisValue value;
        value.range = words.Range();
        if (what == "value") {
            value.axis = words.Unsigned32("axis", 4);
            value.x = words.Float("x");
            value.y = words.Float("y");
        } else if (what == "trigger") {
            value.target = AxisTarget::FirstTrigger;
            value.x = words.Float("trigger value");
        } else {
            value.target = AxisTarget::FirstStick;
            value.x = words.Float("x");
            value.y = words.Float("y");
        }
        controller.axisValues.push_back(value);
    } else {
        throw LineError("unknown controller setting '" + what + "'");
    }
}

bool* InterfaceFlag(Scenario& scenario, const std::string& name, bool missing) {
    if (name == "IVRSystem_026") {
        return missing ? &scenario.systemMissing : &scenario.systemNull;
    }
    if (name == "IVRCompositor_029") {
        return missing ? &scenario.compositorMissing : &scenario.compositorNull;
    }
    throw LineError("unknown interface '" + name + "'");
}

float PixelsPerTangent(Words& words) {
    float value = words.Float("pixels per tangent");
    // Beyond this a default field makes a picture of gigabytes.
    if (!(value > 0.0f && value <= kMaxViewPixelsPerTangent)) {
        throw LineError("pixels per tangent out of range");
    }
    return value;
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

void AddFinder(Scenario& scenario, const ColourFinder& finder) {
    for (ColourFinder& existing : scenario.finders) {
        if (existing.name == finder.name) {
            existing = finder;
            return;
        }
    }
    scenario.finders.push_back(finder);
}

void ApplyLine(Scenario& scenario, Words& words) {
    std::string keyword = words.Text("setting");
    if (keyword == "render_size") {
        scenario.renderWidth = words.Unsigned32("width");
        scenario.renderHeight = words.Unsigned32("height");
    } else if (keyword == "projection") {
        int eye = EyeIndex(words.Text("eye"));
        float values[4];
        for (float& v : values) {
            v = words.Float("tangent");
        }
        std::copy(values, values + 4, scenario.rawProjection[eye]);
    } else if (keyword == "eye_to_head") {
        int eye = EyeIndex(words.Text("eye"));
        scenario.eyeToHeadX[eye] = words.Float("x");
    } else if (keyword == "refresh") {
        scenario.refreshHz = words.Float("refresh rate");
    } else if (keyword == "pace") {
        scenario.paced = OnOff(words.Text("on/off"), "on", "off");
    } else if (keyword == "runtime_installed") {
        scenario.runtimeInstalled = OnOff(words.Text("yes/no"), "yes", "no");
    } else if (keyword == "init_error") {
        RangedCode code;
        code.code = words.Signed32("error code");
        if (!words.AtEnd()) {
            code.range = words.Range();
        }
        scenario.initErrors.push_back(code);
    } else if (keyword == "optics_error") {
        scenario.opticsErrors.push_back(words.Range());
    } else if (keyword == "sdk_version_error") {
        scenario.sdkVersionError = words.Signed32("error code");
    } else if (keyword == "interface_missing" || keyword == "interface_null") {
        *InterfaceFlag(scenario, words.Text("interface"), keyword == "interface_missing") = true;
    } else if (keyword == "error_text") {
        if (words.Text("'none'") != "none") {
            throw LineError("error_text takes only 'none'");
        }
        scenario.errorTextNull = true;
    } else if (keyword == "wait_error") {
        RangedCode code;
        code.code = words.Signed32("error code");
        code.range = words.Range();
        scenario.waitErrors.push_back(code);
    } else if (keyword == "submit_error") {
        std::string eye = words.Text("eye");
        RangedCode code;
        code.code = words.Signed32("error code");
        code.range = words.Range();
        if (eye == "both") {
            scenario.submitErrors[0].push_back(code);
            scenario.submitErrors[1].push_back(code);
        } else {
            scenario.submitErrors[EyeIndex(eye)].push_back(code);
        }
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
    } else if (keyword == "controllers") {
        if (words.Text("'none'") != "none") {
            throw LineError("controllers takes only 'none'");
        }
        scenario.controllers.clear();
    } else if (keyword == "controller") {
        ApplyControllerLine(scenario, words);
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
        scenario.viewPixelsPerTangent = PixelsPerTangent(words);
    } else if (keyword == "find") {
        AddFinder(scenario, ReadFinder(words));
    } else {
        throw LineError("unknown setting '" + keyword + "'");
    }
    words.Finish();
}

} // namespace

Scenario DefaultScenario() {
    Scenario scenario;
    PoseKey head;
    head.position[1] = 1.6f;
    scenario.head.keys.push_back(head);
    ScriptedController left = MakeController(1, 1, -0.2f, 1.2f, -0.35f);
    ScriptedController right = MakeController(2, 2, 0.2f, 1.2f, -0.35f);
    for (ScriptedController* c : {&left, &right}) {
        c->axisType[0] = 2; // joystick
        c->axisType[1] = 3; // trigger
    }
    scenario.controllers = {left, right};
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
    return std::any_of(scenario.captureFrames.begin(), scenario.captureFrames.end(),
                       [frame](const FrameRange& range) { return range.Contains(frame); });
}

bool OpticsInvalidFor(const Scenario& scenario, uint32_t attempt) {
    return std::any_of(scenario.opticsErrors.begin(), scenario.opticsErrors.end(),
                       [attempt](const FrameRange& range) { return range.Contains(attempt); });
}

int32_t CodeAt(const std::vector<RangedCode>& codes, uint32_t count) {
    int32_t code = 0;
    for (const RangedCode& entry : codes) {
        if (entry.range.Contains(count)) {
            code = entry.code;
        }
    }
    return code;
}

} // namespace vrsim
