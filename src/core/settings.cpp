#include "core/settings.h"

#include "core/log.h"
#include "platform/ini.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>

namespace corvane {
namespace {

constexpr uint32_t kIniTextCapacity = 64;
constexpr size_t kNumberTextCapacity = 32;
constexpr float kScaleFloor = 0.01f;

const wchar_t* const kVr = L"VR";
const wchar_t* const kInput = L"Input";

Settings g_settings;

float AtLeast(float value, float floor) {
    return value < floor ? floor : value;
}

bool ReadIniBool(const wchar_t* section, const wchar_t* key, bool defaultValue) {
    return ReadIniUnsigned(section, key, defaultValue ? 1u : 0u) != 0;
}

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

} // namespace

Settings& GetSettings() {
    return g_settings;
}

std::wstring IniFilePath() {
    return GetModuleDirectory() + L"\\CorvaneVR.ini";
}

float ReadIniFloatWithDefaultText(const wchar_t* section, const wchar_t* key, const wchar_t* defaultText,
                                  float fallback) {
    wchar_t text[kIniTextCapacity] = {};
    IniReadText(section, key, defaultText, text, kIniTextCapacity, IniFilePath());
    wchar_t* end = nullptr;
    const float value = std::wcstof(text, &end);
    if (end == text || !std::isfinite(value)) {
        return fallback;
    }
    return value;
}

float ReadIniFloat(const wchar_t* section, const wchar_t* key, float defaultValue) {
    wchar_t defaultText[kNumberTextCapacity] = {};
    std::swprintf(defaultText, kNumberTextCapacity, L"%.9g", static_cast<double>(defaultValue));
    return ReadIniFloatWithDefaultText(section, key, defaultText, defaultValue);
}

uint32_t ReadIniUnsigned(const wchar_t* section, const wchar_t* key, uint32_t defaultValue) {
    wchar_t text[kIniTextCapacity] = {};
    IniReadText(section, key, L"", text, kIniTextCapacity, IniFilePath());

    const wchar_t* p = text;
    while (IsBlank(*p)) {
        ++p;
    }
    const bool negative = *p == L'-';
    if (*p == L'-' || *p == L'+') {
        ++p;
    }
    if (*p < L'0' || *p > L'9') {
        // Missing, empty or not a number: a typo must not silently switch a feature off.
        return defaultValue;
    }
    uint64_t magnitude = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(*p - L'0');
        if (magnitude > UINT32_MAX) {
            magnitude = UINT32_MAX;
        }
    }
    const uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

bool WriteIniFloat(const wchar_t* key, float value) {
    wchar_t text[kNumberTextCapacity] = {};
    std::swprintf(text, kNumberTextCapacity, L"%.6f", static_cast<double>(value));
    return IniWriteText(kVr, key, text, IniFilePath());
}

void LoadSettings() {
    Settings& s = g_settings;
    const Settings defaults;

    s.Enabled = ReadIniBool(kVr, L"Enabled", defaults.Enabled);
    s.VisibleHands = ReadIniBool(kVr, L"VisibleHands", defaults.VisibleHands);
    s.SpacewarpCompatibleAER = ReadIniBool(kVr, L"SpacewarpCompatibleAER", defaults.SpacewarpCompatibleAER);
    s.MonoOnTransitions = ReadIniBool(kVr, L"MonoOnTransitions", defaults.MonoOnTransitions);
    s.AERFirstEye = ReadIniUnsigned(kVr, L"AERFirstEye", defaults.AERFirstEye) != 0 ? 1u : 0u;
    s.LockHeadPoseAcrossAERPair =
        ReadIniBool(kVr, L"LockHeadPoseAcrossAERPair", defaults.LockHeadPoseAcrossAERPair);
    const uint32_t pairInterval =
        ReadIniUnsigned(kVr, L"AERMaxPairIntervalMs", defaults.AERMaxPairIntervalMs);
    s.AERMaxPairIntervalMs = pairInterval == 0 ? 0u : std::clamp(pairInterval, 34u, 250u);
    s.WorldScale = std::clamp(ReadIniFloat(kVr, L"WorldScale", defaults.WorldScale), 0.25f, 4.0f);
    s.FovScale = std::clamp(ReadIniFloat(kVr, L"FovScale", defaults.FovScale), 0.5f, 2.0f);
    s.FrameScale = AtLeast(ReadIniFloat(kVr, L"FrameScale", defaults.FrameScale), kScaleFloor);
    s.FrameHorizontalOffset = ReadIniFloat(kVr, L"FrameHorizontalOffset", defaults.FrameHorizontalOffset);
    s.FrameVerticalOffset = ReadIniFloat(kVr, L"FrameVerticalOffset", defaults.FrameVerticalOffset);
    // The right picture follows the left one unless it was tuned on its own.
    s.RightFrameScale = AtLeast(ReadIniFloat(kVr, L"RightFrameScale", s.FrameScale), kScaleFloor);
    s.RightFrameHorizontalOffset = ReadIniFloat(kVr, L"RightFrameHorizontalOffset", s.FrameHorizontalOffset);
    s.RightFrameVerticalOffset = ReadIniFloat(kVr, L"RightFrameVerticalOffset", s.FrameVerticalOffset);
    s.RightFrameRollDegrees = ReadIniFloat(kVr, L"RightFrameRollDegrees", defaults.RightFrameRollDegrees);
    s.HudScale = AtLeast(ReadIniFloat(kVr, L"HudScale", defaults.HudScale), kScaleFloor);
    s.HudVerticalOffset = ReadIniFloat(kVr, L"HudVerticalOffset", defaults.HudVerticalOffset);
    s.HandScale = std::clamp(ReadIniFloat(kVr, L"HandScale", defaults.HandScale), 0.5f, 2.0f);

    s.MapMotionControllers = ReadIniBool(kInput, L"MapMotionControllers", defaults.MapMotionControllers);
    s.MapHeadLook = ReadIniBool(kInput, L"MapHeadLook", defaults.MapHeadLook);
    s.FirstPersonDefault = ReadIniBool(kInput, L"FirstPersonDefault", defaults.FirstPersonDefault);
    s.AutoResumeFirstPerson = ReadIniBool(kInput, L"AutoResumeFirstPerson", defaults.AutoResumeFirstPerson);
    s.FirstPersonStableFrames = std::clamp(
        ReadIniUnsigned(kInput, L"FirstPersonStableFrames", defaults.FirstPersonStableFrames), 1u, 300u);
    s.FirstPersonRetryFrames = std::clamp(
        ReadIniUnsigned(kInput, L"FirstPersonRetryFrames", defaults.FirstPersonRetryFrames), 1u, 1800u);
    s.ShowPlayerBody = ReadIniBool(kInput, L"ShowPlayerBody", defaults.ShowPlayerBody);
    s.FirstPersonForwardOffset = std::clamp(
        ReadIniFloat(kInput, L"FirstPersonForwardOffset", defaults.FirstPersonForwardOffset), 0.0f, 0.35f);
    s.HeadYawScale = std::clamp(ReadIniFloat(kInput, L"HeadYawScale", defaults.HeadYawScale), -2.0f, 2.0f);
    s.HeadPitchScale =
        std::clamp(ReadIniFloat(kInput, L"HeadPitchScale", defaults.HeadPitchScale), -2.0f, 2.0f);
    s.StickDeadzone = std::clamp(ReadIniFloat(kInput, L"StickDeadzone", defaults.StickDeadzone), 0.0f, 0.9f);

    LogMessage(
        "Configuration loaded (VR=%d, debug hands=%d, paired AER=%d, transition mono=%d, AER first eye=%s, "
        "pair pose lock=%d, max pair interval=%u ms, motion input=%d, direct head look=%d, first-person "
        "default/resume=%d/%d, settle/retry=%u/%u frames, native body=%d, forward offset=%.3f, head "
        "scale=%.3f/%.3f, render guard scale=%.8f, frame scale=%.3f, left frame horizontal/vertical "
        "offset=%+.3f/%+.3f, right frame scale/offsets/roll=%.3f/%+.3f/%+.3f/%+.2f, HUD "
        "scale/vertical=%.3f/%+.3f)",
        int{s.Enabled}, int{s.VisibleHands}, int{s.SpacewarpCompatibleAER}, int{s.MonoOnTransitions},
        s.AERFirstEye == 1 ? "right" : "left", int{s.LockHeadPoseAcrossAERPair},
        unsigned{s.AERMaxPairIntervalMs}, int{s.MapMotionControllers}, int{s.MapHeadLook},
        int{s.FirstPersonDefault}, int{s.AutoResumeFirstPerson}, unsigned{s.FirstPersonStableFrames},
        unsigned{s.FirstPersonRetryFrames}, int{s.ShowPlayerBody}, double{s.FirstPersonForwardOffset},
        double{s.HeadYawScale}, double{s.HeadPitchScale}, double{s.FovScale}, double{s.FrameScale},
        double{s.FrameHorizontalOffset}, double{s.FrameVerticalOffset}, double{s.RightFrameScale},
        double{s.RightFrameHorizontalOffset}, double{s.RightFrameVerticalOffset},
        double{s.RightFrameRollDegrees}, double{s.HudScale}, double{s.HudVerticalOffset});
}

StartupStereoValues ReadStartupStereoValues() {
    StartupStereoValues values;
    values.stereoUnitsPerMeter =
        std::clamp(ReadIniFloatWithDefaultText(kVr, L"StereoUnitsPerMeter", L"1.75", 1.75f), 0.25f, 2.0f);
    values.convergenceOffset = ReadIniFloatWithDefaultText(kVr, L"ConvergenceOffset", L"-0.095", -0.095f);
    values.swapEyes = ReadIniUnsigned(kVr, L"SwapEyes", 0) != 0;
    return values;
}

} // namespace corvane
