// Reads a submitted eye texture back to the CPU through the texture's own Direct3D 11 device.
// Called inside Submit, on the client's render thread, with the runtime lock held.
#pragma once

#include "capture_image.h"

#include <string>

namespace vrsim {

// Reads mip 0 of array slice 0 of the texture `handle` names (resolving it first when it is
// multisampled) as RGBA8. On failure returns false with a short reason in `error`.
[[nodiscard]] bool ReadEyeTexture(void* handle, int32_t colorSpace, RgbaImage& image, std::string& error);

} // namespace vrsim
