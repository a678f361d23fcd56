// The scenario lines about captured pictures that both stand-in runtimes read alike: colour
// finders and the density of the player's view grid. Platform-free and header-only.
#pragma once

#include "scenario_lines.h"

#include <cstdint>
#include <string>
#include <vector>

namespace standin {

// Beyond this a default field makes a picture of gigabytes.
inline constexpr float kMaxViewPixelsPerTangent = 2048.0f;

// Texels of a captured picture within `tolerance` of this colour in every channel.
struct ColourFinder {
    std::string name;
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    uint8_t tolerance = 40;
};

// `NAME RED GREEN BLUE [TOLERANCE]`, each 0..255.
[[nodiscard]] inline ColourFinder ReadColourFinder(LineWords& words) {
    ColourFinder finder;
    finder.name = words.Text("name");
    finder.red = static_cast<uint8_t>(words.Unsigned32("red", 255));
    finder.green = static_cast<uint8_t>(words.Unsigned32("green", 255));
    finder.blue = static_cast<uint8_t>(words.Unsigned32("blue", 255));
    if (!words.AtEnd()) {
        finder.tolerance = static_cast<uint8_t>(words.Unsigned32("tolerance", 255));
    }
    return finder;
}

// In file order; a repeated name replaces the earlier finder in its place.
inline void AddColourFinder(std::vector<ColourFinder>& finders, const ColourFinder& finder) {
    for (ColourFinder& existing : finders) {
        if (existing.name == finder.name) {
            existing = finder;
            return;
        }
    }
    finders.push_back(finder);
}

[[nodiscard]] inline float ReadViewPixelsPerTangent(LineWords& words) {
    float value = words.Float("pixels per tangent");
    if (!(value > 0.0f && value <= kMaxViewPixelsPerTangent)) {
        throw LineError("pixels per tangent out of range");
    }
    return value;
}

} // namespace standin
