#include <gtest/gtest.h>

#include "decimal.h"

namespace {

struct Case {
    const char *text;
    int32_t value;
};

// What a caller may type, and what the tool must make of it.
const Case cases[] = {
    {"0", 0},
    {"42", 42},
    {"-17", -17},
    {"+5", 5},
    {" 7", 7},
    {"\t\n\v\f\r 9", 9},
    {"12abc", 12},
    {"abc", 0},
    {"", 0},
    {"-", 0},
    {"+-3", 0},
    {"- 3", 0},
    {"3 4", 3},
    {"0x1A", 0},
    {"1e3", 1},
    {"007", 7},
    {"2147483647", 2147483647},
    {"2147483648", 2147483647},
    {"99999999999", 2147483647},
    {"-2147483648", INT32_MIN},
    {"-2147483649", INT32_MIN},
    {"-99999999999999999999999999", INT32_MIN},
    {"000000000000000000000000000012", 12},
};

TEST(ParseDecimal, ReadsLikeAtoiAndClampsTo32Bits)
{
    for (const Case &c : cases)
        EXPECT_EQ(parseDecimal(c.text), c.value) << "text: \"" << c.text << "\"";
}

} // namespace
