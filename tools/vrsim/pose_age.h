// How old the head pose of a submitted eye is: the runtime remembers the head pose and the time
// of each recent WaitGetPoses, and a submission's pose is matched to the frame that returned it.
// Platform-free; kept in the runtime state and used under the runtime lock.
#pragma once

#include "vr_types.h"

#include <chrono>
#include <cstdint>

namespace vrsim {

class PoseHistory {
public:
    // Frames a submitted pose is looked for in; an older pose reads as unmatched.
    static constexpr uint32_t kFrames = 64;

    // A WaitGetPoses that returned the head pose `head` (null: no valid head pose) at `timeNs`.
    void Remember(uint32_t frame, int64_t timeNs, const HmdMatrix34* head);
    void Clear() { *this = PoseHistory{}; }

    // When `frame`'s WaitGetPoses returned; false for a frame no longer (or never) remembered.
    [[nodiscard]] bool TimeOf(uint32_t frame, int64_t& timeNs) const;

    // The remembered frame whose head pose is nearest `pose` (largest element difference at most
    // `tolerance`, the most recent one on a tie); `alsoNear` tells whether another remembered frame
    // was within the tolerance too. False when none is.
    [[nodiscard]] bool Match(const HmdMatrix34& pose, float tolerance, uint32_t& frame, bool& alsoNear) const;

private:
    struct Entry {
        bool used = false;
        bool headValid = false;
        uint32_t frame = 0;
        int64_t timeNs = 0;
        HmdMatrix34 head{};
    };
    Entry entries_[kFrames];
};

// What the age line says about one submitted eye.
enum class PoseMatch { None, Yes, Ambiguous, No };

struct PoseAge {
    PoseMatch match = PoseMatch::None;
    uint32_t poseFrame = 0; // the frame whose pose the texture carries (its own without a pose)
    uint32_t frames = 0;    // WaitGetPoses calls from that frame to the submission
    double ms = -1.0;       // from that frame's WaitGetPoses to the submission; negative: unknown
};

// Matches to within a tenth of a millimetre or a few hundredths of a degree: a pose that went
// through the client's quaternion and back differs by about a millionth.
inline constexpr float kPoseMatchTolerance = 1e-4f;

[[nodiscard]] PoseAge AgeOfSubmission(const PoseHistory& history, const HmdMatrix34* submitted,
                                      uint32_t frame, int64_t nowNs);

[[nodiscard]] const char* PoseMatchText(PoseMatch match);

[[nodiscard]] inline int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace vrsim
