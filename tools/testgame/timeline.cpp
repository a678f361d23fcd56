#include "timeline.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace {

struct EventSyntax {
    const char* name;
    EventKind kind;
    int argCount;
};

constexpr EventSyntax kEvents[] = {
    {"gameplay", EventKind::Gameplay, 0},
    {"cutscene", EventKind::Cutscene, 3},
    {"reopen", EventKind::Reopen, 1},
    {"menu", EventKind::Menu, 0},
    {"focus-loss", EventKind::FocusLoss, 0},
    {"focus-gain", EventKind::FocusGain, 0},
    {"recreate-device", EventKind::RecreateDevice, 0},
    {"second-device", EventKind::SecondDevice, 0},
    {"player-replace", EventKind::PlayerReplace, 0},
    {"player-clear", EventKind::PlayerClear, 0},
    {"player-restore", EventKind::PlayerRestore, 0},
    {"camera-state", EventKind::CameraState, 1},
    {"request-60", EventKind::Request60, 0},
    {"hitch", EventKind::Hitch, 1},
};

bool ParseUnsigned(const std::string& word, unsigned& value) {
    if (word.empty() || word.size() > 10) {
        return false;
    }
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(word.c_str(), &end, 0);
    if (*end != '\0' || parsed > 0xFFFFFFFFul || word[0] == '-') {
        return false;
    }
    value = static_cast<unsigned>(parsed);
    return true;
}

} // namespace

const char* DefaultTimeline() {
    return "# frame event [arguments]\n"
           "0 gameplay\n"
           "60 cutscene 2 2 1\n"
           "90 reopen 1\n"
           "100 gameplay\n"
           "130 menu\n"
           "160 gameplay\n";
}

const char* EventName(EventKind kind) {
    for (const EventSyntax& spec : kEvents) {
        if (spec.kind == kind) {
            return spec.name;
        }
    }
    return "?";
}

bool ParseTimeline(const std::string& text, std::vector<TimelineEvent>& events, std::string& error) {
    events.clear();
    std::istringstream lines(text);
    std::string line;
    int lineNumber = 0;
    while (std::getline(lines, line)) {
        ++lineNumber;
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::vector<std::string> parts;
        for (std::string word; words >> word;) {
            parts.push_back(word);
        }
        if (parts.empty()) {
            continue;
        }
        TimelineEvent event;
        unsigned frame = 0;
        const EventSyntax* spec = nullptr;
        if (parts.size() >= 2) {
            for (const EventSyntax& candidate : kEvents) {
                if (parts[1] == candidate.name) {
                    spec = &candidate;
                }
            }
        }
        bool ok = spec != nullptr && ParseUnsigned(parts[0], frame) && frame <= 0x7FFFFFFF &&
                  parts.size() == static_cast<size_t>(2 + spec->argCount);
        for (int i = 0; ok && spec != nullptr && i < spec->argCount; ++i) {
            ok = ParseUnsigned(parts[static_cast<size_t>(2 + i)], event.args[i]);
        }
        if (ok && (spec->kind == EventKind::Cutscene || spec->kind == EventKind::Reopen)) {
            ok = event.args[0] >= 1 && event.args[0] <= 13; // writer number
        }
        if (!ok) {
            error = "timeline line " + std::to_string(lineNumber) + " is not a valid event: " + line;
            events.clear();
            return false;
        }
        event.frame = static_cast<int>(frame);
        event.kind = spec->kind;
        events.push_back(event);
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const TimelineEvent& a, const TimelineEvent& b) { return a.frame < b.frame; });
    return true;
}
