// Puts every process-wide record the native tests touch back to its start-of-process state.
#pragma once

#include "program/frame_driver.h"
#include "core/log.h"
#include "core/settings.h"
#include "fakes/fake_openvr.h"
#include "fakes/fake_memory.h"
#include "fakes/fake_platform.h"
#include "game/game_bridge.h"
#include "game/guarded_memory.h"
#include "input/gamepad_mapping.h"
#include "interception/game_detours.h"
#include "stereo/final_camera.h"
#include "stereo/head_look.h"
#include "stereo/projection_override.h"
#include "stereo/stereo_state.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

#include <string>

namespace corvane::testing_support {

inline void ResetProcessState() {
    fake::ResetPlatform();
    ForgetLogFilePath();
    InstallActiveHeadset(nullptr);
    VrPresenter::Instance().RestoreInitialState();
    fake::ResetOpenVr();
    GetSettings() = Settings{};
    StereoState& stereo = GetStereoState();
    stereo.ResetForDisabled();
    stereo.swapEyes = false;
    stereo.stereoUnitsPerMeter = 1.75f;
    stereo.convergenceOffset = -0.095f;
    stereo.fovScale = 1.0f;
    stereo.frameScale = 0.65f;
    stereo.frameHorizontalOffset = 0.0f;
    stereo.frameVerticalOffset = 0.0f;
    stereo.rightFrameScale = 0.65f;
    stereo.rightFrameHorizontalOffset = 0.0f;
    stereo.rightFrameVerticalOffset = 0.0f;
    stereo.rightFrameRollDegrees = 0.0f;
    stereo.hudScale = 0.75f;
    stereo.hudVerticalOffset = 0.0f;
    stereo.cameraBuildSupported = false;
    stereo.finalCameraLogMask.store(0);
    stereo.opticalLogMask.store(0);
    ResetFrameDriver();
    ResetPublishedInput();
    fake::ResetMemory();
    ResetGameBridge();
    SetGameHostSeam(GameHostSeam{});
    SetCameraLogSink(nullptr);
    for (GameDetour detour :
         {GameDetour::FinalCamera, GameDetour::Projection, GameDetour::AllocatorFallback}) {
        PublishDetour(detour, 0, 0);
    }
    ResetFinalCameraOnceLines();
    ResetHeadLookOnceLines();
    ResetProjectionOverrideOnceLine();
}

// The message part of a log line, after the "[date time] " prefix.
inline std::string MessageOf(const std::string& line) {
    const size_t close = line.find("] ");
    return close == std::string::npos ? line : line.substr(close + 2);
}

class ProcessStateTest : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessState(); }
    void TearDown() override { ResetProcessState(); }
};

} // namespace corvane::testing_support
