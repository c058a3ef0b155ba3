// What the connector tests share: a clock the tests set, a connector that stops itself after
// a number of cycles, and the folder of the test program.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/MeteoConnector.h"
#include "platform/win32.h"
#include "service/Globals.h"

namespace acqtest {

// A clock for the readings' time stamps that the tests set.
inline std::mutex clockLock;
inline std::vector<SYSTEMTIME> clockTimes;
inline size_t clockNext = 0;

inline SYSTEMTIME Time(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s)
{
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    return st;
}

inline SYSTEMTIME Later(const SYSTEMTIME &st, LONGLONG seconds)
{
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    ULONGLONG v = (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    v += ULONGLONG(seconds) * 10000000ULL;
    ft.dwLowDateTime = DWORD(v & 0xFFFFFFFFu);
    ft.dwHighDateTime = DWORD(v >> 32);
    SYSTEMTIME later;
    FileTimeToSystemTime(&ft, &later);
    return later;
}

// Hands out the scripted times; past their end, 20 s after the last one each.
inline void TestClock(LPSYSTEMTIME pst)
{
    std::lock_guard<std::mutex> guard(clockLock);
    if (clockNext >= clockTimes.size()) {
        clockTimes.push_back(Later(clockTimes.back(), 20));
    }
    *pst = clockTimes[clockNext++];
}

inline void SetClock(std::vector<SYSTEMTIME> times)
{
    std::lock_guard<std::mutex> guard(clockLock);
    clockTimes = std::move(times);
    clockNext = 0;
}

// The folder of the test program, where a connector looks for its driver.
inline std::string ExecutableFolder()
{
    char szPath[MAX_PATH + 1] = "";
    GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    char szDrive[_MAX_DRIVE] = "", szDir[_MAX_DIR] = "";
    _splitpath(szPath, szDrive, szDir, nullptr, nullptr);
    return std::string(szDrive) + szDir;
}

// A connector that stops itself after a number of cycles and lets a test act between cycles.
class TestConnector : public CMeteoConnector {
public:
    using CMeteoConnector::CMeteoConnector;
    DWORD stopAfter = 0;
    DWORD cycles = 0;
    std::function<void(DWORD)> between;

protected:
    void OnCycleEnd(DWORD nCycle) override
    {
        cycles = nCycle;
        if (between) {
            between(nCycle);
        }
        if (stopAfter != 0 && nCycle >= stopAfter) {
            ShutdownFlag = 1;
        }
    }
};

}  // namespace acqtest
