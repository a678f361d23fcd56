// What xrEndFrame checks in the submitted layers, and the layer summary its log line carries.
// Platform-free; called under the runtime lock.
#pragma once

#include <openxr/openxr.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace xrsim {

inline constexpr uint32_t kMaxLayers = 16;

struct SwapchainFacts {
    uint32_t width = 0;
    uint32_t height = 0;
    bool everReleased = false;
};

// The session's objects as the checks see them: a space's name ("LOCAL", "VIEW", "action") or
// null when it is no live space of the session; a swapchain's facts, false when it is none.
struct LayerWorld {
    std::function<const char*(XrSpace)> spaceName;
    std::function<bool(XrSwapchain, SwapchainFacts&)> swapchain;
};

struct LayerVerdict {
    XrResult result = XR_SUCCESS;    // the first broken rule's error
    std::vector<std::string> broken; // one text per broken rule, without the function prefix
    std::string summary;             // "projection(space=LOCAL views=2),quad(...)" or "none"
};

// Checks the layer count and every layer: type, space, view count and types, each sub-image
// (live swapchain released at least once, rectangle inside it, array index 0), fields of view,
// unit orientations and positive quad sizes.
[[nodiscard]] LayerVerdict CheckLayers(uint32_t layerCount, const XrCompositionLayerBaseHeader* const* layers,
                                       const LayerWorld& world);

} // namespace xrsim
