#include "pose_age.h"

#include <algorithm>
#include <cmath>

namespace vrsim {
namespace {

float LargestDifference(const HmdMatrix34& a, const HmdMatrix34& b) {
    float largest = 0.0f;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            const float difference = std::fabs(a.m[row][column] - b.m[row][column]);
            largest = std::isnan(difference) ? INFINITY : std::max(largest, difference);
        }
    }
    return largest;
}

} // namespace

void PoseHistory::Remember(uint32_t frame, int64_t timeNs, const HmdMatrix34* head) {
    Entry& entry = entries_[frame % kFrames];
    entry.used = true;
    entry.frame = frame;
    entry.timeNs = timeNs;
    entry.headValid = head != nullptr;
    entry.head = head != nullptr ? *head : HmdMatrix34{};
}

bool PoseHistory::TimeOf(uint32_t frame, int64_t& timeNs) const {
    const Entry& entry = entries_[frame % kFrames];
    if (!entry.used || entry.frame != frame) {
        return false;
    }
    timeNs = entry.timeNs;
    return true;
}

bool PoseHistory::Match(const HmdMatrix34& pose, float tolerance, uint32_t& frame, bool& alsoNear) const {
    const Entry* best = nullptr;
    float bestDifference = INFINITY;
    uint32_t near = 0;
    for (const Entry& entry : entries_) {
        if (!entry.used || !entry.headValid) {
            continue;
        }
        const float difference = LargestDifference(entry.head, pose);
        if (!(difference <= tolerance)) {
            continue;
        }
        ++near;
        if (best == nullptr || difference < bestDifference ||
            (difference == bestDifference && entry.frame > best->frame)) {
            best = &entry;
            bestDifference = difference;
        }
    }
    if (best == nullptr) {
        return false;
    }
    frame = best->frame;
    alsoNear = near > 1;
    return true;
}

PoseAge AgeOfSubmission(const PoseHistory& history, const HmdMatrix34* submitted, uint32_t frame,
                        int64_t nowNs) {
    PoseAge age;
    age.poseFrame = frame;
    if (submitted != nullptr) {
        uint32_t matched = 0;
        bool alsoNear = false;
        if (history.Match(*submitted, kPoseMatchTolerance, matched, alsoNear)) {
            age.match = alsoNear ? PoseMatch::Ambiguous : PoseMatch::Yes;
            age.poseFrame = matched;
        } else {
            age.match = PoseMatch::No;
        }
    }
    age.frames = frame - age.poseFrame;
    int64_t then = 0;
    if (age.match != PoseMatch::No && history.TimeOf(age.poseFrame, then)) {
        age.ms = static_cast<double>(nowNs - then) / 1e6;
    }
    return age;
}

const char* PoseMatchText(PoseMatch match) {
    switch (match) {
    case PoseMatch::Yes:
        return "yes";
    case PoseMatch::Ambiguous:
        return "ambiguous";
    case PoseMatch::No:
        return "no";
    case PoseMatch::None:
        break;
    }
    return "none";
}

} // namespace vrsim
