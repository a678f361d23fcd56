// The stereo handlers the device and context hooks call: the camera constant-buffer handlers,
// the HUD handlers and what runs after a buffer or vertex shader is created. The module entry
// registers them with the interception before any device exists.
#pragma once

#include "interception/device_hooks_win32.h"

namespace corvane {

[[nodiscard]] DeviceHookHandlers StereoDeviceHookHandlers() noexcept;

} // namespace corvane
