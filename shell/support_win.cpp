// What the compiler may call on its own in a program without a C runtime:
// it turns structure copies and clears into memcpy and memset calls, and a
// loop that counts bytes up to a zero into strlen.
//
// The loops must stay loops: at -Os GCC recognises a byte loop as a memset
// or memcpy pattern and would compile these very functions into calls to
// themselves. no-tree-loop-distribute-patterns switches that recognition off.
#include <stddef.h>

#define NO_PATTERN_CALLS __attribute__((optimize("no-tree-loop-distribute-patterns")))

extern "C" {

NO_PATTERN_CALLS void *memcpy(void *destination, const void *source, size_t count)
{
    unsigned char *to = (unsigned char *)destination;
    const unsigned char *from = (const unsigned char *)source;
    while (count--)
        *to++ = *from++;
    return destination;
}

NO_PATTERN_CALLS void *memmove(void *destination, const void *source, size_t count)
{
    unsigned char *to = (unsigned char *)destination;
    const unsigned char *from = (const unsigned char *)source;
    if (to <= from || to >= from + count)
        return memcpy(destination, source, count);
    while (count--)
        to[count] = from[count];
    return destination;
}

NO_PATTERN_CALLS void *memset(void *destination, int value, size_t count)
{
    unsigned char *to = (unsigned char *)destination;
    while (count--)
        *to++ = (unsigned char)value;
    return destination;
}

NO_PATTERN_CALLS size_t strlen(const char *text)
{
    size_t n = 0;
    while (((const volatile char *)text)[n])
        n++;
    return n;
}

NO_PATTERN_CALLS int memcmp(const void *a, const void *b, size_t count)
{
    const unsigned char *p = (const unsigned char *)a;
    const unsigned char *q = (const unsigned char *)b;
    for (; count; count--, p++, q++)
        if (*p != *q)
            return *p - *q;
    return 0;
}

}
