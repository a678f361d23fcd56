// Frame capture: read back, write, search, compose.
#include "frame_capture.h"

#include "layer_composition.h"

#include <capture_image.h>
#include <eye_view.h>
#include <png_file_win32.h>
#include <texture_readback_win32.h>

#include <cmath>
#include <cstdio>
#include <deque>
#include <exception>

namespace xrsim {
namespace {

std::string FileName(uint32_t frame, const char* what) {
    char name[64];
    std::snprintf(name, sizeof name, "frame_%06u_%s.png", frame, what);
    return name;
}

std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// Writes one picture; the failure text, or empty when written.
std::string SavePicture(RuntimeState& state, const std::string& name, const vrsim::RgbaImage& image) {
    if (!vrsim::EnsureFolder(state.captureFolder)) {
        return "cannot create the capture folder";
    }
    if (!vrsim::WritePng(state.captureFolder + Widen(name), image)) {
        return "cannot write " + name;
    }
    return {};
}

vrsim::TextureBounds BoundsOf(const CapturedImage& image) {
    const XrRect2Di& r = image.rect;
    const double w = image.width, h = image.height;
    return {static_cast<float>(r.offset.x / w), static_cast<float>(r.offset.y / h),
            static_cast<float>((r.offset.x + r.extent.width) / w),
            static_cast<float>((r.offset.y + r.extent.height) / h)};
}

// The view's field as raw tangents: left, right, down (negative), up.
vrsim::RawField FieldOf(const XrFovf& fov) {
    return {std::tan(fov.angleLeft), std::tan(fov.angleRight), std::tan(fov.angleDown),
            std::tan(fov.angleUp)};
}

void LogFinds(RuntimeState& state, int eye, const vrsim::EyeSource& source) {
    for (const ColourFinder& finder : state.scenario.finders) {
        const vrsim::ColourFound found =
            vrsim::FindColour(source, {finder.red, finder.green, finder.blue, finder.tolerance});
        if (found.texels == 0) {
            state.log.Line("find frame=%u eye=%d name=%s texels=0", state.frame, eye, finder.name.c_str());
            continue;
        }
        state.log.Line("find frame=%u eye=%d name=%s texels=%u tan=%.6f %.6f box=%.6f %.6f %.6f %.6f",
                       state.frame, eye, finder.name.c_str(), found.texels, found.centre.x, found.centre.y,
                       found.low.x, found.low.y, found.high.x, found.high.y);
    }
}

bool Read(RuntimeState& state, const char* eye, const CapturedImage& captured, vrsim::RgbaImage& image) {
    std::string error;
    // Colour space 0: half-float images hold linear light, as an sRGB swapchain's readers expect.
    if (!vrsim::ReadEyeTexture(captured.texture, 0, image, error)) {
        state.log.Line("capture frame=%u eye=%s -> error %s", state.frame, eye, error.c_str());
        return false;
    }
    return true;
}

void LogViewFinds(RuntimeState& state, const vrsim::ViewGrid& grid, const vrsim::RgbaImage& view) {
    for (int eye : {0, 1}) {
        for (const ColourFinder& finder : state.scenario.viewFinders) {
            const ViewFound found =
                FindInView(grid, view, eye, {finder.red, finder.green, finder.blue, finder.tolerance});
            if (found.pixels == 0) {
                state.log.Line("find_view frame=%u eye=%d name=%s pixels=0", state.frame, eye,
                               finder.name.c_str());
                continue;
            }
            state.log.Line(
                "find_view frame=%u eye=%d name=%s pixels=%u tan=%.6f %.6f box=%.6f %.6f %.6f %.6f",
                state.frame, eye, finder.name.c_str(), found.pixels, found.centre.x, found.centre.y,
                found.low.x, found.low.y, found.high.x, found.high.y);
        }
    }
}

// Reads a projection layer after the first (whose images the capture has already read).
bool ReadProjection(RuntimeState& state, const CapturedProjection& projection,
                    std::deque<vrsim::RgbaImage>& images, ProjectionSource& source) {
    for (int eye : {0, 1}) {
        const CapturedView& view = projection.views[eye];
        vrsim::RgbaImage& image = images.emplace_back();
        if (!Read(state, eye == 0 ? "0" : "1", view.image, image)) {
            return false;
        }
        source.eyes[eye] = {&image, BoundsOf(view.image), FieldOf(view.fov)};
    }
    return true;
}

void WriteView(RuntimeState& state, const FrameForCapture& frame, const CapturedProjection& first,
               const vrsim::EyeSource (&eyes)[2]) {
    const Scenario& scenario = state.scenario;
    const vrsim::RawField fields[2] = {
        {scenario.rawProjection[0][0], scenario.rawProjection[0][1], scenario.rawProjection[0][2],
         scenario.rawProjection[0][3]},
        {scenario.rawProjection[1][0], scenario.rawProjection[1][1], scenario.rawProjection[1][2],
         scenario.rawProjection[1][3]},
    };
    const vrsim::ViewGrid grid =
        vrsim::GridCovering(fields, scenario.viewPixelsPerTangent, scenario.renderHeight);
    if (!grid.Valid()) {
        state.log.Line("view frame=%u eye=both -> error the view grid is empty or over 8192 pixels a side",
                       state.frame);
        return;
    }

    // A deque keeps each image where it is while more are added, so the sources may point at them.
    std::deque<vrsim::RgbaImage> images;
    std::vector<LayerSource> layers;
    for (const auto& layer : frame.layers) {
        if (const auto* projection = std::get_if<CapturedProjection>(&layer)) {
            ProjectionSource source{{eyes[0], eyes[1]}, BlendOf(projection->flags)};
            if (projection != &first && !ReadProjection(state, *projection, images, source)) {
                state.log.Line("view frame=%u eye=both -> error an eye was not read back", state.frame);
                return;
            }
            layers.emplace_back(source);
            continue;
        }
        const CapturedQuad& quad = std::get<CapturedQuad>(layer);
        const Pose& pose = quad.poseInLocal;
        state.log.Line("quad frame=%u pose=%s size=%.6f %.6f", state.frame, MatrixText(pose).c_str(),
                       quad.width, quad.height);
        vrsim::RgbaImage& image = images.emplace_back();
        if (!Read(state, "quad", quad.image, image)) {
            continue;
        }
        const vrsim::TextureBounds b = BoundsOf(quad.image);
        layers.emplace_back(QuadSource{&image, b.uMin, b.vMin, b.uMax, b.vMax, pose, quad.width, quad.height,
                                       BlendOf(quad.flags)});
    }
    // Quads are seen from the first projection's views, and later projections in its axes.
    const Pose eyePoses[2] = {first.views[0].poseInLocal, first.views[1].poseInLocal};
    const vrsim::RgbaImage view = ComposeLayers(grid, eyePoses, layers);

    const std::string name = FileName(state.frame, "view");
    const std::string error = SavePicture(state, name, view);
    if (!error.empty()) {
        state.log.Line("view frame=%u eye=both -> error %s", state.frame, error.c_str());
    } else {
        for (int eye : {0, 1}) {
            state.log.Line("view frame=%u eye=%d grid=%.6f %.6f %.6f %.6f %.6f size=%u %u column=%u "
                           "pose_source=layer pose=%s file=%s",
                           state.frame, eye, grid.x0, grid.x1, grid.y0, grid.y1, grid.pixelsPerTangent,
                           grid.columns, grid.rows, eye == 0 ? 0u : grid.RightColumn(),
                           MatrixText(eyePoses[eye]).c_str(), name.c_str());
        }
    }
    LogViewFinds(state, grid, view);
}

void Capture(RuntimeState& state, const FrameForCapture& frame) {
    const CapturedProjection* first = nullptr;
    for (const auto& layer : frame.layers) {
        first = std::get_if<CapturedProjection>(&layer);
        if (first != nullptr) {
            break;
        }
    }
    if (first == nullptr) {
        state.log.Line("view frame=%u eye=both -> error no projection layer in this frame", state.frame);
        return;
    }
    vrsim::RgbaImage images[2];
    vrsim::EyeSource eyes[2];
    bool read[2] = {false, false};
    for (int eye : {0, 1}) {
        const CapturedView& view = first->views[eye];
        const char* eyeText = eye == 0 ? "0" : "1";
        read[eye] = Read(state, eyeText, view.image, images[eye]);
        if (!read[eye]) {
            continue;
        }
        const std::string name = FileName(state.frame, eye == 0 ? "left" : "right");
        const std::string error = SavePicture(state, name, images[eye]);
        if (error.empty()) {
            state.log.Line("capture frame=%u eye=%d file=%s", state.frame, eye, name.c_str());
        } else {
            state.log.Line("capture frame=%u eye=%d -> error %s", state.frame, eye, error.c_str());
        }
        eyes[eye] = {&images[eye], BoundsOf(view.image), FieldOf(view.fov)};
        LogFinds(state, eye, eyes[eye]);
    }
    if (!read[0] || !read[1]) {
        state.log.Line("view frame=%u eye=both -> error an eye was not read back", state.frame);
        return;
    }
    WriteView(state, frame, *first, eyes);
}

} // namespace

void CaptureFrame(RuntimeState& state, const FrameForCapture& frame) noexcept {
    try {
        Capture(state, frame);
    } catch (const std::exception& failure) {
        state.log.Line("capture frame=%u eye=both -> error %s", state.frame, failure.what());
    } catch (...) {
        state.log.Line("capture frame=%u eye=both -> error unexpected failure", state.frame);
    }
}

} // namespace xrsim
