// Capture of a submitted frame: each projection view's image, the colour searches, and the
// player's view with the quad layers over it, as PNG files and log lines in the same formats
// as the stand-in OpenVR runtime's. Called by xrEndFrame with the runtime lock held, only on
// frames a `capture` line covers.
#pragma once

#include "motion.h"
#include "runtime_state.h"

#include <openxr/openxr.h>

#include <vector>

namespace xrsim {

// A sub-image as the capture reads it: the texture most recently released to its swapchain.
struct CapturedImage {
    void* texture = nullptr; // ID3D11Texture2D*
    uint32_t width = 0;
    uint32_t height = 0;
    XrRect2Di rect{};
};

struct CapturedView {
    CapturedImage image;
    XrFovf fov{};
    Pose poseInLocal;
};

struct CapturedQuad {
    CapturedImage image;
    Pose poseInLocal;
    double width = 0.0;
    double height = 0.0;
    XrCompositionLayerFlags flags = 0;
};

struct FrameForCapture {
    bool hasProjection = false;
    CapturedView views[2];
    std::vector<CapturedQuad> quads;
};

// Writes the files and lines; every failure is a log line, never a change of the call's result.
void CaptureFrame(RuntimeState& state, const FrameForCapture& frame) noexcept;

} // namespace xrsim
