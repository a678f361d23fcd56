#include "program/program_wiring_win32.h"

#include "core/log.h"
#include "game/executable_validation.h"
#include "game/guarded_memory.h"
#include "headset/headset_presenter.h"
#include "interception/device_creation_win32.h"
#include "interception/device_hooks_win32.h"
#include "interception/game_detours.h"
#include "interception/gameplay_detours.h"
#include "interception/swap_chain_hooks_win32.h"
#include "program/frame_driver.h"
#include "stereo/camera_buffer.h"
#include "stereo/final_camera.h"
#include "stereo/hud_projection_win32.h"
#include "stereo/optical_projection.h"
#include "stereo/projection_override.h"
#include "stereo/stereo_device_handlers_win32.h"
#include "stereo/stereo_state.h"

namespace corvane {
namespace {

bool RewriteCameraBufferForCurrentEye(uint8_t* data) {
    return ApplyOpticalProjection(data);
}

void SetDetourHandlers() {
    SetDetourHandler(GameDetour::FinalCamera, reinterpret_cast<uintptr_t>(&OnFinalGameplayCamera));
    SetDetourHandler(GameDetour::Projection, reinterpret_cast<uintptr_t>(&OnGameplayProjection));
}

DeviceCreationActions DeviceCreationWiring() {
    DeviceCreationActions actions;
    // The validation's breakpoints and the gameplay detours go in under one stop of the game's
    // threads; the installations below then find the detours in place and only fill the gaps.
    actions.isExecutableValidated = [] {
        SetCameraLogSink(&ForwardCameraMessage);
        SetDetourHandlers();
        const bool validated = IsExecutableValidated(&GameplayDetourCompanion());
        GetStereoState().cameraBuildSupported = validated;
        return validated;
    };
    actions.installFinalCameraDetour = [] {
        SetDetourHandlers();
        return InstallFinalCameraDetour();
    };
    actions.installProjectionDetour = [] {
        SetDetourHandlers();
        return InstallProjectionDetour();
    };
    actions.installAllocatorFallback = [] { return InstallAllocatorFallback(); };
    actions.hookDeviceContexts = [](ID3D11Device* device, ID3D11DeviceContext* immediateContext) {
        // The camera buffers the hooked contexts see are narrowed to the eye being rendered.
        SetCameraBufferRewrite(&RewriteCameraBufferForCurrentEye);
        return HookDeviceContexts(device, immediateContext);
    };
    actions.hookSwapChain = [](IDXGISwapChain* swapChain) { return HookSwapChain(swapChain); };
    return actions;
}

SwapChainHookActions SwapChainWiring() {
    SwapChainHookActions actions;
    actions.runFrame = &RunFrame;
    actions.afterPresent = [] { ActiveHeadset().AfterPresent(); };
    actions.clearThreadHudOverride = &ClearHudOverrideOnThisThread;
    actions.resetOnServedRelease = [] {
        GetStereoState().ResetOnSwapChainRelease();
        ResetHudOverride();
        ActiveHeadset().OnServedSwapChainReleased();
    };
    return actions;
}

} // namespace

void InstallProgramWiring() noexcept {
    SetDeviceCreationActions(DeviceCreationWiring());
    SetSwapChainHookActions(SwapChainWiring());
    RegisterDeviceHookHandlers(StereoDeviceHookHandlers());
}

} // namespace corvane
