#include "core/game_thread_boundary.h"

#include "fakes/fake_platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane {
namespace {

class GameThreadBoundaryTest : public testing_support::ProcessStateTest {};

TEST_F(GameThreadBoundaryTest, AnExceptionBecomesTheFallbackAndIsReportedOncePerSite) {
    BoundarySite first{BoundaryReport::DebuggerOutput, "first entry stopped an exception\n"};
    BoundarySite second{BoundaryReport::DebuggerOutput, "second entry stopped an exception\n"};

    EXPECT_EQ(7u, CallAtBoundary(first, 1167u, [] { return 7u; }));
    EXPECT_TRUE(fake::Os().debugOutput.empty());

    EXPECT_EQ(1167u, CallAtBoundary(first, 1167u, []() -> unsigned { throw std::bad_alloc(); }));
    EXPECT_EQ(1167u, CallAtBoundary(first, 1167u, []() -> unsigned { throw 42; }));
    bool ran = false;
    CallAtBoundary(second, [&] {
        ran = true;
        throw std::runtime_error("inside");
    });
    EXPECT_TRUE(ran);
    CallAtBoundary(second, [] { throw std::runtime_error("again"); });

    ASSERT_EQ(2u, fake::Os().debugOutput.size());
    EXPECT_EQ("first entry stopped an exception\n", fake::Os().debugOutput[0]);
    EXPECT_EQ("second entry stopped an exception\n", fake::Os().debugOutput[1]);
}

TEST_F(GameThreadBoundaryTest, AReportThatFailsItselfIsSwallowed) {
    BoundarySite site{BoundaryReport::DebuggerOutput, "never seen\n"};
    fake::Os().debugOutputThrows = true;
    EXPECT_EQ(-1, CallAtBoundary(site, -1, []() -> int { throw std::bad_alloc(); }));
    EXPECT_TRUE(fake::Os().debugOutput.empty());
}

TEST_F(GameThreadBoundaryTest, EachSiteReportsWhereItSaysAndOnlyThere) {
    struct Case {
        const char* name;
        BoundaryReport reportTo;
        const char* report;
        std::vector<std::string> logLines;
        size_t debuggerLines; // the log writes each of its lines there too
    };
    const Case cases[] = {
        {"log",
         BoundaryReport::Log,
         "Map handler stopped an exception",
         {"Map handler stopped an exception"},
         1},
        {"debugger output", BoundaryReport::DebuggerOutput, "export stopped an exception\n", {}, 1},
        {"silent", BoundaryReport::Silent, "never reported", {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::ResetProcessState();
        BoundarySite site{c.reportTo, c.report};
        CallAtBoundary(site, [] { throw std::runtime_error("first"); });
        CallAtBoundary(site, [] { throw std::runtime_error("second"); });

        std::vector<std::string> logged;
        for (const std::string& line : fake::LogLines()) {
            logged.push_back(testing_support::MessageOf(line));
        }
        EXPECT_EQ(c.logLines, logged);
        ASSERT_EQ(c.debuggerLines, fake::Os().debugOutput.size());
        if (c.debuggerLines == 1) {
            EXPECT_NE(std::string::npos,
                      fake::Os().debugOutput[0].find(c.logLines.empty() ? c.report : c.logLines[0]));
        }
    }
}

TEST_F(GameThreadBoundaryTest, ThePassThroughRunsOnlyWhenTheBodyRaisesAndIsContainedToo) {
    BoundarySite site{BoundaryReport::DebuggerOutput, "handler stopped an exception\n"};
    int bodies = 0;
    int passThroughs = 0;

    PassThroughAtBoundary(
        site, [&] { ++bodies; }, [&] { ++passThroughs; });
    EXPECT_EQ(1, bodies);
    EXPECT_EQ(0, passThroughs);
    EXPECT_TRUE(fake::Os().debugOutput.empty());

    PassThroughAtBoundary(
        site,
        [&] {
            ++bodies;
            throw std::runtime_error("body");
        },
        [&] { ++passThroughs; });
    EXPECT_EQ(2, bodies);
    EXPECT_EQ(1, passThroughs);

    // A pass-through that raises itself ends at the boundary; the site still reports once.
    PassThroughAtBoundary(
        site, [] { throw std::runtime_error("body"); },
        [&] {
            ++passThroughs;
            throw std::runtime_error("pass-through");
        });
    EXPECT_EQ(2, passThroughs);
    EXPECT_EQ(std::vector<std::string>{"handler stopped an exception\n"}, fake::Os().debugOutput);
}

} // namespace
} // namespace corvane
