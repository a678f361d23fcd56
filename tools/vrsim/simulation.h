// What the scripted headset and controllers report at a given frame, computed from a Scenario.
// Platform-free and stateless; called under the runtime lock by the interface slots.
#pragma once

#include "scenario.h"
#include "vr_types.h"

namespace vrsim {

// The scripted controller with this device index, or null.
[[nodiscard]] const ScriptedController* FindController(const Scenario& scenario, uint32_t deviceIndex);

[[nodiscard]] bool IsControllerConnected(const ScriptedController& controller, uint32_t frame);
// A device that is ever connected keeps its class while away, as a real runtime does.
[[nodiscard]] bool IsEverConnected(const ScriptedController& controller);

[[nodiscard]] bool IsDeviceConnected(const Scenario& scenario, uint32_t deviceIndex, uint32_t frame);
[[nodiscard]] int32_t DeviceClass(const Scenario& scenario, uint32_t deviceIndex);

// The lowest connected device with this role, or kTrackedDeviceIndexInvalid.
[[nodiscard]] uint32_t DeviceForRole(const Scenario& scenario, int32_t role, uint32_t frame);

// The pose WaitGetPoses reports for the device (any index; unknown devices are disconnected).
[[nodiscard]] TrackedDevicePose DevicePose(const Scenario& scenario, uint32_t deviceIndex, uint32_t frame);

// Buttons and axes of a controller at this frame (packet number = frame).
[[nodiscard]] ControllerState ControllerInput(const ScriptedController& controller, uint32_t frame);

// The projection GetProjectionMatrix derives from raw tangents (Direct3D depth, column vectors).
[[nodiscard]] HmdMatrix44 ProjectionFromRaw(const float raw[4], float nearZ, float farZ);

} // namespace vrsim
