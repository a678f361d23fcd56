#include "interception/gameplay_detours.h"

#include "game/guarded_memory.h"
#include "interception/game_detours.h"

#include <algorithm>

namespace corvane {
namespace {

// Between `prepare` and `finish` of the one validation run; the device-creation thread only.
struct Batched {
    PreparedDetour finalCamera;
    PreparedDetour projection;
    bool finalCameraPrepared = false;
    bool projectionPrepared = false;
};
Batched g_batched;

bool Prepare(GameDetour detour, PreparedDetour& prepared) noexcept {
    DetourDescription description = DescribeDetour(detour);
    description.handler = DetourHandler(detour);
    return PrepareDetour(description, prepared);
}

size_t PrepareSites(std::span<CodeSite> room) noexcept {
    g_batched = Batched{};
    if (room.size() < 2 || !Prepare(GameDetour::FinalCamera, g_batched.finalCamera)) {
        // The device creation tries the final camera on its own and then the allocator fallback.
        return 0;
    }
    g_batched.finalCameraPrepared = true;
    room[0] = g_batched.finalCamera.Site();
    g_batched.projectionPrepared = Prepare(GameDetour::Projection, g_batched.projection);
    if (!g_batched.projectionPrepared) {
        return 1;
    }
    room[1] = g_batched.projection.Site();
    return 2;
}

void FinishSites(std::span<const CodePatchResult> results) noexcept {
    const auto result = [&](size_t index) {
        return index < results.size() ? results[index] : CodePatchResult::WriteFailed;
    };
    const bool finalCamera = g_batched.finalCameraPrepared && FinishDetour(g_batched.finalCamera, result(0));
    const bool projection = g_batched.projectionPrepared && FinishDetour(g_batched.projection, result(1));
    // The projection serves only a final camera: without one the game keeps its own. A jump
    // that cannot be taken back stays, passing every call through, and the device creation, which
    // tries the final camera again, finds it in place should that succeed.
    if (projection && !finalCamera && !TakeBackDetour(g_batched.projection)) {
        CameraLog("Common-frustum projection jump could not be taken back; it passes the game's projection "
                  "through unchanged.");
    }
    g_batched = Batched{};
}

constexpr CodeSiteCompanion kCompanion{&PrepareSites, &FinishSites};

} // namespace

const CodeSiteCompanion& GameplayDetourCompanion() noexcept {
    return kCompanion;
}

} // namespace corvane
