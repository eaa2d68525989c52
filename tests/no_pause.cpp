// Preloaded into the tool where libfaketime cannot be: every pause returns at
// once. libfaketime keeps two descriptors of its own open from its start,
// which take the lowest free numbers; a run started with standard output
// closed would then write into libfaketime's file instead. This library opens
// nothing.
#include <time.h>

extern "C" int nanosleep(const struct timespec *, struct timespec *)
{
    return 0;
}

extern "C" int clock_nanosleep(clockid_t, int, const struct timespec *, struct timespec *)
{
    return 0;
}
