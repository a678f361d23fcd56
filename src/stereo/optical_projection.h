// The per-eye optical projection: narrows the symmetric render frustum the game was made to
// build down to the current eye's own asymmetric frustum, inside the game's 528-byte camera
// constant buffer, and keeps the buffer's view-projection consistent with it. Runs on the
// thread that unmaps or updates the camera buffer, once per upload.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

inline constexpr size_t kCameraBufferSize = 528;
inline constexpr size_t kCameraViewOffset = 0;
inline constexpr size_t kCameraProjectionOffset = 64;
inline constexpr size_t kCameraViewProjectionOffset = 192;

// Clip-space scale and centre that map the render frustum onto one eye's frustum.
struct EyeRemap {
    float sx = 1.0f;
    float sy = 1.0f;
    float cx = 0.0f;
    float cy = 0.0f;
};

// The remap for an eye's raw tangents (left, right, top, bottom) and the render tangents;
// false when the eye's extent or a render tangent is not finite or not above 0.01.
[[nodiscard]] bool ComputeEyeRemap(const float (&raw)[4], float tanXr, float tanYr, EyeRemap& remap) noexcept;

// Both eyes' remaps, left then right, from one read of the live optics and FovScale; false while
// there are no optics or either eye's field or the render frustum is unusable.
[[nodiscard]] bool CurrentEyeRemaps(EyeRemap (&remaps)[2]) noexcept;

// Rewrites the projection and view-projection of the camera buffer at `data` for the eye
// being rendered; true when it did. False leaves all 528 bytes as they were.
[[nodiscard]] bool ApplyOpticalProjection(void* data) noexcept;

} // namespace corvane
