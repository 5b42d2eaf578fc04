#include "decimal.h"

// The C locale's white space; the tool reads no locale, so isspace() with
// whatever locale the runtime starts in is not used.
static bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
           c == '\r';
}

int32_t parseDecimal(const char *text)
{
    while (isBlank(*text))
        text++;

    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        text++;
    }

    // Accumulate the magnitude and stop growing it once it passes the
    // largest magnitude a result can have; the remaining digits are still
    // consumed but cannot change the clamped result.
    const int64_t limit = negative ? -int64_t{INT32_MIN} : int64_t{INT32_MAX};
    int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > limit) {
            magnitude = limit;
        }
    }
    return static_cast<int32_t>(negative ? -magnitude : magnitude);
}
