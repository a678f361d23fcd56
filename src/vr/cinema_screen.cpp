#include "vr/cinema_screen.h"

#include <cmath>

namespace corvane {
namespace {

constexpr float kRadiansToDegrees = 57.29577951308232f;
constexpr float kSmallestHeading = 1e-4f;

bool Finite(const HmdMatrix34_t& m) {
    for (const auto& row : m.m) {
        for (float value : row) {
            if (!std::isfinite(value)) {
                return false;
            }
        }
    }
    return true;
}

void Store(float (&out)[4], float x, float y, float z, float w) {
    out[0] = x;
    out[1] = y;
    out[2] = z;
    out[3] = w;
}

float Dot3(const float* a, const float* b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

} // namespace

bool PlaceCinemaScreen(const HmdMatrix34_t& head, float distance, float width, float pictureAspect,
                       CinemaPlacement& placement) {
    placement = CinemaPlacement{};
    if (!Finite(head) || !std::isfinite(distance) || !std::isfinite(width) || !std::isfinite(pictureAspect) ||
        distance <= 0.0f || width <= 0.0f || pictureAspect <= 0.0f) {
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
    placement.valid = true;
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
    if (inputs.wanted && state.placement.valid) {
        state.fadeStep = state.fadeStep < kCinemaFadeFrames ? state.fadeStep + 1 : kCinemaFadeFrames;
    } else if (!inputs.wanted) {
        state.fadeStep = state.fadeStep > 0 ? state.fadeStep - 1 : 0;
    }
    frame.visible = state.fadeStep > 0 && state.placement.valid;
    frame.opacity =
        frame.visible ? static_cast<float>(state.fadeStep) / static_cast<float>(kCinemaFadeFrames) : 0.0f;
    if (frame.visible && !state.everShown) {
        state.everShown = true;
        frame.firstShown = true;
    }
    return frame;
}

bool MakeCinemaEyeConstants(const HmdMatrix34_t& head, const HmdMatrix34_t& eyeToHead, const float (&raw)[4],
                            const CinemaPlacement& placement, float opacity, float surround,
                            CinemaEyeConstants& constants) {
    if (!placement.valid || !Finite(head) || !Finite(eyeToHead)) {
        return false;
    }
    for (float tangent : raw) {
        if (!std::isfinite(tangent)) {
            return false;
        }
    }
    if (!(raw[1] > raw[0]) || !(raw[3] > raw[2])) {
        return false;
    }
    // eye = head x eyeToHead: the eye's axes are the head's rotation applied to the eye's own.
    float eye[3][4];
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            float sum = column == 3 ? head.m[row][3] : 0.0f;
            for (int k = 0; k < 3; ++k) {
                sum += head.m[row][k] * eyeToHead.m[k][column];
            }
            eye[row][column] = sum;
        }
    }
    Store(constants.eyeRight, eye[0][0], eye[1][0], eye[2][0], 0.0f);
    Store(constants.eyeUp, eye[0][1], eye[1][1], eye[2][1], 0.0f);
    Store(constants.eyeBack, eye[0][2], eye[1][2], eye[2][2], 0.0f);
    Store(constants.eyePosition, eye[0][3], eye[1][3], eye[2][3], opacity);
    Store(constants.tangents, raw[0], raw[1], raw[2], raw[3]);
    Store(constants.centre, placement.centre[0], placement.centre[1], placement.centre[2],
          placement.halfWidth);
    Store(constants.screenRight, placement.right[0], placement.right[1], placement.right[2],
          placement.halfHeight);
    Store(constants.screenUp, 0.0f, 1.0f, 0.0f, 0.0f);
    Store(constants.surround, surround, surround, surround, 1.0f);
    return true;
}

bool CinemaPictureAt(const CinemaEyeConstants& c, float tanX, float tanY, float& u, float& v) {
    // The direction (tanX, tanY, -1) of the eye, in the tracking space.
    float direction[3];
    for (int i = 0; i < 3; ++i) {
        direction[i] = c.eyeRight[i] * tanX + c.eyeUp[i] * tanY - c.eyeBack[i];
    }
    // The screen faces the player: its normal is right x up, pointing back at the head.
    const float normal[3] = {c.screenRight[1] * c.screenUp[2] - c.screenRight[2] * c.screenUp[1],
                             c.screenRight[2] * c.screenUp[0] - c.screenRight[0] * c.screenUp[2],
                             c.screenRight[0] * c.screenUp[1] - c.screenRight[1] * c.screenUp[0]};
    const float toCentre[3] = {c.centre[0] - c.eyePosition[0], c.centre[1] - c.eyePosition[1],
                               c.centre[2] - c.eyePosition[2]};
    const float facing = Dot3(direction, normal);
    if (!(std::fabs(facing) > 1e-6f)) {
        return false;
    }
    const float along = Dot3(toCentre, normal) / facing;
    if (!(along > 0.0f)) {
        return false;
    }
    const float fromCentre[3] = {direction[0] * along - toCentre[0], direction[1] * along - toCentre[1],
                                 direction[2] * along - toCentre[2]};
    const float x = Dot3(fromCentre, c.screenRight) / c.centre[3];
    const float y = Dot3(fromCentre, c.screenUp) / c.screenRight[3];
    if (!(std::fabs(x) <= 1.0f && std::fabs(y) <= 1.0f)) {
        return false;
    }
    u = (x + 1.0f) * 0.5f;
    v = (1.0f - y) * 0.5f;
    return true;
}

} // namespace corvane
