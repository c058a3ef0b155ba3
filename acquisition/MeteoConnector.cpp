#include "acquisition/MeteoConnector.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "acquisition/Counters.h"
#include "acquisition/MeteoFiles.h"
#include "acquisition/StationTable.h"
#include "service/Globals.h"
#include "service/Log.h"
#include "win32/Exception.h"

namespace {

#if defined(__GNUC__)
#define PELMORA_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define PELMORA_PRINTF(f, a)
#endif

constexpr const char *StartEventName = "QORTHREATMETEOSTART";
constexpr DWORD StartHandshakeTimeout = 90000;
constexpr DWORD DefaultStartDelay = 30000;
constexpr DWORD DefaultCycleBreakCount = 90;
constexpr DWORD OpenPortRetryDelay = 500;
constexpr double Pi = 3.14159265358979323846;

// Writes a formatted line when logging is on; the text is formatted only then.
PELMORA_PRINTF(1, 2) void LogF(const char *pszFormat, ...)
{
    if (TraceLevel == 0) {
        return;
    }
    char szLine[1024];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(szLine, sizeof(szLine), pszFormat, args);
    va_end(args);
    WriteLog(szLine);
}

// Copies a text into a 261-character field, cut to 260 characters and terminated.
void CopyField(char (&szTarget)[261], const char *pszSource)
{
    std::snprintf(szTarget, sizeof(szTarget), "%s", pszSource);
}

void SystemClock(LPSYSTEMTIME pst) { GetSystemTime(pst); }

// Set when the run stops the stations, so that threads waiting out a cycle leave at once;
// both it and the thread list belong to the service thread, which starts and stops them.
HANDLE StationStopEvent = nullptr;
std::vector<HANDLE> StationThreads;

// Waits dwMilliseconds, or less when the stations are being stopped; true when they are.
bool StationSleep(DWORD dwMilliseconds)
{
    if (StationStopEvent == nullptr) {
        Sleep(dwMilliseconds);
        return false;
    }
    return WaitForSingleObject(StationStopEvent, dwMilliseconds) == WAIT_OBJECT_0;
}

// Holds MeteoDataGuard as a reader for one scope, when WaitToRead returned 0.
class CReadHold {
public:
    CReadHold() : m_bHeld(WaitToRead(&MeteoDataGuard, INFINITE) == 0) {}
    ~CReadHold()
    {
        if (m_bHeld) {
            DoneReading(&MeteoDataGuard);
        }
    }
    CReadHold(const CReadHold &) = delete;
    CReadHold &operator=(const CReadHold &) = delete;
    bool Held() const { return m_bHeld; }

private:
    bool m_bHeld;
};

}  // namespace

ReadingClock ReadingTimeSource = SystemClock;

void StartStationThreads(const char *pszFNINI, std::vector<HANDLE> *pThreads)
{
    const UINT nStations = GetPrivateProfileIntA("General", "Stations", 1, pszFNINI);
    const UINT nStationIDs = GetPrivateProfileIntA("General", "StationIDs", 1, pszFNINI);

    // The table has STATION_BLOCKS blocks; a station beyond them would write past it, and
    // requests for it would read past it.
    UINT nServed = nStations;
    if (nStations > static_cast<UINT>(STATION_BLOCKS)) {
        nServed = STATION_BLOCKS;
        // Station ids are 32-bit, as in the sections' names.
        const DWORD nFirstRefused = nStationIDs + nServed;
        const DWORD nLastRefused = nStationIDs + nStations - 1;
        LogF(
            "ERROR StartStationThreads: Stations=%lu, the station table holds %i stations; "
            "stations %lu to %lu are not started.",
            static_cast<unsigned long>(nStations), STATION_BLOCKS,
            static_cast<unsigned long>(nFirstRefused), static_cast<unsigned long>(nLastRefused));
    }
    StationCount = static_cast<LONG>(nServed);
    if (StationStopEvent == nullptr) {
        StationStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    } else {
        ResetEvent(StationStopEvent);
    }

    ThreadStartParameter start{};
    for (LONG nIndex = 0; nIndex < static_cast<LONG>(nServed); ++nIndex) {
        char szID[261];
        std::snprintf(szID, sizeof(szID), "%i", static_cast<int>(nStationIDs + nIndex));
        CopyField(start.szID, szID);
        CopyField(start.szFNINI, pszFNINI);
        char szDriver[260];
        GetPrivateProfileStringA(szID, "Driver", "", szDriver, sizeof(szDriver), pszFNINI);
        CopyField(start.szDriver, szDriver);
        start.nStationID = nStationIDs + nIndex;
        start.nIndex = nIndex;

        HANDLE hStarted = CreateEventA(nullptr, FALSE, FALSE, StartEventName);
        // Each thread gets its own copy: a thread that signals late must not read a record
        // already refilled for the next station.
        auto *pStart = new ThreadStartParameter(start);
        unsigned nThreadId = 0;
        const uintptr_t hThread =
            _beginthreadex(nullptr, 0, MeteoConnectorThreadProc, pStart, 0, &nThreadId);
        if (hThread == 0) {
            delete pStart;
        } else if (pThreads != nullptr) {
            pThreads->push_back(reinterpret_cast<HANDLE>(hThread));
        } else {
            StationThreads.push_back(reinterpret_cast<HANDLE>(hThread));
        }
        WaitForSingleObject(hStarted, StartHandshakeTimeout);
        if (hStarted != nullptr) {
            CloseHandle(hStarted);
        }
    }
}

