// Poses: rigid transforms as a unit quaternion and a position, the scripted head and hands at a
// frame (keys interpolated linearly, relative to the LOCAL origin after any recentre), and the
// 3 x 4 matrix text every log line prints. Platform-free; called under the runtime lock.
#pragma once

#include "xr_scenario.h"

#include <string>

namespace xrsim {

struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

struct Quat {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double w = 1.0;
};

// Maps points of its own space into the space it is given in: p' = orientation * p + position.
struct Pose {
    Quat orientation;
    Vec3 position;
};

[[nodiscard]] Vec3 Rotate(const Quat& q, const Vec3& v);
// outer * inner: first inner, then outer.
[[nodiscard]] Pose Compose(const Pose& outer, const Pose& inner);
[[nodiscard]] Pose Inverse(const Pose& pose);
// R = Ry(yaw) * Rx(pitch) * Rz(roll), degrees; +y up, -z forward.
[[nodiscard]] Quat FromYawPitchRoll(double yawDegrees, double pitchDegrees, double rollDegrees);

// The 3 x 4 matrix (rotation, then translation in the last column) row by row, "%.6f" each.
[[nodiscard]] std::string MatrixText(const Pose& pose);

struct TrackedPose {
    bool tracked = false;
    Pose pose; // identity while not tracked
};

// The scripted pose at `frame` in LOCAL; not tracked inside a `lost` range.
[[nodiscard]] TrackedPose ScriptedPoseAt(const Scenario& scenario, const PoseScript& script, uint32_t frame);

// The recentre a ReferenceSpaceChangePending event announces next: the latest one at or before
// `frame` and after `announcedThrough`, or null.
[[nodiscard]] const Recentre* RecentreToAnnounce(const Scenario& scenario, uint32_t frame,
                                                 uint32_t announcedThrough);

} // namespace xrsim
