// What the HUD re-projection decides, free of Direct3D: which vertex shader is the HUD's,
// which buffer contents are the HUD's orthographic projection, the safe frame each eye
// draws the HUD into, the per-eye matrix, the scissor rectangles mapped the same way, and
// which cache entry a new HUD buffer takes. Game threads; the cache choice runs under HudLock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

inline constexpr size_t kHudShaderBytecodeBytes = 1072;
inline constexpr size_t kHudConstantBytes = 128;
inline constexpr float kHudVerticalScale = 0.75f;
inline constexpr float kHudSmallestHorizontalScale = 0.01f;
inline constexpr uint32_t kHudMaxScissorRects = 16;
inline constexpr uint32_t kHudShaderSlots = 4;
inline constexpr uint32_t kHudCacheEntries = 8;

// Normalised-device scale and offset (offsets positive to the right and up).
struct HudSafeFrame {
    float scaleX = 0.0f;
    float offsetX = 0.0f;
    float scaleY = 0.0f;
    float offsetY = 0.0f;
};

// True for the 1072-byte bytecode of the game's HUD vertex shader ("DXBC" and its checksum).
[[nodiscard]] bool IsHudShaderBytecode(const void* bytecode, size_t length) noexcept;

// True when the first 64 bytes hold the HUD library's orthographic pixel-to-screen projection.
[[nodiscard]] bool IsOrthographicHudProjection(const uint8_t* data) noexcept;

// Equal as `count` floats, with any NaN counting as different.
[[nodiscard]] bool SameFloats(const float* a, const float* b, size_t count) noexcept;

// The frame both eyes use: the HUD scale (at least 0.01) across, 0.75 down, moved up by the offset.
[[nodiscard]] HudSafeFrame SharedHudSafeFrame(float hudScale, float hudVerticalOffset) noexcept;

// The shared frame as an eye whose picture spans its own asymmetric field must draw it: moved
// by the same clip-space remap as the camera (scale sx, sy and centre cx, cy), so that each HUD
// point is shown in the same direction to both eyes, as it is over the symmetric frustum.
[[nodiscard]] HudSafeFrame EyeHudSafeFrame(const HudSafeFrame& shared, float remapScaleX, float remapScaleY,
                                           float remapCentreX, float remapCentreY) noexcept;

// Copies the 128 bytes, with each matrix row r (first 64 bytes) changed to
// m[r][0] = sx m[r][0] + ox m[r][3] and m[r][1] = sy m[r][1] + oy m[r][3]: in clip space
// x' = sx x + ox w, y' = sy y + oy w.
void ReprojectHudConstants(const uint8_t* in, const HudSafeFrame& frame, uint8_t* out) noexcept;

struct HudRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

struct HudViewport {
    float x = 0.0f;
    float y = 0.0f;
    float width = 0.0f;
    float height = 0.0f;
};

// A viewport the scissor remap can use: finite corner, finite positive size.
[[nodiscard]] bool IsUsableHudViewport(const HudViewport& viewport) noexcept;

// The pixel-space form of the clip-space change, clamped to the viewport and rounded outwards.
[[nodiscard]] HudRect RemapHudScissorRect(const HudRect& rect, const HudViewport& viewport,
                                          const HudSafeFrame& frame) noexcept;

// Which cache entry a HUD buffer takes: the one keyed by it, else the first free one, else the
// next victim in turn (the counter advances only then, so victims cycle 0, 1, 2 ... whatever
// was used). `evict` says the entry must be emptied first.
struct HudCacheChoice {
    uint32_t index = 0;
    bool evict = false;
};
[[nodiscard]] HudCacheChoice ChooseHudCacheEntry(const void* const* keys, const void* key,
                                                 uint64_t& evictCounter) noexcept;

} // namespace corvane
