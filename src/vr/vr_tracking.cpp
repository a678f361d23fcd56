// Head and controller tracking: the head pose relative to its epoch's reference, the
// per-eye render poses, and the controller records read from the frame's poses.
#include "vr/openvr_port.h"
#include "vr/vr_presenter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace corvane {
namespace {

Quaternion ToQuaternion(const float q[4]) {
    return {q[0], q[1], q[2], q[3]};
}

void Store(const Quaternion& q, float out[4]) {
    out[0] = q.x;
    out[1] = q.y;
    out[2] = q.z;
    out[3] = q.w;
}

void Store(const Vector3& v, float out[3]) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

void StoreMatrix(const HmdMatrix34_t& m, float out[12]) {
    std::memcpy(out, m.m, sizeof(m.m));
}

// A runtime value outside the axis range is clamped; one that is not a number is no input.
float ClampAxis(float value, float low, float high) {
    return std::isfinite(value) ? std::clamp(value, low, high) : 0.0f;
}

// The pose of a device as position and orientation, when the runtime's matrix is usable.
bool ReadPose(const HmdMatrix34_t& m, Vector3& position, Quaternion& orientation) {
    if (!IsFinite(m)) {
        return false;
    }
    position = MatrixTranslation(m);
    orientation = MatrixToQuaternion(m);
    return NormalizeQuaternion(orientation);
}

} // namespace

void VrPresenter::ResetHeadTracking() {
    std::scoped_lock locks(headPoseMutex, renderPoseMutex);
    trackingEpoch.fetch_add(1);
    headPoseSample = HeadPoseSample{};
    headReference.valid = false;
    headReference.orientation = Quaternion{};
    headReference.position = Vector3{};
    publishedRenderPoses[0] = EyeRenderPose{};
    publishedRenderPoses[1] = EyeRenderPose{};
}

void VrPresenter::ResetForTransition() {
    ResetHeadTracking();
}

void VrPresenter::UpdateHeadRelativePose(Quaternion orientation, const Vector3& position) {
    if (!IsFinite(position) || !NormalizeQuaternion(orientation)) {
        ResetHeadTracking();
        return;
    }
    std::lock_guard<std::mutex> lock(headPoseMutex);
    const uint64_t epoch = trackingEpoch.load();
    if (!headReference.valid || headReference.epoch != epoch) {
        headReference.orientation = orientation;
        headReference.position = position;
        headReference.valid = true;
        headReference.epoch = epoch;
    }

    Quaternion relativeOrientation =
        MultiplyQuaternions(ConjugateQuaternion(headReference.orientation), orientation);
    if (NormalizeQuaternion(relativeOrientation)) {
        const Vector3 displacement{position.x - headReference.position.x,
                                   position.y - headReference.position.y,
                                   position.z - headReference.position.z};
        const Vector3 relativePosition =
            DisplacementInReferenceHeading(displacement, headReference.orientation);
        if (IsFinite(relativePosition)) {
            HeadPoseSample sample;
            sample.valid = true;
            sample.referenceEpoch = headReference.epoch;
            Store(relativeOrientation, sample.relativeOrientation);
            Store(relativePosition, sample.relativePosition);
            Store(position, sample.absolutePosition);
            Store(headReference.position, sample.referencePosition);
            Store(headReference.orientation, sample.referenceOrientation);
            headPoseSample = sample;
            return;
        }
    }
    // The next good pose becomes a new reference within the same epoch.
    headPoseSample = HeadPoseSample{};
    headReference.valid = false;
    headReference.position = Vector3{};
}

void VrPresenter::UpdateHeadState() {
    const TrackedDevicePose_t& pose = renderPoses[k_unTrackedDeviceIndex_Hmd];
    Vector3 position;
    Quaternion orientation;
    // A pose the runtime calls valid but fills with unusable numbers counts as lost tracking:
    // it must not reach the camera or the hands.
    if (pose.bPoseIsValid && pose.bDeviceIsConnected &&
        ReadPose(pose.mDeviceToAbsoluteTracking, position, orientation)) {
        UpdateHeadRelativePose(orientation, position);
        head.valid = 1;
        Store(position, head.position);
        Store(orientation, head.orientation);
        StoreMatrix(pose.mDeviceToAbsoluteTracking, head.deviceToTracking);
        return;
    }
    head = HeadState{};
    ResetHeadTracking();
}

