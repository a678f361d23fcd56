// The OpenXR back end: the active OpenXR runtime serving the calls the presenter makes of a
// headset runtime. The client functions and the system and compositor objects it hands out
// keep OpenVR's shape (the presenter's frame, eye textures, pairing, hands and cinema screen
// stay one), and each call is answered from an OpenXR instance and session on the game's own
// device: the compositor's wait is xrWaitFrame and xrBeginFrame, each eye's submission a copy
// into that eye's swapchain with its own pose and field, the handoff xrEndFrame with one
// projection layer. Render thread, under the presenter's lock, like the calls it serves.
#pragma once

#include "vr/openvr_client_functions.h"
#include "vr/openvr_port.h"

#include <string>

struct IDXGISwapChain;

namespace corvane {

// Finds, loads and negotiates with the active OpenXR runtime; true with `client` set to the
// back end's functions and `name` to the runtime's, false with `reason` for the log.
[[nodiscard]] bool OpenXrBridgeLoad(OpenVrClientFunctions& client, std::string& name, std::string& reason);

// The game's swap chain this frame: its device is the one the next session is made on.
void OpenXrBridgeNoteSwapChain(IDXGISwapChain* swapChain);

// Whether `client` holds the back end's functions.
[[nodiscard]] bool OpenXrBridgeServes(const OpenVrClientFunctions& client);

// What each eye texture holds this frame (see HeadsetRuntimeNoteEyeContent): an eye whose
// picture is the one its swapchain last took is not copied again.
void OpenXrBridgeNoteEyeContent(const uint64_t (&versions)[2]);

// The game's device is going: the session and its swapchains, which hold it, are destroyed now,
// and made again on the game's next device at the next frame wait.
void OpenXrBridgeReleaseDeviceObjects();

// The cinema screen for this frame's end: a quad layer under the projection layer, whose eye
// images then let it show through where they are transparent. Null: no screen.
void OpenXrBridgeShowScreenLayer(const ScreenLayer* layer);

} // namespace corvane
