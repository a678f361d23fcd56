// The presenter's per-frame work: connection, the frame's poses, head and controllers, the
// eye textures and their pairing, the texture bounds and the submission of both eyes.
#include "core/log.h"
#include "core/settings.h"
#include "hands/hand_scene.h"
#include "platform/os.h"
#include "vr/openvr_port.h"
#include "vr/submission_pose.h"
#include "vr/vr_presenter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace corvane {
namespace {

constexpr float kUnchanged = 1e-7f;

// A value the last line already showed: equal within 1e-7, or the same non-finite value. A
// convergence that keeps arriving as NaN is reported once, not on every frame.
bool SameAsLogged(float logged, float current) {
    if (std::isnan(logged) || std::isnan(current)) {
        return std::isnan(logged) && std::isnan(current);
    }
    if (std::isinf(logged) || std::isinf(current)) {
        return logged == current;
    }
    return std::fabs(logged - current) <= kUnchanged;
}

// An angle for a one-decimal log text: a value a hair below zero reads "0.0", not "-0.0".
double ShownDegrees(float degrees) {
    return std::fabs(degrees) < 0.05f ? 0.0 : double{degrees};
}

RawProjection RawProjectionOf(const float (&raw)[4]) {
    return RawProjection{raw[0], raw[1], raw[2], raw[3]};
}

const char* ProjectionName(PictureProjection projection) {
    switch (projection) {
    case PictureProjection::Common:
        return "OpenVR common";
    case PictureProjection::Eye:
        return "OpenVR eye";
    case PictureProjection::Game:
        break;
    }
    return "legacy";
}

void ToArray(const PictureParams& p, float (&out)[7]) {
    out[0] = p.leftScale;
    out[1] = p.leftHorizontal;
    out[2] = p.leftVertical;
    out[3] = p.rightScale;
    out[4] = p.rightHorizontal;
    out[5] = p.rightVertical;
    out[6] = p.rightRollDegrees;
}

// One eye's submission record: the texture, with the picture's head pose when it has one
// of the current tracking epoch.
struct EyeSubmission {
    VRTextureWithPose_t texture{};
    EVRSubmitFlags flags = Submit_Default;
};

EyeSubmission PrepareEyeSubmission(ID3D11Texture2D* texture, const EyeRenderPose& pose, uint64_t currentEpoch,
                                   uint32_t eye, float rightRollDegrees) {
    EyeSubmission submission;
    submission.texture.texture = Texture_t{texture, TextureType_DirectX, ColorSpace_Auto};
    if (SubmittedHeadPose(pose, currentEpoch, eye, rightRollDegrees,
                          submission.texture.mDeviceToAbsoluteTracking)) {
        submission.flags = Submit_TextureWithPose;
    }
    return submission;
}

} // namespace

EyeBoundsInput VrPresenter::EyeBoundsInputFor(uint32_t eye, float convergence,
                                              const PictureSource& source) const {
    EyeBoundsInput input;
    input.eye = eye;
    input.convergence = convergence;
    input.source = source;
    input.fovScale = GetSettings().FovScale;
    input.commonTanX = commonTan[0];
    input.commonTanY = commonTan[1];
    if (eye <= 1) {
        input.raw = RawProjectionOf(rawProjection[eye]);
    }
    if (source.renderedEye <= 1) {
        input.renderedRaw = RawProjectionOf(rawProjection[source.renderedEye]);
    }
    input.picture = pictureParams;
    return input;
}

VRTextureBounds_t VrPresenter::ComputeEyeBounds(uint32_t eye, float convergence,
                                                const PictureSource& source) const {
    return corvane::ComputeEyeBounds(EyeBoundsInputFor(eye, convergence, source));
}

void VrPresenter::CutPicture(const PictureSource& source) {
    pictureBeingCopied.source = source;
    for (uint32_t side = 0; side < 2; ++side) {
        const EyeBoundsInput input = EyeBoundsInputFor(side, pictureBeingCopied.appliedConvergence, source);
        pictureBeingCopied.fit[side] = FitPictureToEye(input);
        pictureBeingCopied.bounds[side] = corvane::ComputeEyeBounds(input);
    }
}