void VrPresenter::FindControllerIndices(uint32_t& left, uint32_t& right) {
    left = OpenVrGetTrackedDeviceIndexForControllerRole(system, TrackedControllerRole_LeftHand);
    right = OpenVrGetTrackedDeviceIndexForControllerRole(system, TrackedControllerRole_RightHand);
    for (uint32_t i = 0; i < k_unMaxTrackedDeviceCount; ++i) {
        if (i == left || i == right || !OpenVrIsTrackedDeviceConnected(system, i) ||
            OpenVrGetTrackedDeviceClass(system, i) != TrackedDeviceClass_Controller) {
            continue;
        }
        const ETrackedControllerRole role = OpenVrGetControllerRoleForTrackedDeviceIndex(system, i);
        if (role == TrackedControllerRole_LeftHand && left == k_unTrackedDeviceIndexInvalid) {
            left = i;
        } else if (role == TrackedControllerRole_RightHand && right == k_unTrackedDeviceIndexInvalid) {
            right = i;
        } else if (left == k_unTrackedDeviceIndexInvalid) {
            left = i;
        } else if (right == k_unTrackedDeviceIndexInvalid) {
            right = i;
        }
    }
}

ControllerState VrPresenter::ReadControllerState(uint32_t index, bool isLeftHand) {
    ControllerState state;
    state.isLeftHand = isLeftHand ? 1 : 0;
    state.deviceIndex = index;
    if (index >= k_unMaxTrackedDeviceCount || !OpenVrIsTrackedDeviceConnected(system, index)) {
        return state;
    }
    state.connected = 1;
    const TrackedDevicePose_t& pose = renderPoses[index];
    Vector3 position;
    Quaternion orientation;
    if (pose.bPoseIsValid && ReadPose(pose.mDeviceToAbsoluteTracking, position, orientation)) {
        state.poseValid = 1;
        Store(position, state.position);
        Store(orientation, state.orientation);
        StoreMatrix(pose.mDeviceToAbsoluteTracking, state.deviceToTracking);
    }

    VRControllerState_t input{};
    if (!OpenVrGetControllerState(system, index, &input, sizeof(VRControllerState_t))) {
        return state;
    }
    state.buttonsPressed = input.ulButtonPressed;
    state.buttonsTouched = input.ulButtonTouched;
    state.grip = (input.ulButtonPressed & (uint64_t{1} << k_EButton_Grip)) != 0 ? 1.0f : 0.0f;

    bool stickTaken = false;
    for (uint32_t axis = 0; axis < kControllerStateAxisCount; ++axis) {
        ETrackedPropertyError error = TrackedProp_Success;
        const int32_t type = OpenVrGetInt32TrackedDeviceProperty(
            system, index, static_cast<ETrackedDeviceProperty>(Prop_Axis0Type_Int32 + axis), &error);
        if (error != TrackedProp_Success) {
            continue;
        }
        const VRControllerAxis_t& value = input.rAxis[axis];
        if (type == k_eControllerAxis_Trigger) {
            state.trigger = ClampAxis(value.x, 0.0f, 1.0f);
        } else if ((type == k_eControllerAxis_TrackPad || type == k_eControllerAxis_Joystick) &&
                   !stickTaken) {
            state.stickX = ClampAxis(value.x, -1.0f, 1.0f);
            state.stickY = ClampAxis(value.y, -1.0f, 1.0f);
            stickTaken = true;
        }
    }
    return state;
}

bool VrPresenter::TakeInputSnapshot(InputSnapshot& out) {
    std::lock_guard<std::mutex> lock(presenterMutex);
    out.left = controllers[0];
    out.right = controllers[1];
    out.head = head;
    return head.valid != 0 || controllers[0].connected != 0 || controllers[1].connected != 0;
}

bool VrPresenter::GetHeadPoseSample(HeadPoseSample& out) {
    std::lock_guard<std::mutex> lock(headPoseMutex);
    out = headPoseSample;
    return out.valid;
}

void VrPresenter::SetEyeRenderPose(uint32_t eye, const EyeRenderPose& pose) {
    if (eye > 1) {
        return;
    }
    EyeRenderPose stored;
    Quaternion orientation = ToQuaternion(pose.orientation);
    const Vector3 position{pose.position[0], pose.position[1], pose.position[2]};
    if (pose.valid && pose.referenceEpoch != 0 && IsFinite(position) && NormalizeQuaternion(orientation)) {
        stored = pose;
        Store(orientation, stored.orientation);
    }
    std::lock_guard<std::mutex> lock(renderPoseMutex);
    publishedRenderPoses[eye] = stored;
}

bool VrPresenter::TakeEyeRenderPose(uint32_t eye, EyeRenderPose& out) {
    out = EyeRenderPose{};
    if (eye > 1) {
        return false;
    }
    std::scoped_lock locks(headPoseMutex, renderPoseMutex);
    const EyeRenderPose published = publishedRenderPoses[eye];
    publishedRenderPoses[eye] = EyeRenderPose{};
    if (!published.valid || !headPoseSample.valid ||
        published.referenceEpoch != headPoseSample.referenceEpoch) {
        return false;
    }
    out = published;
    return true;
}

} // namespace corvane
