// The per-frame heartbeat, run by the swap chain's Present hook on the render thread just
// before the real Present: one-time startup, hotkeys, the AER bookkeeping, submission
// status and the controller input the XInput side reads.
#pragma once

#include "headset/tracking_state.h"

struct IDXGISwapChain;

namespace corvane {

class HeadsetPresenter;

// Never lets an exception escape; the game's frame is presented whatever happens here.
void RunFrame(IDXGISwapChain* swapChain) noexcept;

// Reads the INI, seeds the live stereo values and logs the startup banner.
void StartupOnce();

// Logs VR availability changes: the presenter's failure text once per change, and the
// recovery line. Allocates only when the text changes.
void ReportSubmissionStatus(bool submitted, HeadsetPresenter& presenter);

// Publishes the mapped controllers when the frame was submitted and controller data
// exist (snapshot not null) and mapping is on; the neutral input otherwise.
void PublishFrameInput(bool submitted, const InputSnapshot* snapshot);

// Forgets everything the frame driver remembered between frames, startup included.
void ResetFrameDriver();

} // namespace corvane