void VrPresenter::LogStereoBoundsOnChange(float requestedConvergence, float appliedConvergence,
                                          const VRTextureBounds_t& left, const VRTextureBounds_t& right) {
    float current[7];
    ToArray(pictureParams, current);
    const PictureProjection projection[2] = {eyeTextures.eyeSource[0].projection,
                                             eyeTextures.eyeSource[1].projection};
    bool changed = !stereoBoundsLogged.logged ||
                   !SameAsLogged(stereoBoundsLogged.requestedConvergence, requestedConvergence) ||
                   stereoBoundsLogged.projection[0] != projection[0] ||
                   stereoBoundsLogged.projection[1] != projection[1];
    for (int i = 0; i < 7; ++i) {
        changed = changed || !SameAsLogged(stereoBoundsLogged.picture[i], current[i]);
    }
    if (!changed) {
        return;
    }
    const PictureParams& p = pictureParams;
    // One word while both textures hold the same kind of picture, else the left's and the right's.
    char projectionText[32];
    if (projection[0] == projection[1]) {
        std::snprintf(projectionText, sizeof projectionText, "%s", ProjectionName(projection[0]));
    } else {
        std::snprintf(projectionText, sizeof projectionText, "%s/%s", ProjectionName(projection[0]),
                      ProjectionName(projection[1]));
    }
    LogMessage("Stereo bounds: left scale/offsets %.3f/%+.3f/%+.3f, right scale/offsets/roll "
               "%.3f/%+.3f/%+.3f/%+.2f, requested convergence %.4f, applied %.4f; projection=%s; L=(%.6f, "
               "%.6f, %.6f, %.6f) R=(%.6f, %.6f, %.6f, %.6f)",
               double{p.leftScale}, double{p.leftHorizontal}, double{p.leftVertical}, double{p.rightScale},
               double{p.rightHorizontal}, double{p.rightVertical}, double{p.rightRollDegrees},
               double{requestedConvergence}, double{appliedConvergence}, projectionText, double{left.uMin},
               double{left.vMin}, double{left.uMax}, double{left.vMax}, double{right.uMin},
               double{right.vMin}, double{right.uMax}, double{right.vMax});
    stereoBoundsLogged.requestedConvergence = requestedConvergence;
    std::copy(std::begin(current), std::end(current), stereoBoundsLogged.picture);
    stereoBoundsLogged.projection[0] = projection[0];
    stereoBoundsLogged.projection[1] = projection[1];
    stereoBoundsLogged.logged = true;
}

void VrPresenter::FillHandScene(HandScene& scene, const BackbufferDesc& desc, uint32_t eye) {
    const Settings& settings = GetSettings();
    const uint32_t side = eye == 0 ? 0 : 1;
    const EVREye openVrEye = side == 0 ? Eye_Left : Eye_Right;
    scene.headValid = head.valid != 0;
    scene.renderPoses = std::span<const PoseMatrix34>(handPoses);
    scene.controllers[0] = controllers[0];
    scene.controllers[1] = controllers[1];
    HmdMatrix34_t submittedHeadPose{};
    scene.hasSubmittedHeadPose = SubmittedHeadPose(pictureBeingCopied.pose, pictureBeingCopied.currentEpoch,
                                                   side, pictureParams.rightRollDegrees, submittedHeadPose);
    scene.submittedHeadPose = ToPoseMatrix(submittedHeadPose);
    scene.eyeToHead[side] = ToPoseMatrix(OpenVrGetEyeToHeadTransform(system, openVrEye));
    scene.projection[side] = ToMatrix4x4(OpenVrGetProjectionMatrix(system, openVrEye, kHandNearZ, kHandFarZ));
    scene.textureWidth = desc.width;
    scene.textureHeight = desc.height;
    // The texture is shown through the bounds it is submitted with, so hands drawn with the
    // eye's own projection into exactly those bounds appear where the controllers are, whatever
    // projection the game's picture around them has.
    const VRTextureBounds_t& shown = pictureBeingCopied.bounds[side];
    scene.areaUMin = shown.uMin;
    scene.areaUMax = shown.uMax;
    scene.areaVMin = shown.vMin;
    scene.areaVMax = shown.vMax;
    scene.visibleHands = settings.VisibleHands;
    scene.worldScale = settings.WorldScale;
    scene.handScale = settings.HandScale;
}

