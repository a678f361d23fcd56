// Capture of one accepted eye submission: read back, write, and pair the eyes of a frame.
#include "eye_capture.h"

#include "png_file_win32.h"
#include "runtime.h"
#include "texture_readback_win32.h"

#include <cstdio>
#include <exception>

namespace vrsim {
namespace {

std::string FileName(uint32_t frame, const char* what) {
    char name[64];
    std::snprintf(name, sizeof name, "frame_%06u_%s.png", frame, what);
    return name;
}

std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

void LogError(RuntimeState& state, const char* eye, const std::string& text) {
    state.log.Line("capture frame=%u eye=%s -> error %s", state.frame, eye, text.c_str());
}

// Writes one picture and logs the outcome.
void WritePicture(RuntimeState& state, const char* eye, const char* suffix, const RgbaImage& image) {
    const std::string name = FileName(state.frame, suffix);
    if (!EnsureFolder(state.capture.folder)) {
        LogError(state, eye, "cannot create the capture folder");
        return;
    }
    if (!WritePng(state.capture.folder + Widen(name), image)) {
        LogError(state, eye, "cannot write " + name);
        return;
    }
    state.log.Line("capture frame=%u eye=%s file=%s", state.frame, eye, name.c_str());
}

void Capture(RuntimeState& state, int32_t eye, const Texture& texture, const TextureBounds* bounds) {
    CaptureState& capture = state.capture;
    const bool left = eye == kEyeLeft;
    const char* eyeText = left ? "0" : "1";
    if (left) {
        capture.heldLeftValid = false; // a failed left eye must not pair with an older one
    }

    RgbaImage image;
    std::string error;
    if (!ReadEyeTexture(texture.handle, texture.colorSpace, image, error)) {
        LogError(state, eyeText, error);
        return;
    }
    WritePicture(state, eyeText, left ? "left" : "right", image);

    RgbaImage view = CropToBounds(image, bounds);
    if (left) {
        capture.heldLeftView = std::move(view);
        capture.heldLeftFrame = state.frame;
        capture.heldLeftValid = true;
        return;
    }
    const bool pairHeld = capture.heldLeftValid && capture.heldLeftFrame == state.frame;
    capture.heldLeftValid = false;
    if (!pairHeld) {
        LogError(state, "both", "no left eye captured in this frame");
    } else if (capture.heldLeftView.Empty() || view.Empty()) {
        LogError(state, "both", "bounds hold no texel");
    } else {
        WritePicture(state, "both", "headset", SideBySide(capture.heldLeftView, view));
    }
    capture.heldLeftView = {};
}

} // namespace

void CaptureSubmittedEye(RuntimeState& state, int32_t eye, const Texture& texture,
                         const TextureBounds* bounds) noexcept {
    try {
        Capture(state, eye, texture, bounds);
    } catch (const std::exception& failure) {
        state.capture.heldLeftValid = false;
        LogError(state, eye == kEyeLeft ? "0" : "1", failure.what());
    } catch (...) {
        state.capture.heldLeftValid = false;
        LogError(state, eye == kEyeLeft ? "0" : "1", "unexpected failure");
    }
}

} // namespace vrsim
