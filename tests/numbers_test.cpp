// The one rule for numbers on command lines and in the virtual bus's
// variables.

#include <gtest/gtest.h>

#include <climits>

#include "numbers.h"

namespace {

TEST(numbers, integers_are_signed_decimal_or_hexadecimal_with_nothing_around_them)
{
    struct accepted {
        const char *text;
        long long value;
    };
    for (const accepted &a : {accepted{"10", 10}, accepted{"010", 10}, accepted{"0x1F", 31}, accepted{"0X1f", 31},
                              accepted{"-0x10", -16}, accepted{"+5", 5}, accepted{"-0", 0},
                              accepted{"9223372036854775807", LLONG_MAX}, accepted{"-9223372036854775808", LLONG_MIN},
                              accepted{"0x7fffffffffffffff", LLONG_MAX}}) {
        long long v = 0;
        EXPECT_EQ(parse_integer(a.text, LLONG_MIN, LLONG_MAX, v), number_fault::none) << a.text;
        EXPECT_EQ(v, a.value) << a.text;
    }
    for (const char *text : {"", "-", "+", "0x", " 5", "5 ", "5\n", "1e3", "1.0", "0x1g", "--5", "0b101", "٣"}) {
        long long v = 7;
        EXPECT_EQ(parse_integer(text, LLONG_MIN, LLONG_MAX, v), number_fault::not_a_number) << text;
        EXPECT_EQ(v, 7) << "untouched";
    }
    long long v = 0;
    for (const char *text : {"9223372036854775808", "-9223372036854775809", "99999999999999999999999"})
        EXPECT_EQ(parse_integer(text, LLONG_MIN, LLONG_MAX, v), number_fault::out_of_range) << text;
    EXPECT_EQ(parse_integer("4096", 0, 4095, v), number_fault::out_of_range);
    EXPECT_EQ(parse_integer("-1", 0, 4095, v), number_fault::out_of_range);
    EXPECT_EQ(parse_integer("4095", 0, 4095, v), number_fault::none);
}

TEST(numbers, seconds_are_decimal_with_an_optional_fraction_and_exponent_up_to_a_limit)
{
    double s = 0;
    EXPECT_EQ(parse_seconds("2", 10, s), number_fault::none);
    EXPECT_EQ(s, 2.0);
    EXPECT_EQ(parse_seconds("0.25", 10, s), number_fault::none);
    EXPECT_EQ(s, 0.25);
    EXPECT_EQ(parse_seconds("2.5e-1", 10, s), number_fault::none); // as a tick is written
    EXPECT_EQ(s, 0.25);
    for (const char *text : {"", ".5", "5.", "-1", "1e", "1e+", "2s", " 2", "0x10"})
        EXPECT_EQ(parse_seconds(text, 10, s), number_fault::not_a_number) << text;
    EXPECT_EQ(parse_seconds("10.5", 10, s), number_fault::out_of_range);
    EXPECT_EQ(parse_seconds("1e3", 10, s), number_fault::out_of_range);
}

} // namespace