bool VrPresenter::UpdateEyeTextures(const GameFrameSource& frame, uint32_t eye, bool pairValid,
                                    const EyeRenderPose* pose, bool& published) {
    published = false;
    pictureBeingCopied.pose = pose != nullptr ? *pose : EyeRenderPose{};
    {
        std::lock_guard<std::mutex> poseLock(headPoseMutex);
        pictureBeingCopied.currentEpoch = headPoseSample.valid ? headPoseSample.referenceEpoch : 0;
    }
    BeginEyeCopies(frame);
    const Settings& settings = GetSettings();
    EyeFrame eyeFrame;
    eyeFrame.eye = eye;
    eyeFrame.pairValid = pairValid;
    eyeFrame.source = pictureBeingCopied.source;
    eyeFrame.stagedAer = settings.SpacewarpCompatibleAER;
    eyeFrame.maxPairIntervalMs = settings.AERMaxPairIntervalMs;
    eyeFrame.nowNs = OsSteadyClockNs();
    eyeFrame.currentEpoch = pictureBeingCopied.currentEpoch;
    eyeFrame.bounds[0] = pictureBeingCopied.bounds[0];
    eyeFrame.bounds[1] = pictureBeingCopied.bounds[1];

    const EyeCopyPlan plan = PlanEyeCopies(eyeTextures, eyeFrame);
    if (plan.overAgeDrop && !std::exchange(onceLines.overAgeDrop, true)) {
        LogMessage("Dropped an over-age staged AER pair (%.1f ms; limit %u ms); submitting the current frame "
                   "as mono",
                   plan.pairAgeMs, eyeFrame.maxPairIntervalMs);
    }
    for (int i = 0; i < plan.copyCount; ++i) {
        const EyeCopy& copy = plan.copies[i];
        const bool toEye = copy.destination == CopyDestination::EyeTexture;
        CopyBackbufferInto(frame, toEye ? eyeTexture[copy.eye] : stagingTexture[copy.eye],
                           toEye ? eyeTextureView[copy.eye] : stagingTextureView[copy.eye], copy.eye);
        if (toEye) {
            // An eye holding the same surround alone as before is unchanged for the runtime.
            const uint32_t side = copy.eye == 0 ? 0 : 1;
            const float surround = copiedSurroundOnly ? GetSettings().CinemaSurround.load()
                                                      : std::numeric_limits<float>::quiet_NaN();
            if (!(surround == surroundOnly[side])) {
                ++eyeContentVersion[side];
            }
            surroundOnly[side] = surround;
        }
    }
    if (!ExecuteEyeCopies()) {
        return false;
    }
    RecordEyeCopies(eyeTextures, plan, eyeFrame, pose);

    switch (CompletePair(eyeTextures, eyeFrame)) {
    case PairOutcome::Published:
        // The staging textures hold the pair: they become the eye textures, no pixel moves.
        for (int i = 0; i < 2; ++i) {
            std::swap(eyeTexture[i], stagingTexture[i]);
            std::swap(eyeTextureView[i], stagingTextureView[i]);
            ++eyeContentVersion[i];
            surroundOnly[i] = std::numeric_limits<float>::quiet_NaN();
        }
        published = true;
        break;
    case PairOutcome::DroppedIncoherent:
        if (!std::exchange(onceLines.incoherentDrop, true)) {
            LogMessage("Dropped an incoherent staged AER pair after a tracking/projection transition");
        }
        break;
    case PairOutcome::None:
        break;
    }
    return true;
}

