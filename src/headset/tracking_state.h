// Tracking records the presenter fills from OpenVR poses each frame and the rest of the
// program reads: head pose samples for the camera, controller records for input and hands.
#pragma once

#include <cstdint>

namespace corvane {

inline constexpr uint32_t kNoTrackedDevice = 0xFFFFFFFFu;

// The head pose relative to the reference pose of its tracking epoch.
struct HeadPoseSample {
    bool valid = false;
    uint64_t referenceEpoch = 0;
    float relativeOrientation[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    float relativePosition[3] = {};
    float absolutePosition[3] = {};
    float referencePosition[3] = {};
    float referenceOrientation[4] = {0.0f, 0.0f, 0.0f, 1.0f};
};

// The head pose one eye's picture was rendered with, published by the camera code and
// submitted with that picture.
struct EyeRenderPose {
    bool valid = false;
    uint64_t referenceEpoch = 0;
    float position[3] = {};
    float orientation[4] = {0.0f, 0.0f, 0.0f, 1.0f};
};

// One motion controller as the presenter last read it.
struct ControllerState {
    uint8_t connected = 0;
    uint8_t poseValid = 0;
    uint8_t isLeftHand = 0;
    uint32_t deviceIndex = kNoTrackedDevice;
    float position[3] = {};
    float orientation[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    float deviceToTracking[12] = {};
    float trigger = 0.0f;
    float grip = 0.0f;
    float stickX = 0.0f;
    float stickY = 0.0f;
    uint64_t buttonsPressed = 0;
    uint64_t buttonsTouched = 0;
};

struct HeadState {
    uint8_t valid = 0;
    float position[3] = {};
    float orientation[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    float deviceToTracking[12] = {};
};

// What the frame driver takes out of the presenter after a submitted frame.
struct InputSnapshot {
    ControllerState left;
    ControllerState right;
    HeadState head;
};

} // namespace corvane
