// The edge between the game's threads and this program: every entry the game calls into
// (exports, detour and context handlers, the log) runs its body through CallAtBoundary, so
// no exception ever unwinds into game code. An exception stopped here is reported once per
// entry, and the game gets the entry's pass-through answer. Any thread.
#pragma once

#include "core/log.h"
#include "platform/os.h"

#include <atomic>
#include <utility>

namespace corvane {

// Where an entry reports the first exception stopped there.
enum class BoundaryReport {
    // A line of the program's log.
    Log,
    // The debugger output alone: for the log's own entry, which cannot report through itself,
    // and for the exports, which must not depend on the log.
    DebuggerOutput,
    // Nowhere: the entry's pass-through is the whole answer.
    Silent,
};

// One entry point: where and what it reports when an exception first stops there, and its
// once-flag. Declare it `static` at the entry; it is constant-initialised, so no guard runs
// per call.
struct BoundarySite {
    BoundaryReport reportTo;
    const char* report; // the line; for the debugger output complete with its "\n"
    std::atomic<bool> reported{false};
};

inline void ReportStoppedException(BoundarySite& site) noexcept {
    if (site.reportTo == BoundaryReport::Silent || site.report == nullptr || site.reported.exchange(true)) {
        return;
    }
    try {
        if (site.reportTo == BoundaryReport::Log) {
            LogMessage("%s", site.report);
        } else {
            OsDebugOutput(site.report);
        }
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

// For entries that hand a call on to the game: runs `body`; if an exception leaves it, runs
// `passThrough`, which gives the game its own call unless the body had already made it.
// Whatever leaves `passThrough` ends here too.
template <typename Body, typename PassThrough>
void PassThroughAtBoundary(BoundarySite& site, Body&& body, PassThrough&& passThrough) noexcept {
    try {
        std::forward<Body>(body)();
        return;
    } catch (...) {
        ReportStoppedException(site);
    }
    CallAtBoundary(site, std::forward<PassThrough>(passThrough));
}

} // namespace corvane