bool VrPresenter::RenderFrame(IDXGISwapChain* swapChain, const FrameRequest& request) {
    if (swapChain == nullptr || !GetSettings().Enabled) {
        return false;
    }
    bool submitted = false;
    {
        std::lock_guard<std::mutex> lock(presenterMutex);
        submitted = RenderFrameLocked(swapChain, request);
    }
    ReleaseTargetsIfRequested();
    return submitted;
}

bool VrPresenter::RenderFrameLocked(IDXGISwapChain* swapChain, const FrameRequest& request) {
    const uint32_t eye = request.eye;
    const bool pairValid = request.pairValid;
    const float requestedConvergence = request.requestedConvergence;
    submittedThisFrame = false;
    OpenVrNoteSwapChain(swapChain);
    if (!EnsureConnected()) {
        return false;
    }

    fetchAfterPresent = true;

    // Taken even when this frame fails: a record is meant for this frame's picture only.
    EyeRenderPose framePose;
    const bool haveFramePose = TakeEyeRenderPose(std::min(eye, 1u), framePose);

    // Normally fetched after the last Present, before the game rendered this picture with them.
    if (!std::exchange(posesFetched, false) && !FetchPoses()) {
        return false;
    }
    // A held frame copies nothing: the textures, their bounds and the picture values they were
    // drawn with stay as they are, and a recentre waits for the next frame that shows a picture.
    if (request.hold && eyeTextures.eyeTextureValid[0] && eyeTextures.eyeTextureValid[1]) {
        return SubmitEyeTextures(requestedConvergence, false, false);
    }
    // Taken only once the frame has got as far as the screen: a frame that fails before leaves the
    // recentre (its line and the screen's new place) to the next one, as the reset of the
    // head-look reference it goes with has already happened.
    const char* recentredBy = pendingRecentre;

    GameFrameSource frame;
    if (!AcquireGameFrame(swapChain, frame)) {
        return false;
    }
    pictureParams = SanitisePictureParams(request.picture);
    pictureBeingCopied.appliedConvergence = AppliedConvergence(request.requestedConvergence);
    if (!EnsureEyeTargets(frame.device, frame.desc)) {
        return false;
    }
    StepCinema(request, recentredBy, frame);
    pendingRecentre = nullptr;
    CutPicture(PictureSource{request.projection, std::min(eye, 1u)});
    if (pictureBeingCopied.LaidIntoField() && !EnsureCinemaResources(frame)) {
        // The eye that needs it shows dark for the frame (see CopyBackbufferInto).
        if (!std::exchange(fieldUnavailableSaid, true)) {
            LogMessage("Mono picture cannot be laid into the other eye's field: %s", lastErrorText.c_str());
        }
        lastErrorText.clear();
    }
    // The screen is drawn from the pose its texture is submitted with, so that the compositor
    // keeps it where it stands: the picture's own render pose when it has one (the eyes of a
    // pair share it), else this frame's head pose.
    const EyeRenderPose* picturePose = haveFramePose ? &framePose : nullptr;
    EyeRenderPose screenPose;
    // A recentre in this frame leaves the render pose in the tracking epoch before it.
    if (cinemaFrame.visible && (picturePose == nullptr || recentredBy != nullptr) && head.valid != 0) {
        std::lock_guard<std::mutex> poseLock(headPoseMutex);
        if (headPoseSample.valid) {
            screenPose.valid = true;
            screenPose.referenceEpoch = headPoseSample.referenceEpoch;
            std::copy(std::begin(head.position), std::end(head.position), screenPose.position);
            std::copy(std::begin(head.orientation), std::end(head.orientation), screenPose.orientation);
            picturePose = &screenPose;
        }
    }
    pictureBeingCopied.cinema = cinemaFrame.visible && picturePose != nullptr;
    // Fading, the screen is blended into the eye textures; opaque, a runtime that composes
    // layers shows it, sampled once at the display's resolution.
    pictureBeingCopied.screenAsLayer =
        pictureBeingCopied.cinema && cinemaFrame.opacity >= 1.0f && HeadsetRuntimeOffersScreenLayer();
    pictureBeingCopied.screenUnderEyes =
        pictureBeingCopied.screenAsLayer && GetSettings().VisibleHands && head.valid != 0;
    bool published = false;
    // While the screen is wanted both eyes take every frame: it never waits for a pair. Fading
    // out, the alternate-eye cycle goes on underneath, so that pairs form as they will after.
    const bool paired = pairValid && !(pictureBeingCopied.cinema && cinemaState.wanted);
    if (!UpdateEyeTextures(frame, eye, paired, picturePose, published)) {
        return false;
    }
    screenLayer = ScreenLayer{};
    if (pictureBeingCopied.screenAsLayer) {
        const CinemaPlacement& placement = cinemaState.placement;
        screenLayer.picture = CinemaPicture();
        std::copy(std::begin(placement.centre), std::end(placement.centre), screenLayer.centre);
        std::copy(std::begin(placement.right), std::end(placement.right), screenLayer.right);
        screenLayer.halfWidth = placement.halfWidth;
        screenLayer.halfHeight = placement.halfHeight;
        screenLayer.underEyes = pictureBeingCopied.screenUnderEyes;
    }

    return SubmitEyeTextures(requestedConvergence, paired, published);
}

