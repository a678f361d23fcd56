// What the rest of the program asks of the headset side, one seam whichever runtime serves
// it: the frame (eye pictures, poses, submission), the tracking and controller records, the
// recentre, and the optics and poses the game-thread camera code works with.
#pragma once

#include "headset/frame_request.h"
#include "headset/tracking_state.h"

#include <cstdint>
#include <string>

struct IDXGISwapChain;

namespace corvane {

class HeadsetPresenter {
public:
    virtual ~HeadsetPresenter() = default;

    // ---- Render thread ----

    // Connects when needed, waits for the frame's poses, updates head and controllers and
    // shows the frame as `request` says. True only when both eyes went out in this call.
    [[nodiscard]] virtual bool RenderFrame(IDXGISwapChain* swapChain, const FrameRequest& request) = 0;
    // After the game's real Present.
    virtual void AfterPresent() = 0;
    // True, with the text copied into `remembered`, when the failure text is set and differs
    // from it.
    [[nodiscard]] virtual bool CopyLastErrorIfChanged(std::string& remembered) = 0;
    [[nodiscard]] virtual bool TakeInputSnapshot(InputSnapshot& out) = 0;
    // First person was entered or left: a new tracking epoch.
    virtual void ResetForTransition() = 0;
    // "OpenVR" or "OpenXR": the runtime the frames went to, for the log.
    [[nodiscard]] virtual const char* RuntimeName() const = 0;

    // ---- Any thread, never waiting on a frame ----

    // The served swap chain is gone: nothing made on the game's device may keep it alive.
    virtual void OnServedSwapChainReleased() noexcept = 0;
    // The next frame centres the view again; `by` (a string that lives as long as the program)
    // names what asked, for the log.
    virtual void RequestRecentre(const char* by = "the recentre key") noexcept = 0;

    // ---- Game threads (camera and projection handlers) ----

    // False, with zeros, while no connection's optics are published. No lock, no throw.
    [[nodiscard]] virtual bool GetProjectionInfo(ProjectionInfo& out) noexcept = 0;
    [[nodiscard]] virtual bool GetEyeOffset(uint32_t eye, float& out) noexcept = 0;
    [[nodiscard]] virtual bool GetHeadPoseSample(HeadPoseSample& out) = 0;
    virtual void SetEyeRenderPose(uint32_t eye, const EyeRenderPose& pose) = 0;
};

// The headset side the program uses: the OpenVR presenter unless the program installed
// another. Defined with the OpenVR presenter, which is the one until then.
HeadsetPresenter& ActiveHeadset() noexcept;
// Null goes back to the OpenVR presenter. Set before any hook can fire.
void InstallActiveHeadset(HeadsetPresenter* presenter) noexcept;

} // namespace corvane
