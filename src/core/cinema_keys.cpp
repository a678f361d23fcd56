#include "core/cinema_keys.h"

#include "core/key_presses.h"
#include "core/log.h"
#include "core/settings.h"
#include "platform/os.h"

#include <algorithm>
#include <cmath>

namespace corvane {
namespace {

struct CinemaKey {
    const char* name;
    const char* change; // what the press does to the screen, for the log
    bool distance;      // CinemaDistance, else CinemaWidth
    float step;         // metres
};

// In the order of CinemaChange.
constexpr size_t kCinemaKeyCount = 4;
constexpr int kVirtualKeys[kCinemaKeyCount] = {0x21, 0x22, 0x24, 0x23}; // Page Up, Page Down, Home, End
constexpr CinemaKey kKeys[kCinemaKeyCount] = {
    {"Page Up", "farther", true, 0.25f},
    {"Page Down", "nearer", true, -0.25f},
    {"Home", "larger", false, 0.25f},
    {"End", "smaller", false, -0.25f},
};
constexpr float kUnchanged = 1e-6f;

KeyPresses<kCinemaKeyCount> g_presses;

} // namespace

bool RunCinemaKeys(bool screenUp) {
    bool pressed[kCinemaKeyCount] = {};
    g_presses.Read(kVirtualKeys, pressed);
    if (!screenUp || !OsIsForegroundWindowOurs()) {
        return false;
    }
    for (size_t i = 0; i < kCinemaKeyCount; ++i) {
        if (pressed[i]) {
            return ChangeCinemaScreen(static_cast<CinemaChange>(i), kKeys[i].name);
        }
    }
    return false;
}

bool ChangeCinemaScreen(CinemaChange change, const char* by) {
    const size_t index = static_cast<size_t>(change);
    if (index >= kCinemaKeyCount) {
        return false;
    }
    const CinemaKey& key = kKeys[index];
    Settings& settings = GetSettings();
    RelaxedAtomic<float>& value = key.distance ? settings.CinemaDistance : settings.CinemaWidth;
    const float current = value;
    const float next = key.distance ? std::clamp(current + key.step, kCinemaNearest, kCinemaFarthest)
                                    : std::clamp(current + key.step, kCinemaNarrowest, kCinemaWidest);
    // At the end of its range a step changes nothing and says nothing.
    if (std::fabs(next - current) <= kUnchanged) {
        return false;
    }
    value = next;
    const bool saved = WriteIniFloat(key.distance ? L"CinemaDistance" : L"CinemaWidth", next);
    LogMessage("%s: cinema screen %s; %s %.2f m%s", by, key.change, key.distance ? "distance" : "width",
               double{next}, SaveSuffix(saved));
    return true;
}

void ResetCinemaKeys() {
    g_presses.Reset();
}

} // namespace corvane