bool VrPresenter::SubmitEyeTextures(float requestedConvergence, bool paired, bool published) {
    uint64_t currentEpoch = 0;
    {
        std::lock_guard<std::mutex> poseLock(headPoseMutex);
        currentEpoch = headPoseSample.valid ? headPoseSample.referenceEpoch : 0;
    }
    EyeSubmission left = PrepareEyeSubmission(eyeTexture[0], eyeTextures.eyePose[0], currentEpoch, 0,
                                              pictureParams.rightRollDegrees);
    EyeSubmission right = PrepareEyeSubmission(eyeTexture[1], eyeTextures.eyePose[1], currentEpoch, 1,
                                               pictureParams.rightRollDegrees);
    if ((left.flags & right.flags & Submit_TextureWithPose) != 0 &&
        !std::exchange(onceLines.poseSubmission, true)) {
        // Over OpenXR every projection view carries its eye's pose; the line names whose
        // reprojection uses them.
        const bool openVr = std::string_view(HeadsetRuntimeLabel()) == "OpenVR";
        LogMessage("Per-eye render-pose submission active for %s reprojection",
                   openVr ? "SteamVR" : "OpenXR");
    }
    if (paired && !GetSettings().SpacewarpCompatibleAER) {
        left.flags |= Submit_FrameDiscontinuty;
        right.flags |= Submit_FrameDiscontinuty;
        if (!std::exchange(onceLines.frameDiscontinuity, true)) {
            LogMessage(
                "AER frame-discontinuity submission active; compositor motion extrapolation suppressed");
        }
    }
    if (published && !std::exchange(onceLines.completedPair, true)) {
        LogMessage(
            "Spacewarp-compatible completed-pair AER submission active; left/right textures now publish "
            "atomically");
    }

    const float applied = AppliedConvergence(requestedConvergence);
    // Each texture with the bounds it was cut with when its picture was copied: the area its hands
    // and screen fill, which may differ between the eyes.
    const VRTextureBounds_t leftBounds = eyeTextures.eyeBounds[0];
    const VRTextureBounds_t rightBounds = eyeTextures.eyeBounds[1];
    LogStereoBoundsOnChange(requestedConvergence, applied, leftBounds, rightBounds);

    HeadsetRuntimeNoteEyeContent(eyeContentVersion);
    HeadsetRuntimeShowScreenLayer(screenLayer.picture != nullptr ? &screenLayer : nullptr);
    const EVRCompositorError leftResult =
        OpenVrSubmit(compositor, Eye_Left, &left.texture, &leftBounds, left.flags);
    const EVRCompositorError rightResult =
        OpenVrSubmit(compositor, Eye_Right, &right.texture, &rightBounds, right.flags);
    if (leftResult == VRCompositorError_None && rightResult == VRCompositorError_None) {
        submittedThisFrame = true;
        lastErrorText.clear();
        return true;
    }
    lastErrorText = std::string(HeadsetRuntimeLabel()) + " Submit failed (left " +
                    std::to_string(leftResult) + ", right " + std::to_string(rightResult) + ")";
    Disconnect(OsSteadyClockNs() + kReconnectIntervalNs);
    return false;
}

