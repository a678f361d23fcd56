// Any text for any key of "CorvaneVR.ini", read through the INI port: every field of the
// configuration ends up finite and inside its clamp, a key the file lacks keeps its default,
// and every finite value written back reads back exactly (nothing is written for the others).
//
// Input: a 4-byte float for the write-back, then one line of text per key in the order of
// kKeys (an empty line leaves that key out of the file). A byte 0xFF followed by two bytes is
// one character of that 16-bit code, so text beyond Latin-1 reaches the readers too.
#include "core/log.h"
#include "core/settings.h"
#include "fakes/fake_platform.h"
#include "fuzz_check.h"
#include "ini_keys.h"

#include <array>
#include <cwchar>
#include <iterator>

#include <string>
#include <vector>

namespace corvane {
namespace {

// The configuration's keys, then the start-up step's, in the order the input gives them.
constexpr auto kKeys = [] {
    std::array<testing_support::IniKey,
               std::size(testing_support::kSettingsKeys) + std::size(testing_support::kStartupKeys)>
        all{};
    size_t next = 0;
    for (const testing_support::IniKey& key : testing_support::kSettingsKeys) {
        all[next++] = key;
    }
    for (const testing_support::IniKey& key : testing_support::kStartupKeys) {
        all[next++] = key;
    }
    return all;
}();
constexpr size_t kKeyCount = kKeys.size();

bool InRange(float value, float low, float high) {
    return std::isfinite(value) && value >= low && value <= high;
}

bool AtLeast(float value, float low) {
    return std::isfinite(value) && value >= low;
}

// Each key's text, or nothing when the key is left out.
std::vector<std::pair<bool, std::wstring>> SplitLines(fuzz::InputReader& in) {
    std::vector<std::pair<bool, std::wstring>> lines(kKeyCount);
    size_t index = 0;
    const uint8_t* p = in.rest();
    const uint8_t* end = p + in.remaining();
    while (p < end && index < kKeyCount) {
        if (*p == '\n') {
            ++index;
            ++p;
            continue;
        }
        wchar_t c = static_cast<wchar_t>(*p);
        if (*p == 0xFF && end - p >= 3) {
            c = static_cast<wchar_t>(p[1] | (p[2] << 8));
            p += 2;
        }
        ++p;
        lines[index].first = true;
        lines[index].second.push_back(c);
    }
    return lines;
}

void CheckRanges(const Settings& s) {
    const uint32_t firstEye = s.AERFirstEye;
    FUZZ_CHECK(firstEye == 0 || firstEye == 1);
    const uint32_t interval = s.AERMaxPairIntervalMs;
    FUZZ_CHECK(interval == 0 || (interval >= 34 && interval <= 250));
    FUZZ_CHECK(s.FirstPersonStableFrames >= 1u && s.FirstPersonStableFrames <= 300u);
    FUZZ_CHECK(s.FirstPersonRetryFrames >= 1u && s.FirstPersonRetryFrames <= 1800u);
    FUZZ_CHECK(InRange(s.WorldScale, 0.25f, 4.0f));
    FUZZ_CHECK(InRange(s.FovScale, 0.5f, 2.0f));
    FUZZ_CHECK(InRange(s.HandScale, 0.5f, 2.0f));
    FUZZ_CHECK(InRange(s.FirstPersonForwardOffset, 0.0f, 0.35f));
    FUZZ_CHECK(InRange(s.HeadYawScale, -2.0f, 2.0f));
    FUZZ_CHECK(InRange(s.HeadPitchScale, -2.0f, 2.0f));
    FUZZ_CHECK(InRange(s.StickDeadzone, 0.0f, 0.9f));
    FUZZ_CHECK(AtLeast(s.FrameScale, 0.01f));
    FUZZ_CHECK(AtLeast(s.RightFrameScale, 0.01f));
    FUZZ_CHECK(AtLeast(s.HudScale, 0.01f));
    for (float offset :
         {float{s.FrameHorizontalOffset}, float{s.FrameVerticalOffset}, float{s.RightFrameHorizontalOffset},
          float{s.RightFrameVerticalOffset}, float{s.RightFrameRollDegrees}, float{s.HudVerticalOffset}}) {
        FUZZ_CHECK(std::isfinite(offset));
    }
}

// A key the file does not hold reads as its default (the right picture's as the left's).
void CheckMissingKeysKeepDefaults(const Settings& s,
                                  const std::vector<std::pair<bool, std::wstring>>& lines) {
    const Settings defaults;
    auto missing = [&](const wchar_t* name) {
        for (size_t i = 0; i < kKeyCount; ++i) {
            if (std::wcscmp(kKeys[i].name, name) == 0) {
                return !lines[i].first;
            }
        }
        return false;
    };
#define FUZZ_DEFAULT_WHEN_MISSING(field)                                                                     \
    if (missing(L## #field)) {                                                                               \
        FUZZ_CHECK(s.field == defaults.field);                                                               \
    }
    FUZZ_DEFAULT_WHEN_MISSING(Enabled)
    FUZZ_DEFAULT_WHEN_MISSING(VisibleHands)
    FUZZ_DEFAULT_WHEN_MISSING(SpacewarpCompatibleAER)
    FUZZ_DEFAULT_WHEN_MISSING(MonoOnTransitions)
    FUZZ_DEFAULT_WHEN_MISSING(AERFirstEye)
    FUZZ_DEFAULT_WHEN_MISSING(LockHeadPoseAcrossAERPair)
    FUZZ_DEFAULT_WHEN_MISSING(AERMaxPairIntervalMs)
    FUZZ_DEFAULT_WHEN_MISSING(WorldScale)
    FUZZ_DEFAULT_WHEN_MISSING(FovScale)
    FUZZ_DEFAULT_WHEN_MISSING(FrameScale)
    FUZZ_DEFAULT_WHEN_MISSING(FrameHorizontalOffset)
    FUZZ_DEFAULT_WHEN_MISSING(FrameVerticalOffset)
    FUZZ_DEFAULT_WHEN_MISSING(RightFrameRollDegrees)
    FUZZ_DEFAULT_WHEN_MISSING(HudScale)
    FUZZ_DEFAULT_WHEN_MISSING(HudVerticalOffset)
    FUZZ_DEFAULT_WHEN_MISSING(HandScale)
    FUZZ_DEFAULT_WHEN_MISSING(MapMotionControllers)
    FUZZ_DEFAULT_WHEN_MISSING(MapHeadLook)
    FUZZ_DEFAULT_WHEN_MISSING(FirstPersonDefault)
    FUZZ_DEFAULT_WHEN_MISSING(AutoResumeFirstPerson)
    FUZZ_DEFAULT_WHEN_MISSING(FirstPersonStableFrames)
    FUZZ_DEFAULT_WHEN_MISSING(FirstPersonRetryFrames)
    FUZZ_DEFAULT_WHEN_MISSING(ShowPlayerBody)
    FUZZ_DEFAULT_WHEN_MISSING(FirstPersonForwardOffset)
    FUZZ_DEFAULT_WHEN_MISSING(HeadYawScale)
    FUZZ_DEFAULT_WHEN_MISSING(HeadPitchScale)
    FUZZ_DEFAULT_WHEN_MISSING(StickDeadzone)
#undef FUZZ_DEFAULT_WHEN_MISSING
    if (missing(L"RightFrameScale")) {
        FUZZ_CHECK(s.RightFrameScale == s.FrameScale);
    }
    if (missing(L"RightFrameHorizontalOffset")) {
        FUZZ_CHECK(s.RightFrameHorizontalOffset == s.FrameHorizontalOffset);
    }
    if (missing(L"RightFrameVerticalOffset")) {
        FUZZ_CHECK(s.RightFrameVerticalOffset == s.FrameVerticalOffset);
    }
}

void CheckStartupValues(const std::vector<std::pair<bool, std::wstring>>& lines) {
    const StartupStereoValues values = ReadStartupStereoValues();
    FUZZ_CHECK(InRange(values.stereoUnitsPerMeter, 0.25f, 2.0f));
    FUZZ_CHECK(std::isfinite(values.convergenceOffset));
    if (!lines[kKeyCount - 3].first) {
        FUZZ_CHECK(values.stereoUnitsPerMeter == 1.75f);
    }
    if (!lines[kKeyCount - 2].first) {
        FUZZ_CHECK(values.convergenceOffset == -0.095f);
    }
    if (!lines[kKeyCount - 1].first) {
        FUZZ_CHECK(!values.swapEyes);
    }
}

// Written back as text that reads back as exactly the value; nothing written for a value
// that is not finite.
void CheckWriteBack(float value) {
    const int attemptsBefore = fake::Ini().writeAttempts;
    const bool written = WriteIniFloat(L"HudVerticalOffset", value);
    if (!std::isfinite(value)) {
        FUZZ_CHECK(!written);
        FUZZ_CHECK(fake::Ini().writeAttempts == attemptsBefore);
        return;
    }
    FUZZ_CHECK(written);
    const std::wstring text = fake::GetIni(L"VR", L"HudVerticalOffset");
    FUZZ_CHECK(text.size() < 64); // the reader sees at most 63 characters
    const size_t linesBefore = fake::LogLines().size();
    const float readBack = ReadIniFloat(L"VR", L"HudVerticalOffset", value == 1.0f ? 2.0f : 1.0f);
    FUZZ_CHECK(readBack == value);
    FUZZ_CHECK(std::signbit(readBack) == std::signbit(value));
    FUZZ_CHECK(fake::LogLines().size() == linesBefore);
}

} // namespace
} // namespace corvane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace corvane;
    // The module's directory stays the fake's default across inputs, so the remembered one holds.
    fake::ResetPlatform();
    GetSettings() = Settings{};

    fuzz::InputReader in(data, size);
    const float writeBackValue = in.Take<float>();
    const auto lines = SplitLines(in);
    for (size_t i = 0; i < kKeyCount; ++i) {
        if (lines[i].first) {
            fake::SetIni(kKeys[i].section, kKeys[i].name, lines[i].second);
        }
    }

    LoadSettings();
    const Settings& loaded = GetSettings();
    CheckRanges(loaded);
    CheckMissingKeysKeepDefaults(loaded, lines);
    CheckStartupValues(lines);
    CheckWriteBack(writeBackValue);
    return 0;
}
