#include <gtest/gtest.h>

#include <ctime>

#include "platform/win32.h"

namespace {

ULONGLONG AsCount(const FILETIME &ft)
{
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

SYSTEMTIME Date(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0)
{
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    st.wMilliseconds = ms;
    return st;
}

// 2024-03-05 07:08:09 UTC is Unix time 1709622489.
constexpr ULONGLONG kKnownDate = (1709622489ull + 11644473600ull) * 10000000ull;

}  // namespace

TEST(FileTime, a_known_date_converts_to_its_count_of_100ns_units_since_1601)
{
    SYSTEMTIME st = Date(2024, 3, 5, 7, 8, 9);
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(kKnownDate, AsCount(ft));

    st.wMilliseconds = 123;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(kKnownDate + 1230000u, AsCount(ft));
}

TEST(FileTime, a_known_count_converts_back_to_its_date_with_day_of_week)
{
    FILETIME ft;
    const ULONGLONG count = kKnownDate + 4567u * 10000u + 9999u;  // sub-millisecond part dropped
    ft.dwLowDateTime = static_cast<DWORD>(count);
    ft.dwHighDateTime = static_cast<DWORD>(count >> 32);
    SYSTEMTIME st;
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(2024, st.wYear);
    EXPECT_EQ(3, st.wMonth);
    EXPECT_EQ(5, st.wDay);
    EXPECT_EQ(2, st.wDayOfWeek);  // Tuesday
    EXPECT_EQ(7, st.wHour);
    EXPECT_EQ(8, st.wMinute);
    EXPECT_EQ(13, st.wSecond);
    EXPECT_EQ(567, st.wMilliseconds);
}

TEST(FileTime, edges_of_the_range_and_leap_days_round_trip)
{
    const SYSTEMTIME dates[] = {Date(1601, 1, 1),
                                Date(1970, 1, 1),
                                Date(2000, 2, 29, 23, 59, 59, 999),
                                Date(2100, 3, 1),
                                Date(1999, 12, 31, 23, 59, 59),
                                Date(30827, 12, 31, 23, 59, 59, 999)};
    for (const SYSTEMTIME &in : dates) {
        FILETIME ft;
        SYSTEMTIME out;
        ASSERT_TRUE(SystemTimeToFileTime(&in, &ft)) << in.wYear;
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &out)) << in.wYear;
        EXPECT_EQ(in.wYear, out.wYear);
        EXPECT_EQ(in.wMonth, out.wMonth);
        EXPECT_EQ(in.wDay, out.wDay);
        EXPECT_EQ(in.wHour, out.wHour);
        EXPECT_EQ(in.wSecond, out.wSecond);
        EXPECT_EQ(in.wMilliseconds, out.wMilliseconds);
    }
    FILETIME zero{0, 0};
    SYSTEMTIME st;
    ASSERT_TRUE(FileTimeToSystemTime(&zero, &st));
    EXPECT_EQ(1601, st.wYear);
    EXPECT_EQ(1, st.wDayOfWeek);  // a Monday
    FILETIME epoch;
    SYSTEMTIME unixEpoch = Date(1970, 1, 1);
    ASSERT_TRUE(SystemTimeToFileTime(&unixEpoch, &epoch));
    EXPECT_EQ(11644473600ull * 10000000ull, AsCount(epoch));
}

TEST(FileTime, impossible_dates_fail_with_invalid_parameter)
{
    const SYSTEMTIME bad[] = {
        Date(2023, 2, 29),       Date(2024, 13, 1),          Date(2024, 4, 31),
        Date(2024, 1, 0),        Date(1600, 12, 31),         Date(2024, 1, 1, 24),
        Date(2024, 1, 1, 0, 60), Date(2024, 1, 1, 0, 0, 60), Date(2024, 1, 1, 0, 0, 0, 1000)};
    for (const SYSTEMTIME &st : bad) {
        FILETIME ft;
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
    FILETIME top{0, 0x80000000u};
    SYSTEMTIME st;
    EXPECT_FALSE(FileTimeToSystemTime(&top, &st));
}

TEST(SystemTime, system_time_is_utc_now_and_agrees_with_its_filetime)
{
    const time_t before = time(nullptr);
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    SYSTEMTIME st;
    GetSystemTime(&st);
    const time_t after = time(nullptr);

    const ULONGLONG unixSeconds = AsCount(ft) / 10000000ull - 11644473600ull;
    EXPECT_GE(unixSeconds, static_cast<ULONGLONG>(before));
    EXPECT_LE(unixSeconds, static_cast<ULONGLONG>(after));

    tm utc;
    gmtime_r(&after, &utc);
    FILETIME fromSt;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &fromSt));
    const ULONGLONG stSeconds = AsCount(fromSt) / 10000000ull - 11644473600ull;
    EXPECT_GE(stSeconds, static_cast<ULONGLONG>(before));
    EXPECT_LE(stSeconds, static_cast<ULONGLONG>(after));
    EXPECT_EQ(utc.tm_year + 1900, st.wYear);
}

TEST(TickCount, tick_counts_never_go_back_and_the_32_bit_count_is_the_low_word)
{
    DWORD previous = GetTickCount();
    ULONGLONG previous64 = GetTickCount64();
    for (int i = 0; i < 100000; ++i) {
        const DWORD now = GetTickCount();
        const ULONGLONG now64 = GetTickCount64();
        ASSERT_LT(static_cast<DWORD>(now - previous), 0x80000000u);
        ASSERT_GE(now64, previous64);
        previous = now;
        previous64 = now64;
    }
    const ULONGLONG wide = GetTickCount64();
    const DWORD narrow = GetTickCount();
    EXPECT_LT(static_cast<DWORD>(narrow - static_cast<DWORD>(wide)), 1000u);
}

TEST(TickCount, tick_count_advances_in_milliseconds)
{
    const ULONGLONG start = GetTickCount64();
    const time_t deadline = time(nullptr) + 5;
    while (GetTickCount64() == start && time(nullptr) < deadline) {
    }
    const ULONGLONG later = GetTickCount64();
    EXPECT_GT(later, start);
    EXPECT_LT(later - start, 5000u);
}
