#ifndef FRAMERANGE_DECIMAL_H
#define FRAMERANGE_DECIMAL_H

#include <cstdint>

// Reads a number the way atoi does (leading white space, one sign, digits
// up to the first non-digit, 0 when there are none), but clamps a value
// beyond the 32-bit range to its nearest end.  Runtimes differ on that last
// point, so the tool does not leave it to them.
int32_t parseDecimal(const char *text);

#endif
