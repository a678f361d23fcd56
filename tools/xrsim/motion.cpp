// Quaternion arithmetic and the scripted poses.
#include "motion.h"

#include <cmath>
#include <cstdio>
#include <numbers>

namespace xrsim {
namespace {

Quat Multiply(const Quat& a, const Quat& b) {
    return {a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y, a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}

Quat AboutAxis(double x, double y, double z, double degrees) {
    const double half = degrees * std::numbers::pi / 360.0;
    const double s = std::sin(half);
    return {x * s, y * s, z * s, std::cos(half)};
}

} // namespace

Vec3 Rotate(const Quat& q, const Vec3& v) {
    const Quat p{v.x, v.y, v.z, 0.0};
    const Quat r = Multiply(Multiply(q, p), Quat{-q.x, -q.y, -q.z, q.w});
    return {r.x, r.y, r.z};
}

Pose Compose(const Pose& outer, const Pose& inner) {
    const Vec3 moved = Rotate(outer.orientation, inner.position);
    return {Multiply(outer.orientation, inner.orientation),
            {moved.x + outer.position.x, moved.y + outer.position.y, moved.z + outer.position.z}};
}

Pose Inverse(const Pose& pose) {
    const Quat conjugate{-pose.orientation.x, -pose.orientation.y, -pose.orientation.z, pose.orientation.w};
    const Vec3 back = Rotate(conjugate, pose.position);
    return {conjugate, {-back.x, -back.y, -back.z}};
}

Quat FromYawPitchRoll(double yawDegrees, double pitchDegrees, double rollDegrees) {
    return Multiply(Multiply(AboutAxis(0, 1, 0, yawDegrees), AboutAxis(1, 0, 0, pitchDegrees)),
                    AboutAxis(0, 0, 1, rollDegrees));
}

std::string MatrixText(const Pose& pose) {
    const Quat& q = pose.orientation;
    const double m[3][4] = {
        {1 - 2 * (q.y * q.y + q.z * q.z), 2 * (q.x * q.y - q.z * q.w), 2 * (q.x * q.z + q.y * q.w),
         pose.position.x},
        {2 * (q.x * q.y + q.z * q.w), 1 - 2 * (q.x * q.x + q.z * q.z), 2 * (q.y * q.z - q.x * q.w),
         pose.position.y},
        {2 * (q.x * q.z - q.y * q.w), 2 * (q.y * q.z + q.x * q.w), 1 - 2 * (q.x * q.x + q.y * q.y),
         pose.position.z},
    };
    std::string text;
    for (const auto& row : m) {
        for (double value : row) {
            char number[64];
            // Through float, as the other runtime's matrices are, so both logs print alike.
            std::snprintf(number, sizeof number, "%.6f", static_cast<double>(static_cast<float>(value)));
            text += text.empty() ? "" : " ";
            text += number;
        }
    }
    return text;
}

TrackedPose ScriptedPoseAt(const Scenario& scenario, const PoseScript& script, uint32_t frame) {
    if (standin::AnyContains(script.lost, frame)) {
        return {};
    }
    const PoseKey key = standin::Interpolate(script, frame);
    Pose pose{FromYawPitchRoll(key.yawDegrees, key.pitchDegrees, key.rollDegrees),
              {key.position[0], key.position[1], key.position[2]}};
    const Recentre* recentre = standin::RecentreAt(scenario.recentres, frame);
    if (recentre != nullptr) {
        // The new origin O = translate(p) * Ry(yaw); poses are reported as inverse(O) * pose.
        const Pose origin{FromYawPitchRoll(recentre->yawDegrees, 0, 0),
                          {recentre->position[0], recentre->position[1], recentre->position[2]}};
        pose = Compose(Inverse(origin), pose);
    }
    return {true, pose};
}

const Recentre* RecentreToAnnounce(const Scenario& scenario, uint32_t frame, uint32_t announcedThrough) {
    const Recentre* due = nullptr;
    for (const Recentre& r : scenario.recentres) {
        if (r.frame > announcedThrough && r.frame <= frame) {
            due = &r;
        }
    }
    return due;
}

} // namespace xrsim
