// The one catch-all every intercepted-method handler runs its own work inside, so that
// nothing the program does around a game call can throw into the game. Game threads.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvane {

// Handlers that report an escaped exception, each once per process.
enum class GuardedHandler : uint32_t {
    VSSetConstantBuffers,
    VSSetShader,
    DrawIndexed,
    Draw,
    Map,
    Unmap,
    RSSetScissorRects,
    UpdateSubresource,
    CreateBuffer,
    CreateVertexShader,
    CreateDeferredContext,
    Count,
};

// Writes "<name> handler raised an exception; the call was passed through" the first time
// the handler reports it. Never throws.
void ReportHandlerException(GuardedHandler handler) noexcept;

// Runs the program's work around a game call; false when it threw, which the handler then
// treats as "do nothing of our own and pass the call through".
template <typename Work> [[nodiscard]] bool RunGuarded(GuardedHandler handler, Work&& work) noexcept {
    try {
        work();
        return true;
    } catch (...) {
        ReportHandlerException(handler);
        return false;
    }
}

} // namespace corvane

namespace corvane {

// Runs a step whose failure changes nothing for the game (a log line): any exception is
// swallowed silently.
template <typename Step> void RunQuietly(Step&& step) noexcept {
    try {
        step();
    } catch (...) {
    }
}

} // namespace corvane
