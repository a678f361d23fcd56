// PNG files for eye captures, written by wide (Windows) path. Called inside Submit with the
// runtime lock held.
#pragma once

#include "capture_image.h"

#include <string>

namespace vrsim {

// Creates `folder` and any missing parents; true when it exists afterwards.
[[nodiscard]] bool EnsureFolder(const std::wstring& folder);

// Writes `image` as an 8-bit RGBA PNG, replacing any file at `path`.
[[nodiscard]] bool WritePng(const std::wstring& path, const RgbaImage& image);

} // namespace vrsim
