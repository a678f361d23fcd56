// Number text of the INI file: the accepted syntax of the C library's conversion in the "C"
// locale, and the write-back formats, whatever locale the process runs in.
#include "core/ini_number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cwchar>
#include <string>

namespace corvane {
namespace {

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        narrow.push_back(static_cast<char>(*p));
    }
    return narrow;
}

TEST(IniNumber, ReadsTheLongestNumberAtTheStartOfTheText) {
    struct Case {
        const wchar_t* text;
        float value; // meaningful when parsed
    };
    const Case numbers[] = {
        {L"0.65", 0.65f},
        {L"  \t-0.095", -0.095f},
        {L"+.5", 0.5f},
        {L"5.", 5.0f},
        {L"1.5abc", 1.5f},
        {L"1,5", 1.0f}, // a comma is no decimal point here
        {L"-1.5e2x", -150.0f},
        {L"2E-1", 0.2f},
        {L"1e", 1.0f}, // an exponent without digits is not part of the number
        {L"1e+", 1.0f},
        {L"7 8", 7.0f},
        {L"0x1p-2", 0.25f},
        {L"-0X.8", -0.5f},
        {L"0x", 0.0f}, // the 0 before a prefix without digits
        {L"0xg", 0.0f},
        {L"0x-1", 0.0f},
        {L"1e-50", 0.0f}, // below the smallest float
        {L"1e-5000", 0.0f},
        {L"1.4e-45", 1.4e-45f},
        {L"3.4028235e38", 3.4028235e38f},
        {L"00012", 12.0f},
    };
    for (const Case& c : numbers) {
        SCOPED_TRACE(Narrow(c.text));
        float value = 99.0f;
        ASSERT_TRUE(ParseIniNumber(c.text, value));
        EXPECT_EQ(c.value, value);
    }
    const wchar_t* const notFinite[] = {L"inf", L"-Infinity", L"nan", L"NaN(12)", L"1e39", L"-1e5000"};
    for (const wchar_t* text : notFinite) {
        SCOPED_TRACE(Narrow(text));
        float value = 0.0f;
        ASSERT_TRUE(ParseIniNumber(text, value));
        EXPECT_FALSE(std::isfinite(value));
    }
    EXPECT_TRUE(std::signbit([] {
        float value = 0.0f;
        EXPECT_TRUE(ParseIniNumber(L"-1e39", value));
        return value;
    }()));
    const wchar_t* const noNumber[] = {L"",    L"   ", L"abc", L".",  L"-",  L"+-1",
                                       L"--1", L"- 1", L".e1", L"e5", L",5", L"\x00B2"};
    for (const wchar_t* text : noNumber) {
        SCOPED_TRACE(Narrow(text));
        float value = 42.0f;
        EXPECT_FALSE(ParseIniNumber(text, value));
        EXPECT_EQ(42.0f, value) << "nothing is stored without a number";
    }
}

TEST(IniNumber, FormatsWithAPointAndTheWriteBackLengths) {
    wchar_t text[32] = {};
    ASSERT_TRUE(FormatIniNumberNineDigits(0.65f, text, 32));
    EXPECT_STREQ(L"0.649999976", text);
    ASSERT_TRUE(FormatIniNumberNineDigits(1.0f, text, 32));
    EXPECT_STREQ(L"1", text);
    ASSERT_TRUE(FormatIniNumberNineDigits(-1e-7f, text, 32));
    EXPECT_STREQ(L"-1.00000001e-07", text);
    ASSERT_TRUE(FormatIniNumberFixed(-0.1f, 6, text, 32));
    EXPECT_STREQ(L"-0.100000", text);
    ASSERT_TRUE(FormatIniNumberShortest(0.675f, text, 32));
    EXPECT_STREQ(L"0.675", text);
    // The capacity counts the terminator.
    EXPECT_FALSE(FormatIniNumberFixed(-0.1f, 6, text, 9));
    ASSERT_TRUE(FormatIniNumberFixed(-0.1f, 6, text, 10));
    EXPECT_STREQ(L"-0.100000", text);
    EXPECT_FALSE(FormatIniNumberFixed(INFINITY, 6, text, 32));
    EXPECT_FALSE(FormatIniNumberShortest(NAN, text, 32));
}

} // namespace
} // namespace corvane
