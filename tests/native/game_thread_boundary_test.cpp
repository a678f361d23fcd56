#include "core/game_thread_boundary.h"

#include "fakes/fake_platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace corvane {
namespace {

class GameThreadBoundaryTest : public testing_support::ProcessStateTest {};

TEST_F(GameThreadBoundaryTest, AnExceptionBecomesTheFallbackAndIsReportedOncePerSite) {
    BoundarySite first{"first entry stopped an exception\n"};
    BoundarySite second{"second entry stopped an exception\n"};

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
    BoundarySite site{"never seen\n"};
    fake::Os().debugOutputThrows = true;
    EXPECT_EQ(-1, CallAtBoundary(site, -1, []() -> int { throw std::bad_alloc(); }));
    EXPECT_TRUE(fake::Os().debugOutput.empty());
}

} // namespace
} // namespace corvane
