// The scenario line reading both stand-in runtimes share: frame ranges, unsigned numbers in the
// form each runtime takes, a refused line reported by its number without a trace in the record,
// and pose keys interpolated between and held beyond. Expected values are worked out by hand.
#include "standin/keyframes.h"
#include "standin/scenario_lines.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace standin {
namespace {

std::string ErrorOf(LineWords& words, uint64_t (*read)(LineWords&)) {
    try {
        read(words);
    } catch (const LineError& error) {
        return error.what();
    }
    return "no error";
}

TEST(SharedScenarioLines, RangesAreOneFrameASpanOrOpen) {
    LineWords words("7 3..5 10..");
    FrameRange one = words.Range();
    FrameRange span = words.Range();
    FrameRange open = words.Range();
    EXPECT_EQ(one.first, 7u);
    EXPECT_EQ(one.last, 7u);
    EXPECT_EQ(span.first, 3u);
    EXPECT_EQ(span.last, 5u);
    EXPECT_EQ(open.first, 10u);
    EXPECT_EQ(open.last, 0xFFFFFFFFu);
    EXPECT_NO_THROW(words.Finish());

    LineWords backwards("5..3");
    EXPECT_EQ(ErrorOf(backwards, [](LineWords& w) -> uint64_t { return w.Range().first; }),
              "empty range '5..3'");
}

TEST(SharedScenarioLines, HexOnlyWhereTheRuntimeTakesIt) {
    LineWords hex("0x1F 010", UnsignedForm::DecimalOrHex);
    EXPECT_EQ(hex.Unsigned("mask"), 31u);
    EXPECT_EQ(hex.Unsigned("mask"), 10u); // a leading zero is not octal

    LineWords decimal("0x1F");
    EXPECT_EQ(ErrorOf(decimal, [](LineWords& w) { return w.Unsigned("mask"); }), "bad mask '0x1F'");
}

TEST(SharedScenarioLines, ARefusedLineIsReportedAndLeavesNothingBehind) {
    std::vector<uint32_t> record;
    std::vector<LineProblem> problems =
        ApplyLines("1\n2 3 # two words, one read\n\n  # comment only\n4..2\n5", record, UnsignedForm::Decimal,
                   [](std::vector<uint32_t>& values, LineWords& words) {
                       values.push_back(words.Unsigned32("value"));
                       words.Finish();
                   });
    EXPECT_EQ(record, (std::vector<uint32_t>{1, 5}));
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].line, 2);
    EXPECT_EQ(problems[0].message, "unexpected '3'");
    EXPECT_EQ(problems[1].line, 5);
    EXPECT_EQ(problems[1].message, "bad value '4..2'");
}

TEST(SharedScenarioLines, KeysInterpolateBetweenAndHoldBeyond) {
    PoseScript script;
    script.keys.push_back(PoseKey{}); // a default key, replaced by the first key line
    LineWords later("20 10 1 2 90 0 0");
    LineWords earlier("10 0 1 2 0 0 0");
    InsertKey(script, ReadKey(later));
    InsertKey(script, ReadKey(earlier));
    ASSERT_EQ(script.keys.size(), 2u);
    EXPECT_EQ(script.keys[0].frame, 10u);

    PoseKey middle = Interpolate(script, 15);
    EXPECT_EQ(middle.frame, 15u);
    EXPECT_FLOAT_EQ(middle.position[0], 5.0f);
    EXPECT_FLOAT_EQ(middle.position[2], 2.0f);
    EXPECT_FLOAT_EQ(middle.yawDegrees, 45.0f);
    EXPECT_FLOAT_EQ(Interpolate(script, 0).position[0], 0.0f);
    EXPECT_FLOAT_EQ(Interpolate(script, 99).yawDegrees, 90.0f);
}

} // namespace
} // namespace standin
