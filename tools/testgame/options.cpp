#include "options.h"

#include <cstdlib>
#include <cstring>

namespace {

bool ParseInt(const char* text, int low, int high, int& value) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

bool ParseFrameList(const char* text, std::vector<int>& frames) {
    std::string list(text);
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = list.find(',', start);
        const std::string item =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        int frame = 0;
        if (!ParseInt(item.c_str(), 0, 0x7FFFFFFF, frame)) {
            return false;
        }
        frames.push_back(frame);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return true;
}

} // namespace

const char* OptionsHelp() {
    return "usage: testgame [options]\n"
           "  --self-check          verify the image's contracts and routines, then exit (0 = all match)\n"
           "  --frames N            frames to run (default 200)\n"
           "  --width W --height H  client size (default 640 x 360)\n"
           "  --msaa N              samples of the swap chain (1, 2, 4 or 8)\n"
           "  --vsync               present with a sync interval of 1\n"
           "  --min-frame-ms N      each frame lasts at least N milliseconds (a frame cap)\n"
           "  --upload KIND         camera buffer upload: map (default), update or deferred\n"
           "  --trace FILE          one key=value line per frame\n"
           "  --stats FILE          frame times, memory and teardown references (see README)\n"
           "  --timeline FILE       scripted events instead of the built-in timeline\n"
           "  --print-timeline      print the built-in timeline and exit\n"
           "  --dump F1,F2,...      write these frames' pictures as PNG\n"
           "  --dump-folder DIR     where the pictures go (default .)\n"
           "  --variant NAME        change exactly one contract (see the list printed by --help)\n";
}

bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needs = [&](const char* name) {
            if (std::strcmp(option, name) != 0) {
                return false;
            }
            if (value == nullptr) {
                error = std::string(name) + " needs a value";
            }
            return true;
        };
        bool ok = true;
        if (std::strcmp(option, "--self-check") == 0) {
            options.selfCheck = true;
        } else if (std::strcmp(option, "--print-timeline") == 0) {
            options.printTimeline = true;
        } else if (std::strcmp(option, "--help") == 0) {
            options.help = true;
        } else if (std::strcmp(option, "--vsync") == 0) {
            options.vsync = true;
        } else if (needs("--min-frame-ms")) {
            ok = value != nullptr && ParseInt(value, 0, 1000, options.minFrameMs);
            ++i;
        } else if (needs("--frames")) {
            ok = value != nullptr && ParseInt(value, 1, 1000000, options.frames);
            ++i;
        } else if (needs("--width")) {
            ok = value != nullptr && ParseInt(value, 64, 8192, options.width);
            ++i;
        } else if (needs("--height")) {
            ok = value != nullptr && ParseInt(value, 64, 8192, options.height);
            ++i;
        } else if (needs("--msaa")) {
            ok = value != nullptr && ParseInt(value, 1, 8, options.msaa) &&
                 (options.msaa & (options.msaa - 1)) == 0;
            ++i;
        } else if (needs("--upload")) {
            ok = value != nullptr && (std::strcmp(value, "map") == 0 || std::strcmp(value, "update") == 0 ||
                                      std::strcmp(value, "deferred") == 0);
            if (ok) {
                options.upload = value;
            }
            ++i;
        } else if (needs("--trace")) {
            ok = value != nullptr;
            options.tracePath = value != nullptr ? value : "";
            ++i;
        } else if (needs("--stats")) {
            ok = value != nullptr;
            options.statsPath = value != nullptr ? value : "";
            ++i;
        } else if (needs("--timeline")) {
            ok = value != nullptr;
            options.timelinePath = value != nullptr ? value : "";
            ++i;
        } else if (needs("--dump")) {
            ok = value != nullptr && ParseFrameList(value, options.dumpFrames);
            ++i;
        } else if (needs("--dump-folder")) {
            ok = value != nullptr;
            options.dumpFolder = value != nullptr ? value : "";
            ++i;
        } else if (needs("--variant")) {
            ok = value != nullptr;
            options.variant = value != nullptr ? value : "";
            ++i;
        } else {
            error = std::string("unknown option ") + option;
            return false;
        }
        if (!ok) {
            if (error.empty()) {
                error = std::string("bad value for ") + option;
            }
            return false;
        }
    }
    return true;
}
