#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <random>
#include <string>

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

// The rules again, from another side: the C library's own conversion, in
// the C locale that a program starts in, clamped to 32 bits.
int32_t reference(const std::string &text)
{
    long long value = strtoll(text.c_str(), nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Text drawn mostly from what a number is made of, with blanks, signs and
// junk between, and long runs of digits for the range's ends.
TEST(ParseDecimal, AgreesWithTheCLibraryOnRandomText)
{
    const std::string alphabet = "0123456789012345678999+- \t\n\v\f\rax.";
    std::mt19937 random(20141029);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 24);
    for (int round = 0; round < 300000; round++) {
        std::string text;
        for (int n = length(random); n > 0; n--)
            text += alphabet[pick(random)];
        ASSERT_EQ(parseDecimal(text.c_str()), reference(text))
            << "text: \"" << text << "\"";
    }
}

} // namespace