bool VrPresenter::FetchPoses() {
    const EVRCompositorError waitResult =
        OpenVrWaitGetPoses(compositor, renderPoses, k_unMaxTrackedDeviceCount, nullptr, 0);
    if (waitResult != VRCompositorError_None) {
        lastErrorText =
            std::string(HeadsetRuntimeLabel()) + " WaitGetPoses failed (" + std::to_string(waitResult) + ")";
        Disconnect(OsSteadyClockNs() + kReconnectIntervalNs);
        return false;
    }
    for (uint32_t index = 0; index < k_unMaxTrackedDeviceCount; ++index) {
        handPoses[index] = ToPoseMatrix(renderPoses[index].mDeviceToAbsoluteTracking);
    }

    // Centred again before the head sample, so the sample starts the new reference.
    const char* recentredBy = recentreRequestedBy.exchange(nullptr);
    if (RuntimeResetSeatedZero()) {
        recentredBy = "the runtime's seated-zero reset";
    }
    if (recentredBy != nullptr) {
        ResetHeadTracking();
        pendingRecentre = recentredBy;
    }
    UpdateHeadState();
    uint32_t leftIndex = k_unTrackedDeviceIndexInvalid;
    uint32_t rightIndex = k_unTrackedDeviceIndexInvalid;
    FindControllerIndices(leftIndex, rightIndex);
    controllers[0] = ReadControllerState(leftIndex, true);
    controllers[1] = ReadControllerState(rightIndex, false);
    return true;
}

bool VrPresenter::RuntimeResetSeatedZero() {
    // A handful a frame: a runtime that keeps queueing must not hold the frame.
    constexpr int kEventsPerFrame = 16;
    bool reset = false;
    VREvent_t event{};
    for (int i = 0; i < kEventsPerFrame && OpenVrPollNextEvent(system, &event, sizeof(event)); ++i) {
        reset = reset || event.eventType == VREvent_SeatedZeroPoseReset;
    }
    return reset;
}