DWORD StopStationThreads(DWORD dwTimeout)
{
    if (StationStopEvent != nullptr) {
        SetEvent(StationStopEvent);
    }
    const DWORD dwStart = GetTickCount();
    DWORD nRunning = 0;
    for (HANDLE hThread : StationThreads) {
        const DWORD dwElapsed = GetTickCount() - dwStart;
        const DWORD dwLeft = dwElapsed < dwTimeout ? dwTimeout - dwElapsed : 0;
        if (WaitForSingleObject(hThread, dwLeft) != WAIT_OBJECT_0) {
            ++nRunning;
        }
        CloseHandle(hThread);
    }
    StationThreads.clear();
    if (nRunning != 0) {
        LogF("StopStationThreads: %lu station threads still running",
             static_cast<unsigned long>(nRunning));
    }
    return nRunning;
}

unsigned __stdcall MeteoConnectorThreadProc(void *param)
{
    auto *pStart = static_cast<ThreadStartParameter *>(param);
    ThreadStartParameter start{};
    start.nIndex = pStart->nIndex;
    start.nStationID = pStart->nStationID;
    CopyField(start.szDriver, pStart->szDriver);
    CopyField(start.szFNINI, pStart->szFNINI);
    CopyField(start.szID, pStart->szID);
    delete pStart;

    HANDLE hStarted = CreateEventA(nullptr, FALSE, TRUE, StartEventName);
    if (hStarted != nullptr) {
        SetEvent(hStarted);
        CloseHandle(hStarted);
    }

    try {
        CMeteoConnector connector(start);
        connector.ThreadMeteoConnector();
    } catch (const Tarnwick::Win32::CException &e) {
        if (TraceLevel != 0) {
            WriteLog("Exception: " + e.GetWhere() + " - " + e.GetMessage());
        }
    } catch (...) {
        if (TraceLevel != 0) {
            WriteLog("Unexpected exception");
        }
    }
    return 0;
}

CMeteoConnector::CMeteoConnector(const ThreadStartParameter &start)
    : nIndex(start.nIndex), nStationID(start.nStationID)
{
    CopyField(szDriver, start.szDriver);
    CopyField(szFNINI, start.szFNINI);
    CopyField(szID, start.szID);
}

CMeteoConnector::~CMeteoConnector() = default;

void CMeteoConnector::OnCycleEnd(DWORD) {}

void CMeteoConnector::Log(const char *pszText) const
{
    LogF("ThreadMeteoConnector(Station-ID=%lu): %s", static_cast<unsigned long>(nStationID),
         pszText);
}

void CMeteoConnector::ThreadMeteoConnector()
{
    if (!StartUp()) {
        return;
    }
    for (;;) {
        PaceCycle();
        TraceLevel = static_cast<LONG>(GetPrivateProfileIntA("General", "Debug", 0, szFNINI));

        LogF("OpenPort Start");
        while (m_hPort == nullptr && ShutdownFlag == 0) {
            m_hPort = m_pfnOpenPort();
            if (m_hPort == nullptr) {
                StationSleep(OpenPortRetryDelay);
            }
        }
        LogF("OpenPort OK");

        // A shutdown in the opening loop leaves no port to read from.
        if (m_hPort != nullptr) {
            ReadOnce();
        }

        OnCycleEnd(m_nCycle);
        m_nCycle += 1;
        if (ShutdownFlag != 0) {
            if (m_pDatabase) {
                m_pDatabase->Disconnect();
            }
            Log("Exit");
            return;
        }
    }
}

