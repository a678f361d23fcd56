// The stand-in's command line. Platform-free.
#pragma once

#include <string>
#include <vector>

struct Options {
    bool selfCheck = false;
    bool printTimeline = false;
    bool help = false;
    int frames = 200;
    int width = 640;
    int height = 360;
    int msaa = 1;
    bool vsync = false;
    int minFrameMs = 0;         // a frame cap, as games have: each frame lasts at least this long
    std::string upload = "map"; // map, update or deferred
    std::string tracePath;
    std::string statsPath;
    std::string timelinePath;
    std::vector<int> dumpFrames;
    std::string dumpFolder = ".";
    std::string variant;
};

// Returns false with `error` set for an unknown option or a bad value.
bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& error);
const char* OptionsHelp();
