// Scenario parsing: one setting per line, later lines override earlier ones.
#include "scenario.h"

#include <algorithm>

namespace vrsim {
namespace {

using standin::LineError;
using standin::OnOff;
using Words = standin::LineWords;

int EyeIndex(const std::string& word) {
    if (word == "left") {
        return 0;
    }
    if (word == "right") {
        return 1;
    }
    throw LineError("bad eye '" + word + "'");
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
        standin::InsertKey(controller.pose, standin::ReadKey(words));
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
            standin::InsertKey(scenario.head, standin::ReadKey(words));
        } else if (what == "lost") {
            scenario.head.lost.push_back(words.Range());
        } else {
            throw LineError("unknown head setting '" + what + "'");
        }
    } else if (keyword == "recentre") {
        standin::InsertRecentre(scenario.recentres, standin::ReadRecentre(words));
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
        scenario.viewPixelsPerTangent = standin::ReadViewPixelsPerTangent(words);
    } else if (keyword == "find") {
        standin::AddColourFinder(scenario.finders, standin::ReadColourFinder(words));
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
    // Button masks read best in hex, so every unsigned word here may be written so.
    parsed.problems =
        standin::ApplyLines(text, parsed.scenario, standin::UnsignedForm::DecimalOrHex, ApplyLine);
    return parsed;
}

bool CaptureRequested(const Scenario& scenario, uint32_t frame) {
    return standin::AnyContains(scenario.captureFrames, frame);
}

bool OpticsInvalidFor(const Scenario& scenario, uint32_t attempt) {
    return standin::AnyContains(scenario.opticsErrors, attempt);
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
