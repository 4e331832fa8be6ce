#include <gtest/gtest.h>

#include "checks/integer_text.h"

struct IntCase {
    const char* text;
    bool valid;
    std::int32_t value;
};

class IntegerTextTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntegerTextTest, Parses) {
    const IntCase& c = GetParam();
    auto got = ondrel::ParseIntegerText(c.text);
    ASSERT_EQ(got.has_value(), c.valid) << "text \"" << c.text << "\"";
    if (c.valid) {
        EXPECT_EQ(*got, c.value) << "text \"" << c.text << "\"";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Valid, IntegerTextTest,
    ::testing::Values(IntCase{"0", true, 0}, IntCase{"42", true, 42}, IntCase{"007", true, 7},
                      IntCase{"   12", true, 12}, IntCase{"+5", true, 5}, IntCase{"-5", true, -5},
                      IntCase{" -0", true, 0}, IntCase{"2147483647", true, 2147483647},
                      IntCase{"-2147483648", true, INT32_MIN}, IntCase{"0000000000002147483647", true, 2147483647},
                      IntCase{"$10", true, 16}, IntCase{"x1f", true, 31}, IntCase{"X1F", true, 31},
                      IntCase{"0x1F", true, 31}, IntCase{"0XaB", true, 171}, IntCase{"-$10", true, -16},
                      IntCase{"$FFFFFFFF", true, -1}, IntCase{"$7FFFFFFF", true, 2147483647},
                      IntCase{"$80000000", true, INT32_MIN}, IntCase{"-$80000000", true, INT32_MIN},
                      IntCase{"-$FFFFFFFF", true, 1}, IntCase{"$000000000001", true, 1},
                      IntCase{"  +0x0", true, 0}));

INSTANTIATE_TEST_SUITE_P(
    Invalid, IntegerTextTest,
    ::testing::Values(IntCase{"", false, 0}, IntCase{"   ", false, 0}, IntCase{"-", false, 0}, IntCase{"+", false, 0},
                      IntCase{"$", false, 0}, IntCase{"0x", false, 0}, IntCase{"-x", false, 0},
                      IntCase{"12 ", false, 0}, IntCase{"\t12", false, 0}, IntCase{"--1", false, 0},
                      IntCase{"+-1", false, 0}, IntCase{"1a", false, 0}, IntCase{"2147483648", false, 0},
                      IntCase{"-2147483649", false, 0}, IntCase{"99999999999", false, 0},
                      IntCase{"$100000000", false, 0}, IntCase{"$1G", false, 0}, IntCase{"0x-1", false, 0},
                      IntCase{"1.0", false, 0}, IntCase{"- 1", false, 0}, IntCase{"$ 1", false, 0},
                      IntCase{"0b1", false, 0}, IntCase{"h10", false, 0}));
