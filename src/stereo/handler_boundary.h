// The one boundary every game-code handler of the stereo camera runs behind: nothing it does
// may throw into the game. Game threads call it; it holds no state.
#pragma once

#include <utility>

namespace corvane {

// Runs `body`; if anything escapes it, runs `passThrough` instead, which hands the game its
// own call when the body had not yet made it. Whatever escapes `passThrough` ends here too.
template <typename Body, typename PassThrough>
void RunHandlerBoundary(Body&& body, PassThrough&& passThrough) noexcept {
    try {
        std::forward<Body>(body)();
        return;
    } catch (...) {
    }
    try {
        std::forward<PassThrough>(passThrough)();
    } catch (...) {
    }
}

} // namespace corvane
