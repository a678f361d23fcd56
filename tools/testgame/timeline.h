// The stand-in's deterministic timeline: scripted scene changes and test events by frame
// number. Platform-free; parsed once at start-up.
#pragma once

#include <string>
#include <vector>

enum class EventKind {
    Gameplay,       // back to play; the game's camera state returns to 0 if the engine owned it
    Cutscene,       // WRITER KIND VALUE: composite kind, then a control-block writer closes it
    Reopen,         // WRITER: the writer stores 0 into the control block
    Menu,           // the menu: no gameplay camera
    FocusLoss,      // another window takes the foreground
    FocusGain,      // the game's window takes it back
    RecreateDevice, // device and swap chain released and created again
    SecondDevice,   // a second device and swap chain in a window of their own, one frame presented
    PlayerReplace,  // a new player object and active actor
    PlayerClear,    // the player object pointer becomes null
    PlayerRestore,  // the player object pointer comes back
    CameraState,    // VALUE: the game writes its camera state
    Request60,      // the game raises its own first-person 60 request bytes (the limiter drops A)
    Hitch,          // MS: the frame takes that many milliseconds longer before its Present
};

struct TimelineEvent {
    int frame = 0;
    EventKind kind = EventKind::Gameplay;
    unsigned args[3] = {};
};

// Parses "FRAME EVENT [ARGS...]" lines; '#' starts a comment. Events come back sorted by
// frame, in file order within a frame. On failure `error` names the line.
bool ParseTimeline(const std::string& text, std::vector<TimelineEvent>& events, std::string& error);
const char* DefaultTimeline();
const char* EventName(EventKind kind);
