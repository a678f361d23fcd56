#include "core/settings.h"

#include "core/ini_number.h"
#include "core/log.h"
#include "platform/ini.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <iterator>

namespace corvane {
namespace {

constexpr uint32_t kIniTextCapacity = 64;
constexpr size_t kNumberTextCapacity = 32;
constexpr float kScaleFloor = 0.01f;
constexpr int kWriteBackDecimals = 6;

const wchar_t* const kVr = L"VR";
const wchar_t* const kInput = L"Input";

Settings g_settings;

template <typename T> struct IniWord {
    const wchar_t* text;
    T value;
};

float AtLeast(float value, float floor) {
    return value < floor ? floor : value;
}

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

// A key's text as the profile function returns it (at most 63 characters).
struct KeyText {
    wchar_t text[kIniTextCapacity] = {};

    KeyText(const wchar_t* section, const wchar_t* key, const wchar_t* defaultText,
            const std::wstring& path) {
        IniReadText(section, key, defaultText, text, kIniTextCapacity, path);
    }
    // An empty or blank value says as little as a missing key: the default, silently.
    [[nodiscard]] bool IsBlank() const {
        const wchar_t* p = text;
        while (corvane::IsBlank(*p)) {
            ++p;
        }
        return *p == L'\0';
    }
};

// The log holds narrow text; anything outside printable ASCII shows as '?'.
void Narrow(const wchar_t* text, char* out, size_t capacity) {
    size_t i = 0;
    for (; text[i] != L'\0' && i + 1 < capacity; ++i) {
        out[i] = text[i] >= 0x20 && text[i] < 0x7F ? static_cast<char>(text[i]) : '?';
    }
    out[i] = '\0';
}

// Shortest text that reads back as exactly this float; false for infinity and NaN.
bool FormatFloatShortest(float value, char (&text)[kNumberTextCapacity]) {
    if (!std::isfinite(value)) {
        return false;
    }
    const std::to_chars_result result = std::to_chars(std::begin(text), std::end(text) - 1, value);
    if (result.ec != std::errc{}) {
        return false;
    }
    *result.ptr = '\0';
    return true;
}

// A value the file holds but the program cannot use is named in the log with what is used
// instead, so a player sees why a setting did not take.
void ReportIgnoredValue(const wchar_t* section, const wchar_t* key, const KeyText& read, const char* expected,
                        const char* used) {
    char sectionText[kIniTextCapacity];
    char keyText[kIniTextCapacity];
    char valueText[kIniTextCapacity];
    Narrow(section, sectionText, sizeof sectionText);
    Narrow(key, keyText, sizeof keyText);
    Narrow(read.text, valueText, sizeof valueText);
    LogMessage("Configuration: [%s] %s=\"%s\" is not %s; using %s", sectionText, keyText, valueText, expected,
               used);
}

void ReportIgnoredUnsigned(const wchar_t* section, const wchar_t* key, const KeyText& read,
                           const char* expected, uint32_t used) {
    char usedText[kNumberTextCapacity];
    std::snprintf(usedText, sizeof usedText, "%u", used);
    ReportIgnoredValue(section, key, read, expected, usedText);
}

// The integer at the start of the text (blanks, an optional sign, digits), as the profile
// function reads it: negative values wrap, overflow saturates. False when no digit follows.
bool ParseUnsigned(const wchar_t* text, uint32_t& value) {
    const wchar_t* p = text;
    while (IsBlank(*p)) {
        ++p;
    }
    const bool negative = *p == L'-';
    if (*p == L'-' || *p == L'+') {
        ++p;
    }
    if (*p < L'0' || *p > L'9') {
        return false;
    }
    uint64_t magnitude = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(*p - L'0');
        if (magnitude > UINT32_MAX) {
            magnitude = UINT32_MAX;
        }
    }
    const uint32_t parsed = static_cast<uint32_t>(magnitude);
    value = negative ? 0u - parsed : parsed;
    return true;
}

// One of `words`, in any case, surrounded by any blanks.
template <typename T, size_t N> bool ParseWord(const wchar_t* text, const IniWord<T> (&words)[N], T& value) {
    const wchar_t* begin = text;
    while (IsBlank(*begin)) {
        ++begin;
    }
    const wchar_t* end = begin + std::wcslen(begin);
    while (end > begin && IsBlank(end[-1])) {
        --end;
    }
    for (const IniWord<T>& word : words) {
        const size_t length = std::wcslen(word.text);
        if (static_cast<size_t>(end - begin) != length) {
            continue;
        }
        bool same = true;
        for (size_t i = 0; i < length && same; ++i) {
            same = std::towlower(static_cast<wint_t>(begin[i])) == static_cast<wint_t>(word.text[i]);
        }
        if (same) {
            value = word.value;
            return true;
        }
    }
    return false;
}

// The switch words players write.
bool ParseSwitchWord(const wchar_t* text, bool& value) {
    static constexpr IniWord<bool> kWords[] = {{L"true", true}, {L"false", false}, {L"yes", true},
                                               {L"no", false},  {L"on", true},     {L"off", false}};
    return ParseWord(text, kWords, value);
}

HeadsetRuntimeChoice ReadIniRuntime(const wchar_t* section, const wchar_t* key,
                                    HeadsetRuntimeChoice defaultValue, const std::wstring& path) {
    static constexpr IniWord<HeadsetRuntimeChoice> kWords[] = {{L"auto", HeadsetRuntimeChoice::Auto},
                                                               {L"openvr", HeadsetRuntimeChoice::OpenVr},
                                                               {L"openxr", HeadsetRuntimeChoice::OpenXr}};
    const KeyText read(section, key, L"", path);
    HeadsetRuntimeChoice value = defaultValue;
    if (ParseWord(read.text, kWords, value)) {
        return value;
    }
    if (!read.IsBlank()) {
        ReportIgnoredValue(section, key, read, "auto, openvr or openxr", HeadsetRuntimeName(defaultValue));
    }
    return defaultValue;
}

// The text written back for a live value; false when no text reads back as exactly the value.
bool FormatFloatForIni(float value, wchar_t (&text)[kNumberTextCapacity]) {
    auto readsBack = [&text, value] {
        float back = 0.0f;
        return ParseIniNumber(text, back) && back == value;
    };
    // Six decimals, as the file has always held them, whenever that text gives the value back;
    // otherwise the shortest text that does (large, tiny or finely tuned values).
    if (FormatIniNumberFixed(value, kWriteBackDecimals, text, kNumberTextCapacity) && readsBack()) {
        return true;
    }
    return FormatIniNumberShortest(value, text, kNumberTextCapacity) && readsBack();
}

} // namespace

