#include "support/numbers.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "tests/test_bitmaps.h"

namespace {

struct DecimalCase {
    const char* text;
    double prefixValue;                // readDecimal
    std::optional<double> wholeValue;  // parseDecimal
};

const DecimalCase kDecimalCases[] = {
    {"1.5", 1.5, 1.5},
    {"-0.2", -0.2, -0.2},
    {"+3", 3.0, 3.0},
    {".5", 0.5, 0.5},
    {"5.", 5.0, 5.0},
    {"-.25", -0.25, -0.25},
    {"2.5e3", 2500.0, 2500.0},
    {"2.5E-1", 0.25, 0.25},
    {"1e+2", 100.0, 100.0},
    {"5.e1", 50.0, 50.0},
    {"  \t12.75  ", 12.75, 12.75},
    {"abc", 0.0, std::nullopt},
    {"", 0.0, std::nullopt},
    {"   ", 0.0, std::nullopt},
    {".", 0.0, std::nullopt},
    {"-", 0.0, std::nullopt},
    {"+.e3", 0.0, std::nullopt},
    {"0,5", 0.0, std::nullopt},  // the comma ends the number after the 0
    {"1.5x", 1.5, std::nullopt},
    {"1e", 1.0, std::nullopt},  // an exponent letter without digits is not part of it
    {"1e+", 1.0, std::nullopt},
    {"1e-x", 1.0, std::nullopt},
    {"1.2.3", 1.2, std::nullopt},
    {"- 1", 0.0, std::nullopt},
    {"1 2", 1.0, std::nullopt},
    {"inf", 0.0, std::nullopt},
    {"-infinity", 0.0, std::nullopt},
    {"nan", 0.0, std::nullopt},
    {"NAN(123)", 0.0, std::nullopt},
    {"0x10", 0.0, std::nullopt},  // hexadecimal: only the leading 0 is a number
    {"0x1p3", 0.0, std::nullopt},
    {"1e-400", 0.0, 0.0},  // underflow to zero
};

TEST(ReadDecimal, ReadsTheLongestNumberPrefix) {
    for (const DecimalCase& c : kDecimalCases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        EXPECT_EQ(readDecimal(c.text), c.prefixValue);
        EXPECT_EQ(parseDecimal(c.text), c.wholeValue);
    }
}

TEST(ReadDecimal, OverflowAndUnderflowFollowTheCLibrary) {
    EXPECT_EQ(readDecimal("1e400"), HUGE_VAL);
    EXPECT_EQ(readDecimal("-1e400"), -HUGE_VAL);
    EXPECT_EQ(parseDecimal("1e99999999999999999999"), HUGE_VAL);
    // The smallest denormal survives; half of it rounds to zero.
    EXPECT_EQ(readDecimal("4.9406564584124654e-324"), std::nextafter(0.0, 1.0));
    EXPECT_EQ(readDecimal("2e-324"), 0.0);
    EXPECT_TRUE(std::signbit(readDecimal("-0")));
    EXPECT_EQ(readDecimal("179769313486231570814527423731704356798070567525844996598917476803157"
                          "260780028538760589558632766878171540458953514382464234321326889464182"
                          "768467546703537516986049910576551282076245490090389328944075868508455"
                          "133942304583236903222948165808559332123348274797826204144723168738177"
                          "180919299881250404026184124858368"),
              DBL_MAX);
}

TEST(ReadDecimal, ConvertsExactlyLikeStrtod) {
    // Correct rounding of long mantissas, where a hand-made conversion goes wrong.
    for (const char* text : {"0.1", "0.30000000000000004", "2.2250738585072011e-308",
                             "9007199254740993", "123456789012345678901234567890e-20"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(readDecimal(text), std::strtod(text, nullptr));
    }
}

struct IntegerCase {
    const char* text;
    std::int32_t prefixValue;
    std::optional<std::int32_t> wholeValue;
};

const IntegerCase kIntegerCases[] = {
    {"0", 0, 0},
    {"300", 300, 300},
    {"-7", -7, -7},
    {"+12", 12, 12},
    {" 12.9", 12, std::nullopt},  // an integer stops at the full stop
    {"12.7", 12, std::nullopt},
    {"", 0, std::nullopt},
    {"abc", 0, std::nullopt},
    {"-", 0, std::nullopt},
    {"1e3", 1, std::nullopt},
    {"0x1F", 0, std::nullopt},
    {" 42 ", 42, 42},
    {"2147483647", 2147483647, 2147483647},
    {"2147483648", 2147483647, 2147483647},
    {"-2147483648", -2147483647 - 1, -2147483647 - 1},
    {"-2147483649", -2147483647 - 1, -2147483647 - 1},
    {"99999999999999999999999999", 2147483647, 2147483647},
    {"-99999999999999999999999999", -2147483647 - 1, -2147483647 - 1},
    {"000000000000000000000000000000000000017", 17, 17},
};

TEST(ReadInteger, ReadsTheLongestIntegerPrefixAndSaturates) {
    for (const IntegerCase& c : kIntegerCases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        EXPECT_EQ(readInteger(c.text), c.prefixValue);
        EXPECT_EQ(parseInteger(c.text), c.wholeValue);
    }
}

TEST(FormatFixed, WritesSixDecimalsWithAFullStop) {
    EXPECT_EQ(formatFixed(0.1), "0.100000");
    EXPECT_EQ(formatFixed(2), "2.000000");
    EXPECT_EQ(formatFixed(1.0), "1.000000");
    EXPECT_EQ(formatFixed(-1.5), "-1.500000");
    EXPECT_EQ(formatFixed(-0.0), "-0.000000");
    EXPECT_EQ(formatFixed(0.0078125), "0.007812");  // an exact tie rounds to even, as printf
    EXPECT_EQ(formatFixed(0.0000004), "0.000000");
    EXPECT_EQ(formatFixed(HUGE_VAL), "inf");
    EXPECT_EQ(formatFixed(-HUGE_VAL), "-inf");
    EXPECT_EQ(formatInteger(0), "0");
    EXPECT_EQ(formatInteger(255), "255");
    EXPECT_EQ(formatInteger(-2147483647 - 1), "-2147483648");
    // The shortest text that reads back, with a decimal kept.
    const std::pair<double, const char*> shortTexts[] = {{0.1, "0.1"},
                                                         {2.0, "2.0"},
                                                         {-0.0, "-0.0"},
                                                         {1e-8, "0.00000001"},
                                                         {1e21, "1000000000000000000000.0"}};
    for (const auto& [value, text] : shortTexts) {
        EXPECT_EQ(formatShort(value), text);
        EXPECT_EQ(readDecimal(formatShort(value)), value);
    }
}

TEST(FormatFixed, WritesHugeValuesInFullLikePrintf) {
    for (double value : {1e200, -1e200, DBL_MAX, 123456789.123456789, 1e-7, 2.5e15}) {
        char expected[512];
        std::snprintf(expected, sizeof expected, "%f", value);  // the tests run in "C"
        EXPECT_EQ(formatFixed(value), expected);
    }
    const std::string huge = formatFixed(1e200);
    EXPECT_EQ(huge.size(), 200u + 7u);                   // just below 1e200: 200 digits
    EXPECT_EQ(huge.substr(0, 17), "99999999999999996");  // 1e200 as the nearest double
    EXPECT_EQ(huge.substr(huge.size() - 7), ".000000");
    // What is written reads back as the same value.
    EXPECT_EQ(readDecimal(huge), 1e200);
}

TEST(NumbersInLocale, CommaLocaleChangesNothing) {
    testing_support::CommaLocale locale;
    if (!locale.active())
        GTEST_SKIP() << "no German locale is installed and localedef cannot make one "
                        "(the Debian package 'locales' provides both)";
    // The C library itself now reads and writes commas, so the test means something.
    char printed[32];
    std::snprintf(printed, sizeof printed, "%.1f", 0.5);
    ASSERT_STREQ(printed, "0,5");
    ASSERT_EQ(std::atof("0,5"), 0.5);

    EXPECT_EQ(readDecimal("0.5"), 0.5);
    EXPECT_EQ(readDecimal("0,5"), 0.0);
    EXPECT_EQ(parseDecimal("1.25e2"), 125.0);
    EXPECT_EQ(parseDecimal("1,25"), std::nullopt);
    EXPECT_EQ(readInteger("1.234"), 1);
    EXPECT_EQ(formatFixed(0.1), "0.100000");
    EXPECT_EQ(formatFixed(-1234567.5), "-1234567.500000");
    EXPECT_EQ(formatInteger(1234567), "1234567");
}

}  // namespace
