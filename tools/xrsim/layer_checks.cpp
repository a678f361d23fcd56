// Composition layer checks.
#include "layer_checks.h"

#include <cmath>
#include <cstdio>

namespace xrsim {
namespace {

class Checker {
public:
    explicit Checker(const LayerWorld& world) : world_(world) {}

    void Break(XrResult result, const std::string& text) {
        if (verdict_.result == XR_SUCCESS) {
            verdict_.result = result;
        }
        verdict_.broken.push_back(text);
    }

    const char* Space(const std::string& where, XrSpace space) {
        const char* name = world_.spaceName(space);
        if (name == nullptr) {
            Break(XR_ERROR_HANDLE_INVALID, where + " space is not a live space of this session");
            return "invalid";
        }
        return name;
    }

    void Pose(const std::string& where, const XrPosef& pose) {
        const XrQuaternionf& q = pose.orientation;
        const double length =
            std::sqrt(double{q.x} * q.x + double{q.y} * q.y + double{q.z} * q.z + double{q.w} * q.w);
        if (!(std::fabs(length - 1.0) <= 1e-3) || !std::isfinite(pose.position.x) ||
            !std::isfinite(pose.position.y) || !std::isfinite(pose.position.z)) {
            char text[160];
            std::snprintf(text, sizeof text, " pose is not a rigid transform (orientation length %.6f)",
                          length);
            Break(XR_ERROR_POSE_INVALID, where + text);
        }
    }

    void SubImage(const std::string& where, const XrSwapchainSubImage& sub) {
        SwapchainFacts facts;
        if (!world_.swapchain(sub.swapchain, facts)) {
            Break(XR_ERROR_HANDLE_INVALID,
                  where + " sub-image swapchain is not a live swapchain of this session");
            return;
        }
        if (!facts.everReleased) {
            Break(XR_ERROR_LAYER_INVALID, where + " sub-image swapchain was never released");
        }
        const XrRect2Di& r = sub.imageRect;
        if (r.offset.x < 0 || r.offset.y < 0 || r.extent.width <= 0 || r.extent.height <= 0 ||
            int64_t{r.offset.x} + r.extent.width > facts.width ||
            int64_t{r.offset.y} + r.extent.height > facts.height) {
            char text[200];
            std::snprintf(text, sizeof text, " sub-image rect %d,%d %dx%d is not inside the %ux%u swapchain",
                          r.offset.x, r.offset.y, r.extent.width, r.extent.height, facts.width, facts.height);
            Break(XR_ERROR_SWAPCHAIN_RECT_INVALID, where + text);
        }
        if (sub.imageArrayIndex != 0) {
            Break(XR_ERROR_VALIDATION_FAILURE,
                  where + " sub-image array index " + std::to_string(sub.imageArrayIndex) + " is not 0");
        }
    }

    void Fov(const std::string& where, const XrFovf& fov) {
        const bool finite = std::isfinite(fov.angleLeft) && std::isfinite(fov.angleRight) &&
                            std::isfinite(fov.angleUp) && std::isfinite(fov.angleDown);
        if (!finite || !(fov.angleLeft < fov.angleRight) || !(fov.angleDown < fov.angleUp)) {
            char text[200];
            std::snprintf(text, sizeof text, " fov %.6f %.6f %.6f %.6f is not a field", fov.angleLeft,
                          fov.angleRight, fov.angleUp, fov.angleDown);
            Break(XR_ERROR_VALIDATION_FAILURE, where + text);
        }
    }

    std::string Projection(const std::string& where, const XrCompositionLayerProjection& layer) {
        const char* space = Space(where, layer.space);
        if (layer.viewCount != 2 || layer.views == nullptr) {
            Break(XR_ERROR_VALIDATION_FAILURE,
                  where + " has " + std::to_string(layer.views == nullptr ? 0 : layer.viewCount) +
                      " views, not 2");
        } else {
            for (uint32_t v = 0; v < 2; ++v) {
                const XrCompositionLayerProjectionView& view = layer.views[v];
                const std::string viewWhere = where + " view " + std::to_string(v);
                if (view.type != XR_TYPE_COMPOSITION_LAYER_PROJECTION_VIEW) {
                    Break(XR_ERROR_VALIDATION_FAILURE,
                          viewWhere + " has type " + std::to_string(static_cast<int>(view.type)));
                    continue;
                }
                Pose(viewWhere, view.pose);
                Fov(viewWhere, view.fov);
                SubImage(viewWhere, view.subImage);
            }
        }
        return std::string("projection(space=") + space + " views=" + std::to_string(layer.viewCount) + ")";
    }

    std::string Quad(const std::string& where, const XrCompositionLayerQuad& layer) {
        const char* space = Space(where, layer.space);
        Pose(where, layer.pose);
        SubImage(where, layer.subImage);
        if (!(layer.size.width > 0.0f && layer.size.height > 0.0f)) {
            char text[120];
            std::snprintf(text, sizeof text, " quad size %.6f %.6f is not positive", layer.size.width,
                          layer.size.height);
            Break(XR_ERROR_VALIDATION_FAILURE, where + text);
        }
        char size[80];
        std::snprintf(size, sizeof size, " size=%.6f %.6f)", layer.size.width, layer.size.height);
        return std::string("quad(space=") + space + size;
    }

    LayerVerdict Run(uint32_t count, const XrCompositionLayerBaseHeader* const* layers) {
        if (count > kMaxLayers) {
            Break(XR_ERROR_LAYER_LIMIT_EXCEEDED,
                  std::to_string(count) + " layers, more than " + std::to_string(kMaxLayers));
            return verdict_;
        }
        if (count > 0 && layers == nullptr) {
            Break(XR_ERROR_VALIDATION_FAILURE, std::to_string(count) + " layers given without an array");
            return verdict_;
        }
        std::string summary;
        for (uint32_t i = 0; i < count; ++i) {
            const std::string where = "layer " + std::to_string(i);
            const XrCompositionLayerBaseHeader* layer = layers[i];
            std::string item;
            if (layer == nullptr) {
                Break(XR_ERROR_LAYER_INVALID, where + " is null");
                item = "null";
            } else if (layer->type == XR_TYPE_COMPOSITION_LAYER_PROJECTION) {
                item = Projection(where, *reinterpret_cast<const XrCompositionLayerProjection*>(layer));
            } else if (layer->type == XR_TYPE_COMPOSITION_LAYER_QUAD) {
                item = Quad(where, *reinterpret_cast<const XrCompositionLayerQuad*>(layer));
            } else {
                Break(XR_ERROR_LAYER_INVALID, where + " has type " +
                                                  std::to_string(static_cast<int>(layer->type)) +
                                                  ", neither projection nor quad");
                item = "unknown(" + std::to_string(static_cast<int>(layer->type)) + ")";
            }
            summary += (summary.empty() ? "" : ",") + item;
        }
        verdict_.summary = summary.empty() ? "none" : summary;
        return verdict_;
    }

private:
    const LayerWorld& world_;
    LayerVerdict verdict_;
};

} // namespace

LayerVerdict CheckLayers(uint32_t layerCount, const XrCompositionLayerBaseHeader* const* layers,
                         const LayerWorld& world) {
    return Checker(world).Run(layerCount, layers);
}

} // namespace xrsim
