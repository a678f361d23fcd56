#include "stereo/stereo_device_handlers_win32.h"

#include "stereo/camera_buffer_win32.h"
#include "stereo/hud_projection_win32.h"

namespace corvane {

DeviceHookHandlers StereoDeviceHookHandlers() noexcept {
    DeviceHookHandlers handlers;
    // Record order: VSSetConstantBuffers, VSSetShader, DrawIndexed, Draw, Map, Unmap,
    // RSSetScissorRects, UpdateSubresource.
    handlers.context.entries[0] = reinterpret_cast<void*>(&OnVSSetConstantBuffers);
    handlers.context.entries[1] = reinterpret_cast<void*>(&OnVSSetShader);
    handlers.context.entries[2] = reinterpret_cast<void*>(&OnDrawIndexed);
    handlers.context.entries[3] = reinterpret_cast<void*>(&OnDraw);
    handlers.context.entries[4] = reinterpret_cast<void*>(&OnMap);
    handlers.context.entries[5] = reinterpret_cast<void*>(&OnUnmap);
    handlers.context.entries[6] = reinterpret_cast<void*>(&OnRSSetScissorRects);
    handlers.context.entries[7] = reinterpret_cast<void*>(&OnUpdateSubresource);
    handlers.captureHudProjection = &CaptureHudProjection;
    handlers.identifyHudShader = &IdentifyHudShader;
    return handlers;
}

} // namespace corvane
