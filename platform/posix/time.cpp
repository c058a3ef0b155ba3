#include "time.h"

#include <time.h>

#include "errors.h"

namespace {

constexpr ULONGLONG kTicksPerSecond = 10000000ull;  // 100 ns units
constexpr ULONGLONG kTicksPerMillisecond = 10000ull;
constexpr int64_t kDaysFrom1601To1970 = 134774;  // 11644473600 s

bool IsLeap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int64_t year, int month)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : days[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back (civil calendar arithmetic
// over 400-year eras, exact for the whole FILETIME range).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t &y, unsigned &m, unsigned &d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

ULONGLONG MonotonicMilliseconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000u +
           static_cast<ULONGLONG>(ts.tv_nsec) / 1000000u;
}

ULONGLONG NowAsFileTime()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const int64_t seconds = static_cast<int64_t>(ts.tv_sec) + kDaysFrom1601To1970 * 86400;
    return static_cast<ULONGLONG>(seconds) * kTicksPerSecond +
           static_cast<ULONGLONG>(ts.tv_nsec) / 100u;
}

void Split(ULONGLONG value, LPFILETIME ft)
{
    ft->dwLowDateTime = static_cast<DWORD>(value);
    ft->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

}  // namespace

DWORD GetTickCount() { return static_cast<DWORD>(MonotonicMilliseconds()); }

ULONGLONG GetTickCount64() { return MonotonicMilliseconds(); }

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime)
{
    Split(NowAsFileTime(), lpSystemTimeAsFileTime);
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    FILETIME ft;
    Split(NowAsFileTime(), &ft);
    FileTimeToSystemTime(&ft, lpSystemTime);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME *st, LPFILETIME lpFileTime)
{
    if (!st || !lpFileTime || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 ||
        st->wMonth > 12 || st->wDay < 1 || st->wDay > DaysInMonth(st->wYear, st->wMonth) ||
        st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t days = DaysFromCivil(st->wYear, st->wMonth, st->wDay) + kDaysFrom1601To1970;
    const ULONGLONG seconds = static_cast<ULONGLONG>(days) * 86400u + ULONGLONG{st->wHour} * 3600u +
                              ULONGLONG{st->wMinute} * 60u + st->wSecond;
    Split(seconds * kTicksPerSecond + st->wMilliseconds * kTicksPerMillisecond, lpFileTime);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME *lpFileTime, LPSYSTEMTIME st)
{
    if (!lpFileTime || !st || (lpFileTime->dwHighDateTime & 0x80000000u)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ULONGLONG value =
        (static_cast<ULONGLONG>(lpFileTime->dwHighDateTime) << 32) | lpFileTime->dwLowDateTime;
    const ULONGLONG totalSeconds = value / kTicksPerSecond;
    const int64_t days = static_cast<int64_t>(totalSeconds / 86400u);
    const unsigned secondOfDay = static_cast<unsigned>(totalSeconds % 86400u);
    int64_t year;
    unsigned month, day;
    CivilFromDays(days - kDaysFrom1601To1970, year, month, day);
    st->wYear = static_cast<WORD>(year);
    st->wMonth = static_cast<WORD>(month);
    st->wDay = static_cast<WORD>(day);
    st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    st->wHour = static_cast<WORD>(secondOfDay / 3600u);
    st->wMinute = static_cast<WORD>(secondOfDay / 60u % 60u);
    st->wSecond = static_cast<WORD>(secondOfDay % 60u);
    st->wMilliseconds = static_cast<WORD>(value % kTicksPerSecond / kTicksPerMillisecond);
    return TRUE;
}