const char* HeadsetRuntimeName(HeadsetRuntimeChoice choice) {
    switch (choice) {
    case HeadsetRuntimeChoice::OpenVr:
        return "openvr";
    case HeadsetRuntimeChoice::OpenXr:
        return "openxr";
    case HeadsetRuntimeChoice::Auto:
        break;
    }
    return "auto";
}

Settings& GetSettings() {
    return g_settings;
}

std::wstring IniFilePath() {
    return GetModuleDirectory() + L"\\CorvaneVR.ini";
}

float ReadIniFloatWithDefaultText(const wchar_t* section, const wchar_t* key, const wchar_t* defaultText,
                                  float fallback, const std::wstring& path) {
    const KeyText read(section, key, defaultText, path);
    float value = 0.0f;
    if (ParseIniNumber(read.text, value) && std::isfinite(value)) {
        return value;
    }
    if (!read.IsBlank()) {
        char used[kNumberTextCapacity] = "?";
        (void)FormatFloatShortest(fallback, used);
        ReportIgnoredValue(section, key, read, "a finite number", used);
    }
    return fallback;
}

float ReadIniFloat(const wchar_t* section, const wchar_t* key, float defaultValue, const std::wstring& path) {
    wchar_t defaultText[kNumberTextCapacity] = {};
    if (!FormatIniNumberNineDigits(defaultValue, defaultText, kNumberTextCapacity)) {
        defaultText[0] = L'\0';
    }
    return ReadIniFloatWithDefaultText(section, key, defaultText, defaultValue, path);
}

uint32_t ReadIniUnsigned(const wchar_t* section, const wchar_t* key, uint32_t defaultValue,
                         const std::wstring& path) {
    const KeyText read(section, key, L"", path);
    uint32_t value = 0;
    if (ParseUnsigned(read.text, value)) {
        return value;
    }
    // A typo must not silently switch a feature off: the default, and a line saying so.
    if (!read.IsBlank()) {
        ReportIgnoredUnsigned(section, key, read, "a number", defaultValue);
    }
    return defaultValue;
}

bool ReadIniBool(const wchar_t* section, const wchar_t* key, bool defaultValue, const std::wstring& path) {
    const KeyText read(section, key, L"", path);
    bool value = false;
    if (ParseSwitchWord(read.text, value)) {
        return value;
    }
    uint32_t number = 0;
    if (ParseUnsigned(read.text, number)) {
        return number != 0;
    }
    if (!read.IsBlank()) {
        ReportIgnoredUnsigned(section, key, read, "a number or true/false, yes/no, on/off",
                              defaultValue ? 1u : 0u);
    }
    return defaultValue;
}

