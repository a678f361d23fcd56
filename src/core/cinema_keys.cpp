#include "core/cinema_keys.h"

#include "core/live_tuning.h"
#include "core/log.h"
#include "core/settings.h"
#include "platform/os.h"

#include <algorithm>
#include <cmath>

namespace corvane {
namespace {

enum CinemaKey { kFarther, kNearer, kLarger, kSmaller, kCinemaKeyCount };

constexpr int kVirtualKeys[kCinemaKeyCount] = {
    0x21, // Page Up
    0x22, // Page Down
    0x24, // Home
    0x23, // End
};
constexpr const char* kKeyNames[kCinemaKeyCount] = {"Page Up", "Page Down", "Home", "End"};

constexpr float kStepMetres = 0.25f;
// The ranges the INI keys are read with.
constexpr float kNearest = 1.0f;
constexpr float kFarthest = 20.0f;
constexpr float kNarrowest = 0.5f;
constexpr float kWidest = 30.0f;
constexpr float kUnchanged = 1e-6f;

bool g_wasDown[kCinemaKeyCount] = {};

} // namespace

bool RunCinemaKeys(bool screenUp) {
    bool pressed[kCinemaKeyCount] = {};
    for (int key = 0; key < kCinemaKeyCount; ++key) {
        const bool down = OsIsKeyDown(kVirtualKeys[key]);
        pressed[key] = down && !g_wasDown[key];
        g_wasDown[key] = down;
    }
    if (!screenUp || !OsIsForegroundWindowOurs()) {
        return false;
    }
    Settings& settings = GetSettings();
    for (int key = 0; key < kCinemaKeyCount; ++key) {
        if (!pressed[key]) {
            continue;
        }
        const bool distance = key == kFarther || key == kNearer;
        const float sign = key == kFarther || key == kLarger ? 1.0f : -1.0f;
        const float current = distance ? settings.CinemaDistance : settings.CinemaWidth;
        const float next = distance ? std::clamp(current + sign * kStepMetres, kNearest, kFarthest)
                                    : std::clamp(current + sign * kStepMetres, kNarrowest, kWidest);
        // At the end of its range a key changes nothing and says nothing.
        if (std::fabs(next - current) <= kUnchanged) {
            return false;
        }
        if (distance) {
            settings.CinemaDistance = next;
        } else {
            settings.CinemaWidth = next;
        }
        const bool saved = WriteIniFloat(distance ? L"CinemaDistance" : L"CinemaWidth", next);
        LogMessage("%s: cinema screen %s; %s %.2f m%s", kKeyNames[key],
                   key == kFarther  ? "farther"
                   : key == kNearer ? "nearer"
                   : key == kLarger ? "larger"
                                    : "smaller",
                   distance ? "distance" : "width", double{next}, SaveSuffix(saved));
        return true;
    }
    return false;
}

void ResetCinemaKeys() {
    for (bool& down : g_wasDown) {
        down = false;
    }
}

} // namespace corvane
