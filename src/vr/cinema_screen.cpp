#include "vr/cinema_screen.h"

#include "hands/hand_matrix.h"
#include "vr/pose_math.h"

#include <cmath>

namespace corvane {
namespace {

constexpr float kRadiansToDegrees = 57.29577951308232f;
constexpr float kSmallestHeading = 1e-4f;

void Store(float (&out)[4], float x, float y, float z, float w) {
    out[0] = x;
    out[1] = y;
    out[2] = z;
    out[3] = w;
}

} // namespace

bool PlaceCinemaScreen(const HmdMatrix34_t& head, float distance, float width, float pictureAspect,
                       CinemaPlacement& placement) {
    placement = CinemaPlacement{};
    if (!IsFinite(head) || !std::isfinite(distance) || !std::isfinite(width) ||
        !std::isfinite(pictureAspect) || distance <= 0.0f || width <= 0.0f || pictureAspect <= 0.0f) {
        return false;
    }
    // The head looks along its -z axis; only the heading counts, so the screen stands level.
    const float forwardX = -head.m[0][2];
    const float forwardZ = -head.m[2][2];
    const float length = std::hypot(forwardX, forwardZ);
    if (!(length > kSmallestHeading)) {
        return false;
    }
    const float x = forwardX / length;
    const float z = forwardZ / length;
    placement.centre[0] = head.m[0][3] + x * distance;
    placement.centre[1] = head.m[1][3];
    placement.centre[2] = head.m[2][3] + z * distance;
    placement.right[0] = -z;
    placement.right[1] = 0.0f;
    placement.right[2] = x;
    placement.halfWidth = 0.5f * width;
    placement.halfHeight = 0.5f * width / pictureAspect;
    placement.yawDegrees = std::atan2(-x, -z) * kRadiansToDegrees;
    placement.origin[0] = head.m[0][3];
    placement.origin[1] = head.m[1][3];
    placement.origin[2] = head.m[2][3];
    placement.distance = distance;
    placement.valid = true;
    return true;
}

bool ResizeCinemaScreen(CinemaPlacement& placement, float distance, float width) {
    if (!placement.valid || !std::isfinite(distance) || !std::isfinite(width) || distance <= 0.0f ||
        width <= 0.0f || !(placement.halfWidth > 0.0f)) {
        return false;
    }
    // The heading it faces, from its width axis (right = (-z, 0, x) for the heading (x, z)).
    const float x = placement.right[2];
    const float z = -placement.right[0];
    const float aspect = placement.halfWidth / placement.halfHeight;
    placement.centre[0] = placement.origin[0] + x * distance;
    placement.centre[2] = placement.origin[2] + z * distance;
    placement.distance = distance;
    placement.halfWidth = 0.5f * width;
    placement.halfHeight = 0.5f * width / aspect;
    return true;
}

CinemaFrame StepCinemaScreen(CinemaScreenState& state, const CinemaInputs& inputs) {
    CinemaFrame frame;
    frame.turnedOn = inputs.wanted && !state.wanted;
    frame.turnedOff = !inputs.wanted && state.wanted;
    state.wanted = inputs.wanted;
    // The game took the camera again: the screen goes where the player looks now.
    if (frame.turnedOn || inputs.recentre) {
        state.placePending = true;
    }
    if (state.placePending && inputs.headValid) {
        CinemaPlacement placement;
        if (PlaceCinemaScreen(inputs.head, inputs.distance, inputs.width, inputs.pictureAspect, placement)) {
            state.placement = placement;
            state.placePending = false;
            frame.placed = true;
        }
    }
    // Until a head pose can place it, a screen the game took the camera for is hidden rather than
    // shown where it stood for an earlier take-over.
    if (frame.turnedOn && state.placePending) {
        state.placement.valid = false;
        state.fadeStep = 0;
    }
    if (inputs.wanted && state.placement.valid) {
        state.fadeStep = state.fadeStep < kCinemaFadeFrames ? state.fadeStep + 1 : kCinemaFadeFrames;
    } else if (!inputs.wanted) {
        state.fadeStep = state.fadeStep > 0 ? state.fadeStep - 1 : 0;
    }
    frame.visible = state.fadeStep > 0 && state.placement.valid;
    frame.waitingForPlacement = inputs.wanted && state.placePending;
    frame.opacity =
        frame.visible ? static_cast<float>(state.fadeStep) / static_cast<float>(kCinemaFadeFrames) : 0.0f;
    if (frame.visible && !state.everShown) {
        state.everShown = true;
        frame.firstShown = true;
    }
    return frame;
}

bool MakeCinemaEyeConstants(const PoseMatrix34& head, const PoseMatrix34& eyeToHead,
                            const Matrix4x4& projection, const CinemaPlacement& placement, float opacity,
                            float surround, CinemaEyeConstants& constants) {
    const Matrix44 headToTracking = Matrix34To44(head);
    const Matrix44 eyeToHeadMatrix = Matrix34To44(eyeToHead);
    if (!placement.valid || !IsFinite(headToTracking) || !IsFinite(eyeToHeadMatrix)) {
        return false;
    }
    const Matrix44 eye = MatrixMultiply(headToTracking, eyeToHeadMatrix);
    const Matrix44 viewProjection = MatrixMultiply(Matrix44Copy(projection), RigidInverse(eye));
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            const float value = viewProjection.m[row][column];
            if (!std::isfinite(value)) {
                return false;
            }
            constants.viewProjection[row * 4 + column] = value;
        }
    }
    Store(constants.centre, placement.centre[0], placement.centre[1], placement.centre[2],
          placement.halfWidth);
    Store(constants.right, placement.right[0], placement.right[1], placement.right[2], placement.halfHeight);
    Store(constants.up, 0.0f, 1.0f, 0.0f, opacity);
    Store(constants.surround, surround, surround, surround, 1.0f);
    return true;
}

bool CinemaPointOnEye(const CinemaEyeConstants& c, float u, float v, float& ndcX, float& ndcY) {
    const float x = (2.0f * u - 1.0f) * c.centre[3];
    const float y = (1.0f - 2.0f * v) * c.right[3];
    const float point[4] = {c.centre[0] + c.right[0] * x + c.up[0] * y,
                            c.centre[1] + c.right[1] * x + c.up[1] * y,
                            c.centre[2] + c.right[2] * x + c.up[2] * y, 1.0f};
    float clip[4];
    for (int row = 0; row < 4; ++row) {
        clip[row] = 0.0f;
        for (int k = 0; k < 4; ++k) {
            clip[row] += c.viewProjection[row * 4 + k] * point[k];
        }
    }
    if (!(clip[3] > 0.0f)) {
        return false;
    }
    ndcX = clip[0] / clip[3];
    ndcY = clip[1] / clip[3];
    return true;
}

} // namespace corvane
