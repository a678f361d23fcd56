// Capture of a submitted frame: the first projection layer's view images, the colour searches, and
// the player's view composed from every layer in submission order, as PNG files and log lines in
// the same formats as the stand-in OpenVR runtime's. Called by xrEndFrame with the runtime lock held, only on
// frames a `capture` line covers.
#pragma once

#include "motion.h"
#include "runtime_state.h"

#include <openxr/openxr.h>

#include <variant>
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

struct CapturedProjection {
    CapturedView views[2];
    XrCompositionLayerFlags flags = 0;
};

struct FrameForCapture {
    std::vector<std::variant<CapturedProjection, CapturedQuad>> layers; // as submitted
};

// Writes the files and lines; every failure is a log line, never a change of the call's result.
void CaptureFrame(RuntimeState& state, const FrameForCapture& frame) noexcept;

} // namespace xrsim
