// Every key of CorvaneVR.ini with its section, typed from the documented configuration: the
// keys the configuration load reads, in the order it reads them, then the three the start-up
// step reads. Tests compare what the code reads with these, never with the code's own table.
#pragma once

namespace corvane::testing_support {

struct IniKey {
    const wchar_t* section;
    const wchar_t* name;
};

inline constexpr IniKey kSettingsKeys[] = {
    {L"VR", L"Enabled"},
    {L"VR", L"VisibleHands"},
    {L"VR", L"SpacewarpCompatibleAER"},
    {L"VR", L"MonoOnTransitions"},
    {L"VR", L"AERFirstEye"},
    {L"VR", L"LockHeadPoseAcrossAERPair"},
    {L"VR", L"AERMaxPairIntervalMs"},
    {L"VR", L"WorldScale"},
    {L"VR", L"FovScale"},
    {L"VR", L"FrameScale"},
    {L"VR", L"FrameHorizontalOffset"},
    {L"VR", L"FrameVerticalOffset"},
    {L"VR", L"RightFrameScale"},
    {L"VR", L"RightFrameHorizontalOffset"},
    {L"VR", L"RightFrameVerticalOffset"},
    {L"VR", L"RightFrameRollDegrees"},
    {L"VR", L"HudScale"},
    {L"VR", L"HudVerticalOffset"},
    {L"VR", L"HandScale"},
    {L"VR", L"CinemaScreen"},
    {L"VR", L"CinemaDistance"},
    {L"VR", L"CinemaWidth"},
    {L"VR", L"CinemaSurround"},
    {L"VR", L"Runtime"},
    {L"Input", L"MapMotionControllers"},
    {L"Input", L"MapHeadLook"},
    {L"Input", L"FirstPersonDefault"},
    {L"Input", L"AutoResumeFirstPerson"},
    {L"Input", L"FirstPersonStableFrames"},
    {L"Input", L"FirstPersonRetryFrames"},
    {L"Input", L"ShowPlayerBody"},
    {L"Input", L"FirstPersonForwardOffset"},
    {L"Input", L"HeadYawScale"},
    {L"Input", L"HeadPitchScale"},
    {L"Input", L"StickDeadzone"},
    {L"Input", L"SnapTurnDegrees"},
};

inline constexpr IniKey kStartupKeys[] = {
    {L"VR", L"StereoUnitsPerMeter"},
    {L"VR", L"ConvergenceOffset"},
    {L"VR", L"SwapEyes"},
};

} // namespace corvane::testing_support
