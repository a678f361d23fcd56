#include "vr/eye_pairing.h"

#include <cmath>

namespace corvane {
namespace {

constexpr double kNsPerMs = 1'000'000.0;

void Add(EyeCopyPlan& plan, CopyDestination destination, uint32_t eye) {
    plan.copies[plan.copyCount++] = EyeCopy{destination, eye};
    if (destination == CopyDestination::EyeTexture) {
        plan.copied[eye] = true;
    } else {
        plan.stagedNow[eye] = true;
    }
}

void AddBothEyes(EyeCopyPlan& plan) {
    Add(plan, CopyDestination::EyeTexture, 0);
    Add(plan, CopyDestination::EyeTexture, 1);
}

bool PairIsCoherent(const EyeTextureState& state) {
    const EyeRenderPose& left = state.stagedPose[0];
    const EyeRenderPose& right = state.stagedPose[1];
    if (left.valid != right.valid) {
        return false;
    }
    if (left.valid && (left.referenceEpoch == 0 || left.referenceEpoch != right.referenceEpoch)) {
        return false;
    }
    return state.stagedSource[0].projection == state.stagedSource[1].projection;
}

// An eye texture whose picture was rendered in a tracking epoch that has ended.
bool HoldsAnEarlierEpoch(const EyeTextureState& state, const EyeFrame& frame) {
    for (int eye = 0; eye < 2; ++eye) {
        const EyeRenderPose& pose = state.eyePose[eye];
        if (state.eyeTextureValid[eye] && pose.valid && pose.referenceEpoch != frame.currentEpoch) {
            return true;
        }
    }
    return false;
}

} // namespace

void ClearStagedPair(EyeTextureState& state) {
    for (int eye = 0; eye < 2; ++eye) {
        state.staged[eye] = false;
        state.stagedPose[eye] = EyeRenderPose{};
        state.stagedSource[eye] = PictureSource{};
        state.stagedBounds[eye] = kWholeTexture;
        state.stagedTime[eye] = 0;
    }
}

EyeCopyPlan PlanEyeCopies(EyeTextureState& state, const EyeFrame& frame) {
    EyeCopyPlan plan;
    if (!frame.pairValid || frame.eye > 1) {
        AddBothEyes(plan);
        ClearStagedPair(state);
        return plan;
    }
    const uint32_t eye = frame.eye;
    const uint32_t other = 1 - eye;
    if (!frame.stagedAer) {
        Add(plan, CopyDestination::EyeTexture, eye);
        // The first frame fills both, so the compositor never shows an empty eye.
        if (!state.eyeTextureValid[other] || HoldsAnEarlierEpoch(state, frame)) {
            Add(plan, CopyDestination::EyeTexture, other);
        }
        return plan;
    }
    if (frame.maxPairIntervalMs != 0 && state.staged[other]) {
        const double age = static_cast<double>(frame.nowNs - state.stagedTime[other]) / kNsPerMs;
        if (!std::isfinite(age) || age > static_cast<double>(frame.maxPairIntervalMs)) {
            ClearStagedPair(state);
            plan.overAgeDrop = true;
            plan.pairAgeMs = age;
            AddBothEyes(plan);
            return plan;
        }
    }
    Add(plan, CopyDestination::StagingTexture, eye);
    if (!(state.eyeTextureValid[0] && state.eyeTextureValid[1]) || HoldsAnEarlierEpoch(state, frame)) {
        AddBothEyes(plan);
    }
    return plan;
}

void RecordEyeCopies(EyeTextureState& state, const EyeCopyPlan& plan, const EyeFrame& frame,
                     const EyeRenderPose* pose) {
    const EyeRenderPose picturePose = pose != nullptr ? *pose : EyeRenderPose{};
    for (int eye = 0; eye < 2; ++eye) {
        if (plan.copied[eye]) {
            state.eyeTextureValid[eye] = true;
            state.eyePose[eye] = picturePose;
            state.eyeSource[eye] = frame.source;
            state.eyeBounds[eye] = frame.bounds[eye];
        }
        if (plan.stagedNow[eye]) {
            state.staged[eye] = true;
            state.stagedPose[eye] = picturePose;
            state.stagedSource[eye] = frame.source;
            state.stagedBounds[eye] = frame.bounds[eye];
            state.stagedTime[eye] = frame.nowNs;
        }
    }
}

PairOutcome CompletePair(EyeTextureState& state, const EyeFrame& frame) {
    if (!frame.stagedAer || !frame.pairValid || !state.staged[0] || !state.staged[1]) {
        return PairOutcome::None;
    }
    if (!PairIsCoherent(state)) {
        ClearStagedPair(state);
        return PairOutcome::DroppedIncoherent;
    }
    for (int eye = 0; eye < 2; ++eye) {
        state.eyeTextureValid[eye] = true;
        state.eyePose[eye] = state.stagedPose[eye];
        state.eyeSource[eye] = state.stagedSource[eye];
        state.eyeBounds[eye] = state.stagedBounds[eye];
    }
    ClearStagedPair(state);
    return PairOutcome::Published;
}

} // namespace corvane
