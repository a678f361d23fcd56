#include "interception/handler_boundary.h"

#include "core/log.h"

namespace corvane {
namespace {

constexpr uint32_t kHandlerCount = static_cast<uint32_t>(GuardedHandler::Count);

constexpr const char* kHandlerNames[kHandlerCount] = {
    "VSSetConstantBuffers",
    "VSSetShader",
    "DrawIndexed",
    "Draw",
    "Map",
    "Unmap",
    "RSSetScissorRects",
    "UpdateSubresource",
    "CreateBuffer",
    "CreateVertexShader",
    "CreateDeferredContext",
};

std::atomic<bool> g_reported[kHandlerCount] = {};

} // namespace

void ReportHandlerException(GuardedHandler handler) noexcept {
    const auto index = static_cast<uint32_t>(handler);
    if (index >= kHandlerCount || g_reported[index].exchange(true)) {
        return;
    }
    try {
        LogMessage("D3D11 %s handler raised an exception; the call was passed through", kHandlerNames[index]);
    } catch (...) {
        // The log itself failed; the game goes on without the line.
    }
}

} // namespace corvane
