#include "stereo/projection_override.h"

#include "core/game_thread_boundary.h"
#include "core/log.h"
#include "interception/game_detours.h"
#include "stereo/handler_reads.h"
#include "stereo/once_flags.h"
#include "stereo/stereo_state.h"
#include "headset/headset_presenter.h"

#include <atomic>
#include <cmath>
#include <numbers>

namespace corvane {
namespace {

// A handler that fails hands the game its own projection call.
BoundarySite g_projectionSite{BoundaryReport::Silent, nullptr};

constexpr double kAngleUnitsPerTurn = 65536.0;
constexpr long kSmallestAngle = 1;
constexpr long kLargestAngle = 32767; // just under half a turn
constexpr uint32_t kGameAngleMask = 0xFFFF;

std::atomic<bool> g_overrideLogged{false};

double UnitsToDegrees(double units) noexcept {
    return units * 360.0 / kAngleUnitsPerTurn;
}

template <typename CallGame>
void ReplaceAndCall(uintptr_t returnAddress, uint32_t angle, float aspect, CallGame& callGame) {
    const uintptr_t expectedReturn = DetourExpectedReturn(GameDetour::Projection);
    // While the game has the camera its picture goes on the cinema screen as the game made it.
    if (expectedReturn == 0 || returnAddress != expectedReturn || !ReadCameraBuildSupported() ||
        !ReadSettingEnabled() || !ReadStereoRendering()) {
        callGame(angle, aspect);
        return;
    }
    ProjectionInfo info;
    if (!ActiveHeadset().GetProjectionInfo(info)) {
        callGame(angle, aspect);
        return;
    }
    const float fovScale = ReadFovScale();
    RenderFrustum frustum;
    if (!ComputeRenderFrustum(info.commonTanX, info.commonTanY, fovScale, frustum)) {
        callGame(angle, aspect);
        return;
    }
    callGame(frustum.angle, frustum.aspect);
    GetStereoState().projectionHookSeen.store(true);
    if (TakeOnce(g_overrideLogged)) {
        const uint32_t gameUnits = angle & kGameAngleMask;
        LogMessage(
            "Gameplay projection override active: original angle=%u (%.3f deg), aspect=%.6f; effective "
            "angle=%u (%.3f deg), aspect=%.6f; raw common tan=(%.6f, %.6f), render tan=(%.6f, %.6f), FOV "
            "scale=%.8f",
            gameUnits, UnitsToDegrees(gameUnits), double{aspect}, frustum.angle,
            frustum.verticalFov * 180.0 / std::numbers::pi, double{frustum.aspect}, double{info.commonTanX},
            double{info.commonTanY}, frustum.tanX, frustum.tanY, double{fovScale});
    }
}

} // namespace

bool ComputeRenderFrustum(float commonTanX, float commonTanY, float fovScale,
                          RenderFrustum& frustum) noexcept {
    const double guard = double{kRenderGuardFactor};
    const double tanY = double{commonTanY} * guard * double{fovScale};
    const double tanX = double{commonTanX} * guard * double{fovScale};
    const double verticalFov = 2.0 * std::atan(tanY);
    if (!std::isfinite(verticalFov) || verticalFov <= 0.0 || verticalFov >= std::numbers::pi) {
        return false;
    }
    const double aspect = tanX / tanY;
    if (!std::isfinite(aspect) || aspect <= 0.0) {
        return false;
    }
    long angle = std::lround(verticalFov * kAngleUnitsPerTurn / (2.0 * std::numbers::pi));
    angle = angle < kSmallestAngle ? kSmallestAngle : (angle > kLargestAngle ? kLargestAngle : angle);
    frustum.angle = static_cast<uint32_t>(angle);
    frustum.aspect = static_cast<float>(aspect);
    frustum.verticalFov = verticalFov;
    frustum.tanX = tanX;
    frustum.tanY = tanY;
    return true;
}

__attribute__((noinline)) void OnGameplayProjection(uint32_t angle, float aspect, double arg3,
                                                    double arg4) noexcept {
    HandleGameplayProjection(reinterpret_cast<uintptr_t>(__builtin_return_address(0)), angle, aspect, arg3,
                             arg4);
}

void HandleGameplayProjection(uintptr_t returnAddress, uint32_t angle, float aspect, double arg3,
                              double arg4) noexcept {
    const auto routine = reinterpret_cast<ProjectionRoutine>(DetourTrampoline(GameDetour::Projection));
    if (routine == nullptr) {
        return;
    }
    bool routineCalled = false;
    auto callGame = [&](uint32_t angleArgument, float aspectArgument) {
        routineCalled = true;
        routine(angleArgument, aspectArgument, arg3, arg4);
    };
    PassThroughAtBoundary(
        g_projectionSite, [&] { ReplaceAndCall(returnAddress, angle, aspect, callGame); },
        [&] {
            if (!routineCalled) {
                routine(angle, aspect, arg3, arg4);
            }
        });
}

void ResetProjectionOverrideOnceLine() noexcept {
    g_overrideLogged.store(false);
}

} // namespace corvane
