// Capture of one accepted eye submission: read back, write, search for colours, and pair the
// eyes of a frame into the headset view and the player's view.
#include "eye_capture.h"

#include "eye_view.h"
#include "png_file_win32.h"
#include "runtime.h"
#include "simulation.h"
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

void LogViewError(RuntimeState& state, const std::string& text) {
    state.log.Line("view frame=%u eye=both -> error %s", state.frame, text.c_str());
}

// Writes one picture; the failure text, or empty when written.
std::string SavePicture(RuntimeState& state, const std::string& name, const RgbaImage& image) {
    if (!EnsureFolder(state.capture.folder)) {
        return "cannot create the capture folder";
    }
    if (!WritePng(state.capture.folder + Widen(name), image)) {
        return "cannot write " + name;
    }
    return {};
}

void WritePicture(RuntimeState& state, const char* eye, const char* suffix, const RgbaImage& image) {
    const std::string name = FileName(state.frame, suffix);
    const std::string error = SavePicture(state, name, image);
    if (!error.empty()) {
        LogError(state, eye, error);
        return;
    }
    state.log.Line("capture frame=%u eye=%s file=%s", state.frame, eye, name.c_str());
}

RawField FieldOf(const Scenario& scenario, int32_t eye) {
    const float* raw = scenario.rawProjection[eye];
    return {raw[0], raw[1], raw[2], raw[3]};
}

ViewPose PoseOf(const CaptureState& capture, uint32_t frame, const HmdMatrix34* submitted) {
    if (submitted != nullptr) {
        return {PoseSource::Submitted, *submitted};
    }
    return capture.waitPoseFrame == frame ? capture.waitPose : ViewPose{};
}

const char* SourceText(PoseSource source) {
    switch (source) {
    case PoseSource::Submitted:
        return "submitted";
    case PoseSource::Wait:
        return "wait";
    case PoseSource::None:
        break;
    }
    return "none";
}

void LogFinds(RuntimeState& state, const char* eyeText, const EyeSource& eye) {
    for (const ColourFinder& finder : state.scenario.finders) {
        const ColourFound found = FindColour(eye, {finder.red, finder.green, finder.blue, finder.tolerance});
        if (found.texels == 0) {
            state.log.Line("find frame=%u eye=%s name=%s texels=0", state.frame, eyeText,
                           finder.name.c_str());
            continue;
        }
        state.log.Line("find frame=%u eye=%s name=%s texels=%u tan=%.6f %.6f box=%.6f %.6f %.6f %.6f",
                       state.frame, eyeText, finder.name.c_str(), found.texels, found.centre.x,
                       found.centre.y, found.low.x, found.low.y, found.high.x, found.high.y);
    }
}

void WriteView(RuntimeState& state, const EyeSource& right, const ViewPose& rightPose) {
    const Scenario& scenario = state.scenario;
    const RawField fields[2] = {FieldOf(scenario, kEyeLeft), FieldOf(scenario, kEyeRight)};
    const ViewGrid grid = GridCovering(fields, scenario.viewPixelsPerTangent, scenario.renderHeight);
    if (!grid.Valid()) {
        LogViewError(state, "the view grid is empty or over 8192 pixels a side");
        return;
    }
    const CaptureState& capture = state.capture;
    const EyeSource left{&capture.heldLeftImage, capture.heldLeftBounds, fields[kEyeLeft]};
    const std::string name = FileName(state.frame, "view");
    const std::string error = SavePicture(state, name, ComposeView(grid, left, right));
    if (!error.empty()) {
        LogViewError(state, error);
        return;
    }
    const ViewPose* poses[2] = {&capture.heldLeftPose, &rightPose};
    for (int32_t eye : {kEyeLeft, kEyeRight}) {
        const ViewPose& pose = *poses[eye];
        state.log.Line(
            "view frame=%u eye=%d grid=%.6f %.6f %.6f %.6f %.6f size=%u %u column=%u "
            "pose_source=%s pose=%s file=%s",
            state.frame, eye, grid.x0, grid.x1, grid.y0, grid.y1, grid.pixelsPerTangent, grid.columns,
            grid.rows, eye == kEyeLeft ? 0u : grid.RightColumn(), SourceText(pose.source),
            pose.source == PoseSource::None ? "none" : MatrixText(pose.matrix).c_str(), name.c_str());
    }
}

void ForgetLeft(CaptureState& capture) {
    capture.heldLeftValid = false;
    capture.heldLeftView = {};
    capture.heldLeftImage = {};
}

void Capture(RuntimeState& state, const SubmittedEye& submitted) {
    CaptureState& capture = state.capture;
    const bool left = submitted.eye == kEyeLeft;
    const char* eyeText = left ? "0" : "1";
    if (left) {
        ForgetLeft(capture); // a failed left eye must not pair with an older one
    }

    RgbaImage image;
    std::string error;
    if (!ReadEyeTexture(submitted.texture->handle, submitted.texture->colorSpace, image, error)) {
        LogError(state, eyeText, error);
        return;
    }
    WritePicture(state, eyeText, left ? "left" : "right", image);
    const EyeSource source{&image, BoundsOrWhole(submitted.bounds), FieldOf(state.scenario, submitted.eye)};
    LogFinds(state, eyeText, source);
    const ViewPose pose = PoseOf(capture, state.frame, submitted.pose);

    RgbaImage view = CropToBounds(image, submitted.bounds);
    if (left) {
        capture.heldLeftView = std::move(view);
        capture.heldLeftBounds = source.bounds;
        capture.heldLeftPose = pose;
        capture.heldLeftImage = std::move(image);
        capture.heldLeftFrame = state.frame;
        capture.heldLeftValid = true;
        return;
    }
    const bool pairHeld = capture.heldLeftValid && capture.heldLeftFrame == state.frame;
    if (!pairHeld) {
        LogError(state, "both", "no left eye captured in this frame");
        LogViewError(state, "no left eye captured in this frame");
    } else {
        if (capture.heldLeftView.Empty() || view.Empty()) {
            LogError(state, "both", "bounds hold no texel");
        } else {
            WritePicture(state, "both", "headset", SideBySide(capture.heldLeftView, view));
        }
        WriteView(state, source, pose);
    }
    ForgetLeft(capture);
}

} // namespace

void NoteWaitPose(RuntimeState& state, int32_t waitResult) noexcept {
    if (!CaptureRequested(state.scenario, state.frame)) {
        return;
    }
    state.capture.waitPoseFrame = state.frame;
    state.capture.waitPose = {};
    if (waitResult == kCompositorErrorNone) {
        state.capture.waitPose = {
            PoseSource::Wait,
            DevicePose(state.scenario, kTrackedDeviceIndexHmd, state.frame).deviceToAbsoluteTracking};
    }
}

void CaptureSubmittedEye(RuntimeState& state, const SubmittedEye& submitted) noexcept {
    const char* eyeText = submitted.eye == kEyeLeft ? "0" : "1";
    try {
        Capture(state, submitted);
    } catch (const std::exception& failure) {
        ForgetLeft(state.capture);
        LogError(state, eyeText, failure.what());
    } catch (...) {
        ForgetLeft(state.capture);
        LogError(state, eyeText, "unexpected failure");
    }
}

} // namespace vrsim
