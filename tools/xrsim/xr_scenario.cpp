// Scenario parsing: one setting per line, later lines override earlier ones. The optics, head,
// recentre and capture lines read exactly as the stand-in OpenVR runtime reads them, but
// unsigned numbers are decimal only.
#include "xr_scenario.h"

#include "input_profiles.h"

#include <algorithm>

namespace xrsim {
namespace {

using standin::LineError;
using standin::OnOff;
using Words = standin::LineWords;

int SideIndex(const std::string& word) {
    if (word == "left") {
        return 0;
    }
    if (word == "right") {
        return 1;
    }
    throw LineError("expected 'left' or 'right', not '" + word + "'");
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
        standin::InsertKey(hand.pose, standin::ReadKey(words));
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
            standin::InsertKey(scenario.head, standin::ReadKey(words));
        } else if (what == "lost") {
            scenario.head.lost.push_back(words.Range());
        } else {
            throw LineError("unknown head setting '" + what + "'");
        }
    } else if (keyword == "recentre") {
        standin::InsertRecentre(scenario.recentres, standin::ReadRecentre(words));
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
        scenario.viewPixelsPerTangent = standin::ReadViewPixelsPerTangent(words);
    } else if (keyword == "find") {
        standin::AddColourFinder(scenario.finders, standin::ReadColourFinder(words));
    } else if (keyword == "find_view") {
        standin::AddColourFinder(scenario.viewFinders, standin::ReadColourFinder(words));
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
    parsed.problems = standin::ApplyLines(text, parsed.scenario, standin::UnsignedForm::Decimal, ApplyLine);
    return parsed;
}

bool CaptureRequested(const Scenario& scenario, uint32_t frame) {
    return standin::AnyContains(scenario.captureFrames, frame);
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
    return hand.alwaysConnected || standin::AnyContains(hand.connected, frame);
}

} // namespace xrsim