const char* SaveSuffix(bool saved) {
    return saved ? " (saved)" : " (live only; INI save failed)";
}

bool WriteIniFloat(const wchar_t* key, float value) {
    wchar_t text[kNumberTextCapacity] = {};
    if (!FormatFloatForIni(value, text)) {
        return false;
    }
    return IniWriteText(kVr, key, text, IniFilePath());
}

void LoadSettings() {
    Settings& s = g_settings;
    const Settings defaults;
    const std::wstring ini = IniFilePath();

    s.Enabled = ReadIniBool(kVr, L"Enabled", defaults.Enabled, ini);
    s.VisibleHands = ReadIniBool(kVr, L"VisibleHands", defaults.VisibleHands, ini);
    s.SpacewarpCompatibleAER =
        ReadIniBool(kVr, L"SpacewarpCompatibleAER", defaults.SpacewarpCompatibleAER, ini);
    s.MonoOnTransitions = ReadIniBool(kVr, L"MonoOnTransitions", defaults.MonoOnTransitions, ini);
    s.AERFirstEye = ReadIniUnsigned(kVr, L"AERFirstEye", defaults.AERFirstEye, ini) != 0 ? 1u : 0u;
    s.LockHeadPoseAcrossAERPair =
        ReadIniBool(kVr, L"LockHeadPoseAcrossAERPair", defaults.LockHeadPoseAcrossAERPair, ini);
    const uint32_t pairInterval =
        ReadIniUnsigned(kVr, L"AERMaxPairIntervalMs", defaults.AERMaxPairIntervalMs, ini);
    s.AERMaxPairIntervalMs = pairInterval == 0 ? 0u : std::clamp(pairInterval, 34u, 250u);
    s.WorldScale = std::clamp(ReadIniFloat(kVr, L"WorldScale", defaults.WorldScale, ini), 0.25f, 4.0f);
    s.FovScale = std::clamp(ReadIniFloat(kVr, L"FovScale", defaults.FovScale, ini), 0.5f, 2.0f);
    s.FrameScale = AtLeast(ReadIniFloat(kVr, L"FrameScale", defaults.FrameScale, ini), kScaleFloor);
    s.FrameHorizontalOffset =
        ReadIniFloat(kVr, L"FrameHorizontalOffset", defaults.FrameHorizontalOffset, ini);
    s.FrameVerticalOffset = ReadIniFloat(kVr, L"FrameVerticalOffset", defaults.FrameVerticalOffset, ini);
    // The right picture follows the left one unless it was tuned on its own.
    s.RightFrameScale = AtLeast(ReadIniFloat(kVr, L"RightFrameScale", s.FrameScale, ini), kScaleFloor);
    s.RightFrameHorizontalOffset =
        ReadIniFloat(kVr, L"RightFrameHorizontalOffset", s.FrameHorizontalOffset, ini);
    s.RightFrameVerticalOffset = ReadIniFloat(kVr, L"RightFrameVerticalOffset", s.FrameVerticalOffset, ini);
    s.RightFrameRollDegrees =
        ReadIniFloat(kVr, L"RightFrameRollDegrees", defaults.RightFrameRollDegrees, ini);
    s.HudScale = AtLeast(ReadIniFloat(kVr, L"HudScale", defaults.HudScale, ini), kScaleFloor);
    s.HudVerticalOffset = ReadIniFloat(kVr, L"HudVerticalOffset", defaults.HudVerticalOffset, ini);
    s.HandScale = std::clamp(ReadIniFloat(kVr, L"HandScale", defaults.HandScale, ini), 0.5f, 2.0f);
    s.CinemaScreen = ReadIniBool(kVr, L"CinemaScreen", defaults.CinemaScreen, ini);
    s.CinemaDistance = std::clamp(ReadIniFloat(kVr, L"CinemaDistance", defaults.CinemaDistance, ini),
                                  kCinemaNearest, kCinemaFarthest);
    s.CinemaWidth = std::clamp(ReadIniFloat(kVr, L"CinemaWidth", defaults.CinemaWidth, ini), kCinemaNarrowest,
                               kCinemaWidest);
    s.CinemaSurround =
        std::clamp(ReadIniFloat(kVr, L"CinemaSurround", defaults.CinemaSurround, ini), 0.0f, 1.0f);
    s.Runtime = ReadIniRuntime(kVr, L"Runtime", defaults.Runtime, ini);

    s.MapMotionControllers = ReadIniBool(kInput, L"MapMotionControllers", defaults.MapMotionControllers, ini);
    s.MapHeadLook = ReadIniBool(kInput, L"MapHeadLook", defaults.MapHeadLook, ini);
    s.FirstPersonDefault = ReadIniBool(kInput, L"FirstPersonDefault", defaults.FirstPersonDefault, ini);
    s.AutoResumeFirstPerson =
        ReadIniBool(kInput, L"AutoResumeFirstPerson", defaults.AutoResumeFirstPerson, ini);
    s.FirstPersonStableFrames = std::clamp(
        ReadIniUnsigned(kInput, L"FirstPersonStableFrames", defaults.FirstPersonStableFrames, ini), 1u, 300u);
    s.FirstPersonRetryFrames = std::clamp(
        ReadIniUnsigned(kInput, L"FirstPersonRetryFrames", defaults.FirstPersonRetryFrames, ini), 1u, 1800u);
    s.ShowPlayerBody = ReadIniBool(kInput, L"ShowPlayerBody", defaults.ShowPlayerBody, ini);
    s.FirstPersonForwardOffset =
        std::clamp(ReadIniFloat(kInput, L"FirstPersonForwardOffset", defaults.FirstPersonForwardOffset, ini),
                   0.0f, 0.35f);
    s.HeadYawScale =
        std::clamp(ReadIniFloat(kInput, L"HeadYawScale", defaults.HeadYawScale, ini), -2.0f, 2.0f);
    s.HeadPitchScale =
        std::clamp(ReadIniFloat(kInput, L"HeadPitchScale", defaults.HeadPitchScale, ini), -2.0f, 2.0f);
    s.StickDeadzone =
        std::clamp(ReadIniFloat(kInput, L"StickDeadzone", defaults.StickDeadzone, ini), 0.0f, 0.9f);
    const uint32_t snapTurn = ReadIniUnsigned(kInput, L"SnapTurnDegrees", defaults.SnapTurnDegrees, ini);
    s.SnapTurnDegrees = snapTurn == 0 ? 0u : std::clamp(snapTurn, kSnapTurnSmallest, kSnapTurnLargest);

    LogMessage(
        "Configuration loaded (VR=%d, debug hands=%d, paired AER=%d, transition mono=%d, AER first eye=%s, "
        "pair pose lock=%d, max pair interval=%u ms, motion input=%d, direct head look=%d, first-person "
        "default/resume=%d/%d, settle/retry=%u/%u frames, native body=%d, forward offset=%.3f, head "
        "scale=%.3f/%.3f, render guard scale=%.8f, frame scale=%.3f, left frame horizontal/vertical "
        "offset=%+.3f/%+.3f, right frame scale/offsets/roll=%.3f/%+.3f/%+.3f/%+.2f, HUD "
        "scale/vertical=%.3f/%+.3f, cinema screen=%d distance/width/surround=%.2f/%.2f/%.2f, snap turn=%u "
        "degrees, runtime=%s)",
        int{s.Enabled}, int{s.VisibleHands}, int{s.SpacewarpCompatibleAER}, int{s.MonoOnTransitions},
        s.AERFirstEye == 1 ? "right" : "left", int{s.LockHeadPoseAcrossAERPair},
        unsigned{s.AERMaxPairIntervalMs}, int{s.MapMotionControllers}, int{s.MapHeadLook},
        int{s.FirstPersonDefault}, int{s.AutoResumeFirstPerson}, unsigned{s.FirstPersonStableFrames},
        unsigned{s.FirstPersonRetryFrames}, int{s.ShowPlayerBody}, double{s.FirstPersonForwardOffset},
        double{s.HeadYawScale}, double{s.HeadPitchScale}, double{s.FovScale}, double{s.FrameScale},
        double{s.FrameHorizontalOffset}, double{s.FrameVerticalOffset}, double{s.RightFrameScale},
        double{s.RightFrameHorizontalOffset}, double{s.RightFrameVerticalOffset},
        double{s.RightFrameRollDegrees}, double{s.HudScale}, double{s.HudVerticalOffset}, int{s.CinemaScreen},
        double{s.CinemaDistance}, double{s.CinemaWidth}, double{s.CinemaSurround},
        unsigned{s.SnapTurnDegrees}, HeadsetRuntimeName(s.Runtime));
}

StartupStereoValues ReadStartupStereoValues() {
    StartupStereoValues values;
    const std::wstring ini = IniFilePath();
    values.stereoUnitsPerMeter = std::clamp(
        ReadIniFloatWithDefaultText(kVr, L"StereoUnitsPerMeter", L"1.75", 1.75f, ini), 0.25f, 2.0f);
    values.convergenceOffset =
        ReadIniFloatWithDefaultText(kVr, L"ConvergenceOffset", L"-0.095", -0.095f, ini);
    values.swapEyes = ReadIniBool(kVr, L"SwapEyes", false, ini);
    return values;
}

} // namespace corvane
