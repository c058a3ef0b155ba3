// Tick counts and system time.
//
// GetTickCount counts milliseconds on the monotonic clock and wraps after 49.7 days, as on
// Windows: take differences of tick counts in unsigned 32-bit arithmetic. System time is UTC.
// FILETIME counts 100 ns units since 1601-01-01 00:00:00 UTC. All functions are thread-safe.
#pragma once

#include "types.h"

DWORD GetTickCount();
ULONGLONG GetTickCount64();

// The current UTC time, with day of week and milliseconds.
void GetSystemTime(LPSYSTEMTIME lpSystemTime);
void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);

// Both fail with ERROR_INVALID_PARAMETER (FALSE) on a field out of range (year 1601..30827,
// a day that the month does not have, ...) or a FILETIME with its top bit set. wDayOfWeek is
// ignored on input and computed on output.
BOOL SystemTimeToFileTime(const SYSTEMTIME *lpSystemTime, LPFILETIME lpFileTime);
BOOL FileTimeToSystemTime(const FILETIME *lpFileTime, LPSYSTEMTIME lpSystemTime);
