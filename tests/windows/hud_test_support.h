// What the HUD tests draw with: a stand-in for the game's HUD vertex shader (a full-screen
// quad through the b0 matrix), the game's 128-byte HUD constants and the bytecode identity
// that marks a shader as the HUD's. Test threads only.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace corvane::testing_support {

inline constexpr char kHudShaderSource[] = R"(
cbuffer HudConstants : register(b0) { row_major float4x4 projection; float4 unused[4]; };
float4 HudVS(uint id : SV_VertexID) : SV_Position {
    float2 pixel = float2(id & 1, (id >> 1) & 1) * float2(1920.0, 1080.0);
    return mul(float4(pixel, 0, 1), projection);
}
float4 HudPS() : SV_Target { return float4(1, 0, 0, 1); }
)";

// The HUD's orthographic projection for a screen `width` pixels wide and 1080 high, then 16
// filler floats.
inline std::array<float, 32> HudConstants(float width = 1920.0f) {
    std::array<float, 32> c{};
    c[0] = 2.0f / width;    // m[0][0]
    c[5] = -2.0f / 1080.0f; // m[1][1]
    c[10] = -1.0f;
    c[12] = -1.0f; // m[3][0]
    c[13] = 1.0f;  // m[3][1]
    c[15] = 1.0f;
    for (int i = 16; i < 32; ++i) {
        c[i] = static_cast<float>(i);
    }
    return c;
}

// The HUD shader's identity: length and container checksum, the rest of no interest. Real
// bytecode never carries that checksum, so tests identify a real shader with these bytes.
inline std::vector<uint8_t> HudIdentityBytes() {
    std::vector<uint8_t> bytes(1072, 0);
    const uint8_t header[20] = {'D',  'X',  'B',  'C',  0x15, 0x8C, 0x3A, 0xD2, 0xCD, 0xCA,
                                0x1F, 0xC1, 0xD3, 0xE1, 0xCA, 0xD4, 0x67, 0x80, 0xA2, 0xE0};
    std::memcpy(bytes.data(), header, sizeof header);
    return bytes;
}

} // namespace corvane::testing_support
