#include "input/snap_turn.h"

#include "input/gamepad_mapping.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace corvane {
namespace {

constexpr float kPi = 3.14159265358979323846f;
constexpr float kDegreesToRadians = kPi / 180.0f;
// Progress below this in one call counts as none (radians).
constexpr float kNoProgress = 1e-5f;

uint64_t PackDrive(uint32_t engagement, float drive) noexcept {
    return (uint64_t{engagement} << 32) | std::bit_cast<uint32_t>(drive);
}

} // namespace

float WrapRadians(float angle) noexcept {
    if (!std::isfinite(angle)) {
        return 0.0f;
    }
    return std::remainder(angle, 2.0f * kPi);
}

void SnapTurn::Engage(float stepDegrees) noexcept {
    const float step =
        std::isfinite(stepDegrees) && stepDegrees > 0.0f ? stepDegrees * kDegreesToRadians : 0.0f;
    const float before = stepRadians_.exchange(step);
    if (step > 0.0f && !(before > 0.0f)) {
        // A flick made before first person began is not one to act on.
        pendingDirection_.store(0);
        engagement_.fetch_add(1);
    }
}

int16_t SnapTurn::OnTurnStick(int16_t stickX) noexcept {
    if (!(stepRadians_.load() > 0.0f)) {
        return stickX;
    }
    const float x = StickFromThumb(stickX);
    if (std::fabs(x) < kSnapRearm) {
        armed_.store(true);
    } else if (std::fabs(x) >= kSnapFlick && armed_.exchange(false)) {
        // At most one flick waits for the camera; another one during a step is its next step.
        int expected = 0;
        (void)pendingDirection_.compare_exchange_strong(expected, x > 0.0f ? 1 : -1);
    }
    // The game's own turning belongs to the steps now: between them it reads a centred stick.
    const uint64_t drive = drive_.load();
    if (static_cast<uint32_t>(drive >> 32) != engagement_.load()) {
        return 0;
    }
    return ThumbFromStick(std::bit_cast<float>(static_cast<uint32_t>(drive)));
}

SnapHold SnapTurn::OnCameraHeading(float heading, bool pairStart) noexcept {
    const float step = stepRadians_.load();
    const uint32_t engagement = engagement_.load();
    if (!(step > 0.0f) || !std::isfinite(heading) || cameraBusy_.test_and_set(std::memory_order_acquire)) {
        return {};
    }
    const SnapHold hold = StepWithCamera(step, engagement, heading, pairStart);
    cameraBusy_.clear(std::memory_order_release);
    return hold;
}

SnapHold SnapTurn::StepWithCamera(float step, uint32_t engagement, float heading, bool pairStart) noexcept {
    if (engagement != engagementSeen_) {
        Restart(engagement);
    }
    if (phase_ == Phase::Idle) {
        const int direction = pendingDirection_.exchange(0);
        if (direction == 0) {
            return {};
        }
        phase_ = Phase::Driving;
        direction_ = static_cast<float>(direction);
        startHeading_ = heading;
        stepTaken_ = step;
        lastTurned_ = 0.0f;
        turnPerDrive_ = 0.0f;
        calls_ = 0;
        stalledCalls_ = 0;
        PublishDrive(direction_);
        lastDrive_ = 1.0f;
        return {0.0f, true};
    }
    const float turned = WrapRadians(heading - startHeading_) * direction_;
    if (phase_ == Phase::Driving) {
        const float drive = NextDrive(turned);
        if (drive > 0.0f) {
            PublishDrive(direction_ * drive);
        } else {
            PublishDrive(0.0f);
            phase_ = Phase::Settled;
        }
    }
    if (phase_ == Phase::Settled && pairStart) {
        phase_ = Phase::Idle;
        return {};
    }
    return {WrapRadians(startHeading_ - heading), true};
}

// The drive for the next call (0..1), 0 when the step is over.
float SnapTurn::NextDrive(float turned) noexcept {
    const float progress = turned - lastTurned_;
    lastTurned_ = turned;
    ++calls_;
    const float remaining = stepTaken_ - turned;
    if (remaining <= kSnapDoneRadians || calls_ >= kSnapMaxCalls) {
        return 0.0f;
    }
    if (progress > kNoProgress && lastDrive_ > 0.0f) {
        turnPerDrive_ = progress / lastDrive_;
        stalledCalls_ = 0;
    } else if (++stalledCalls_ >= kSnapMaxStalledCalls) {
        return 0.0f; // the game does not turn now (the stick may mean something else to it)
    }
    float drive = 1.0f;
    if (turnPerDrive_ > 0.0f) {
        // The last part of the step at the speed the game has shown, so it ends on the step.
        drive = std::min(1.0f, remaining / turnPerDrive_);
        // A game that ignores a stick this small (its dead zone) gets a harder push.
        if (progress <= kNoProgress && lastDrive_ > 0.0f) {
            drive = std::min(1.0f, std::max(drive, lastDrive_ * 2.0f));
        }
    }
    lastDrive_ = drive;
    return drive;
}

void SnapTurn::PublishDrive(float drive) noexcept {
    drive_.store(PackDrive(engagementSeen_, drive));
}

void SnapTurn::Restart(uint32_t engagement) noexcept {
    engagementSeen_ = engagement;
    phase_ = Phase::Idle;
    PublishDrive(0.0f);
}

void SnapTurn::Reset() noexcept {
    stepRadians_.store(0.0f);
    engagement_.store(0);
    pendingDirection_.store(0);
    armed_.store(true);
    drive_.store(0);
    engagementSeen_ = 0;
    phase_ = Phase::Idle;
}

SnapTurn& GetSnapTurn() noexcept {
    static SnapTurn snapTurn;
    return snapTurn;
}

} // namespace corvane