bool CMeteoConnector::StartUp()
{
    // The specified settling time; [General] StartDelay shortens it for tests and demos.
    if (StationSleep(GetPrivateProfileIntA("General", "StartDelay",
                                           static_cast<INT>(DefaultStartDelay), szFNINI))) {
        return false;
    }
    Log("Starting Thread...");
    ResetStation(nIndex);

    m_dwCycleTime = GetPrivateProfileIntA("General", "CycleTime", 20000, szFNINI);
    m_dwCycleBreakCount =
        GetPrivateProfileIntA("General", "CycleBreakCount", DefaultCycleBreakCount, szFNINI);
    m_dwCycleBreakTime = GetPrivateProfileIntA("General", "CycleBreakTime", 40000, szFNINI);
    m_bSuppressWindAngle = GetPrivateProfileIntA("General", "SuppressWindAngle", 0, szFNINI) != 0;
    LogF("ThreadMeteoConnector: Cycle-Time=%i ms", static_cast<int>(m_dwCycleTime));
    if (m_dwCycleBreakCount == 0) {
        // The cycle counter is taken modulo this value.
        m_dwCycleBreakCount = DefaultCycleBreakCount;
        Log("CycleBreakCount=0 is not allowed, using 90");
    }

    // The driver is always found relative to the executable's folder.
    std::string driverPath = szDriver;
    char szModule[MAX_PATH + 1] = "";
    const DWORD dwLength = GetModuleFileNameA(nullptr, szModule, MAX_PATH);
    if (dwLength > 0 && dwLength < MAX_PATH) {
        char szDrive[_MAX_DRIVE] = "";
        char szDir[_MAX_DIR] = "";
        _splitpath(szModule, szDrive, szDir, nullptr, nullptr);
        m_szReport = std::string(szDrive) + szDir;
        driverPath = m_szReport + szDriver;
    }

    TraceLevel = static_cast<LONG>(GetPrivateProfileIntA("General", "Debug", 0, szFNINI));
    LogF("ThreadMeteoConnector: Driver-Path=%s", driverPath.c_str());

    if (!BindDriver(driverPath)) {
        return false;
    }

    m_pDatabase.reset(new CMeteoDatabase(nStationID, szFNINI));
    m_pDatabase->SetUp();

    Log("Starting Loop...");
    return true;
}

