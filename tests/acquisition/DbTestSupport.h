// Shared pieces of the database writer tests: a test clock for the connector's readings, the
// scripted driver, and a connector that lets a test act between its cycles.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ScriptDriver.h"
#include "acquisition/MeteoConnector.h"
#include "service/Globals.h"

namespace acqtest {

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

// The reading times a connector takes: the scripted ones, then 20 s after the last each.
struct TestClock {
    static std::mutex &Lock()
    {
        static std::mutex lock;
        return lock;
    }
    static std::vector<SYSTEMTIME> &Times()
    {
        static std::vector<SYSTEMTIME> times;
        return times;
    }
    static size_t &Next()
    {
        static size_t next = 0;
        return next;
    }
    static void Set(std::vector<SYSTEMTIME> times)
    {
        std::lock_guard<std::mutex> guard(Lock());
        Times() = std::move(times);
        Next() = 0;
    }
    static void Read(LPSYSTEMTIME pst)
    {
        std::lock_guard<std::mutex> guard(Lock());
        if (Next() >= Times().size()) {
            Times().push_back(Later(Times().back(), 20));
        }
        *pst = Times()[Next()++];
    }
};

inline std::string ExecutableFolder()
{
    char szPath[MAX_PATH + 1] = "";
    GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    char szDrive[_MAX_DRIVE] = "", szDir[_MAX_DIR] = "";
    _splitpath(szPath, szDrive, szDir, nullptr, nullptr);
    return std::string(szDrive) + szDir;
}

// The scripted driver as the test loads it, beside the test program.
struct ScriptedDriver {
    ScriptedDriver()
    {
        h = LoadLibraryA((ExecutableFolder() + SCRIPT_DRIVER).c_str());
        load = reinterpret_cast<PFN_SCRIPTLOAD>(
            reinterpret_cast<void *>(GetProcAddress(h, "ScriptLoad")));
    }
    HMODULE h;
    PFN_SCRIPTLOAD load;
};

struct Reading {
    double speed = 5.2;
    double dir = 90;
    double temp = 11.4;
    double humidity = 70;
    double rain = 0.2;
    double pressure = 1012.6;
    double solar = 120;
};

inline ScriptStep Step(const Reading &r)
{
    ScriptStep step{};
    step.nResult = 1;
    MeteoData &d = step.record.Data;
    d.nSize = 64;
    d.nVersion = 1;
    d.dWindSpeed = r.speed;
    d.dWindDir = r.dir;
    d.dOutsideTemp = r.temp;
    d.dHumidity = r.humidity;
    d.dRain = r.rain;
    d.dPressure = r.pressure;
    d.dSolar = r.solar;
    return step;
}

// A connector that stops itself after a number of cycles and lets a test act between cycles,
// on the connector's own thread.
class TestConnector : public CMeteoConnector {
public:
    using CMeteoConnector::CMeteoConnector;
    DWORD stopAfter = 0;
    std::function<void(DWORD)> between;

protected:
    void OnCycleEnd(DWORD nCycle) override
    {
        if (between) {
            between(nCycle);
        }
        if (stopAfter != 0 && nCycle >= stopAfter) {
            ShutdownFlag = 1;
        }
    }
};

}  // namespace acqtest
