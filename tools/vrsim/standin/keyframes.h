// Scripted poses: keyframes read from scenario lines and interpolated linearly between, and the
// recentres that move the tracking origin. Both stand-in runtimes script the head and hands
// this way; each turns the pose into its own API's form. Platform-free and header-only.
#pragma once

#include "scenario_lines.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace standin {

struct PoseKey {
    uint32_t frame = 0;
    float position[3] = {0.0f, 0.0f, 0.0f};
    float yawDegrees = 0.0f;
    float pitchDegrees = 0.0f;
    float rollDegrees = 0.0f;
};

struct PoseScript {
    std::vector<PoseKey> keys; // sorted by frame, file order kept among equal frames
    bool keysFromFile = false; // the first key line replaces the default key
    std::vector<FrameRange> lost;
};

// The tracking origin moved to `position`, turned by `yawDegrees`, from `frame` on.
struct Recentre {
    uint32_t frame = 0;
    float position[3] = {0.0f, 0.0f, 0.0f};
    float yawDegrees = 0.0f;
};

// `FRAME X Y Z YAW PITCH ROLL`.
[[nodiscard]] inline PoseKey ReadKey(LineWords& words) {
    PoseKey key;
    key.frame = words.Unsigned32("frame");
    for (float& p : key.position) {
        p = words.Float("position");
    }
    key.yawDegrees = words.Float("yaw");
    key.pitchDegrees = words.Float("pitch");
    key.rollDegrees = words.Float("roll");
    return key;
}

inline void InsertKey(PoseScript& script, const PoseKey& key) {
    if (!script.keysFromFile) {
        script.keys.clear();
        script.keysFromFile = true;
    }
    auto at = std::upper_bound(script.keys.begin(), script.keys.end(), key.frame,
                               [](uint32_t frame, const PoseKey& k) { return frame < k.frame; });
    script.keys.insert(at, key);
}

// The pose at `frame`: the first key before the first, the last after the last, linear between
// (each angle on its own); the later of two keys on one frame wins from that frame on.
[[nodiscard]] inline PoseKey Interpolate(const PoseScript& script, uint32_t frame) {
    if (script.keys.empty()) {
        return PoseKey{};
    }
    auto after = std::upper_bound(script.keys.begin(), script.keys.end(), frame,
                                  [](uint32_t f, const PoseKey& k) { return f < k.frame; });
    if (after == script.keys.begin()) {
        return script.keys.front();
    }
    const PoseKey& from = *(after - 1);
    if (after == script.keys.end()) {
        return from;
    }
    const PoseKey& to = *after;
    float t = static_cast<float>(frame - from.frame) / static_cast<float>(to.frame - from.frame);
    auto mix = [t](float a, float b) { return a + (b - a) * t; };
    PoseKey key;
    key.frame = frame;
    for (int i = 0; i < 3; ++i) {
        key.position[i] = mix(from.position[i], to.position[i]);
    }
    key.yawDegrees = mix(from.yawDegrees, to.yawDegrees);
    key.pitchDegrees = mix(from.pitchDegrees, to.pitchDegrees);
    key.rollDegrees = mix(from.rollDegrees, to.rollDegrees);
    return key;
}

// `FRAME X Y Z YAW`.
[[nodiscard]] inline Recentre ReadRecentre(LineWords& words) {
    Recentre recentre;
    recentre.frame = words.Unsigned32("frame");
    for (float& p : recentre.position) {
        p = words.Float("position");
    }
    recentre.yawDegrees = words.Float("yaw");
    return recentre;
}

// Keeps `recentres` sorted by frame, file order among equal frames.
inline void InsertRecentre(std::vector<Recentre>& recentres, const Recentre& recentre) {
    auto at = std::upper_bound(recentres.begin(), recentres.end(), recentre.frame,
                               [](uint32_t frame, const Recentre& r) { return frame < r.frame; });
    recentres.insert(at, recentre);
}

// The recentre in effect at `frame` (the last one at or before it), or null.
[[nodiscard]] inline const Recentre* RecentreAt(const std::vector<Recentre>& recentres, uint32_t frame) {
    const Recentre* found = nullptr;
    for (const Recentre& r : recentres) {
        if (r.frame <= frame) {
            found = &r;
        }
    }
    return found;
}

} // namespace standin
