// The edge between the game's threads and this program: every entry the game calls into
// (exports, hooks, handlers, the log) runs its body through CallAtBoundary, so no exception
// ever unwinds into game code. An exception stopped here is reported once per entry on the
// debugger output (never through the log, which is itself such an entry) and the game gets
// the entry's pass-through answer. Any thread.
#pragma once

#include "platform/os.h"

#include <atomic>
#include <utility>

namespace corvane {

// One entry point: the line reported when an exception first stops there, and its once-flag.
// Declare it `static` at the entry; it is constant-initialised, so no guard runs per call.
struct BoundarySite {
    const char* report; // complete debugger line, ending in "\n"
    std::atomic<bool> reported{false};
};

inline void ReportStoppedException(BoundarySite& site) noexcept {
    if (site.reported.exchange(true)) {
        return;
    }
    try {
        OsDebugOutput(site.report);
    } catch (...) {
        // The report is a courtesy; the game must not pay for it.
    }
}

// Runs `body`; an exception ends here and `fallback` is returned instead.
template <typename Result, typename Body>
Result CallAtBoundary(BoundarySite& site, Result fallback, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        ReportStoppedException(site);
        return fallback;
    }
}

// The same for entries without a result.
template <typename Body> void CallAtBoundary(BoundarySite& site, Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
        ReportStoppedException(site);
    }
}

} // namespace corvane