bool CMeteoConnector::BindDriver(const std::string &driverPath)
{
    if (GetFileAttributesA(driverPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        SetErrorMode(SEM_NOOPENFILEERRORBOX);
        m_hDriver = LoadLibraryA(driverPath.c_str());
    }
    const unsigned long id = nStationID;
    if (m_hDriver == nullptr) {
        LogF("ERROR ThreadMeteoConnector(Station-ID=%lu): Kann Driver-DLL %s nicht laden.", id,
             driverPath.c_str());
        return false;
    }
    // The library stays loaded until the process ends.
    m_pfnOpenPort = reinterpret_cast<PFN_OPENPORT>(
        reinterpret_cast<void *>(GetProcAddress(m_hDriver, "OpenPort")));
    if (m_pfnOpenPort == nullptr) {
        LogF("ERROR ThreadMeteoConnector(Station-ID=%lu): Funktion OpenPort nicht gefunden.", id);
        return false;
    }
    m_pfnClosePort = reinterpret_cast<PFN_CLOSEPORT>(
        reinterpret_cast<void *>(GetProcAddress(m_hDriver, "ClosePort")));
    if (m_pfnClosePort == nullptr) {
        LogF("ERROR ThreadMeteoConnector(Station-ID=%lu): Funktion ClosePort nicht gefunden.", id);
        return false;
    }
    m_pfnGetData = reinterpret_cast<PFN_GETDATA>(
        reinterpret_cast<void *>(GetProcAddress(m_hDriver, "GetData")));
    if (m_pfnGetData == nullptr) {
        LogF("ERROR ThreadMeteoConnector(Station-ID=%lu): Funktion GetData nicht gefunden.", id);
        return false;
    }
    return true;
}

void CMeteoConnector::PaceCycle()
{
    // Paced from cycle start to cycle start; differences in 32-bit arithmetic survive the
    // wrap of the tick count.
    const DWORD dwPeriod =
        (m_nCycle % m_dwCycleBreakCount == 0) ? m_dwCycleBreakTime : m_dwCycleTime;
    if (!m_bFirstCycle) {
        const DWORD dwElapsed = GetTickCount() - m_dwLastTick;
        if (dwElapsed < dwPeriod) {
            StationSleep(dwPeriod - dwElapsed);
        }
    }
    m_bFirstCycle = false;
    m_dwLastTick = GetTickCount();
}

void CMeteoConnector::ReadOnce()
{
    // One time stamp serves the sample, the files and the database.
    ReadingTimeSource(&m_st);
    SystemTimeToFileTime(&m_st, &m_ft);

    LogF("GetData Start");
    const int32_t r = m_pfnGetData(m_hPort, &m_data.Data);
    if (r <= 0) {
        LogF("GetData Error ret=%i", static_cast<int>(r));
        if (m_hPort != nullptr) {
            m_pfnClosePort(m_hPort);
        }
        m_hPort = nullptr;
        return;
    }
    LogF("GetData OK");
    LogF("ClosePort Start");
    m_pfnClosePort(m_hPort);
    m_hPort = nullptr;
    LogF("ClosePort OK");

    // Drivers of version 2 and higher count their readings; an unchanged count is the same
    // reading again. The first reading always passes.
    if (m_data.Data.nVersion > 1 && m_bHaveSequence && m_data.nSequence == m_nLastSequence) {
        Sleep(1);
        return;
    }
    m_nLastSequence = m_data.nSequence;
    m_bHaveSequence = true;

    if (m_data.Data.dWindSpeed < 0) {
        if (nIndex >= 0 && nIndex < STATION_BLOCKS) {
            StationStats[nIndex].dropped.fetch_add(1, std::memory_order_relaxed);
        }
        LogF("ERROR INVALID DATA ThreadMeteoConnector(Station-ID=%lu): Windspeed=%.2f",
             static_cast<unsigned long>(nStationID), m_data.Data.dWindSpeed);
    } else {
        if (std::isnan(m_data.Data.dWindSpeed)) {
            m_data.Data.dWindSpeed = 0;
        }
        Accept();
    }
    Sleep(1);
}

void CMeteoConnector::Accept()
{
    const MeteoData &d = m_data.Data;
    auto *s = new MeteoSample{};
    s->dWindSpeed = d.dWindSpeed;
    const double angle = d.dWindDir / 360 * 2 * Pi;
    s->dCos = std::cos(angle);
    s->dSin = std::sin(angle);
    s->dWindDir = d.dWindDir;
    s->dOutsideTemp = d.dOutsideTemp;
    s->dHumidity = d.dHumidity;
    s->dRain = d.dRain;
    s->dPressure = d.dPressure;
    s->dSolar = d.dSolar;
    s->ftTime = m_ft;
    // Storm readings at near-saturation are taken for a wet, stuck anemometer: the averages
    // get 0, while the files and the database keep the reading as delivered.
    if (s->dWindSpeed > 100 && s->dHumidity >= 98) {
        s->dWindSpeed = 0;
    }
    Log("Data Retrieved");
    if (AddSample(nIndex, s, m_bSuppressWindAngle)) {
        StationStats[nIndex].accepted.fetch_add(1, std::memory_order_relaxed);
    }

    char szLogPath[261] = "";
    GetPrivateProfileStringA("General", "LogPath", "", szLogPath, sizeof(szLogPath), szFNINI);
    if (szLogPath[0] != '\0') {
        const std::string folder = ReportFolderFromLogPath(szLogPath);
        if (!folder.empty()) {
            m_szReport = folder;
        }
    }
    const bool bLog = GetPrivateProfileIntA("General", "Log", 0, szFNINI) != 0;
    const bool bDebug = GetPrivateProfileIntA(szID, "Debug", 0, szFNINI) != 0;

    if (nIndex < 0 || nIndex >= STATION_BLOCKS) {
        return;
    }
    StationCounters &stats = StationStats[nIndex];
    if (m_pDatabase) {
        m_pDatabase->SetReportFolder(m_szReport);
    }
    {
        // Files and database see the table as this reading left it; no station can add a
        // sample meanwhile.
        CReadHold hold;
        if (!hold.Held()) {
            return;
        }
        const AverageSlot *block = StationTable[nIndex];
        if (bLog) {
            WriteMeasurementFile(m_szReport, nStationID, m_st, d, block[1]);
        }
        if (m_pDatabase) {
            stats.dbCalls.fetch_add(1, std::memory_order_relaxed);
            if (!m_pDatabase->Call(m_st, d, block[1])) {
                stats.dbFailures.fetch_add(1, std::memory_order_relaxed);
            }
        }
        if (bDebug) {
            WriteDebugFile(m_szReport, nStationID, m_st, block);
        }
    }
    // The backlog needs no table, so it is sent without holding up the other stations.
    if (m_pDatabase) {
        m_pDatabase->Replay(m_st);
        stats.dbConnected.store(m_pDatabase->Connected(), std::memory_order_relaxed);
        stats.dbWaiting.store(m_pDatabase->Waiting(), std::memory_order_relaxed);
    }
}
