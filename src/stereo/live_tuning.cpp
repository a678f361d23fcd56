#include "stereo/live_tuning.h"

#include "core/key_presses.h"
#include "core/log.h"
#include "core/settings.h"
#include "platform/os.h"
#include "stereo/stereo_state.h"

#include <cmath>

namespace corvane {
namespace {

enum TuningKey { kMinus, kPlus, kUp, kDown, kLeft, kRight, kRollLeft, kRollRight, kReset, kTuningKeyCount };

constexpr int kVirtualKeys[kTuningKeyCount] = {
    0x6D, // numpad minus
    0x6B, // numpad plus
    0x68, // numpad 8
    0x62, // numpad 2
    0x64, // numpad 4
    0x66, // numpad 6
    0x67, // numpad 7
    0x69, // numpad 9
    0x65, // numpad 5
};

constexpr float kScaleStep = 0.025f;
constexpr float kScaleFloor = 0.01f;
constexpr float kOffsetStep = 0.01f;
constexpr float kRollStep = 0.1f;
constexpr float kScaleUnchanged = 0.0000001f;

KeyPresses<kTuningKeyCount> g_presses;

// Exactly one key of a pair: the one pressed decides the direction; both or none do nothing.
int PairDirection(const bool pressed[], TuningKey negative, TuningKey positive) {
    if (pressed[negative] == pressed[positive]) {
        return 0;
    }
    return pressed[negative] ? -1 : 1;
}

} // namespace

bool WriteConvergenceToIni(float value) {
    return WriteIniFloat(L"ConvergenceOffset", value);
}
bool WriteRightFrameScaleToIni(float value) {
    return WriteIniFloat(L"RightFrameScale", value);
}
bool WriteRightFrameHorizontalOffsetToIni(float value) {
    return WriteIniFloat(L"RightFrameHorizontalOffset", value);
}
bool WriteRightFrameVerticalOffsetToIni(float value) {
    return WriteIniFloat(L"RightFrameVerticalOffset", value);
}
bool WriteRightFrameRollDegreesToIni(float value) {
    return WriteIniFloat(L"RightFrameRollDegrees", value);
}

void ResetLiveTuningKeys() {
    g_presses.Reset();
}

bool RunLiveTuning() {
    bool pressed[kTuningKeyCount] = {};
    g_presses.Read(kVirtualKeys, pressed);
    // Presses made for another application are consumed, not replayed on focus return.
    if (!OsIsForegroundWindowOurs()) {
        return false;
    }

    StereoState& stereo = GetStereoState();

    if (pressed[kReset]) {
        stereo.rightFrameScale = stereo.frameScale;
        stereo.rightFrameHorizontalOffset = stereo.frameHorizontalOffset;
        stereo.rightFrameVerticalOffset = stereo.frameVerticalOffset;
        stereo.rightFrameRollDegrees = 0.0f;
        const bool saved = WriteRightFrameScaleToIni(stereo.rightFrameScale) &&
                           WriteRightFrameHorizontalOffsetToIni(stereo.rightFrameHorizontalOffset) &&
                           WriteRightFrameVerticalOffsetToIni(stereo.rightFrameVerticalOffset) &&
                           WriteRightFrameRollDegreesToIni(stereo.rightFrameRollDegrees);
        LogMessage("Numpad 5: right-eye picture reset to saved left-eye values%s", SaveSuffix(saved));
        return true;
    }

    if (const int direction = PairDirection(pressed, kMinus, kPlus); direction != 0) {
        float scale = stereo.rightFrameScale + static_cast<float>(direction) * kScaleStep;
        if (scale < kScaleFloor) {
            scale = kScaleFloor;
        }
        if (std::fabs(scale - stereo.rightFrameScale) <= kScaleUnchanged) {
            return false;
        }
        stereo.rightFrameScale = scale;
        const bool saved = WriteRightFrameScaleToIni(scale);
        LogMessage("Numpad %s: right-eye picture %s; scale %.3f%s", direction < 0 ? "-" : "+",
                   direction < 0 ? "smaller" : "larger", double{scale}, SaveSuffix(saved));
        return true;
    }

    if (const int direction = PairDirection(pressed, kUp, kDown); direction != 0) {
        stereo.rightFrameVerticalOffset += static_cast<float>(direction) * kOffsetStep;
        const bool saved = WriteRightFrameVerticalOffsetToIni(stereo.rightFrameVerticalOffset);
        LogMessage("Numpad %s: right-eye picture moved %s; vertical %+.3f%s", direction < 0 ? "8" : "2",
                   direction < 0 ? "up" : "down", double{stereo.rightFrameVerticalOffset}, SaveSuffix(saved));
        return true;
    }

    if (const int direction = PairDirection(pressed, kLeft, kRight); direction != 0) {
        stereo.rightFrameHorizontalOffset += static_cast<float>(direction) * kOffsetStep;
        const bool saved = WriteRightFrameHorizontalOffsetToIni(stereo.rightFrameHorizontalOffset);
        LogMessage("Numpad %s: right-eye picture moved %s; horizontal %+.3f%s", direction < 0 ? "4" : "6",
                   direction < 0 ? "left" : "right", double{stereo.rightFrameHorizontalOffset},
                   SaveSuffix(saved));
        return true;
    }

    if (const int direction = PairDirection(pressed, kRollLeft, kRollRight); direction != 0) {
        stereo.rightFrameRollDegrees += static_cast<float>(direction) * kRollStep;
        const bool saved = WriteRightFrameRollDegreesToIni(stereo.rightFrameRollDegrees);
        LogMessage("Numpad %s: right-eye picture rotated %s; roll %+.2f degrees%s", direction < 0 ? "7" : "9",
                   direction < 0 ? "counterclockwise" : "clockwise", double{stereo.rightFrameRollDegrees},
                   SaveSuffix(saved));
        return true;
    }

    return false;
}

} // namespace corvane