void VrPresenter::StepCinema(const FrameRequest& request, const char* recentredBy,
                             const GameFrameSource& frame) {
    const Settings& settings = GetSettings();
    CinemaInputs inputs;
    inputs.wanted = request.cinema && settings.CinemaScreen;
    inputs.recentre = recentredBy != nullptr;
    inputs.headValid = head.valid != 0;
    inputs.head = renderPoses[k_unTrackedDeviceIndex_Hmd].mDeviceToAbsoluteTracking;
    inputs.distance = settings.CinemaDistance;
    inputs.width = settings.CinemaWidth;
    inputs.pictureAspect = static_cast<float>(frame.desc.width) / static_cast<float>(frame.desc.height);
    cinemaFrame = StepCinemaScreen(cinemaState, inputs);
    // Moved or resized with the keys since it was placed: the same screen, at the new size.
    CinemaPlacement& live = cinemaState.placement;
    if (live.valid && (std::fabs(live.distance - inputs.distance) > kUnchanged ||
                       std::fabs(2.0f * live.halfWidth - inputs.width) > kUnchanged)) {
        (void)ResizeCinemaScreen(live, inputs.distance, inputs.width);
    }

    const CinemaPlacement& placement = cinemaState.placement;
    if (recentredBy != nullptr && cinemaFrame.placed) {
        LogMessage("Recentred by %s: head-look reference taken again; cinema screen facing yaw %.1f degrees",
                   recentredBy, ShownDegrees(placement.yawDegrees));
    } else if (recentredBy != nullptr) {
        LogMessage(
            "Recentred by %s: head-look reference taken again; cinema screen placed once the head pose "
            "is usable",
            recentredBy);
    }
    if (cinemaFrame.waitingForPlacement !=
            std::exchange(cinemaWaitingSaid, cinemaFrame.waitingForPlacement) &&
        cinemaFrame.waitingForPlacement) {
        LogMessage("Cinema screen hidden until a usable head pose can place it");
    }
    if (cinemaFrame.turnedOn) {
        LogMessage("Cinema screen on: the game has the camera");
    }
    if (cinemaFrame.turnedOff) {
        LogMessage("Cinema screen off: first-person stereo engaged");
    }
    if (cinemaFrame.visible && !EnsureCinemaResources(frame)) {
        cinemaFrame.visible = false;
        if (!std::exchange(cinemaUnavailableSaid, true)) {
            LogMessage("Cinema screen unavailable: %s", lastErrorText.c_str());
        }
        lastErrorText.clear();
        return;
    }
    if (cinemaFrame.firstShown) {
        LogMessage("Cinema screen shown: %.2f m wide, %.2f m away, facing yaw %.1f degrees, surround %.2f",
                   double{2.0f * placement.halfWidth}, double{settings.CinemaDistance},
                   ShownDegrees(placement.yawDegrees), double{settings.CinemaSurround});
    }
}

bool VrPresenter::CinemaForEye(const HandScene& scene, uint32_t eye, CinemaEyeConstants& constants) const {
    const uint32_t side = eye == 0 ? 0 : 1;
    // Seen from exactly the pose and optics the hands are drawn with, into the same part of the
    // texture (the scene's area): both stand where they are in the world.
    return pictureBeingCopied.cinema && scene.hasSubmittedHeadPose &&
           MakeCinemaEyeConstants(scene.submittedHeadPose, scene.eyeToHead[side], scene.projection[side],
                                  cinemaState.placement, cinemaFrame.opacity, GetSettings().CinemaSurround,
                                  constants);
}

void VrPresenter::RequestRecentre(const char* by) noexcept {
    recentreRequestedBy.store(by != nullptr ? by : "the recentre key");
}

void VrPresenter::AfterPresent() {
    {
        std::lock_guard<std::mutex> lock(presenterMutex);
        if (compositor != nullptr && submittedThisFrame) {
            OpenVrPostPresentHandoff(compositor);
        }
        submittedThisFrame = false;
        // The next frame's poses, as late as possible before the game renders with them and
        // after this frame's pictures went out: a picture never waits behind the runtime's wait
        // for the next frame, and the pose it carries is the one of the wait just before it.
        if (std::exchange(fetchAfterPresent, false) && system != nullptr && compositor != nullptr) {
            posesFetched = FetchPoses();
        }
    }
    ReleaseTargetsIfRequested();
}

void VrPresenter::OnServedSwapChainReleased() noexcept {
    releaseTargetsRequested.store(true);
    ReleaseTargetsIfRequested();
}

void VrPresenter::ReleaseTargetsIfRequested() noexcept {
    // The request is read again after each attempt: one made while this thread held the lock
    // and was letting it go must still find a taker.
    while (releaseTargetsRequested.load()) {
        std::unique_lock<std::mutex> lock(presenterMutex, std::try_to_lock);
        if (!lock.owns_lock()) {
            return; // the holder runs this again once it has let go
        }
        if (releaseTargetsRequested.exchange(false)) {
            ReleaseEyeTargets();
            // What the runtime made on the game's device goes too (an OpenXR session holds it).
            HeadsetRuntimeReleaseDeviceObjects();
        }
    }
}

} // namespace corvane
