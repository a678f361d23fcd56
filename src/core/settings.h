// The configuration record, read once from "CorvaneVR.ini" by the first frame and read
// everywhere afterwards. Fields carry the INI key names and start at their defaults. The
// detours read them on game threads, possibly while the first frame loads them: each field
// is a relaxed atomic, so a reader sees the default or the loaded value, never a torn one.
#pragma once

#include "core/relaxed_atomic.h"

#include <cstdint>
#include <string>

namespace corvane {

// The ranges the cinema screen's distance and width are read in (and placed live in), metres.
inline constexpr float kCinemaNearest = 1.0f;
inline constexpr float kCinemaFarthest = 20.0f;
inline constexpr float kCinemaNarrowest = 0.5f;
inline constexpr float kCinemaWidest = 30.0f;
inline constexpr uint32_t kSnapTurnSmallest = 15;
inline constexpr uint32_t kSnapTurnLargest = 90;

// Which headset runtime serves the frames: OpenVR when its client library and runtime are there,
// else OpenXR; or only the one named.
enum class HeadsetRuntimeChoice : uint32_t { Auto, OpenVr, OpenXr };
// The INI word: "auto", "openvr" or "openxr".
const char* HeadsetRuntimeName(HeadsetRuntimeChoice choice);

struct Settings {
    RelaxedAtomic<bool> Enabled = true;
    RelaxedAtomic<HeadsetRuntimeChoice> Runtime = HeadsetRuntimeChoice::Auto;
    RelaxedAtomic<bool> VisibleHands = false;
    RelaxedAtomic<bool> SpacewarpCompatibleAER = true;
    RelaxedAtomic<bool> MonoOnTransitions = true;
    RelaxedAtomic<uint32_t> AERFirstEye = 1;
    RelaxedAtomic<bool> LockHeadPoseAcrossAERPair = true;
    RelaxedAtomic<uint32_t> AERMaxPairIntervalMs = 50;
    RelaxedAtomic<bool> MapMotionControllers = true;
    RelaxedAtomic<bool> MapHeadLook = true;
    RelaxedAtomic<bool> FirstPersonDefault = true;
    RelaxedAtomic<bool> AutoResumeFirstPerson = true;
    RelaxedAtomic<uint32_t> FirstPersonStableFrames = 15;
    RelaxedAtomic<uint32_t> FirstPersonRetryFrames = 90;
    RelaxedAtomic<bool> ShowPlayerBody = false;
    RelaxedAtomic<float> FirstPersonForwardOffset = 0.2f;
    RelaxedAtomic<float> WorldScale = 1.0f;
    RelaxedAtomic<float> FovScale = 1.0f;
    RelaxedAtomic<float> FrameScale = 0.65f;
    RelaxedAtomic<float> FrameHorizontalOffset = 0.0f;
    RelaxedAtomic<float> FrameVerticalOffset = 0.0f;
    RelaxedAtomic<float> RightFrameScale = 0.65f;
    RelaxedAtomic<float> RightFrameHorizontalOffset = 0.0f;
    RelaxedAtomic<float> RightFrameVerticalOffset = 0.0f;
    RelaxedAtomic<float> RightFrameRollDegrees = 0.0f;
    RelaxedAtomic<float> HudScale = 0.75f;
    RelaxedAtomic<float> HudVerticalOffset = 0.0f;
    RelaxedAtomic<float> HeadYawScale = 1.0f;
    RelaxedAtomic<float> HeadPitchScale = 1.0f;
    RelaxedAtomic<float> StickDeadzone = 0.18f;
    // Degrees a flick of the turning stick turns the player in first person; 0 turns smoothly.
    RelaxedAtomic<uint32_t> SnapTurnDegrees = 0;
    RelaxedAtomic<float> HandScale = 1.0f;
    // The flat screen the game's picture is shown on while the game owns the camera.
    RelaxedAtomic<bool> CinemaScreen = true;
    RelaxedAtomic<float> CinemaDistance = 3.0f;  // metres from the head
    RelaxedAtomic<float> CinemaWidth = 4.0f;     // metres
    RelaxedAtomic<float> CinemaSurround = 0.05f; // brightness of what lies around it, 0 to 1

    bool operator==(const Settings&) const = default;
};

// The stereo values read only at startup; they seed the live copies in StereoState.
struct StartupStereoValues {
    bool swapEyes = false;
    float stereoUnitsPerMeter = 1.75f;
    float convergenceOffset = -0.095f;
};

Settings& GetSettings();

// Reads every key, applies the clamps and logs the "Configuration loaded" line.
void LoadSettings();

StartupStereoValues ReadStartupStereoValues();

// Path of the INI file beside the module; rebuilt on every use (a 32768-character lookup), so
// a caller reading many keys looks it up once and passes it to each reader.
std::wstring IniFilePath();

// Text the readers cannot use (other than an empty value) keeps the default and is named in
// one log line: Configuration: [section] key="text" is not <what it must be>; using <value>.

// The key's text parsed as a float; defaultValue when the text is missing, does not
// start with a number, or is infinite or NaN.
float ReadIniFloat(const wchar_t* section, const wchar_t* key, float defaultValue,
                   const std::wstring& path = IniFilePath());

// Same, with a literal default text (the startup-only keys keep theirs verbatim).
float ReadIniFloatWithDefaultText(const wchar_t* section, const wchar_t* key, const wchar_t* defaultText,
                                  float fallback, const std::wstring& path = IniFilePath());

// The key's integer as an unsigned 32-bit value (negative values wrap, overflow saturates);
// defaultValue when the key is missing or its text does not start with an integer.
uint32_t ReadIniUnsigned(const wchar_t* section, const wchar_t* key, uint32_t defaultValue,
                         const std::wstring& path = IniFilePath());

// A switch: true/false, yes/no, on/off in any case, or an integer read as ReadIniUnsigned
// reads it (nonzero is true); defaultValue when the key is missing or holds other text.
bool ReadIniBool(const wchar_t* section, const wchar_t* key, bool defaultValue,
                 const std::wstring& path = IniFilePath());

// Writes value into section "VR" as text that reads back as exactly value: six decimals when
// they do, else the shortest exact text. False, and nothing written, when the value is not
// finite or the write failed.
bool WriteIniFloat(const wchar_t* key, float value);

// " (saved)" or " (live only; INI save failed)", for the log line of a value changed live.
const char* SaveSuffix(bool saved);

} // namespace corvane
