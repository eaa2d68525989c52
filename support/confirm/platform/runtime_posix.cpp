// The runtime's conversion of the operands, as the Windows build gets it:
// optional white space, an optional sign, decimal digits up to the first
// other character; a number outside the int range is held at INT_MIN or
// INT_MAX instead of being cut to its low 32 bits.
#include "win32.h"

#include <errno.h>
#include <limits.h>

int atoi_saturating(const char *text)
{
    int saved_errno = errno;
    long value = strtol(text, NULL, 10); // itself held at LONG_MIN and LONG_MAX
    errno = saved_errno;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return (int)value;
}

long long _strtoi64(const char *text, char **end, int base)
{
    return strtoll(text, end, base);
}
