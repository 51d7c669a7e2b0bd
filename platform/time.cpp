// Time conversions. FILETIME counts 100 ns ticks since 1601-01-01 UTC.
//
// Local time follows the process's TZ through localtime_r/mktime, with the
// offset in force at the instant converted (not the offset of today, as
// old Windows versions did), so a summer date gets summer time. For a local
// time that occurs twice (the hour before summer time ends) mktime's choice
// stands; one that does not occur (the hour skipped in spring) comes out an
// hour later, as mktime normalises it.
#include "platform/internal.h"

#include <errno.h>

static const uint64_t ticksPerSecond = 10000000;
static const int64_t secondsFrom1601To1970 = 11644473600ll;

uint64_t FileTimeTicks(const FILETIME *ft)
{
    return ((uint64_t)ft->dwHighDateTime << 32) | ft->dwLowDateTime;
}

FILETIME FileTimeFromTicks(uint64_t ticks)
{
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)ticks;
    ft.dwHighDateTime = (DWORD)(ticks >> 32);
    return ft;
}

struct timespec TimespecFromFileTime(const FILETIME *ft)
{
    uint64_t ticks = FileTimeTicks(ft);
    struct timespec ts;
    ts.tv_sec = (time_t)((int64_t)(ticks / ticksPerSecond) - secondsFrom1601To1970);
    ts.tv_nsec = (long)(ticks % ticksPerSecond) * 100;
    return ts;
}

// Days since 1970-01-01 of a proleptic Gregorian date (Hinnant's
// days_from_civil), valid for every year Win32 handles.
static int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = (unsigned)(y - era * 400);
    unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t)doe - 719468;
}

static bool IsLeapYear(unsigned y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

static unsigned DaysInMonth(unsigned y, unsigned m)
{
    static const unsigned char days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}

// Fields out of range fail, as Win32 refuses them rather than carrying
// over (no 31st of April, no second 60).
static bool TicksFromFields(unsigned year, unsigned month, unsigned day, unsigned hour,
                            unsigned minute, unsigned second, unsigned ms, uint64_t *ticks)
{
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 59 || ms > 999)
        return false;
    int64_t seconds = (DaysFromCivil(year, month, day) * 86400 + secondsFrom1601To1970) +
                      hour * 3600 + minute * 60 + second;
    *ticks = (uint64_t)seconds * ticksPerSecond + (uint64_t)ms * 10000;
    return true;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *st, LPFILETIME ft)
{
    uint64_t ticks;
    if (!TicksFromFields(st->wYear, st->wMonth, st->wDay, st->wHour, st->wMinute, st->wSecond,
                         st->wMilliseconds, &ticks))
        return FALSE;
    *ft = FileTimeFromTicks(ticks);
    return TRUE;
}

// FILETIME is unsigned, so seconds since 1970 never go below -11644473600
// and time_t (64-bit on the host) holds every value.
static time_t UnixSeconds(uint64_t ticks)
{
    return (time_t)((int64_t)(ticks / ticksPerSecond) - secondsFrom1601To1970);
}

BOOL WINAPI FileTimeToLocalFileTime(const FILETIME *utc, LPFILETIME local)
{
    uint64_t ticks = FileTimeTicks(utc);
    time_t t = UnixSeconds(ticks);
    struct tm fields;
    if (!localtime_r(&t, &fields))
        return FALSE;
    int64_t shifted = (int64_t)ticks + (int64_t)fields.tm_gmtoff * (int64_t)ticksPerSecond;
    if (shifted < 0)
        return FALSE;
    *local = FileTimeFromTicks((uint64_t)shifted);
    return TRUE;
}

BOOL WINAPI LocalFileTimeToFileTime(const FILETIME *local, LPFILETIME utc)
{
    uint64_t ticks = FileTimeTicks(local);
    time_t wall = UnixSeconds(ticks);
    struct tm fields;
    if (!gmtime_r(&wall, &fields))
        return FALSE;
    fields.tm_isdst = -1;
    errno = 0;
    time_t t = mktime(&fields);
    if (t == (time_t)-1 && errno != 0)
        return FALSE;
    int64_t shifted = ((int64_t)t + secondsFrom1601To1970) * (int64_t)ticksPerSecond +
                      (int64_t)(ticks % ticksPerSecond);
    if (shifted < 0)
        return FALSE;
    *utc = FileTimeFromTicks((uint64_t)shifted);
    return TRUE;
}

// MS-DOS stamps: date = (year - 1980) << 9 | month << 5 | day,
// time = hour << 11 | minute << 5 | seconds / 2.
BOOL WINAPI FileTimeToDosDateTime(const FILETIME *ft, WORD *dosDate, WORD *dosTime)
{
    time_t t = UnixSeconds(FileTimeTicks(ft));
    struct tm f;
    if (!gmtime_r(&t, &f))
        return FALSE;
    int year = f.tm_year + 1900;
    if (year < 1980 || year > 2107)
        return FALSE;
    *dosDate = (WORD)((year - 1980) << 9 | (f.tm_mon + 1) << 5 | f.tm_mday);
    *dosTime = (WORD)(f.tm_hour << 11 | f.tm_min << 5 | f.tm_sec / 2);
    return TRUE;
}

BOOL WINAPI DosDateTimeToFileTime(WORD dosDate, WORD dosTime, LPFILETIME ft)
{
    uint64_t ticks;
    if (!TicksFromFields(1980 + (dosDate >> 9), (dosDate >> 5) & 15, dosDate & 31,
                         dosTime >> 11, (dosTime >> 5) & 63, (dosTime & 31) * 2, 0, &ticks))
        return FALSE;
    *ft = FileTimeFromTicks(ticks);
    return TRUE;
}
